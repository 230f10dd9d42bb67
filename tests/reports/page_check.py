#!/usr/bin/env python3
"""The maker's page of quil-reports, as a maker sees it: the service is fed
reports the way Quil.exe posts them (one named at the preferred base, one
only by its low 16 bits, one from a build without a map, one whose exception
name is markup, one that does not parse), then headless Chromium loads the
page, its DOM is read (the group rows, the functions named, the markup shown
as text, the chart) and screenshots are kept. The maker marks two groups
fixed through their pages' forms (refused without the session's form token
or from another site), one comes back from the fixed build, and the page
shows it regressed, first. The page token is checked with a plain HTTP
client, and a non-loopback page without one must not start.

    page_check.py --program quil-reports --symbols DIR --shots DIR --work DIR
"""

import argparse
import html.parser
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import service  # noqa: E402
from checks import Checks, log  # noqa: E402

CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync"]
MARKUP = "<script>alert(1)</script>"
TOKEN = "page-check-token-0123456789"


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children = tag, dict(attrs), parent, []

    def text(self):
        return "".join(c if isinstance(c, str) else c.text() for c in self.children)

    def find_all(self, tag, cls=None):
        for c in self.children:
            if isinstance(c, Node):
                if c.tag == tag and (cls is None or cls in c.attrs.get("class", "").split()):
                    yield c
                yield from c.find_all(tag, cls)


class Dom(html.parser.HTMLParser):
    """The tree of a page as the browser serialised it."""
    VOID = {"meta", "link", "input", "br", "img", "rect", "line"}

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = self.at = Node("#document", {}, None)
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.at)
        self.at.children.append(node)
        if tag not in self.VOID:
            self.at = node

    def handle_startendtag(self, tag, attrs):
        self.at.children.append(Node(tag, attrs, self.at))

    def handle_endtag(self, tag):
        node = self.at
        while node is not None and node.tag != tag:
            node = node.parent
        if node is not None and node.parent is not None:
            self.at = node.parent

    def handle_data(self, data):
        self.at.children.append(data)


def browser(args, url, profile):
    return subprocess.run(CHROMIUM + ["--user-data-dir=" + profile] + args + [url],
                          capture_output=True, text=True, timeout=120).stdout


def read_map(folder):
    """(build, {rva: name}) of the one map in the folder."""
    maps = [f for f in os.listdir(folder) if f.endswith(".map")]
    build, functions = None, {}
    with open(os.path.join(folder, maps[0])) as f:
        for line in f:
            key, _, rest = line.rstrip("\n").partition(" ")
            if key == "build":
                build = int(rest)
            elif len(key) == 8 and all(c in "0123456789ABCDEF" for c in key):
                functions[int(key, 16)] = rest
    return build, functions


def feed(check, intake, build, rva, gap):
    """Posts the reports; what each group's row should say."""
    at_base = 0x00400000 + rva + gap // 2
    candidate = 0x7BC40000 | ((rva + gap // 2) & 0xFFFF)
    posts = [(service.compose("EXCEPTION_ACCESS_VIOLATION", at_base, build), 3),
             (service.compose("EXCEPTION_ACCESS_VIOLATION", candidate, build), 1),
             (service.compose(MARKUP, 0x7BC4F000, build), 1),
             (service.compose("EXCEPTION_INT_DIVIDE_BY_ZERO", at_base, build + 1), 1),
             (b"log=\x00<b>not+four+lines</b>", 1)]
    replies = [service.post(intake, body) for body, times in posts for _ in range(times)]
    check.equal(set(replies), {(200, b"OK")}, "every post is answered OK")
    return at_base, candidate


def check_groups_page(check, dom, name, at_base, candidate, build):
    rows = {}
    for tr in dom.find_all("tr", "group"):
        cells = {td.attrs.get("class", "").split()[0]: td.text().strip() for td in tr.find_all("td")}
        rows[(cells["exception"], cells["address"], cells["build"])] = cells
    log("  (group rows: %s)" % sorted(rows))
    check.equal(len(rows), 4, "four groups are listed")
    first = next(dom.find_all("tr", "group"), None)
    check.true(first is not None and "%08X" % at_base in first.text(),
               "the largest group comes first")
    b = "%03d" % build
    own = rows.get(("EXCEPTION_ACCESS_VIOLATION", "%08X" % at_base, b), {})
    check.equal((own.get("count"), own.get("function"), own.get("rule")),
                ("3", name, "candidate, exact at the preferred base"),
                "an address in Quil.exe at its preferred base names the function")
    check.true(own.get("first-seen", "").endswith(" UTC") and
               own.get("first-seen", "") <= own.get("last-seen", ""),
               "with first and last seen, in UTC")
    low = rows.get(("EXCEPTION_ACCESS_VIOLATION", "%08X" % candidate, b), {})
    check.equal((low.get("function"), low.get("rule")), (name, "candidate, low 16 bits"),
                "elsewhere, its low 16 bits name it as a candidate")
    markup = rows.get((MARKUP, "7BC4F000", b), {})
    check.equal(markup.get("rule"), "not placed", "an address outside the code is not placed")
    check.true(bool(markup), "a name that is markup shows as its text")
    check.equal(len(list(dom.find_all("script"))), 0, "the page has no script element at all")
    other = rows.get(("EXCEPTION_INT_DIVIDE_BY_ZERO", "%08X" % at_base, "%03d" % (build + 1)), {})
    check.equal(other.get("rule"), "not placed", "a build without a map is not placed")
    bars = list(dom.find_all("rect", "bar"))
    check.equal(len(bars), 30, "the chart has a bar a day for 30 days")
    check.equal(bars[-1].attrs.get("data-count") if bars else None, "7",
                "today's bar counts the 7 deliveries")
    check.true(any(a.attrs.get("id") == "unparsed-count" and a.text() == "1 unparsed"
                   for a in dom.find_all("a")), "the unparsed delivery is counted apart")
    link = next((td.find_all("a") for td in first.find_all("td", "exception")), None) if first else None
    return next(link, None).attrs.get("href") if link else None


AV = "EXCEPTION_ACCESS_VIOLATION"


def check_marks(check, page, at_base, candidate, fixed):
    """The forms' guard, then the maker's marks: at_base and candidate fixed
    in build `fixed`, with an undo between."""
    cookies, token = service.form_session(page, AV, at_base)
    check.true(token is not None and cookies.startswith("quil_page_session="),
               "a group's page carries a form token and sets its session cookie")
    rebound = "evil.example:" + page.split(":")[1]
    for why, jar, given, headers, status in [
            ("without the form token", cookies, None, [], 403),
            ("with another session's cookie", "quil_page_session=" + "0" * 32, token, [], 403),
            ("from another origin", cookies, token, [("Origin", "http://evil.example")], 403),
            ("from another site", cookies, token, [("Sec-Fetch-Site", "cross-site")], 403),
            # Origin and Host agree, but the Host is not the page's: rebound.
            ("from a name rebound to the page", cookies, token,
             [("Host", rebound), ("Origin", "http://" + rebound)], 421)]:
        check.equal(service.mark(page, "fixed", AV, at_base, jar, given, fixed, headers=headers)[0],
                    status, "a mark is refused " + why)
    check.equal(service.groups(page)[(AV, at_base)]["state"], "new", "and nothing was marked")
    # A loopback name the Host check takes, written in another case by the
    # Origin: the same page to both checks.
    local = "localhost:" + page.split(":")[1]
    same = [("Host", local), ("Origin", "http://LocalHost:" + page.split(":")[1]),
            ("Sec-Fetch-Site", "same-origin")]
    status, where = service.mark(page, "fixed", AV, at_base, cookies, token, fixed, headers=same)
    check.equal((status, where), (303, service.group_path(AV, at_base)),
                "the maker marks a group fixed, back to its page")
    for action, state in (("fixed", "fixed"), ("reopen", "new"), ("fixed", "fixed")):
        service.mark(page, action, AV, candidate, cookies, token, fixed)
        check.equal(service.groups(page)[(AV, candidate)]["state_text"],
                    "fixed in build %03d" % fixed if state == "fixed" else state,
                    "%s: the group is %s" % (action, state))


def check_regression(check, intake, page, profile, shots, at_base, candidate, build):
    """A fixed group reported from its fixed build: regressed, and first."""
    check_marks(check, page, at_base, candidate, build + 1)
    check.equal(service.post(intake, service.compose(AV, at_base, build + 1)), (200, b"OK"),
                "a report of the fixed group from the fixed build")
    states = service.groups(page)
    check.equal((states[(AV, at_base)]["state"], states[(AV, at_base)]["regressed_build"]),
                ("regressed", build + 1), "regresses it (groups.json)")
    url = "http://%s/" % page
    dom = Dom(browser(["--dump-dom"], url, profile)).root
    rows = [tuple(td.text() for td in tr.find_all("td") if td.attrs.get("class", "").split()[0]
                  in ("exception", "state")) for tr in dom.find_all("tr", "attention")]
    log("  (first table: %s)" % rows)
    check.equal(rows[:1], [(AV, "regressed in build %03d (fixed in %03d)" % (build + 1, build + 1))],
                "the first table starts with the regressed group")
    check.equal(sorted(state for _, state in rows[1:]), ["new", "new"],
                "then the new ones; the fixed one is not there")
    browser(["--screenshot=" + os.path.join(shots, "regressed.png"), "--window-size=1280,1000"],
            url, profile)
    group_url = "http://%s%s" % (page, service.group_path(AV, at_base))
    group = Dom(browser(["--dump-dom"], group_url, profile)).root
    builds = [tuple(td.text() for td in tr.find_all("td"))[:2]
              for tr in group.find_all("tr", "build-row")]
    check.equal(builds, [("%03d" % build, "3"), ("%03d" % (build + 1), "1")],
                "its page lists its builds with their counts")
    check.equal([s.text() for s in group.find_all("span") if s.attrs.get("id") == "first-build"],
                ["%03d" % build], "and the first build")
    actions = sorted(f.attrs.get("action") for f in group.find_all("form"))
    check.equal(actions, ["/group/fixed", "/group/reopen"],
                "with its forms: fixed in a build, and the undo")
    browser(["--screenshot=" + os.path.join(shots, "group-regressed.png"),
             "--window-size=1280,1000"], group_url, profile)


def check_token(check, program, work):
    page = "127.0.0.1:%d" % service.free_port()
    intake = "127.0.0.1:%d" % service.free_port()
    argv = service.command(program, os.path.join(work, "token.db"), intake, page, token=TOKEN)
    process = service.start(argv, os.path.join(work, "token.log"))
    try:
        status, headers, _ = service.get("http://%s/" % page)
        check.equal((status, headers.get("Location")), (303, "/login"),
                    "with a token, the page sends a stranger to the login form")
        check.equal(service.get("http://%s/reports.json" % page)[0], 401,
                    "and the export refuses them")
        check.equal(service.get("http://%s/reports.json" % page, "wrong-" + TOKEN)[0], 401,
                    "a wrong token is refused")
        check.equal(service.get("http://%s/reports.json" % page, TOKEN)[0], 200,
                    "the token in a header opens the export")
        _, headers, _ = service.get("http://%s/login" % page, form=b"token=" + TOKEN.encode())
        cookie = headers.get("Set-Cookie")
        check.true(cookie is not None and "HttpOnly" in cookie and "SameSite=Strict" in cookie,
                   "the login form sets an HttpOnly, SameSite cookie (%s)" % cookie)
        login = (cookie or "").split(";")[0]
        check.true(cookie is not None and TOKEN not in cookie,
                   "whose value is not the token")
        check.equal(service.get("http://%s/groups.json" % page, cookie=login)[0], 200,
                    "and the cookie opens the pages")
        service.post(intake, service.compose(AV, 0x00401000, 37))
        jar, form_token = service.form_session(page, AV, 0x00401000, cookie=login)
        session = jar.split("; ")[-1]
        check.equal(service.mark(page, "fixed", AV, 0x00401000, session, form_token, 38),
                    (303, "/login"), "a mark without the login goes to the login form")
        check.equal(service.groups(page, TOKEN)[(AV, 0x00401000)]["state"], "new",
                    "and marks nothing")
        service.mark(page, "fixed", AV, 0x00401000, jar, form_token, 38)
        check.equal(service.groups(page, TOKEN)[(AV, 0x00401000)]["state"], "fixed",
                    "a signed-in maker's mark is taken")
    finally:
        process.terminate()
        process.wait(timeout=30)
    refused = subprocess.run(service.command(program, os.path.join(work, "open.db"),
                                             "127.0.0.1:%d" % service.free_port(),
                                             "0.0.0.0:%d" % service.free_port()),
                             capture_output=True, text=True, timeout=30)
    check.true(refused.returncode != 0 and "not a loopback address" in refused.stderr,
               "a page on 0.0.0.0 without a token does not start: %s"
               % refused.stderr.splitlines()[0] if refused.stderr else "")


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--symbols", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    check = Checks("report-page")
    shutil.rmtree(args.work, ignore_errors=True)
    shutil.rmtree(args.shots, ignore_errors=True)
    os.makedirs(args.work)
    os.makedirs(args.shots)

    if not any(f.endswith(".map") for f in os.listdir(args.symbols)):
        # Without the Windows build: a stand-in map, as the service reads any.
        args.symbols = os.path.join(args.work, "symbols")
        os.makedirs(args.symbols)
        service.stand_in_map(args.symbols)
    build, functions = read_map(args.symbols)
    # A function of the installer's own, somewhere in the middle of it.
    starts = sorted(functions)
    rva = next(r for r in starts if functions[r].startswith("CrashFilter"))
    gap = starts[starts.index(rva) + 1] - rva
    name = "%s+0x%X" % (functions[rva], gap // 2)

    intake = "127.0.0.1:%d" % service.free_port()
    page = "127.0.0.1:%d" % service.free_port()
    process = service.start(service.command(args.program, os.path.join(args.work, "reports.db"),
                                            intake, page, symbols=args.symbols),
                            os.path.join(args.work, "quil-reports.log"))
    profile = tempfile.mkdtemp(prefix="chromium-")
    try:
        at_base, candidate = feed(check, intake, build, rva, gap)
        url = "http://%s/" % page
        dom = Dom(browser(["--dump-dom"], url, profile)).root
        href = check_groups_page(check, dom, name, at_base, candidate, build)
        browser(["--screenshot=" + os.path.join(args.shots, "groups.png"),
                 "--window-size=1280,1000"], url, profile)
        if check.true(href is not None, "a group links to its page"):
            group = Dom(browser(["--dump-dom"], "http://%s%s" % (page, href), profile)).root
            check.equal(len(list(group.find_all("tr", "report"))), 3,
                        "the group's page lists its 3 reports")
            check.true(any(name in td.text() for td in group.find_all("td", "function")),
                       "and names its function")
            browser(["--screenshot=" + os.path.join(args.shots, "group.png"),
                     "--window-size=1280,800"], "http://%s%s" % (page, href), profile)
        unparsed = Dom(browser(["--dump-dom"], url + "unparsed", profile)).root
        check.true(any(c.text() == "log=\\x00<b>not+four+lines</b>" for c in unparsed.find_all("code")),
                   "an unparsed body shows as text, its NUL byte as \\x00")
        check_regression(check, intake, page, profile, args.shots, at_base, candidate, build)
        for shot in ("groups.png", "group.png", "regressed.png", "group-regressed.png"):
            path = os.path.join(args.shots, shot)
            check.true(os.path.exists(path) and os.path.getsize(path) > 10000,
                       "a screenshot of the page: %s" % path)
    finally:
        process.terminate()
        process.wait(timeout=30)
        shutil.rmtree(profile, ignore_errors=True)
    check_token(check, args.program, args.work)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
