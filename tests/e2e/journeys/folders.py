"""Folders chosen through "Change..." and recorded ones, with blanks, Windows-
1252 letters and, under code page 932, a last character whose second byte
is a backslash's."""

import os

from checks import JourneyError, log
from journeys.runner import journey, session_options
from journeys.shortcuts import check_link, shell_folders
from journeys.uninstall import removed_whole, uninstall_command
from journeys.walks import (app_paths_key, check_main_program_up, close_main_program, JAPANESE,
                            JAPANESE_CODE_PAGE, location_up, machine_key, payload_rows,
                            uninstall_key, walk_agreement)


BROWSER_TREE = 14145  # the browser's tree of folders (shell32's own id)
MY_COMPUTER = "My Computer"  # Wine's own name, in English in these journeys


def is_folder_browser(w):
    """The shell's folder browser, found by its tree rather than by its
    title, which is in the user's language."""
    tree = w.control(BROWSER_TREE)
    return w.exe == "quil.exe" and tree is not None and tree["class"] == "SysTreeView32"


def tree_key(s, browser, key, what, reached):
    """Types `key` (if any) into the browser's tree, then waits until the
    tree's state (Window.tree) satisfies `reached`; that state. A key reaches
    the tree through X and Wine's queue, and opening a folder fills the tree
    with its folders: on an emulated machine that shares its cores either can
    take seconds, and the next key must find the tree where this one left
    it."""
    if key:
        s.key(browser, key)
    seen = [None]

    def there(w):
        if w.hwnd != browser.hwnd:
            return False
        seen[0] = w.tree(BROWSER_TREE)
        return seen[0] is not None and reached(seen[0])
    try:
        s.wait_for(there, what, ready=False)
    except JourneyError as e:
        raise JourneyError("%s; the tree showed %s" % (e, seen[0]))
    log("the tree: %s" % what)
    return seen[0]


def tree_down_to(s, browser, tree, name):
    """From the selected folder, opened (`tree`), Down to its folder `name`
    (no folder before it opened): one key an item, each awaited. Not by its
    first letter: the tree joins letters typed within half a second into one
    word to look for, so what a letter selects would hang on the time between
    keys."""
    parent, children = tree["selected"], tree["children"]
    if name not in children:
        raise JourneyError("%s holds no %s in the tree: %s" % (parent, name, children))
    for child in children[:children.index(name) + 1]:
        tree = tree_key(s, browser, "Down", child + " selected",
                        lambda t: t["selected"] == child)
    return tree


def tree_open(s, browser, name, inside=None):
    """Right on the selected folder `name`: waits for it to be expanded with
    its folders in the tree (`inside` among them, if given)."""
    return tree_key(s, browser, "Right", name + " opened",
                    lambda t: t["selected"] == name and t["expanded"] and t["children"]
                    and (inside is None or inside in t["children"]))


def browse_to(s, check, loc, folder):
    """"Change..." on the location dialog, then the tree with the keys: My
    Computer, C:, then each of `folder`'s names, each opened with Right, and
    a click on OK (Enter in Wine's tree does not press it). Every key waits
    for the selection it makes, and every folder opened for its folders to be
    in the tree, before the next one. The location dialog as it is once it
    shows another folder than before."""
    before = loc.text(1000)
    loc = s.focus_to(loc, 1002, "Change...")
    s.key(loc, "space")
    browser = s.wait_for(is_folder_browser, "the folder browser")
    browser = s.focus_to(browser, BROWSER_TREE, "the tree of folders")
    names = [n for n in folder.split("\\")[1:] if n]
    # The tree opens on the desktop, selected and opened.
    tree = tree_key(s, browser, None, "the desktop's folders",
                    lambda t: t["expanded"] and MY_COMPUTER in t["children"])
    tree_down_to(s, browser, tree, MY_COMPUTER)
    tree = tree_open(s, browser, MY_COMPUTER)
    drive = next((d for d in tree["children"] if d.endswith("(C:)")), None)
    if drive is None:
        raise JourneyError("My Computer holds no C: drive: %s" % tree["children"])
    tree_down_to(s, browser, tree, drive)
    parent = drive
    for name in names:
        tree = tree_open(s, browser, parent, name)
        tree_down_to(s, browser, tree, name)
        parent = name
    s.shot("browser")
    s.click(browser, 1)
    s.wait_gone(browser, "the folder browser")
    return s.wait_for(lambda w: w.hwnd == loc.hwnd and w.text(1000) != before,
                      "the location dialog showing the folder chosen", ready=False)


def install_into_chosen(s, check, chosen):
    """"Change..." to `chosen` (made first), Install, Accept: the install
    goes into chosen\\Quillmark, exactly, and records it."""
    os.makedirs(s.unix_path(chosen, create=True), exist_ok=True)
    process = s.start_installer()
    loc = browse_to(s, check, location_up(s, process), chosen)
    target = chosen + "\\Quillmark"
    s.shot("location-changed")
    check.equal(loc.text(1000), target, "the folder chosen gets a Quillmark folder of its own")
    # Change... keeps the focus, and with it Enter: Install is pressed itself.
    s.click(loc, 1)
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "Quil.exe exits with 0")
    check_main_program_up(s, check)
    folder = s.unix_path(target)
    check.equal(sorted(n for _, kind, n, _, _ in payload_rows() if kind == "install"
                       and not os.path.isfile(os.path.join(folder, n))), [],
                "every file of the install folder is in %s" % target)
    check.equal(sorted(os.listdir(s.unix_path(chosen))), ["Quillmark"],
                "the chosen folder holds the Quillmark folder and nothing else")
    check.equal((s.reg_values(machine_key(s)) or {}).get("Path"), ("REG_SZ", target),
                "the install records that folder")


@journey("change-folder")
def change_folder_journey(s, check):
    install_into_chosen(s, check, "C:\\Kino Drehbücher à l'écran")


# Under code page 932 the second byte of 表 is 0x5C, a backslash's: a path
# ending in it must keep its last character.

@journey("cp932-change-folder")
@session_options(lambda wine: dict(locale=JAPANESE_CODE_PAGE))
def cp932_change_folder_journey(s, check):
    install_into_chosen(s, check, "C:\\Daihon 一覧表")


@journey("cp932-recorded-folder")
@session_options(lambda wine: dict(locale=JAPANESE))
def cp932_recorded_folder_journey(s, check):
    recorded = "C:\\Programme\\台本表"
    parent = s.unix_path("C:\\Programme", create=True)
    folders = shell_folders(s)
    s.reg_add(machine_key(s), "Path", "REG_SZ", recorded)
    process = s.start_installer()
    loc = location_up(s, process)
    check.equal(loc.text(1000), recorded, "the recorded folder ending in 表 is proposed as it is")
    s.key(loc, "Return")
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "Quil.exe exits with 0")
    check_main_program_up(s, check)
    check.equal(os.listdir(parent), ["台本表"], "C:\\Programme holds that folder and no other")
    folder = s.unix_path(recorded)
    check.equal(sorted(n for _, kind, n, _, _ in payload_rows() if kind == "install"
                       and not os.path.isfile(os.path.join(folder, n))), [],
                "every file of the install folder is in %s" % recorded)
    program = recorded + "\\Quillmark.exe"
    for key, name, want in ((machine_key(s), "Path", recorded),
                            (app_paths_key(s), "(Default)", program),
                            (app_paths_key(s), "Path", recorded),
                            (uninstall_key(s), "UninstallString", s.windir + "\\uninst1.exe")):
        check.equal((s.reg_values(key) or {}).get(name), ("REG_SZ", want),
                    "%s \"%s\"" % (key, name))
    check_link(s, check, folders["Start Menu"], "the Start menu", recorded)
    check_link(s, check, folders["Desktop"], "the desktop", recorded)
    close_main_program(s)
    check.equal(removed_whole(s, check, uninstall_command(s), recorded), 0,
                "uninst1.exe exits with 0")
    check.equal(os.listdir(parent), [], "the uninstaller removed the folder ending in 表")
    check.equal(s.reg_values(app_paths_key(s)), None, "and the App Paths entry")
