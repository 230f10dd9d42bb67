"""The backdrop behind the dialogs, read from screenshots, on screens of
several sizes."""

import subprocess

from checks import JourneyError, log
from wine.probe import (is_location_dialog, is_main_program, is_notice, is_notice_other_than,
                        is_progress_dialog)
from journeys.runner import journey, session_options
from journeys.walks import NOTICE_5, place_main_program, walk_agreement


BACKDROP_FILL = (64, 0, 0)
BACKDROP_PATTERN = (56, 0, 0)
BACKDROP_SHADOW = (32, 0, 0)
BACKDROP_TEXT = (240, 240, 240)


def is_backdrop(w):
    return w.exe == "quil.exe" and w.data.get("class") == "Quillmark"


class Screenshot:
    """A screenshot's pixels, read through ImageMagick's raw RGB output."""

    def __init__(self, path, width, height):
        out = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True,
                             timeout=60)
        if out.returncode != 0 or len(out.stdout) != width * height * 3:
            raise JourneyError("cannot read the pixels of %s: %s"
                               % (path, out.stderr.decode(errors="replace").strip()))
        self.data = out.stdout
        self.width = width
        self.height = height

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def where(self, colour, left=0, top=0, right=None, bottom=None):
        """(x, y) of every pixel of exactly `colour` inside the box."""
        right = self.width if right is None else right
        bottom = self.height if bottom is None else bottom
        found = []
        for y in range(top, bottom):
            for x in range(left, right):
                if self.pixel(x, y) == colour:
                    found.append((x, y))
        return found

    def share(self, colours, box=None):
        """The share of the box's pixels (all the screen's by default) that
        have one of `colours`."""
        left, top, right, bottom = box or (0, 0, self.width, self.height)
        wanted = {bytes(c) for c in colours}
        hits = 0
        for y in range(top, bottom):
            row = self.data[(y * self.width + left) * 3:(y * self.width + right) * 3]
            hits += sum(1 for i in range(0, len(row), 3) if row[i:i + 3] in wanted)
        return hits / max(1, (right - left) * (bottom - top))


def check_backdrop_picture(check, shot, dialog):
    """The backdrop as painted: fill and pattern across the screen, the
    title above the line y = 60 and the tagline below it, each from x = 12
    with its shadow 6 pixels right and down. The window's dialog frame lies
    around its client area, so positions are measured from where the fill
    begins."""
    frame = next((x for x in range(0, 40)
                  if shot.pixel(x, shot.height // 2) in (BACKDROP_FILL, BACKDROP_PATTERN)), None)
    if not check.true(frame is not None, "the backdrop's fill reaches the left edge of the screen"):
        return
    share = shot.share([BACKDROP_FILL, BACKDROP_PATTERN])
    log("  (fill and pattern cover %.1f%% of the screen, the frame is %d px)"
        % (100 * share, frame))
    check.true(share > 0.5, "the fill and the pattern make up most of the screen (%.0f%%)"
               % (100 * share))
    w, h = shot.width, shot.height
    for name, box in (("top left", (0, 0, w // 2, h // 2)), ("top right", (w // 2, 0, w, h // 2)),
                      ("bottom left", (0, h // 2, w // 2, h)),
                      ("bottom right", (w // 2, h // 2, w, h)),
                      ("bottom rows", (0, h - 30, w, h - frame))):
        check.true(shot.share([BACKDROP_PATTERN], box) > 0.02,
                   "the pattern reaches the %s of the screen" % name)
    left, top, right, bottom = dialog.data["rect"]
    check.true(shot.share([BACKDROP_FILL, BACKDROP_PATTERN],
                          (max(0, left), max(0, top), min(w, right), min(h, bottom))) < 0.05,
               "the dialog stands in front of the backdrop")

    # Title and tagline: the light grey in the top left, in client coordinates.
    text = [(x - frame, y - frame) for x, y in shot.where(BACKDROP_TEXT, 0, 0, 720, 140)]
    shadow = [(x - frame, y - frame) for x, y in shot.where(BACKDROP_SHADOW, 0, 0, 720, 150)]
    if not check.true(len(text) > 2000 and len(shadow) > 2000,
                      "light grey text and its dark shadow are in the top left corner"):
        return
    rows = sorted({y for _, y in text})
    gap = next((a for a, b in zip(rows, rows[1:]) if b - a > 1), None)
    title = [(x, y) for x, y in text if gap is not None and y <= gap]
    tagline = [(x, y) for x, y in text if gap is not None and y > gap]
    check.true(title and max(y for _, y in title) < 60 and len(title) > 1000,
               "the title's light grey pixels lie above y = 60")
    check.true(tagline and min(y for _, y in tagline) >= 60,
               "the tagline's light grey pixels lie below y = 60")
    check.true(12 <= min(x for x, _ in text) <= 20, "title and tagline start from x = 12 (at %d)"
               % min(x for x, _ in text))
    check.equal((min(x for x, _ in shadow) - min(x for x, _ in text),
                 min(y for _, y in shadow) - min(y for _, y in text)), (6, 6),
                "the shadow lies 6 pixels right and down")


def check_owned_by_backdrop(check, window, backdrop, what):
    check.equal(window.data.get("owner_class"), "Quillmark",
                "the %s is owned by a window of class \"Quillmark\"" % what)
    check.equal(window.data.get("owner"), backdrop.hwnd, "the %s's owner is the backdrop" % what)


def backdrop_behind_location(s, check, process):
    """The location dialog and the backdrop behind it, checked on a screen
    of the session's size: the backdrop covers it, its fill and pattern reach
    every corner, its title stands at the top left, and the dialog belongs
    to it and stands whole in the middle of the screen."""
    loc = s.wait_for(is_location_dialog, "the location dialog", process=process)
    width, height = s.screen
    shot = Screenshot(s.shot("location"), width, height)
    backdrops = [w for w in s.windows() if is_backdrop(w)]
    check.equal(len(backdrops), 1, "one backdrop window is up")
    if not backdrops:
        return loc, None
    back = backdrops[0]
    check.equal((back.title, back.controls), ("", []), "the backdrop has no title and no controls")
    left, top, right, bottom = back.data["rect"]
    check.true(left <= 0 and top <= 0 and right >= width and bottom >= height,
               "the backdrop covers the whole %dx%d screen (%s)" % (width, height,
                                                                     back.data["rect"]))
    check.true(back.maximized, "the backdrop is shown maximised")
    check.true(not back.data["enabled"], "the modal location dialog disables the backdrop")
    check_owned_by_backdrop(check, loc, back, "location dialog")
    check_backdrop_picture(check, shot, loc)
    left, top, right, bottom = loc.data["rect"]
    check.true(0 <= left and 0 <= top and right <= width and bottom <= height,
               "the location dialog stands whole on the screen (%s)" % loc.data["rect"])
    check.true(abs((left + right) - width) <= 4 and abs((top + bottom) - height) <= 4,
               "the location dialog stands in the middle of the screen (%s)" % loc.data["rect"])
    return loc, back


@journey("backdrop")
def backdrop_journey(s, check):
    # A newer main program in place: the run ends with a notice after the
    # agreement, so one run shows every kind of window in front of the backdrop.
    place_main_program(s, s.wine.product("Quillmark-1.0.0.2.exe"))
    process = s.start_installer()
    loc, back = backdrop_behind_location(s, check, process)
    if not back:
        return

    s.key(loc, "Return")
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    check_owned_by_backdrop(check, agr, back, "agreement dialog")
    s.key(agr, "Return")

    notice = s.wait_for(is_notice("5"), "the notice ERROR 5", process=process,
                        instead=[is_notice_other_than("5"), is_main_program])
    path = s.shot("error-5")
    check.true(NOTICE_5 in notice.texts(), "ERROR 5 is up")
    check.equal(notice.data.get("owner"), 0, "the notice has no owner")
    progress = [w for w in s.windows() if is_progress_dialog(w)]
    if progress:
        check_owned_by_backdrop(check, progress[0], back, "progress dialog")
    else:
        log("  (the progress dialog was not listed while the notice was up)")
    # Without a window manager nobody draws the notice's caption: its lower
    # half is sure to be the notice's own client area.
    left, top, right, bottom = notice.data["rect"]
    box = (max(0, left + 4), max(0, (top + bottom) // 2), min(s.screen[0], right - 4),
           min(s.screen[1], bottom - 4))
    share = Screenshot(path, *s.screen).share([BACKDROP_FILL, BACKDROP_PATTERN], box)
    check.true(share < 0.05, "the notice stands in front of the backdrop (%.0f%% of %s is backdrop)"
               % (100 * share, box))
    s.key(notice, "Return")
    check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0 after the notice")


def screen_journey(width, height):
    """The backdrop and the location dialog on a screen of another size."""
    @journey("screen-%dx%d" % (width, height), in_guest=(width, height) == (2560, 1440))
    @session_options(lambda wine: dict(screen=(width, height)))
    def walk(s, check):
        process = s.start_installer()
        loc, _ = backdrop_behind_location(s, check, process)
        s.key(loc, "Escape")
        check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0 after Escape")


for size in ((800, 600), (1920, 1080), (2560, 1440)):
    screen_journey(*size)
