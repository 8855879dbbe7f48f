"""The Windows launcher's splash under Wine on a virtual X screen (Xvfb): where
the window sits, that the picture builds up at partial weight, and that a start
with arguments shows nothing."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import wine  # noqa: E402
import xscreen  # noqa: E402
from xscreen import SPLASH_HEIGHT, SPLASH_WIDTH, SPLASH_X, SPLASH_Y  # noqa: E402

SHARED = {}


def setUpModule():
    shared = tempfile.mkdtemp(prefix="mirelk-wine-splash-")
    SHARED["dir"] = shared
    splash = os.path.join(shared, "splash.bmp")
    xscreen.make_sample_splash(splash)
    _, _, picture = xscreen.read_bmp(splash)
    # Unpacking this keeps the last frame up for a moment after the fade.
    payload = os.path.join(shared, "payload.bin")
    with open(payload, "wb") as f:
        f.truncate(64 << 20)
    installer = os.path.join(shared, "setup.exe")
    shutil.copyfile(wine.RECORDER, installer)
    package = os.path.join(shared, "big.pkg")
    subprocess.run([wine.PACK, "create", "-o", package, "--launch", "setup.exe", installer, payload],
                   check=True, capture_output=True)
    os.unlink(payload)
    launcher = os.path.join(shared, "launcher.exe")
    subprocess.run([wine.LINK, package, launcher, splash], check=True, capture_output=True)
    wine.ensure_prefix()
    # The prefix's processes must take their display from these runs.
    wine.end_wine_session()
    SHARED.update(picture=picture, launcher=launcher, server=xscreen.XServer())


def tearDownModule():
    if "server" in SHARED:
        wine.end_wine_session()
        SHARED["server"].stop()
    if "dir" in SHARED:
        shutil.rmtree(SHARED["dir"], ignore_errors=True)


def changed_box(shot, background):
    """The smallest rectangle holding every pixel that differs from the
    background capture, as (left, top, right, bottom); None when none does."""
    left = top = right = bottom = None
    width, height = shot.width, shot.height
    now = shot.region(0, 0, width, height)
    before = background.region(0, 0, width, height)
    row_bytes = width * 3
    for y in range(height):
        row_now = now[y * row_bytes:(y + 1) * row_bytes]
        row_before = before[y * row_bytes:(y + 1) * row_bytes]
        if row_now == row_before:
            continue
        xs = [x for x in range(width) if row_now[3 * x:3 * x + 3] != row_before[3 * x:3 * x + 3]]
        top = y if top is None else top
        bottom = y + 1
        left = xs[0] if left is None else min(left, xs[0])
        right = xs[-1] + 1 if right is None else max(right, xs[-1] + 1)
    return None if top is None else (left, top, right, bottom)


class WineSplash(wine.WineCase):
    def run_watched(self, after_name):
        """Runs the launcher with `after_name` after its name and captures the
        screen until it ends; returns (exit code, captures, background)."""
        server = SHARED["server"]
        display = server.display
        background = xscreen.capture(display)
        command = self.start_with(SHARED["launcher"], after_name)
        environment = wine.wine_environment({"DISPLAY": display,
                                             "MIRELK_RECORD": wine.windows_path(self.record)})
        with open(self.path("wine-output"), "wb") as output:
            process = subprocess.Popen(
                command, cwd=self.root, env=environment, stdout=output, stderr=output)
            shots = []
            while process.poll() is None:
                shots.append(xscreen.capture(display))
            process.wait(timeout=120)
        return process.returncode, shots, background

    def test_splash_fades_in_centred_and_is_gone_before_the_installer(self):
        code, shots, background = self.run_watched(b"")
        self.assertEqual(code, 1)
        self.assertEqual(self.leftovers(), [])
        self.assertTrue(os.path.exists(os.path.join(self.record, "cmdline")))
        empty = xscreen.splash_area(background)

        weights = []
        for shot in shots:
            area = xscreen.splash_area(shot)
            if area == empty:
                continue
            # Whatever changed lies within the window's place.
            box = changed_box(shot, background)
            self.assertGreaterEqual(box[0], SPLASH_X, box)
            self.assertGreaterEqual(box[1], SPLASH_Y, box)
            self.assertLessEqual(box[2], SPLASH_X + SPLASH_WIDTH, box)
            self.assertLessEqual(box[3], SPLASH_Y + SPLASH_HEIGHT, box)
            weights.append((xscreen.weight(area, SHARED["picture"]), box))
        self.assertGreaterEqual(len(weights), 2, "the splash was never captured")

        # The picture's colours, never at full strength, rising frame by frame
        # (captures between two frames repeat a weight).
        values = [w for w, _ in weights]
        self.assertEqual(values, sorted(values), values)
        self.assertGreater(len(set(round(w, 3) for w in values)), 1, values)
        self.assertLess(values[-1], 0.9)
        self.assertGreater(values[-1], 0.8)
        # Once the picture shows nowhere near black, the window fills exactly
        # its place: 397 x 210 with its top-left corner at (313, 279).
        _, last_box = weights[-1]
        self.assertEqual(last_box, (SPLASH_X, SPLASH_Y, SPLASH_X + SPLASH_WIDTH, SPLASH_Y + SPLASH_HEIGHT))
        # The window is gone once the run is over.
        self.assertEqual(xscreen.splash_area(xscreen.capture(SHARED["server"].display)), empty)

    def test_start_with_arguments_shows_no_window(self):
        code, shots, background = self.run_watched(b" /S")
        self.assertEqual(code, 1)
        self.assertTrue(shots)
        empty = xscreen.splash_area(background)
        for shot in shots:
            self.assertEqual(xscreen.splash_area(shot), empty)
        self.assertTrue(self.recorded("cmdline").endswith(b'" /S'))


if __name__ == "__main__":
    unittest.main()
