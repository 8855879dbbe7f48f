"""The Windows launcher, run for real under Wine, and the layout of the built
executable."""

import os
import re
import subprocess
import tempfile
import unittest

import wine
from wine import BUILD, RECORDER, WineCase, windows_path
from workspace import make_bundle, xz_package

with open(RECORDER, "rb") as f:
    RECORDING_INSTALLER = f.read()

FILES = {
    "setup.exe": RECORDING_INSTALLER,
    "payload.bin": bytes(range(256)) * 300,
    "empty.dat": b"",
    "readme.txt": b"read me\r\n",
}


class CompletedRuns(WineCase):
    def test_installer_gets_the_tail_as_its_parameters(self):
        launcher = self.link(self.make_package(FILES, launch="setup.exe"))
        # (what follows the launcher's name, the tail the installer must get)
        cases = [
            (b"   ", b""),
            (b' /S "C:\\Program Files\\App"  ', b'/S "C:\\Program Files\\App"  '),
            (b"\t/quiet", b"/quiet"),
            (b"/S", b"/S"),  # right after the closing quote
            (b" caf\xe9 \\\\server\\share \"\" x", b"caf\xe9 \\\\server\\share \"\" x"),
        ]
        for after_name, tail in cases:
            with self.subTest(after_name=after_name):
                code, _ = self.run_launcher(launcher, after_name)
                self.assertEqual(code, 1)
                command_line = self.recorded("cmdline")
                match = re.match(rb'^"([^"]*)"(?: (.*))?$', command_line, re.S)
                self.assertIsNotNone(match, command_line)
                self.assertEqual(match.group(2) or b"", tail)
                self.assertTrue(match.group(1).lower().endswith(b"\\setup.exe"))
                self.assertEqual(self.leftovers(), [])

    def test_unquoted_program_name_and_blank_start(self):
        launcher = self.link(self.make_package(FILES, launch="setup.exe"))
        cases = [
            (b"launcher.exe\targ one", b"arg one"),
            (b"  /S", b"/S"),  # no program name to skip
        ]
        for command_line, tail in cases:
            with self.subTest(command_line=command_line):
                code, _ = self.run_launcher(launcher, program_name=command_line)
                self.assertEqual(code, 1)
                self.assertTrue(self.recorded("cmdline").endswith(b'" ' + tail))

    def test_installer_runs_in_the_launchers_directory_beside_every_file(self):
        launcher = self.link(self.make_package(FILES, launch="setup.exe"))
        workdir = self.path("work dir")
        os.mkdir(workdir)
        code, _ = self.run_launcher(launcher, b" x", cwd=workdir)
        self.assertEqual(code, 1)
        self.assertEqual(self.recorded("cwd").lower(), windows_path(workdir).encode().lower())
        copies = os.path.join(self.record, "files.d")
        received = {}
        for name in os.listdir(copies):
            with open(os.path.join(copies, name), "rb") as f:
                received[name] = f.read()
        self.assertEqual(received, FILES)
        self.assertEqual(self.leftovers(), [])

    def test_launch_path_with_blanks(self):
        launcher = self.link(self.make_package({"my setup.exe": RECORDING_INSTALLER}, launch="my setup.exe"))
        code, _ = self.run_launcher(launcher, b" /S")
        self.assertEqual(code, 1)
        self.assertRegex(self.recorded("cmdline"), rb'^"[^"]*\\my setup\.exe" /S$')
        self.assertEqual(self.leftovers(), [])

    def test_batch_file_opens_with_its_program(self):
        batch = b"@echo off\r\necho [%*]> \"%MIRELK_RECORD%\\batch.txt\"\r\n"
        launcher = self.link(self.make_package({"install.bat": batch, "x.txt": b"x"}, launch="install.bat"))
        code, _ = self.run_launcher(launcher, b" /S two")
        self.assertEqual(code, 1)
        self.assertEqual(self.recorded("batch.txt").strip(), b"[/S two]")
        self.assertEqual(self.leftovers(), [])

    def test_process_left_running_does_not_keep_the_launcher_waiting(self):
        launcher = self.link(self.make_package(FILES, launch="setup.exe"))
        code, seconds = self.run_launcher(launcher, b" --linger")
        self.assertEqual(code, 1)
        # The lingering copy waits ten seconds; the launcher does not.
        self.assertLess(seconds, 8)
        leftovers = self.leftovers()
        wine.wait_for_wine()
        # A running program cannot be deleted on Windows: at most it and its
        # directory stay.
        self.assertTrue(leftovers == [] or (len(leftovers) == 2 and leftovers[1].endswith("/lingering.exe")),
                        leftovers)


class FailureExits(WineCase):
    def test_missing_temporary_directory_ends_with_five(self):
        launcher = self.link(self.make_package(FILES, launch="setup.exe"))
        self.point_temp_at(self.path("missing"))
        code, _ = self.run_launcher(launcher, b" x")
        self.assertEqual(code, 5)
        self.assertFalse(os.path.exists(os.path.join(self.record, "cmdline")))

    def test_rejected_package_ends_with_nine(self):
        package = self.make_package(FILES, launch="setup.exe")
        with open(package, "r+b") as f:
            f.truncate(os.path.getsize(package) - 20)
        code, _ = self.run_launcher(self.link(package), b" x")
        self.assertEqual(code, 9)
        leftovers = self.leftovers()
        self.assertEqual(len(leftovers), 2, leftovers)
        bundle = [p for p in leftovers if not p.endswith("/")]
        self.assertEqual(os.path.getsize(os.path.join(self.tmp, bundle[0])), 0)
        self.assertTrue(all(p.lower().startswith("mrl") for p in leftovers))

    def test_device_name_ends_with_fourteen_and_reaches_no_device(self):
        bundle = make_bundle([("first.txt", b"1"), ("nul.txt", b"2"), ("after.txt", b"3")])
        package = self.path("hand.pkg")
        with open(package, "wb") as f:
            f.write(xz_package(bundle))
        code, _ = self.run_launcher(self.link(package), b" x")
        self.assertEqual(code, 14)
        leftovers = self.leftovers()
        self.assertEqual(len(leftovers), 3, leftovers)
        self.assertEqual(len([p for p in leftovers if p.endswith("/first.txt")]), 1)


class BuiltExecutable(unittest.TestCase):
    def test_resources_are_laid_out_as_the_product_needs(self):
        launcher = os.path.join(BUILD, "mirelk-launcher.exe")
        listing = subprocess.run(["wrestool", "-l", launcher], capture_output=True, check=True).stdout.decode()
        entries = set()
        for line in listing.splitlines():
            match = re.search(r"--type=(\S+) --name=(\S+) --language=(\d+)", line)
            if match:
                entries.add((match.group(1).strip("'"), match.group(2), int(match.group(3))))
        self.assertIn(("PACKAGE", "105", 0), entries)
        self.assertIn(("2", "106", 2052), entries)   # bitmap
        self.assertIn(("14", "101", 2052), entries)  # icon group
        self.assertIn(("16", "1", 2052), entries)    # version block
        icons = [e for e in entries if e[0] == "3"]
        self.assertEqual(len(icons), 8)
        self.assertTrue(all(e[2] == 2052 for e in icons))

        with tempfile.TemporaryDirectory() as scratch:
            icon = os.path.join(scratch, "icon.ico")
            subprocess.run(["wrestool", "-x", "--type=14", "--name=101", "-o", icon, launcher], check=True)
            images = subprocess.run(["icotool", "-l", icon], capture_output=True, check=True).stdout.decode()
        found = re.findall(r"--width=(\d+) --height=(\d+) --bit-depth=(\d+)", images)
        self.assertEqual(sorted((int(w), int(d)) for w, h, d in found),
                         sorted([(48, 8), (32, 8), (24, 8), (16, 8), (48, 32), (24, 32), (16, 32), (32, 24)]))

        with open(launcher, "rb") as f:
            image = f.read()
        for text in ("Mirelk Install Wizard", "setup.exe"):
            self.assertIn(text.encode("utf-16-le"), image)

    def test_only_system_libraries_are_imported(self):
        allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "msvcrt.dll"}
        for name in ("mirelk-launcher.exe", "mirelk-bare.exe"):
            dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", os.path.join(BUILD, name)],
                                  capture_output=True, check=True).stdout.decode()
            imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
            self.assertTrue(imports, name)
            self.assertLessEqual(imports, allowed, name)
            self.assertIn("file format pei-i386", dump)
            self.assertRegex(dump, r"Subsystem\s+00000002")  # GUI

    def test_code_is_small(self):
        # The launcher with an empty package and no other resources.
        self.assertLessEqual(os.path.getsize(os.path.join(BUILD, "mirelk-bare.exe")), 40 * 1024)


class SampleLauncher(WineCase):
    def test_sample_launcher_completes(self):
        launcher = os.path.join(BUILD, "mirelk-launcher.exe")
        code, _ = self.run_launcher(launcher, b" /S")
        self.assertEqual(code, 1)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
