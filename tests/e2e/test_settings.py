"""Setups made with attach's --wait and --exit-code, run for real on POSIX:
an installer that hands off to a helper, what the launcher then waits for,
and the exit code it ends with."""

import os
import signal
import subprocess
import unittest

from harness import STUB, LauncherCase, tool

DATA = b"the package's data\n"
# A helper that reads data.txt from the extraction directory 1.5 s after the
# installer, which ends at once, started it; it records what it read.
HELPER = (b'sleep 1.5; { cat "$here/data.txt" 2>/dev/null || echo missing; } > "$MIRELK_RECORD/part"; '
          b'mv "$MIRELK_RECORD/part" "$MIRELK_RECORD/read"')
HANDOFFS = {
    "background": b'(%s) </dev/null >/dev/null 2>&1 &\n' % HELPER,
    # Forks twice and leaves the session: a daemon, re-parented at once.
    "double fork": b"setsid sh -c '(%s) &' </dev/null >/dev/null 2>&1 &\n" % HELPER.replace(b"'", b"'\\''"),
}


def installer(body):
    return b'#!/bin/sh\nhere="$(dirname "$0")"; export here\n' + body


class Settings(LauncherCase):
    def setup_with(self, files, *options):
        paths = self.write_inputs(files)
        package = self.path("setup.pkg")
        tool("create", "-o", package, "--launch", "setup.sh", *paths)
        out = self.path("setup")
        tool("attach", "--stub", STUB, "--package", package, *options, "-o", out)
        return out

    def test_wait_all_keeps_the_files_until_the_handed_off_helper_has_ended(self):
        # (hand-off, attach options, what the helper read)
        cases = [(name, options, read) for name in HANDOFFS
                 for options, read in ((["--wait", "all"], DATA), ([], b"missing\n"),
                                       (["--wait", "installer"], b"missing\n"))]
        for name, options, read in cases:
            with self.subTest(handoff=name, options=options):
                for stale in os.listdir(self.record):
                    os.remove(os.path.join(self.record, stale))
                files = {"setup.sh": installer(HANDOFFS[name]), "data.txt": DATA}
                result = self.run_launcher(self.setup_with(files, *options), ["x"])
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(self.leftovers(), [])
                self.wait_for_record("read")
                self.assertEqual(self.recorded("read"), read)

    def test_exit_code_installer_passes_the_installers_code_through(self):
        # (how the installer ends, --exit-code, the launcher's exit code)
        cases = [(b"exit 0", "installer", 0), (b"exit 3", "installer", 3), (b"exit 255", "installer", 255),
                 (b"kill -TERM $$", "installer", 128 + signal.SIGTERM), (b"exit 3", "launcher", 1),
                 (b"exit 0", None, 1), (b"exit 3", None, 1)]
        for end, mode, code in cases:
            with self.subTest(end=end, mode=mode):
                options = ["--exit-code", mode] if mode else []
                launcher = self.setup_with({"setup.sh": installer(end + b"\n")}, *options)
                self.assertEqual(self.run_launcher(launcher, ["x"]).returncode, code)
                self.assertEqual(self.leftovers(), [])
        # With --wait all too, the code is the installer's, not a helper's.
        launcher = self.setup_with({"setup.sh": installer(b"(sleep 0.5; exit 9) &\nexit 3\n")},
                                   "--wait", "all", "--exit-code", "installer")
        self.assertEqual(self.run_launcher(launcher, ["x"]).returncode, 3)

    def test_launcher_failures_keep_their_codes(self):
        launcher = self.setup_with({"setup.sh": installer(b"exit 3\n")}, "--exit-code", "installer")
        result = self.run_launcher(launcher, ["x"], env={"TMPDIR": self.path("missing")})
        self.assertEqual(result.returncode, 5)
        # Nothing started: no launch entry, or an entry that cannot start.
        cases = [({"other.sh": b"x"}, None), ({"setup.sh": b"#!/nonexistent/interpreter\n"}, "setup.sh")]
        for files, launch in cases:
            with self.subTest(launch=launch):
                paths = self.write_inputs(files)
                tool("create", "-o", self.path("n.pkg"), *(["--launch", launch] if launch else []), *paths)
                tool("attach", "--stub", STUB, "--package", self.path("n.pkg"), "--exit-code", "installer",
                     "-o", self.path("n"))
                self.assertEqual(self.run_launcher(self.path("n"), ["x"]).returncode, 1)

    def test_sigterm_ends_the_wait_for_what_the_installer_left(self):
        body = (b'(until [ -e "$MIRELK_RECORD/release" ]; do sleep 0.05; done) </dev/null >/dev/null 2>&1 &\n'
                b'echo > "$MIRELK_RECORD/started"\n')
        launcher = self.setup_with({"setup.sh": installer(body)}, "--wait", "all")
        process = self.start_launcher(launcher, ["x"])
        try:
            self.wait_for_record("started")
            # A signal that comes while the installer still runs is the
            # installer's (forwarded to it); the wait for what it left starts
            # once it has ended, so the signal is sent until one ends that.
            for _ in range(60):
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=0.5)
                    break
                except subprocess.TimeoutExpired:
                    pass
            self.assertEqual(process.wait(timeout=30), -signal.SIGTERM)
            self.assertEqual(self.leftovers(), [])
        finally:
            open(os.path.join(self.record, "release"), "wb").close()

    def test_list_shows_the_settings_and_attach_refuses_unknown_values(self):
        cases = [([], b"settings: wait installer, exit code launcher (none stored: the defaults)"),
                 (["--wait", "all"], b"settings: wait all, exit code launcher\n"),
                 (["--exit-code", "installer"], b"settings: wait installer, exit code installer\n"),
                 (["--wait", "installer", "--exit-code", "launcher"], b"settings: wait installer, exit code launcher\n")]
        for options, line in cases:
            with self.subTest(options=options):
                listed = tool("list", "--setup", self.setup_with({"setup.sh": installer(b"")}, *options)).stdout
                self.assertTrue(listed.startswith(line), listed)
                self.assertIn(b"launch entry: setup.sh", listed)
        for options in (["--wait", "everything"], ["--exit-code", "0"]):
            with self.subTest(options=options):
                refused = tool("attach", "--stub", STUB, "--package", self.path("setup.pkg"), *options,
                               "-o", self.path("x"), check=False)
                self.assertEqual(refused.returncode, 2)
                self.assertFalse(os.path.exists(self.path("x")))


if __name__ == "__main__":
    unittest.main()
