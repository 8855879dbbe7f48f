"""The built POSIX launcher in a hostile or unlucky environment: trees the
installer leaves, mounts, signals, entries the kernel cannot run, odd
temporary directories and umasks."""

import os
import resource
import shutil
import signal
import subprocess
import time
import unittest

from harness import LauncherCase
from workspace import make_bundle, xz_package

# Records that it ran and its arguments.
PLAIN_INSTALLER = b"""#!/bin/sh
for arg in "$@"; do printf '%s\\0' "$arg"; done > "$MIRELK_RECORD/args"
"""

NOBODY = 65534


class Launching(LauncherCase):
    def test_only_text_goes_to_the_shell(self):
        command = b'\ntouch "$MIRELK_RECORD/ran"\n'
        aarch64_elf = (b"\x7fELF\x02\x01\x01" + bytes(9) + (2).to_bytes(2, "little")
                       + (183).to_bytes(2, "little") + (1).to_bytes(4, "little") + bytes(44))
        cases = {
            "an AArch64 program": aarch64_elf + command,
            "a Windows program": b"MZ\x90\x00" + command,
            "a Mach-O program": b"\xcf\xfa\xed\xfe\x0c\x00\x00\x01" + command,
            "a zero byte in the first block": b"data" + command + bytes(1) + command,
        }
        for what, entry in cases.items():
            with self.subTest(what):
                launcher = self.make_launcher({"setup": entry, "data.txt": b"d"}, launch="setup")
                result = self.run_launcher(launcher, ["x"])
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.record, "ran")))
                self.assertEqual(self.leftovers(), [])

    def test_relative_temporary_directory_starting_with_a_dash(self):
        without_interpreter_line = PLAIN_INSTALLER.replace(b"#!/bin/sh\n", b"")
        for directory in ("-x", "-", "--"):
            for installer in (PLAIN_INSTALLER, without_interpreter_line):
                with self.subTest(TMPDIR=directory, interpreter_line=installer.startswith(b"#!")):
                    workdir = self.path("work")
                    os.makedirs(os.path.join(workdir, directory), exist_ok=True)
                    launcher = self.make_launcher({"setup.sh": installer}, launch="setup.sh")
                    result = self.run_launcher(launcher, ["a b"], cwd=workdir,
                                               env={"TMPDIR": directory})
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertEqual(self.recorded_args(), [b"a b"])
                    self.assertEqual(os.listdir(os.path.join(workdir, directory)), [])
                    os.unlink(os.path.join(self.record, "args"))

    def test_any_umask_gives_private_files_and_a_complete_run(self):
        # Records the modes it finds beside itself: its own (made executable)
        # and a data file's, and the directory's.
        installer = b"""#!/bin/sh
umask 077
here="$(dirname "$0")"
stat -c %a "$here" "$0" "$here/data.txt" > "$MIRELK_RECORD/modes"
"""
        launcher = self.make_launcher({"setup.sh": installer, "data.txt": b"d"}, launch="setup.sh")
        as_nobody = os.geteuid() == 0
        if as_nobody:
            # The launcher must be reachable, and tmp/ and record/ writable, for nobody.
            os.chmod(self.root, 0o755)
            for directory in (self.tmp, self.record):
                os.chown(directory, NOBODY, NOBODY)
        for mask in (0o200, 0o277, 0o700, 0o777):
            with self.subTest(umask=oct(mask)):
                result = self.run_launcher(launcher, ["x"], umask=mask,
                                           user=NOBODY if as_nobody else None)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(self.recorded("modes").split(), [b"700", b"700", b"600"])
                self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
