"""A session's screen: an Xvfb display with Wine's own desktop on it, the
keys and clicks sent to it, and its screenshots."""

import os
import select
import subprocess
import time

from checks import JourneyError, log


class Display:
    """The X side of a session: part of Session."""

    def _set_desktop(self):
        """Every program of the session runs on Wine's own virtual desktop, a
        screen of its own inside the X display, as on a user's desktop: on
        a bare X display Wine waits two seconds for a window manager each
        time a window is hidden, and screenshots keep windows that are gone.
        Written into the copy's registry before its wineserver starts."""
        stamp = int(time.time())
        with open(os.path.join(self.prefix, "user.reg"), "a") as f:
            f.write('\n[Software\\\\Wine\\\\Explorer] %d\n"Desktop"="Default"\n'
                    '\n[Software\\\\Wine\\\\Explorer\\\\Desktops] %d\n"Default"="%dx%d"\n'
                    % (stamp, stamp, self.screen[0], self.screen[1]))

    def _start_display(self):
        # Xvfb picks a free display number itself and writes it to the pipe.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % self.screen,
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.root, "xvfb.log"), "w"))
        os.close(write_end)
        # Xvfb writes the number and the newline separately, and dies if the
        # pipe is gone before the newline: read up to it.
        answer = b""
        deadline = time.monotonic() + 30
        while not answer.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 32) if ready else b""
            if not chunk:
                break
            answer += chunk
        os.close(read_end)
        number = answer.decode().strip()
        if not number.isdigit():
            raise JourneyError("Xvfb gave no display number within 30 s")
        self.display = ":" + number

    def _xenv(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        return env

    def key(self, window, *keys):
        """Sends keys to a window, as typed by the user. On Wine's desktop
        they go through the X test extension, as from a keyboard, to the
        window with the input focus, once Wine has made `window` the
        foreground window (it passes on keys sent to a window of its desktop
        directly only now and then). On a bare display they are sent to the
        window itself, which has no input focus to go by."""
        log("keys %s to %r" % (" ".join(keys), window))
        for key in keys:
            if self.desktop:
                self.wait_foreground(window)
                self._xdotool(["key", key])
                continue
            # Pressed and released apart: a key that closes its window (Enter
            # on a dialog) may take the window away before its release.
            self._xdotool(["keydown", "--window", str(window.xid), key])
            self._xdotool(["keyup", "--window", str(window.xid), key], gone_is_fine=True)

    def _xdotool(self, args, gone_is_fine=False):
        with self.spent.on("xdotool"):
            out = subprocess.run(["xdotool"] + args, env=self._xenv(), capture_output=True,
                                 text=True, timeout=30)
        if out.returncode != 0 and not (gone_is_fine and "BadWindow" in out.stderr):
            raise JourneyError("xdotool %s failed: %s" % (" ".join(args), out.stderr.strip()))

    def click(self, window, control_id):
        """Clicks the middle of one of a window's controls with the mouse,
        once the window is the foreground one."""
        current = self.wait_foreground(window)
        control = current.control(control_id)
        if control is None or "rect" not in control:
            raise JourneyError("%r has no control %d to click" % (window, control_id))
        left, top, right, bottom = control["rect"]
        log("click on %r of %r" % (control["text"], window))
        self._xdotool(["mousemove", "--sync", str((left + right) // 2), str((top + bottom) // 2),
                       "click", "1"])

    def shot(self, name):
        """A screenshot of the whole display, numbered in the journey's order."""
        self.shot_count += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.shot_count, name))
        with self.spent.on("screenshot"):
            subprocess.run(["import", "-window", "root", path], env=self._xenv(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if not os.path.exists(path):
            log("warning: no screenshot %s" % path)
        return path
