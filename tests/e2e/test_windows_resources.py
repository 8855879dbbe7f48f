"""mirelk-pack attach against the Windows build: a setup made from the
prebuilt stub carries the resources the CMake build links in, byte for byte,
and windres agrees for other inputs. Needs no Wine."""

import json
import os
import subprocess
import unittest

from pe_resources import bmp, check_valid, dib, ico, png, read_res_file, read_resources, run_attach
from windows_target import PACK, SAMPLE, SAMPLE_LAUNCHER, STUB
from workspace import WorkspaceCase

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# The build's version values and mirelk-pack attach's options for them.
VERSION_OPTIONS = [("COMPANY", "--version-info", "CompanyName="),
                   ("DESCRIPTION", "--version-info", "FileDescription="),
                   ("COPYRIGHT", "--version-info", "LegalCopyright="),
                   ("ORIGINAL_FILENAME", "--version-info", "OriginalFilename="),
                   ("PRODUCT_NAME", "--version-info", "ProductName="),
                   ("FILE_VERSION", "--file-version", ""),
                   ("PRODUCT_VERSION", "--product-version", "")]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def fnv1a(data):
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value


class WrittenLikeTheBuild(WorkspaceCase):
    def test_same_resources_as_the_launcher_the_build_links(self):
        with open(os.path.join(os.path.dirname(STUB), "launcher-inputs.txt"), encoding="utf-8") as f:
            options = f.read().splitlines()
        out = self.path("made.exe")
        result = run_attach(PACK, STUB, out, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        check_valid(self, read(out), read(STUB))
        self.assertEqual(read_resources(out), read_resources(SAMPLE_LAUNCHER))

    def test_same_resources_as_windres_writes_from_the_build_script(self):
        odd_icon = self.path("odd.ico")
        with open(odd_icon, "wb") as f:
            # Directory entries with planes or bits left at 0, a colour count, a
            # set reserved byte, and a 256-pixel PNG image.
            f.write(ico([(16, 16, 0, 0, 0, 0, dib(16, 16, 32)),
                         (32, 32, 16, 7, 1, 0, dib(32, 32, 4)),
                         (0, 0, 0, 0, 1, 32, png(256)),
                         (24, 24, 0, 0, 2, 9, dib(24, 24, 8))]))
        splash = self.path("splash.bmp")
        with open(splash, "wb") as f:
            f.write(bmp(33, 9))
        sample_icon = os.path.join(SAMPLE, "icon.ico")
        cases = [
            {"COMPANY": 'Say "hi" \\ C:\\new\\table', "DESCRIPTION": "Installateur de l’été 安装程序 😀",
             "COPYRIGHT": "", "PRODUCT_NAME": "x", "ORIGINAL_FILENAME": "a b.exe",
             "FILE_VERSION": "2", "PRODUCT_VERSION": "65535.0.1.2", "ICON_FILE": sample_icon},
            {"COMPANY": "Mirelk", "DESCRIPTION": "d" * 301, "COPYRIGHT": "©", "PRODUCT_NAME": "Odd icon",
             "ORIGINAL_FILENAME": "setup.exe", "FILE_VERSION": "3.4", "PRODUCT_VERSION": "0.0.0.0",
             "ICON_FILE": odd_icon},
        ]
        for values in cases:
            with self.subTest(description=values["DESCRIPTION"][:20]):
                inputs = dict(values, PACKAGE_FILE=os.path.join(SAMPLE, "sample.pkg"), SPLASH_FILE=splash)
                with open(self.path("inputs.json"), "w", encoding="utf-8") as f:
                    json.dump(inputs, f, ensure_ascii=False)
                script, compiled = self.path("launcher.rc"), self.path("launcher.res")
                subprocess.run([os.environ["MIRELK_CMAKE"], "-DINPUTS=" + self.path("inputs.json"), "-DOUT=" + script,
                                "-P", os.path.join(SOURCE, "tests", "win32", "launcher-rc.cmake")], check=True)
                subprocess.run([os.environ["MIRELK_RC_COMPILER"], "-I", SOURCE, "-O", "res", "-i", script,
                                "-o", compiled], check=True)
                options = ["--package", inputs["PACKAGE_FILE"], "--splash", splash, "--icon", inputs["ICON_FILE"]]
                for key, option, prefix in VERSION_OPTIONS:
                    options += [option, prefix + values[key]]
                out = self.path("made.exe")
                result = run_attach(PACK, STUB, out, *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(read_resources(out), read_res_file(compiled))


if __name__ == "__main__":
    unittest.main()
