"""The built Windows executables as files: their shape, imports, resources and
code size. Needs no Wine, so it runs on every host."""

import os
import re
import subprocess
import tempfile
import unittest

from pe_resources import MARK, MARK_TEXT, read_resources
from windows_target import ARCH, BUILD, SAMPLE_LAUNCHER, STUB, WINDOWS_PACK

# What objdump calls each target's image format, and its tools' prefix.
FORMAT = {"win32": "pei-i386", "win64": "pei-x86-64"}[ARCH]
OBJDUMP = {"win32": "i686-w64-mingw32-objdump", "win64": "x86_64-w64-mingw32-objdump"}[ARCH]
# The stub: the code alone (both package formats) and its mark. The 64-bit
# code is larger by the unwind tables its ABI requires; its bound only catches
# growth.
CODE_LIMIT = {"win32": 56 * 1024, "win64": 60 * 1024}[ARCH]


class BuiltExecutable(unittest.TestCase):
    def test_resources_are_laid_out_as_the_product_needs(self):
        launcher = SAMPLE_LAUNCHER
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

    def test_the_stub_carries_its_mark_and_nothing_else(self):
        # No package, and no icon or version block a publisher would ship
        # unawares: a setup made without options has the system's defaults.
        self.assertEqual(read_resources(STUB), {MARK: MARK_TEXT})

    def test_only_system_libraries_are_imported(self):
        # The launcher imports only what no loader takes from the program's
        # folder; shell32 and Msimg32 are loaded at run time.
        launcher = {"ntdll.dll", "kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}
        # (program, the libraries it may import, its subsystem: 2 GUI, 3 console)
        programs = [(SAMPLE_LAUNCHER, launcher, 2), (STUB, launcher, 2),
                    (WINDOWS_PACK, {"kernel32.dll", "shell32.dll", "msvcrt.dll"}, 3)]
        for path, allowed, subsystem in programs:
            with self.subTest(program=os.path.basename(path)):
                dump = subprocess.run([OBJDUMP, "-p", path], capture_output=True, check=True).stdout.decode()
                imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
                self.assertTrue(imports)
                self.assertLessEqual(imports, allowed)
                self.assertIn(f"file format {FORMAT}", dump)
                self.assertRegex(dump, r"Subsystem\s+0000000%d" % subsystem)

    def test_code_is_small(self):
        size = os.path.getsize(STUB)
        print(f"\n{ARCH} launcher code (the stub, mirelk-launcher.exe): {size} bytes; "
              f"mirelk-pack.exe: {os.path.getsize(WINDOWS_PACK)} bytes")
        self.assertLessEqual(size, CODE_LIMIT)


if __name__ == "__main__":
    unittest.main()
