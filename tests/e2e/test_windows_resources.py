"""The resource writer against the Windows build: a launcher written from the
bare stub carries the resources the CMake build links in, byte for byte, and
windres agrees for other inputs; Wine's loader finds what was written in PE32
and PE32+ images, and the written launcher runs."""

import json
import os
import subprocess
import unittest

from pe_resources import bmp, check_valid, dib, ico, png, read_res_file, read_resources, run_writer
from wine import BUILD, RECORDER, WineCase, wine_environment
from workspace import WorkspaceCase

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DRIVER = os.path.join(BUILD, "host", "write-launcher-resources")
BARE = os.path.join(BUILD, "mirelk-bare.exe")
SAMPLE = os.path.join(BUILD, "sample")
PROBE_DIR = os.path.join(BUILD, "tests", "win32")

# The build's version values and write-launcher-resources' options for them.
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
        with open(os.path.join(BUILD, "launcher-inputs.txt"), encoding="utf-8") as f:
            options = f.read().splitlines()
        out = self.path("made.exe")
        result = run_writer(DRIVER, BARE, out, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        check_valid(self, read(out), read(BARE))
        self.assertEqual(read_resources(out), read_resources(os.path.join(BUILD, "mirelk-launcher.exe")))

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
                result = run_writer(DRIVER, BARE, out, *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(read_resources(out), read_res_file(compiled))


class FoundUnderWine(WineCase):
    def write(self, stub, *options):
        out = self.path("written.exe")
        result = run_writer(DRIVER, stub, out, "--splash", os.path.join(SAMPLE, "splash.bmp"),
                            "--icon", os.path.join(SAMPLE, "icon.ico"), "--file-version", "1.2.3.4", *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return out

    def test_launcher_written_from_the_bare_stub_runs(self):
        package = self.make_package({"setup.exe": read(RECORDER), "readme.txt": b"read me"}, launch="setup.exe")
        for level in ["asInvoker", "requireAdministrator"]:
            with self.subTest(level=level):
                launcher = self.write(BARE, "--package", package, "--execution-level", level)
                code, _ = self.run_launcher(launcher, b" /S")
                self.assertEqual(code, 1)
                self.assertTrue(self.recorded("cmdline").endswith(b'" /S'))
                self.assertEqual(self.leftovers(), [])

    def test_the_loader_finds_every_resource_written(self):
        loaders = [("resource-probe.exe", ["wine"], {}),
                   ("resource-probe64.exe", ["/usr/lib/wine/wine64"], {"WINELOADER": "/usr/lib/wine/wine64"})]
        for name, loader, environment in loaders:
            with self.subTest(probe=name):
                probe = os.path.join(PROBE_DIR, name)
                if not os.path.exists(probe):
                    self.skipTest(name + " was not built: no x86-64 mingw-w64 compiler")
                written = self.write(probe, "--package", os.path.join(SAMPLE, "sample.pkg"),
                                     "--execution-level", "highestAvailable")
                expected = read_resources(written)
                self.assertIn((10, 7, 0), expected)  # the probe's own resource, kept
                arguments = []
                lines = []
                for (kind, name_or_id, _), data in sorted(expected.items(), key=str):
                    keys = [k if isinstance(k, str) else "#%d" % k for k in (kind, name_or_id)]
                    arguments += keys
                    lines.append("%s %s %d %08x" % (*keys, len(data), fnv1a(data)))
                result = subprocess.run([*loader, written, *arguments], capture_output=True, timeout=300,
                                        env=wine_environment(environment))
                self.assertEqual(result.stdout.decode().splitlines(), lines)
                self.assertEqual(result.returncode, 0)


if __name__ == "__main__":
    unittest.main()
