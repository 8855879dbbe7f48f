"""Shows the sample splash on a virtual screen and writes the window, as the
fade leaves it, to a PNG file.

    python3 tests/splash/screenshot.py BUILD_DIR OUT.png

BUILD_DIR holds mirelk-launcher and mirelk-pack. The image is a real screen
capture; it is written only when it is exactly the fade's last frame.
"""

import os
import subprocess
import sys
import tempfile

import xscreen


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, out = argv[1], argv[2]
    pack = os.path.join(build, "mirelk-pack")
    with tempfile.TemporaryDirectory(prefix="mirelk-screenshot-") as work:
        splash = os.path.join(work, "splash.bmp")
        xscreen.make_sample_splash(splash)
        _, _, picture = xscreen.read_bmp(splash)
        last_frame = xscreen.fade_frames(picture)[-1]

        installer = os.path.join(work, "setup.sh")
        with open(installer, "w") as f:
            f.write("#!/bin/sh\n:\n")
        # Unpacking this keeps the last frame up long enough to be captured.
        payload = os.path.join(work, "payload.bin")
        with open(payload, "wb") as f:
            f.truncate(64 << 20)
        package = os.path.join(work, "sample.pkg")
        launcher = os.path.join(work, "launcher")
        subprocess.run([pack, "create", "-o", package, "--launch", "setup.sh", installer, payload],
                       check=True)
        subprocess.run([pack, "attach", "--stub", os.path.join(build, "mirelk-launcher"),
                        "--package", package, "--splash", splash, "-o", launcher], check=True)
        os.unlink(payload)
        temporary = os.path.join(work, "tmp")
        os.mkdir(temporary)

        server = xscreen.XServer()
        try:
            environment = dict(os.environ, DISPLAY=server.display, TMPDIR=temporary)
            process = subprocess.Popen([launcher], env=environment)
            captured = None
            while process.poll() is None:
                area = xscreen.splash_area(xscreen.capture(server.display))
                if area == last_frame:
                    captured = area
            process.wait()
        finally:
            server.stop()
    if captured is None:
        print("no capture showed the end of the fade", file=sys.stderr)
        return 1
    xscreen.write_png(out, xscreen.SPLASH_WIDTH, xscreen.SPLASH_HEIGHT, captured)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
