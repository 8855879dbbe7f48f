"""The splash on a real X server (Xvfb): where the window sits, how the picture
builds up, that it is gone when the installer starts, and every start that
must show no window at all."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import LauncherCase, STUB, tool  # noqa: E402
import xscreen  # noqa: E402
from xscreen import (FRAMES, SPLASH_HEIGHT, SPLASH_WIDTH, SPLASH_X, SPLASH_Y,  # noqa: E402
                     WINDOW_TITLE)

# Records the arguments and whether the splash window still exists when the
# installer runs (xdotool search exits 1 when it finds nothing).
INSTALLER = f"""#!/bin/sh
xdotool search --name "{WINDOW_TITLE}" > "$MIRELK_RECORD/windows" 2>/dev/null
echo $? > "$MIRELK_RECORD/search-status"
for arg in "$@"; do printf '%s\\0' "$arg"; done > "$MIRELK_RECORD/args"
""".encode()

# Decoding and writing this keeps the last frame up for a while after the
# fade, so that captures can see it.
PAYLOAD_SIZE = 64 << 20


def find_windows(display):
    result = subprocess.run(["xdotool", "search", "--name", WINDOW_TITLE],
                            env=dict(os.environ, DISPLAY=display), capture_output=True)
    return [int(line) for line in result.stdout.split()]


SHARED = {}


def setUpModule():
    missing = [name for name in ("Xvfb", "xwd", "xdotool") if shutil.which(name) is None]
    if missing:
        raise RuntimeError(f"the splash tests need {', '.join(missing)} "
                           "(Debian: xvfb, x11-apps, xdotool)")
    shared = tempfile.mkdtemp(prefix="mirelk-splash-")
    SHARED["dir"] = shared
    splash = os.path.join(shared, "splash.bmp")
    xscreen.make_sample_splash(splash)
    width, height, picture = xscreen.read_bmp(splash)
    assert (width, height) == (SPLASH_WIDTH, SPLASH_HEIGHT), (width, height)
    installer = os.path.join(shared, "setup.sh")
    with open(installer, "wb") as f:
        f.write(INSTALLER)
    payload = os.path.join(shared, "payload.bin")
    with open(payload, "wb") as f:
        f.truncate(PAYLOAD_SIZE)
    package = os.path.join(shared, "big.pkg")
    tool("create", "-o", package, "--launch", "setup.sh", installer, payload)
    os.unlink(payload)
    SHARED.update(splash=splash, picture=picture, frames=xscreen.fade_frames(picture),
                  package=package, server=xscreen.XServer())


def tearDownModule():
    if "server" in SHARED:
        SHARED["server"].stop()
    if "dir" in SHARED:
        shutil.rmtree(SHARED["dir"], ignore_errors=True)


class SplashCase(LauncherCase):
    def setUp(self):
        super().setUp()
        self.server = SHARED["server"]
        self.splash = SHARED["splash"]
        self.picture = SHARED["picture"]
        self.frames = SHARED["frames"]
        self.package = SHARED["package"]

    def make_splash_launcher(self, splash=None, name="launcher", package=None):
        out = self.path(name)
        args = ["attach", "--stub", STUB, "--package", package or self.package, "-o", out]
        if splash is not None:
            args[1:1] = ["--splash", splash]
        tool(*args)
        return out

    def start(self, launcher, args=(), display=None):
        environment = dict(os.environ, TMPDIR=self.tmp, MIRELK_RECORD=self.record,
                           DISPLAY=display or self.server.display)
        return subprocess.Popen([launcher, *args], cwd=self.root, env=environment,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def watch(self, process, display=None, seconds=60):
        """Captures the screen over and over until the launcher ends; each
        capture as (splash area, its surroundings)."""
        shots = []
        deadline = time.monotonic() + seconds
        while process.poll() is None and time.monotonic() < deadline:
            shot = xscreen.capture(display or self.server.display)
            shots.append((xscreen.splash_area(shot), xscreen.surroundings(shot)))
        return shots

    def finish(self, process, seconds=60):
        try:
            out, err = process.communicate(timeout=seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            self.fail(f"the launcher was still running after {seconds} s")
        self.assertEqual(process.returncode, 1, err)
        self.assertEqual(out, b"")
        self.assertEqual(err, b"")
        self.assertEqual(self.leftovers(), [])

    def assert_same(self, shown, expected, what):
        """Compares two pixel areas without printing them whole."""
        if shown != expected:
            differing = sum(a != b for a, b in zip(shown, expected))
            self.fail(f"{what}: {differing} of {len(expected)} bytes differ")

    def frame_shown(self, area, background):
        """What the splash area shows: None for the background, (k, k) for
        exactly frame k, (k, k + 1) for a capture taken while frame k + 1 was
        being drawn over frame k (see xscreen.frames_shown); fails for
        anything else. The pairs sort in the order the screen goes through."""
        if area == background:
            return None
        shown = xscreen.frames_shown(area, self.frames)
        if shown is not None:
            return shown
        closest = min(range(FRAMES), key=lambda k: sum(
            abs(a - b) for a, b in zip(area, self.frames[k])))
        worst = max(abs(a - b) for a, b in zip(area, self.frames[closest]))
        self.fail(f"the splash area matches no frame, nor two neighbours "
                  f"(closest {closest}, off by up to {worst})")

    def run_without_a_window(self, launcher, args=()):
        """Runs the launcher to its end and checks that it showed no window:
        none was created, and the screen never changed."""
        before = xscreen.capture(self.server.display)
        events = xscreen.WindowEvents(self.server.display)
        try:
            process = self.start(launcher, args)
            shots = self.watch(process)
            self.finish(process)
            found = events.take()
        finally:
            events.close()
        self.assert_no_window(found, shots, xscreen.splash_area(before),
                              xscreen.surroundings(before))

    def start_mid_fade(self, launcher, server, done_to_server):
        """Starts the launcher on `server` and returns its process once a
        frame part-way through the fade is on the screen, so that what is
        then done to the server comes before the fade has ended."""
        background = xscreen.splash_area(xscreen.capture(server.display))
        process = self.start(launcher, display=server.display)
        deadline = time.monotonic() + 60
        frames = None
        while process.poll() is None and time.monotonic() < deadline:
            frames = self.frame_shown(xscreen.splash_area(xscreen.capture(server.display)),
                                      background)
            if frames is not None and frames[0] >= 2:
                break
        self.assertIsNotNone(frames)
        self.assertLess(frames[0], FRAMES - 1,
                        f"the fade ended before the server could be {done_to_server}")
        return process

    def assert_no_window(self, events, shots, background, surroundings):
        self.assertEqual([e for e in events if e["type"] == "create"], [])
        for area, around in shots:
            self.assert_same(area, background, "splash area")
            self.assert_same(around, surroundings, "around the splash")
        self.assertEqual(self.recorded("windows"), b"")
        self.assertEqual(self.recorded("search-status"), b"1\n")


class SplashWindow(SplashCase):
    def test_picture_builds_up_centred_and_is_gone_when_the_installer_starts(self):
        launcher = self.make_splash_launcher(self.splash)
        before = xscreen.capture(self.server.display)
        background, surroundings = xscreen.splash_area(before), xscreen.surroundings(before)
        self.assertTrue(background != self.frames[0], "the root must not look like the window")
        events = xscreen.WindowEvents(self.server.display)
        self.addCleanup(events.close)

        began = time.monotonic()
        process = self.start(launcher)
        shots = []
        titled = None
        while process.poll() is None:
            shot = xscreen.capture(self.server.display)
            shots.append((xscreen.splash_area(shot), xscreen.surroundings(shot)))
            if titled is None and shots[-1][0] != background:
                titled = find_windows(self.server.display)
        elapsed = time.monotonic() - began
        self.finish(process)

        # The ten frames sleep 100 ms each.
        self.assertGreaterEqual(elapsed, 1.0)

        seen = events.take()
        creates = [e for e in seen if e["type"] == "create"]
        self.assertEqual(len(creates), 1, seen)
        window = creates[0]
        self.assertEqual((window["x"], window["y"], window["width"], window["height"]),
                         (SPLASH_X, SPLASH_Y, SPLASH_WIDTH, SPLASH_HEIGHT))
        self.assertEqual(window["border"], 0)
        self.assertEqual(window["override_redirect"], 1)
        ours = [e["type"] for e in seen if e["window"] == window["window"]]
        self.assertEqual(ours, ["create", "map", "destroy"])
        # While it was up, it carried its title.
        self.assertEqual(titled, [window["window"]])

        # Outside the window the screen never changed; inside, each capture
        # shows the background, exactly one frame of the fade, or one frame
        # part drawn over the one before; never going back, and never the
        # picture at full strength.
        shown = []
        for area, around in shots:
            self.assert_same(around, surroundings, "around the splash")
            frames = self.frame_shown(area, background)
            if frames is not None:
                shown.append((frames, area))
        states = [frames for frames, _ in shown]
        self.assertEqual(states, sorted(states))
        # The weights are taken from the captures of one whole frame.
        whole = [(low, area) for (low, high), area in shown if low == high]
        distinct = sorted(set(frame for frame, _ in whole if frame > 0))
        self.assertGreaterEqual(len(distinct), 2, f"captured frames {states}")
        weights = []
        for frame in distinct:
            area = next(area for k, area in whole if k == frame)
            weights.append(xscreen.weight(area, self.picture))
        self.assertEqual(weights, sorted(weights))
        self.assertEqual(len(set(weights)), len(weights))
        self.assertLess(weights[-1], 0.88)
        self.assertGreater(weights[0], 0.0)
        # The last frame stays up while the package unpacks.
        self.assertEqual(distinct[-1], FRAMES - 1, f"captured frames {states}")
        self.assertAlmostEqual(weights[-1], 0.87, delta=0.01)

        self.assertEqual(self.recorded("args"), b"")
        self.assertEqual(self.recorded("windows"), b"")
        self.assertEqual(self.recorded("search-status"), b"1\n")

    def test_start_with_an_argument_shows_no_window(self):
        self.run_without_a_window(self.make_splash_launcher(self.splash), ["/S"])
        self.assertEqual(self.recorded("args"), b"/S\0")

    def test_launcher_without_a_splash_picture_shows_no_window(self):
        self.run_without_a_window(self.make_splash_launcher(None))
        self.assertEqual(self.recorded("args"), b"")

    def test_damaged_picture_shows_no_window(self):
        # mirelk-pack attach refuses such pictures, so each is damaged in place
        # in a launcher made with the good one.
        with open(self.splash, "rb") as f:
            good = f.read()
        rows = int.from_bytes(good[22:26], "little", signed=True)
        damaged = {
            "more rows than it holds": (22, rows + 1 if rows > 0 else rows - 1),
            "pixels past the end": (10, 0x7FFFFFF0),
            "absurd width": (18, 100000),
        }
        for what, (field, value) in damaged.items():
            with self.subTest(what):
                launcher = self.make_splash_launcher(self.splash, what.replace(" ", "-"))
                with open(launcher, "r+b") as f:
                    picture = f.read().find(good)
                    self.assertGreater(picture, 0)
                    f.seek(picture + field)
                    f.write(value.to_bytes(4, "little", signed=True))
                self.run_without_a_window(launcher)

    def test_no_reachable_display_means_no_splash_and_no_message(self):
        launcher = self.make_splash_launcher(self.splash)
        # A display number nobody serves.
        unused = next(f":{n}" for n in range(500, 600)
                      if not os.path.exists(f"/tmp/.X11-unix/X{n}"))
        for display in ("", unused):
            with self.subTest(display=display):
                environment = dict(os.environ, TMPDIR=self.tmp, MIRELK_RECORD=self.record,
                                   DISPLAY=display)
                result = subprocess.run([launcher], cwd=self.root, env=environment,
                                        capture_output=True, timeout=60)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(self.recorded("args"), b"")
                self.assertEqual(self.leftovers(), [])


class CaptureJudging(SplashCase):
    def test_only_one_frame_or_a_frame_drawn_over_the_one_before_passes(self):
        frames, row = self.frames, SPLASH_WIDTH * 3

        def over(top, bottom, at):
            return top[:at] + bottom[at:]

        # One byte at a value no frame has there.
        odd = bytearray(frames[5])
        at = len(odd) // 2 + 1
        odd[at] = next(v for v in range(256) if all(f[at] != v for f in frames))
        swapped = bytearray(frames[5])
        swapped[0::3], swapped[2::3] = frames[5][2::3], frames[5][0::3]
        # Xlib's first request holds 165 rows; any other split would do as well.
        split, inside_a_row = 165 * row, 100 * row + 600
        cases = {
            "frame 5": (frames[5], (5, 5)),
            "frame 5 over frame 4, split where Xlib splits": (over(frames[5], frames[4], split),
                                                              (4, 5)),
            "frame 5 over frame 4, split inside a row": (over(frames[5], frames[4], inside_a_row),
                                                         (4, 5)),
            "frame 6 over frame 4": (over(frames[6], frames[4], split), None),
            "frame 5 with one byte off": (bytes(odd), None),
            "frame 5 one row low": (bytes(row) + frames[5][:-row], None),
            "frame 5 with red and blue swapped": (bytes(swapped), None),
            "the picture at full strength": (self.picture, None),
        }
        for what, (area, expected) in cases.items():
            with self.subTest(what):
                self.assertEqual(xscreen.frames_shown(area, frames), expected)


class ServerGoesAway(SplashCase):
    def test_server_dying_mid_fade_does_not_end_the_run(self):
        server = xscreen.XServer()
        self.addCleanup(server.stop)
        launcher = self.make_splash_launcher(self.splash)
        process = self.start_mid_fade(launcher, server, "killed")
        server.kill()
        self.finish(process)
        self.assertTrue(os.path.exists(os.path.join(self.record, "args")),
                        "the installer never ran")
        self.assertEqual(self.recorded("args"), b"")


class SilentServer:
    """A socket where an X server would listen, on a display number nobody
    serves: it accepts connections and never says a word."""

    def __init__(self):
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        for number in range(700, 800):
            self.path = f"/tmp/.X11-unix/X{number}"
            if os.path.exists(self.path):
                continue
            try:
                self.listener.bind(self.path)
                break
            except OSError:
                continue
        else:
            raise RuntimeError("no free display number for the silent server")
        self.display = f":{number}"
        self.listener.listen(8)
        self.accepted = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                self.accepted.append(self.listener.accept()[0])
        except OSError:
            pass

    def stop(self):
        self.listener.close()
        for connection in self.accepted:
            connection.close()
        os.unlink(self.path)


class StuckServer(SplashCase):
    """A server that takes the connection but never answers holds the splash
    back, never the run: past a deadline the run goes on without a window."""

    def setUp(self):
        super().setUp()
        # An installer that leaves the display alone (the splash suite's own
        # asks the server for windows, which would wait just as long).
        installer = self.path("plain.sh")
        with open(installer, "wb") as f:
            f.write(b"#!/bin/sh\necho ran > \"$MIRELK_RECORD/args\"\n")
        self.plain_package = self.path("plain.pkg")
        tool("create", "-o", self.plain_package, "--launch", "plain.sh", installer)

    def stopped_server(self):
        server = xscreen.XServer()
        self.addCleanup(server.stop)
        self.addCleanup(os.kill, server.process.pid, signal.SIGCONT)
        os.kill(server.process.pid, signal.SIGSTOP)
        return server.display

    def silent_socket(self):
        server = SilentServer()
        self.addCleanup(server.stop)
        return server.display

    def test_server_that_never_answers_does_not_hold_the_run(self):
        launcher = self.make_splash_launcher(self.splash, package=self.plain_package)
        for what, display in (("a stopped Xvfb", self.stopped_server),
                              ("a socket that stays silent", self.silent_socket)):
            with self.subTest(what):
                process = self.start(launcher, display=display())
                # Generous: it only has to end, not hang forever.
                self.finish(process, seconds=30)
                self.assertEqual(self.recorded("args"), b"ran\n")
                os.unlink(os.path.join(self.record, "args"))

    def test_server_stopped_mid_fade_does_not_hold_the_run(self):
        server = xscreen.XServer()
        self.addCleanup(server.stop)
        launcher = self.make_splash_launcher(self.splash, package=self.plain_package)
        process = self.start_mid_fade(launcher, server, "stopped")
        os.kill(server.process.pid, signal.SIGSTOP)
        self.addCleanup(os.kill, server.process.pid, signal.SIGCONT)
        self.finish(process, seconds=30)
        self.assertEqual(self.recorded("args"), b"ran\n")


if __name__ == "__main__":
    unittest.main()
