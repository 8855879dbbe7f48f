"""The Windows launcher, run for real under Wine."""

import contextlib
import getpass
import os
import re
import shutil
import subprocess
import unittest

import wine
from wine import BUILD, PACK, RECORDER, WineCase, windows_path
from workspace import last_check_offset

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
        self.assertEqual(self.received_files(), FILES)
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

    def test_longest_entry_name_and_a_deep_tree_leave_nothing(self):
        # The longest name extraction takes: a path of 259 bytes in the
        # prefix's Temp, where GetTempFileNameA names the directory mrlXXXX.tmp.
        directory = f"C:\\users\\{getpass.getuser()}\\Temp\\mrlXXXX.tmp\\"
        longest = b"n" * (259 - len(directory))
        package = self.make_hand_package([(b"setup.exe", RECORDING_INSTALLER), (longest, b"x")],
                                         launch=0)
        code, _ = self.run_launcher(self.link(package), b" --deep-tree")
        self.assertEqual(code, 1)
        self.assertEqual(self.leftovers(), [])

    def test_process_left_running_does_not_keep_the_launcher_waiting(self):
        launcher = self.link(self.make_package(FILES, launch="setup.exe"))
        code, _ = self.run_launcher(launcher, b" --linger")
        self.assertEqual(code, 1)
        # The lingering copy waits until it is released; the launcher did not
        # wait for it.
        self.assertFalse(os.path.exists(os.path.join(self.record, "lingered")))
        leftovers = self.leftovers()
        open(os.path.join(self.record, "release"), "wb").close()
        wine.wait_for_wine()
        self.assertTrue(os.path.exists(os.path.join(self.record, "lingered")))
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
        package = self.make_hand_package([(b"first.txt", b"1"), (b"nul.txt", b"2"), (b"after.txt", b"3")])
        code, _ = self.run_launcher(self.link(package), b" x")
        self.assertEqual(code, 14)
        leftovers = self.leftovers()
        self.assertEqual(len(leftovers), 3, leftovers)
        self.assertEqual(len([p for p in leftovers if p.endswith("/first.txt")]), 1)


class DoubleByteCodePages(WineCase):
    """Entry names are 8-bit text in the system code page: in GBK, Big5 or
    Shift-JIS the byte 0x5C (a backslash) can be a character's second byte."""

    def test_gbk_names_with_backslash_trail_bytes_extract_and_run(self):
        # GBK 0x95 0x5C is one character (U+661E); the launcher sits in a
        # directory named with it and is started from that quoted path.
        names = [b"\x95\x5c.txt", b"\x95\x5c\x95\x5c"]
        package = self.make_hand_package([(b"setup.exe", RECORDING_INSTALLER)] +
                                         [(name, name * 3) for name in names], launch=0)
        folder = self.path(b"\x95\x5c".decode("gbk"))
        os.mkdir(folder)
        launcher = self.link(package, os.path.join(folder, "launcher.exe"))
        tail = b'/S "\x95\x5c x"'
        code, _ = self.run_launcher(launcher, b" " + tail, locale="zh_CN.UTF-8")
        self.assertEqual(code, 1)
        self.assertTrue(self.recorded("cmdline").endswith(b"\\setup.exe\" " + tail), self.recorded("cmdline"))
        expected = {name.decode("gbk"): name * 3 for name in names}
        expected["setup.exe"] = RECORDING_INSTALLER
        self.assertEqual(self.received_files(), expected)
        self.assertEqual(self.leftovers(), [])

    def test_names_refused_or_taken_by_the_code_page(self):
        # (locale, entry name, exit code): a real separator is refused in a
        # double-byte code page too; 0xB9 is a superscript one in 1252 (COM1
        # to Windows) but a katakana letter in Shift-JIS.
        cases = [
            ("zh_CN.UTF-8", b"a\\b.txt", 14),
            ("zh_CN.UTF-8", b"\x95\x5c\\b.txt", 14),
            (None, b"\x95\x5c.txt", 14),
            (None, b"COM\xb9.txt", 14),
            ("ja_JP.UTF-8", b"COM\xb9.txt", 1),
        ]
        for locale, name, expected in cases:
            with self.subTest(locale=locale, name=name):
                launcher = self.link(self.make_hand_package([(b"x.txt", b"x"), (name, b"y")]))
                code, _ = self.run_launcher(launcher, b" x", locale=locale)
                self.assertEqual(code, expected)


class UnicodeRuns(WineCase):
    """Paths and arguments the ANSI code page (1252 here) cannot spell: the
    launcher works in UTF-16 with the system, so they reach the installer as
    they are."""

    def test_paths_and_arguments_beyond_the_code_page(self):
        # (case, the temporary directory's folder under C:\, the launcher's
        # folder, what follows its name)
        cases = [
            ("temporary directory under a Cyrillic folder", "Юрий", None, " /S"),
            ("temporary directory under a CJK folder", "张伟", None, " /S"),
            ("Cyrillic, CJK and beyond the Basic Multilingual Plane in the tail", None, None,
             ' /D=C:\\Программы\\Мой 中文 "\U0001F600 x"'),
            ("launcher in and started from a folder the code page cannot spell", None, "Юрий 张伟", " x"),
        ]
        package = self.make_package(FILES, launch="setup.exe")
        for label, temp, folder, after_name in cases:
            with self.subTest(label), contextlib.ExitStack() as stack:
                if temp is not None:
                    stack.enter_context(self.temp_in_folder(temp))
                shutil.rmtree(self.record)
                os.mkdir(self.record)
                cwd = None
                launcher = self.path("launcher.exe")
                if folder is not None:
                    cwd = self.path(folder)
                    os.mkdir(cwd)
                    launcher = os.path.join(cwd, "launcher.exe")
                self.link(package, launcher)
                code = self.run_launcher_unicode(launcher, after_name, cwd=cwd)
                self.assertEqual(code, 1)
                command_line = self.recorded("cmdline.utf8").decode("utf-8")
                match = re.match(r'^"([^"]*)"(?: (.*))?$', command_line, re.S)
                self.assertIsNotNone(match, command_line)
                self.assertEqual(match.group(2) or "", after_name.lstrip(" "))
                installer = match.group(1).lower()
                self.assertTrue(installer.endswith("\\setup.exe"), installer)
                if temp is not None:
                    self.assertTrue(installer.startswith(f"c:\\{temp.lower()}\\temp\\mrl"), installer)
                if cwd is not None:
                    self.assertEqual(self.recorded("cwd.utf8").decode("utf-8").lower(),
                                     windows_path(cwd).lower())
                self.assertEqual(self.received_files(), FILES)
                self.assertEqual(self.leftovers(), [])


class XzPackages(WineCase):
    def packages(self):
        """An .xz package from mirelk-pack and one from xz itself, in many
        blocks, of FILES."""
        ours = self.make_package(FILES, launch="setup.exe", options=("--format", "xz"))
        bundle = self.path("bundle.hen")
        subprocess.run([PACK, "create", "--bundle-only", "-o", bundle, "--launch", "setup.exe",
                        *[os.path.join(self.inputs, name) for name in FILES]], check=True)
        theirs = self.path("theirs.xz")
        with open(bundle, "rb") as data, open(theirs, "wb") as out:
            subprocess.run(["xz", "-c", "-T2", "--block-size=8KiB"], stdin=data, stdout=out, check=True)
        return {"mirelk-pack": ours, "xz": theirs}

    def test_packages_from_mirelk_pack_and_xz_install(self):
        for label, package in self.packages().items():
            with self.subTest(package=label):
                code, _ = self.run_launcher(self.link(package), b" x")
                self.assertEqual(code, 1)
                self.assertEqual(self.received_files(), FILES)
                self.assertEqual(self.leftovers(), [])

    def test_a_flipped_byte_ends_with_nine_and_an_empty_bundle(self):
        # A byte in each part: stream header, block header, data, check,
        # index, stream footer (the POSIX tests try many more).
        for label, package in self.packages().items():
            with open(package, "rb") as f:
                good = f.read()
            check = last_check_offset(good)
            for at in (0, 7, 12, 14, len(good) // 3, len(good) // 2, check, check + 2,
                       len(good) - 13, len(good) - 8, len(good) - 1):
                with self.subTest(package=label, byte=at):
                    damaged = bytearray(good)
                    damaged[at] ^= 0x01
                    with open(self.path("damaged.pkg"), "wb") as f:
                        f.write(damaged)
                    shutil.rmtree(self.tmp)
                    os.mkdir(self.tmp)
                    code, _ = self.run_launcher(self.link(self.path("damaged.pkg")), b" x")
                    self.assertEqual(code, 9)
                    leftovers = self.leftovers()
                    self.assertEqual(len(leftovers), 2, leftovers)
                    bundle = [p for p in leftovers if not p.endswith("/")]
                    self.assertEqual(os.path.getsize(os.path.join(self.tmp, bundle[0])), 0)


class SampleLauncher(WineCase):
    def test_sample_launcher_completes(self):
        launcher = os.path.join(BUILD, "mirelk-sample.exe")
        code, _ = self.run_launcher(launcher, b" /S")
        self.assertEqual(code, 1)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
