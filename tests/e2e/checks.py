"""The one account of what passed and what failed, for the journeys and for
the checks of the built programs (tests/build): each check is one line,
"  ok   WHAT" or "  FAIL WHAT", and the account ends with the counts."""


def log(text):
    print(text, flush=True)


class JourneyError(Exception):
    """A journey cannot go on: a window that never came, a program that hung."""


class DesktopGone(JourneyError):
    """Wine's desktop process is not running while a window was awaited: the
    session's display failed, not the program (seen under emulation on a
    loaded machine: a black screen, no X window, Quil.exe ended with 0)."""


class Checks:
    def __init__(self, name=None):
        self.name = name
        self.passed = 0
        self.failed = []

    def true(self, ok, what):
        if ok:
            self.passed += 1
            log("  ok   %s" % what)
        else:
            self.fail(what)
        return ok

    def equal(self, actual, expected, what):
        ok = actual == expected
        return self.true(ok, what if ok else "%s: got %r, expected %r" % (what, actual, expected))

    def fail(self, what):
        self.failed.append(what)
        log("  FAIL %s" % what)
        return False

    def summary(self):
        """The counts, last; the exit code of a program of checks."""
        log("%s%d passed, %d failed" % (self.name + ": " if self.name else "", self.passed,
                                        len(self.failed)))
        return 1 if self.failed else 0
