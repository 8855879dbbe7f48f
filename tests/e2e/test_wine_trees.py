"""Tree bundles under Wine: a payload with nested folders and Cyrillic and
CJK names, packed on Linux, installs with the Windows launcher in the code
pages 1252 and 936, its installer started from a subfolder."""

import os
import subprocess
import unittest

from wine import PACK, WineCase
from workspace import TREE_FILE, make_tree_bundle, xz_package

CYRILLIC = "\u0434\u0430\u043d\u043d\u044b\u0435"  # данные
CJK = "\u8bf4\u660e.txt"  # 说明.txt
# Copies the whole tree it was extracted in, from the folder above its own.
INSTALLER = b'@echo off\r\nxcopy /E /I /Q /H "%~dp0.." "%MIRELK_RECORD%\\copy" > nul\r\n'
FILES = {"bin/setup.bat": INSTALLER, f"{CYRILLIC}/{CJK}": b"cjk", f"{CYRILLIC}/\u0444.bin": bytes(range(256)),
         "readme.txt": b"read me\r\n"}


def tree_of(top):
    """{relative path: bytes, or None for a folder} below `top`."""
    found = {}
    for directory, folders, files in os.walk(top):
        for name in folders:
            found[os.path.relpath(os.path.join(directory, name), top)] = None
        for name in files:
            with open(os.path.join(directory, name), "rb") as f:
                found[os.path.relpath(os.path.join(directory, name), top)] = f.read()
    return found


class TreeSetups(WineCase):
    def test_a_tree_installs_in_both_code_pages_and_goes(self):
        app = self.path("in", "app")
        for folder in ("bin", CYRILLIC, "empty"):
            os.makedirs(os.path.join(app, folder))
        for name, data in FILES.items():
            with open(os.path.join(app, name), "wb") as f:
                f.write(data)
        package = self.path("app.pkg")
        subprocess.run([PACK, "create", "-o", package, "--launch", "app/bin/setup.bat", app],
                       check=True, capture_output=True)
        launcher = self.link(package)
        expected = {"bin": None, CYRILLIC: None, "empty": None, **FILES}
        for locale in (None, "zh_CN.UTF-8"):
            with self.subTest(locale=locale):
                copy = os.path.join(self.record, "copy")
                if os.path.isdir(copy):
                    subprocess.run(["rm", "-rf", copy], check=True)
                code, _ = self.run_launcher(launcher, b" /S", locale=locale)
                self.assertEqual(code, 1)
                self.assertEqual(tree_of(copy), expected)
                self.assertEqual(self.leftovers(), [])

    def test_paths_refused_on_every_system(self):
        for path in ("a/../../x", "a\\x", "a/nul.txt", "a?", "caf\xe9".encode("latin-1")):
            with self.subTest(path=path):
                package = self.path("hand.pkg")
                with open(package, "wb") as f:
                    f.write(xz_package(make_tree_bundle([(TREE_FILE, "x", b"x"), (TREE_FILE, path, b"y")])))
                code, _ = self.run_launcher(self.link(package), b" x")
                self.assertEqual(code, 14)


if __name__ == "__main__":
    unittest.main()
