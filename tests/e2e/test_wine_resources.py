"""Setups from mirelk-pack attach under Wine: the loader finds every resource
written into an image of this build's kind (PE32 or PE32+), and a setup made
from the prebuilt stub runs."""

import os
import subprocess
import unittest

from pe_resources import read_resources, run_attach
from test_windows_resources import fnv1a, read
from wine import BUILD, PACK, RECORDER, SAMPLE, STUB, WINE, WineCase, wine_environment

PROBE_DIR = os.path.join(BUILD, "tests", "win32")


class FoundUnderWine(WineCase):
    def write(self, stub, *options):
        out = self.path("written.exe")
        result = run_attach(PACK, stub, out, "--splash", os.path.join(SAMPLE, "splash.bmp"),
                            "--icon", os.path.join(SAMPLE, "icon.ico"), "--file-version", "1.2.3.4", *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return out

    def test_setup_made_from_the_stub_runs(self):
        package = self.make_package({"setup.exe": read(RECORDER), "readme.txt": b"read me"}, launch="setup.exe")
        for level in ["asInvoker", "requireAdministrator"]:
            with self.subTest(level=level):
                launcher = self.write(STUB, "--package", package, "--execution-level", level)
                code, _ = self.run_launcher(launcher, b" /S")
                self.assertEqual(code, 1)
                self.assertTrue(self.recorded("cmdline").endswith(b'" /S'))
                self.assertEqual(self.leftovers(), [])

    def test_the_loader_finds_every_resource_written(self):
        # The probe is an image of this build's kind: PE32 or PE32+.
        for name in ["resource-probe.exe"]:
            with self.subTest(probe=name):
                probe = os.path.join(PROBE_DIR, name)
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
                result = subprocess.run([*WINE, written, *arguments], capture_output=True, timeout=300,
                                        env=wine_environment())
                self.assertEqual(result.stdout.decode().splitlines(), lines)
                self.assertEqual(result.returncode, 0)


if __name__ == "__main__":
    unittest.main()
