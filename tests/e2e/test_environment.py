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


class LeftTrees(LauncherCase):
    def hand_launcher(self, entries, launch=None):
        bundle = make_bundle(entries, flag=0 if launch is None else 1, index=launch or 0)
        package = self.path("hand.pkg")
        with open(package, "wb") as f:
            f.write(xz_package(bundle))
        return self.attach(package)

    def test_every_tree_goes_whatever_its_depth_and_the_descriptor_limit(self):
        # The longest name extraction takes here: the path stays below 260 bytes.
        longest = "n" * (259 - len(self.tmp) - len("/mrlXXXXXXXX/"))
        deep_tree = b"""#!/usr/bin/env python3
import os, sys
os.chdir(os.path.dirname(os.path.abspath(sys.argv[0])))
for level in range(120):
    name = "node_modules-%03d-" % level + "p" * 30
    os.mkdir(name)
    os.chdir(name)
    open("index.js", "w").write("x")
open(os.path.join(os.environ["MIRELK_RECORD"], "args"), "w").write(str(len(os.getcwd())))
"""
        twenty_levels = b"""#!/bin/sh
cd "$(dirname "$0")" && mkdir -p a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s/t
echo x > a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s/t/file
echo done > "$MIRELK_RECORD/args"
"""
        cases = [
            ("an entry name of %d bytes" % len(longest),
             [("setup.sh", PLAIN_INSTALLER), (longest, b"x")], None),
            ("a tree deeper than 4096 bytes of path", [("setup.py", deep_tree)], None),
            ("20 levels with 12 descriptors", [("setup.sh", twenty_levels)], 12),
        ]
        for what, entries, descriptors in cases:
            with self.subTest(what):
                launcher = self.hand_launcher(entries, launch=0)
                limits = None if descriptors is None else {resource.RLIMIT_NOFILE: descriptors}
                result = self.run_launcher(launcher, ["x"], limits=limits)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertTrue(os.path.exists(os.path.join(self.record, "args")))
                self.assertEqual(self.leftovers(), [])
                os.unlink(os.path.join(self.record, "args"))

    def test_mounted_directories_are_left_with_everything_in_them(self):
        if shutil.which("unshare") is None:
            self.skipTest("needs unshare (util-linux)")
        # A private mount namespace: as root it takes nothing more, otherwise
        # a user namespace in which the installer may mount.
        namespace = ["unshare", "--mount"] if os.geteuid() == 0 else \
            ["unshare", "--user", "--map-root-user", "--mount"]
        if subprocess.run([*namespace, "true"], capture_output=True).returncode != 0:
            self.skipTest("cannot make a mount namespace here")
        victim = self.path("victim")
        os.mkdir(victim)
        for name in ("precious.txt", "also.txt"):
            with open(os.path.join(victim, name), "wb") as f:
                f.write(b"keep me")
        # The same file system bound in (same device), and another one.
        installer = f"""#!/bin/sh
here="$(dirname "$0")"
mkdir "$here/bound" "$here/tmpfs"
mount --bind "{victim}" "$here/bound" || exit 1
mount -t tmpfs none "$here/tmpfs" || exit 1
echo x > "$here/tmpfs/file"
echo done > "$MIRELK_RECORD/args"
""".encode()
        launcher = self.make_launcher({"setup.sh": installer}, launch="setup.sh")
        result = self.run_launcher(launcher, ["x"], prefix=namespace)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.recorded("args"), b"done\n")
        self.assertEqual(sorted(os.listdir(victim)), ["also.txt", "precious.txt"])
        # The mount points stay, and so does the directory above them.
        leftovers = self.leftovers()
        self.assertEqual(len(leftovers), 3, leftovers)
        self.assertEqual(sorted(p.split("/", 1)[1] for p in leftovers if p.count("/") == 2),
                         ["bound/", "tmpfs/"])


class Signals(LauncherCase):
    # Records which signal reached it, then ends; waits up to 30 s for one.
    INSTALLER = b"""#!/bin/sh
for name in INT QUIT TERM HUP; do
  trap "echo $name > \\"\\$MIRELK_RECORD/signal\\"; exit 3" $name
done
echo started > "$MIRELK_RECORD/args"
i=0
while [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
"""

    def test_installer_gets_the_signals_and_removal_still_runs(self):
        # (signal, sent to the process group as a terminal does, or to the launcher alone)
        cases = [
            (signal.SIGINT, "group"),
            (signal.SIGQUIT, "group"),
            (signal.SIGTERM, "launcher"),
            (signal.SIGHUP, "launcher"),
        ]
        launcher = self.make_launcher({"setup.sh": self.INSTALLER}, launch="setup.sh")
        for number, whom in cases:
            with self.subTest(signal=number.name, to=whom):
                for name in ("args", "signal"):
                    if os.path.exists(os.path.join(self.record, name)):
                        os.unlink(os.path.join(self.record, name))
                process = self.start_launcher(launcher, ["x"], process_group=0)
                self.wait_for_record("args")
                if whom == "group":
                    os.killpg(process.pid, number)
                else:
                    os.kill(process.pid, number)
                process.communicate(timeout=60)
                self.assertEqual(process.returncode, 1)
                self.assertEqual(self.recorded("signal"), number.name[3:].encode() + b"\n")
                self.assertEqual(self.leftovers(), [])


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
