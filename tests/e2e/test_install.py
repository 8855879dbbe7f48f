"""mirelk-pack as installed: `cmake --install` of this build into a prefix
that is then moved, so that everything is found relative to the program;
--target, --version and help; and the example project built against the
install with mirelk_add_setup(), made again when its inputs change."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BUILD, RECORDING_INSTALLER, LauncherCase

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(SOURCE, "examples", "cmake-setup")
LAYOUT = {
    "bin/mirelk-pack": 0o755,
    "lib/mirelk/mirelk-launcher": 0o755,
    "share/man/man1/mirelk-pack.1": 0o644,
    "share/doc/mirelk-pack/README.md": 0o644,
    "share/doc/mirelk-pack/LICENSE": 0o644,
    "share/doc/mirelk-pack/making-setups.md": 0o644,
    "share/doc/mirelk-pack/reproducible.md": 0o644,
    "share/mirelk/cmake/MirelkConfig.cmake": 0o644,
    "share/mirelk/cmake/MirelkConfigVersion.cmake": 0o644,
    "share/mirelk/cmake/MirelkFunctions.cmake": 0o644,
}


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(MirelkLauncher VERSION ([0-9.]+)", f.read()).group(1)


def run(*command, **options):
    return subprocess.run(command, capture_output=True, **options)


class Installed(LauncherCase):
    @classmethod
    def setUpClass(cls):
        cls.place = tempfile.mkdtemp(prefix="mirelk-install-")
        first = os.path.join(cls.place, "first")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", first], check=True, capture_output=True)
        cls.prefix = os.path.join(cls.place, "moved")
        os.rename(first, cls.prefix)
        cls.pack = os.path.join(cls.prefix, "bin", "mirelk-pack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.place, ignore_errors=True)

    def installed(self, *args):
        return run(self.pack, *args)

    def test_the_install_holds_its_files_in_their_places(self):
        found = {}
        for folder, _, names in os.walk(self.prefix):
            for name in names:
                path = os.path.join(folder, name)
                found[os.path.relpath(path, self.prefix)] = os.stat(path).st_mode & 0o777
        self.assertEqual(found, LAYOUT)

    def test_version_and_help(self):
        # (arguments, exit status, what standard output starts with)
        cases = [
            (["--version"], 0, f"mirelk-pack {project_version()}\n"),
            (["help"], 0, "usage:\n  mirelk-pack create"),
            (["help", "create"], 0, "usage:\n  mirelk-pack create -o PACKAGE"),
            (["help", "list"], 0, "usage:\n  mirelk-pack list PACKAGE"),
            (["help", "attach"], 0, "usage:\n  mirelk-pack attach (--target posix|windows|windows64"),
            (["help", "sign"], 2, ""),
            (["help", "create", "list"], 2, ""),
        ]
        for args, status, start in cases:
            with self.subTest(args=args):
                result = self.installed(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertTrue(result.stdout.decode().startswith(start), result.stdout)
        self.assertIn(b"SOURCE_DATE_EPOCH", self.installed("help", "attach").stdout)

    def test_target_posix_makes_a_setup_from_the_installed_stub_that_runs(self):
        installer = self.write_inputs({"setup.sh": RECORDING_INSTALLER, "data.txt": b"payload"})
        package = self.path("app.pkg")
        self.assertEqual(self.installed("create", "-o", package, "--launch", "setup.sh", *installer).returncode, 0)
        # Through a link elsewhere: the stub is found from the program's own place.
        link = self.path("mirelk-pack")
        os.symlink(self.pack, link)
        setup = self.path("app-setup")
        result = run(link, "attach", "--target", "posix", "--package", package, "-o", setup)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.run_launcher(setup, ["--flag"]).returncode, 1)
        self.assertEqual(self.recorded("args"), b"--flag\0")
        with open(os.path.join(self.prefix, "lib/mirelk/mirelk-launcher"), "rb") as f:
            stub = f.read()
        with open(setup, "rb") as f:
            self.assertTrue(f.read().startswith(stub))

    def test_target_refusals(self):
        package = self.path("app.pkg")
        self.installed("create", "-o", package, *self.write_inputs({"setup.sh": b"#!/bin/sh\n"}))
        # A copy of the install whose POSIX stub is another program.
        wrong = os.path.join(self.root, "wrong")
        shutil.copytree(self.prefix, wrong, symlinks=True)
        shutil.copy("/bin/true", os.path.join(wrong, "lib/mirelk/mirelk-launcher"))
        # (mirelk-pack, options, exit status, what the message says)
        cases = [
            (self.pack, ["--target", "windows"], 1, "no stub for --target windows in this install"),
            (self.pack, ["--target", "windows64"], 1, "no stub for --target windows64 in this install"),
            (self.pack, ["--target", "macos"], 2, "--target takes posix, windows or windows64"),
            (self.pack, ["--target", "posix", "--stub", os.path.join(BUILD, "mirelk-launcher")], 2,
             "--stub or --target, not both"),
            (os.path.join(wrong, "bin/mirelk-pack"), ["--target", "posix"], 1, "not a Mirelk launcher stub"),
        ]
        for pack, options, status, message in cases:
            with self.subTest(options=options, pack=pack):
                out = self.path("setup")
                result = run(pack, "attach", "--package", package, "-o", out, *options)
                self.assertEqual(result.returncode, status)
                self.assertIn(message.encode(), result.stderr)
                self.assertFalse(os.path.exists(out))

    def configure_example(self, source, binary, targets="posix"):
        return run("cmake", "-S", source, "-B", binary, f"-DCMAKE_PREFIX_PATH={self.prefix}",
                   f"-DEXAMPLE_TARGETS={targets}")

    def test_the_example_project_builds_a_setup_again_when_an_input_changes(self):
        source, binary = self.path("example"), self.path("example-build")
        shutil.copytree(EXAMPLE, source)
        setup = os.path.join(binary, "example-setup-posix")
        self.assertEqual(self.configure_example(source, binary).returncode, 0)

        def build_and_install():
            """Builds; returns whether the setup was made, and what it installs."""
            before = os.stat(setup).st_mtime_ns if os.path.exists(setup) else None
            result = run("cmake", "--build", binary)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            target = self.path("installed")
            shutil.rmtree(target, ignore_errors=True)
            # EXIT_CODE installer: the installer's 0, not the launcher's 1.
            self.assertEqual(self.run_launcher(setup, [target]).returncode, 0)
            files = {}
            for folder, _, names in os.walk(target):
                for name in names:
                    with open(os.path.join(folder, name), "rb") as f:
                        files[os.path.relpath(os.path.join(folder, name), target)] = f.read()
            return os.stat(setup).st_mtime_ns != before, files

        guide = os.path.join(source, "data", "docs", "guide.txt")
        made, files = build_and_install()
        self.assertTrue(made)
        self.assertEqual(sorted(files), ["data/docs/guide.txt", "data/settings.ini", "readme.txt"])
        # (what changes, whether the setup is made again, the file to look at, its bytes or None if gone)
        steps = [
            (lambda: None, False, "readme.txt", b"The Mirelk example: a setup made by a CMake build target.\n"),
            (lambda: self.write(guide, b"changed guide\n"), True, "data/docs/guide.txt", b"changed guide\n"),
            (lambda: self.write(os.path.join(source, "data", "docs", "new.txt"), b"new\n"), True,
             "data/docs/new.txt", b"new\n"),
            (lambda: os.remove(os.path.join(source, "data", "settings.ini")), True, "data/settings.ini", None),
            (lambda: self.write(os.path.join(source, "readme.txt"), b"changed readme\n"), True, "readme.txt",
             b"changed readme\n"),
        ]
        for change, remade, name, content in steps:
            with self.subTest(name=name, remade=remade):
                change()
                made, files = build_and_install()
                self.assertEqual(made, remade)
                self.assertEqual(files.get(name), content)

    def test_the_example_refuses_a_target_this_install_has_no_stub_for(self):
        result = self.configure_example(EXAMPLE, self.path("example-build"), "windows")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"this install of Mirelk has no stub for", result.stderr)
        self.assertIn(b"TARGET windows", result.stderr)

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)


if __name__ == "__main__":
    unittest.main()
