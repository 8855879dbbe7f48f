"""Setups made with attach's --wait and --exit-code, run under Wine: a
hand-off installer, a helper that breaks away from the launcher's job, and
exit codes of all 32 bits."""

import os
import subprocess
import unittest

import wine
from wine import PACK, STUB, WineCase
from windows_target import HANDOFF

DATA = b"the package's data\r\n"


class Settings(WineCase):
    def setup_with(self, *options):
        with open(HANDOFF, "rb") as f:
            files = {"setup.exe": f.read(), "data.txt": DATA}
        package = self.make_package(files, launch="setup.exe")
        out = self.path("setup.exe")
        subprocess.run([PACK, "attach", "--stub", STUB, "--package", package, *options, "-o", out],
                       check=True, capture_output=True)
        return out

    def helper_read(self):
        """What the helper read; when it read nothing, a failure that says
        how far the hand-off went."""
        steps = {n: self.recorded(n) for n in ("handoff", "helper", "read")
                 if os.path.exists(os.path.join(self.record, n))}
        self.assertIn("read", steps, f"the helper read nothing; what was recorded: {steps}")
        return steps["read"]

    def test_wait_all_keeps_the_files_until_the_handed_off_helper_has_ended(self):
        # (attach options, the installer's tail, what the helper read)
        cases = [(["--wait", "all"], b" --handoff", DATA),
                 ([], b" --handoff", b"missing"),
                 (["--wait", "all"], b" --handoff --breakaway", b"missing")]
        for options, tail, read in cases:
            with self.subTest(options=options, tail=tail):
                for stale in os.listdir(self.record):
                    os.remove(os.path.join(self.record, stale))
                code, _ = self.run_launcher(self.setup_with(*options), tail)
                self.assertEqual(code, 1)
                self.assertEqual(self.leftovers(), [])
                wine.wait_for_wine()
                self.assertEqual(self.helper_read(), read)

    def test_exit_code_installer_passes_all_32_bits_through(self):
        launcher = self.setup_with("--exit-code", "installer", "--wait", "all")
        # Wine hands a Windows program's exit code to Unix in 8 bits; the
        # program that starts the launcher records all 32.
        for code in (0, 3, 1603, 3010, 0x80070643):
            with self.subTest(code=code):
                self.assertEqual(self.run_launcher(launcher, b" --exit %d" % code)[0], code & 0xFF)
                self.assertEqual(self.recorded("exit-code"), b"%d" % code)
        self.assertEqual(self.run_launcher(self.setup_with(), b" --exit 3010")[0], 1)
        self.point_temp_at(self.path("missing"))
        self.assertEqual(self.run_launcher(launcher, b" --exit 3010")[0], 5)

    def test_list_shows_the_settings(self):
        listed = subprocess.run([PACK, "list", "--setup", self.setup_with("--wait", "all", "--exit-code", "installer")],
                                check=True, capture_output=True).stdout
        self.assertTrue(listed.startswith(b"settings: wait all, exit code installer\n"), listed)
        self.assertIn(b"launch entry: setup.exe", listed)


if __name__ == "__main__":
    unittest.main()
