"""The built POSIX launcher, run for real: what the installer receives, what is
left in the temporary directory, and the failure exits."""

import os
import unittest

from harness import RECORDING_INSTALLER, STUB, LauncherCase, tool
from workspace import make_bundle, xz_package

DATA = {
    "setup.sh": RECORDING_INSTALLER,
    "payload.bin": bytes(range(256)) * 400,
    "empty.txt": b"",
    "name with blanks.txt": b"blanks\n",
}


class Arguments(LauncherCase):
    def test_installer_receives_the_arguments_exactly(self):
        launcher = self.make_launcher(DATA, launch="setup.sh")
        cases = [
            [],
            [b"/S"],
            [b"two words", b"", b"  lead and trail  ", b""],
            [b'"quoted"', b"back\\slash\\", b"it's", b"$HOME", b"*", b"a\tb\nc"],
            [b"\x80\xff\xfe", b"caf\xe9", b"-"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.run_launcher(launcher, args)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(self.recorded_args(), args)

    def test_installer_starts_in_the_launchers_directory_beside_every_file(self):
        launcher = self.make_launcher(DATA, launch="setup.sh")
        workdir = self.path("elsewhere")
        os.mkdir(workdir)
        result = self.run_launcher(launcher, ["x"], cwd=workdir)
        self.assertEqual(result.returncode, 1)
        with open(os.path.join(self.record, "cwd"), "rb") as f:
            self.assertEqual(f.read().strip(), os.path.realpath(workdir).encode())
        self.assertEqual(self.recorded_files(), DATA)
        self.assertEqual(self.leftovers(), [])


class WhatRemains(LauncherCase):
    def test_script_without_an_interpreter_line_runs_through_the_shell(self):
        installer = RECORDING_INSTALLER.replace(b"#!/bin/sh\n", b"# no interpreter line\n")
        launcher = self.make_launcher({"install": installer, "data": b"d"}, launch="install")
        result = self.run_launcher(launcher, ["a b", ""])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.recorded_args(), [b"a b", b""])
        self.assertEqual(self.leftovers(), [])

    def test_bundle_without_a_launch_entry_runs_nothing_and_leaves_nothing(self):
        launcher = self.make_launcher(DATA)
        result = self.run_launcher(launcher, ["x"])
        self.assertEqual(result.returncode, 1)
        self.assertFalse(os.path.exists(os.path.join(self.record, "args")))
        self.assertEqual(self.leftovers(), [])

    def test_untidy_installer_leaves_nothing_and_its_link_target_survives(self):
        outside = self.path("outside")
        os.mkdir(outside)
        with open(os.path.join(outside, "precious.txt"), "wb") as f:
            f.write(b"keep me")
        installer = f"""#!/bin/sh
here="$(dirname "$0")"
mkdir -p "$here/sub/deeper/deepest"
echo x > "$here/sub/deeper/deepest/file"
ln -s "{outside}" "$here/link-to-outside"
ln -s "{outside}/precious.txt" "$here/sub/link-to-file"
cp "$here/lingerer.sh" "$here/sub/running.sh"
sh "$here/sub/running.sh" </dev/null >/dev/null 2>&1 &
until [ -e "$MIRELK_RECORD/alive" ]; do sleep 0.05; done
echo started > "$MIRELK_RECORD/args"
""".encode()
        # Runs until the test releases it (two minutes at most), then says so;
        # the installer ends only once it runs.
        lingerer = (b'echo > "$MIRELK_RECORD/alive"\n'
                    b'for i in $(seq 1200); do [ -e "$MIRELK_RECORD/release" ] && break; sleep 0.1; done\n'
                    b'echo > "$MIRELK_RECORD/lingered"\n')
        launcher = self.make_launcher({"setup.sh": installer, "lingerer.sh": lingerer}, launch="setup.sh")
        result = self.run_launcher(launcher, ["x"])
        self.assertEqual(result.returncode, 1)
        # The launcher waits for the installer, not for what it left running.
        self.assertFalse(os.path.exists(os.path.join(self.record, "lingered")))
        self.assertEqual(self.leftovers(), [])
        open(os.path.join(self.record, "release"), "wb").close()
        self.wait_for_record("lingered")
        with open(os.path.join(outside, "precious.txt"), "rb") as f:
            self.assertEqual(f.read(), b"keep me")

    def test_launcher_waits_for_the_installer(self):
        installer = b"#!/bin/sh\nsleep 1\necho done > \"$MIRELK_RECORD/args\"\n"
        launcher = self.make_launcher({"setup.sh": installer}, launch="setup.sh")
        result = self.run_launcher(launcher, ["x"])
        self.assertEqual(result.returncode, 1)
        with open(os.path.join(self.record, "args"), "rb") as f:
            self.assertEqual(f.read(), b"done\n")
        self.assertEqual(self.leftovers(), [])

    def test_installer_that_cannot_start_still_ends_with_one(self):
        launcher = self.make_launcher({"setup": b"#!/nonexistent/interpreter\n"}, launch="setup")
        result = self.run_launcher(launcher, ["x"])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.leftovers(), [])


class FailureExits(LauncherCase):
    def only_mrl_names(self, leftovers):
        for path in leftovers:
            self.assertTrue(path.startswith("mrl"), path)

    def test_temporary_directory_too_long_ends_with_four_before_any_file(self):
        launcher = self.make_launcher(DATA, launch="setup.sh")
        long_dir = self.tmp + "/" + "d" * (259 - len(self.tmp))
        result = self.run_launcher(launcher, ["x"], env={"TMPDIR": long_dir})
        self.assertEqual(result.returncode, 4)
        self.assertEqual(self.leftovers(), [])

    def test_missing_temporary_directory_ends_with_five(self):
        launcher = self.make_launcher(DATA, launch="setup.sh")
        result = self.run_launcher(launcher, ["x"], env={"TMPDIR": self.path("missing")})
        self.assertEqual(result.returncode, 5)
        self.assertEqual(self.leftovers(), [])

    def test_launcher_without_a_package_ends_with_seven(self):
        result = self.run_launcher(STUB, ["x"])
        self.assertEqual(result.returncode, 7)
        leftovers = self.leftovers()
        self.assertEqual(len(leftovers), 1)
        self.only_mrl_names(leftovers)
        self.assertEqual(os.path.getsize(os.path.join(self.tmp, leftovers[0])), 0)

    def test_rejected_package_ends_with_nine(self):
        self.write_inputs(DATA)
        package = self.path("cut.pkg")
        tool("create", "-o", package, *[os.path.join(self.inputs, n) for n in DATA])
        with open(package, "r+b") as f:
            f.truncate(os.path.getsize(package) - 10)
        result = self.run_launcher(self.attach_unchecked(package), ["x"])
        self.assertEqual(result.returncode, 9)
        leftovers = self.leftovers()
        self.only_mrl_names(leftovers)
        files = [p for p in leftovers if not p.endswith("/")]
        directories = [p for p in leftovers if p.endswith("/")]
        self.assertEqual(len(files), 1)
        self.assertEqual(os.path.getsize(os.path.join(self.tmp, files[0])), 0)
        self.assertEqual(len(directories), 1)

    def test_refused_name_ends_with_fourteen_and_writes_nothing_outside(self):
        # A bundle made by hand, as mirelk-pack refuses such names.
        bundle = make_bundle([("first.txt", b"1"), ("../../escaped.txt", b"2")], flag=1)
        package = self.path("hand.pkg")
        with open(package, "wb") as f:
            f.write(xz_package(bundle))
        result = self.run_launcher(self.attach(package), ["x"])
        self.assertEqual(result.returncode, 14)
        leftovers = self.leftovers()
        self.only_mrl_names(leftovers)
        self.assertEqual(len([p for p in leftovers if p.endswith("/first.txt")]), 1)
        self.assertEqual(len(leftovers), 3)  # bundle, directory, first.txt
        self.assertFalse(os.path.exists(self.path("escaped.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "escaped.txt")))


if __name__ == "__main__":
    unittest.main()
