"""The same inputs give the same bytes: packages and setups made again on
another day (faketime), from inputs with other file times, on any number of
threads; a Windows setup's time stamp is SOURCE_DATE_EPOCH or the stub's own,
with its checksum computed again."""

import os
import shutil
import struct
import subprocess
import unittest

import pefile

from harness import PACK, STUB
from pe_resources import MARK, MARK_TEXT, check_valid, make_image
from workspace import WorkspaceCase

FAKETIME = shutil.which("faketime")
# Another day for the second run, years from the first.
LATER = "2031-06-01 12:00:00"
STUB_STAMP = 0x5F5E1000


def stamped_stub(plus):
    """A synthetic Windows stub whose link time stamp is STUB_STAMP."""
    image = bytearray(make_image(plus, {MARK: MARK_TEXT}))
    header = struct.unpack_from("<I", image, 0x3C)[0]
    struct.pack_into("<I", image, header + 8, STUB_STAMP)
    return bytes(image)


@unittest.skipUnless(FAKETIME, "faketime (Debian's faketime package) is not installed")
class SameBytes(WorkspaceCase):
    def make(self, name, args, later=False, env=None):
        """Runs mirelk-pack with `args` (the output last) and returns what it
        wrote; `later` runs it on another day."""
        out = self.path(name)
        command = [PACK, *args, "-o", out]
        environment = dict(os.environ, **(env or {}))
        if later:
            command = [FAKETIME, LATER, *command]
            # faketime's library is preloaded ahead of AddressSanitizer's.
            environment["ASAN_OPTIONS"] = ":".join(filter(None, [environment.get("ASAN_OPTIONS"),
                                                                 "verify_asan_link_order=0"]))
        result = subprocess.run(command, capture_output=True, env=environment)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as f:
            return f.read()

    def tree_inputs(self):
        tree = self.path("in", "app")
        os.makedirs(os.path.join(tree, "bin"))
        for name, data in (("bin/setup.sh", b"#!/bin/sh\n"), ("data.bin", os.urandom(200000))):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        os.chmod(os.path.join(tree, "bin/setup.sh"), 0o755)
        return [tree, *self.write_inputs({"readme.txt": b"readme\n" * 1000})]

    def touch_all(self, paths, seconds):
        for top in paths:
            for folder, _, names in os.walk(top) if os.path.isdir(top) else [(os.path.dirname(top), [], [top])]:
                for name in [folder, *(os.path.join(folder, n) for n in names)]:
                    os.utime(name, (seconds, seconds))

    def test_create_gives_the_same_package_on_another_day_and_any_threads(self):
        inputs = self.tree_inputs()
        # (options of the first run, of the second)
        cases = [
            ([], []),
            (["--format", "xz", "--threads", "1"], ["--format", "xz", "--threads", "3"]),
            (["--format", "xz", "--check", "sha256", "--threads", "2"], ["--format", "xz", "--check", "sha256"]),
            (["--bundle-only"], ["--bundle-only"]),
        ]
        for options, second in cases:
            with self.subTest(options=options, second=second):
                self.touch_all(inputs, 1_000_000_000)
                first = self.make("first.pkg", ["create", "--launch", "app/bin/setup.sh", *options, *inputs])
                self.touch_all(inputs, 1_900_000_000)
                again = self.make("again.pkg", ["create", "--launch", "app/bin/setup.sh", *second, *inputs],
                                  later=True)
                self.assertEqual(first, again)

    def test_attach_gives_the_same_setup_on_another_day(self):
        package = self.path("app.pkg")
        self.make("app.pkg", ["create", *self.write_inputs({"setup.sh": b"#!/bin/sh\n"})])
        # Copies, whose times may change.
        stubs = {"posix": self.path("posix-stub"), "pe32": self.path("pe32.exe"), "pe32plus": self.path("pe32plus.exe")}
        shutil.copy(STUB, stubs["posix"])
        for plus, name in ((False, "pe32"), (True, "pe32plus")):
            with open(stubs[name], "wb") as f:
                f.write(stamped_stub(plus))
        for name, stub in stubs.items():
            with self.subTest(stub=name):
                args = ["attach", "--stub", stub, "--package", package, "--wait", "all"]
                first = self.make("first", args)
                self.touch_all([package, stub], 1_900_000_000)
                self.assertEqual(self.make("again", args, later=True), first)
                if name != "posix":
                    self.assertEqual(pefile.PE(data=first).FILE_HEADER.TimeDateStamp, STUB_STAMP)

    def test_source_date_epoch_is_the_windows_setups_time_stamp(self):
        package = self.path("app.pkg")
        # Data that does not compress: pefile counts a file of mostly zero bytes as damaged.
        self.make("app.pkg", ["create", *self.write_inputs({"setup.exe": os.urandom(20000)})])
        for plus in (False, True):
            stub_path = self.path("stub.exe")
            with open(stub_path, "wb") as f:
                f.write(stamped_stub(plus))
            args = ["attach", "--stub", stub_path, "--package", package]
            # (SOURCE_DATE_EPOCH, the time stamp the setup carries)
            for epoch, stamp in (("1700000000", 1700000000), ("0", 0), ("4294967295", 0xFFFFFFFF),
                                 ("", STUB_STAMP)):
                with self.subTest(plus=plus, epoch=epoch):
                    env = {"SOURCE_DATE_EPOCH": epoch}
                    setup = self.make("setup.exe", args, env=env)
                    pe = check_valid(self, setup)
                    self.assertEqual(pe.FILE_HEADER.TimeDateStamp, stamp)
                    self.assertEqual(self.make("again.exe", args, later=True, env=env), setup)

    def test_a_source_date_epoch_no_time_stamp_holds_is_refused(self):
        package = self.path("app.pkg")
        self.make("app.pkg", ["create", *self.write_inputs({"setup.exe": b"MZ setup"})])
        stub = self.path("stub.exe")
        with open(stub, "wb") as f:
            f.write(stamped_stub(False))
        for epoch in ("4294967296", "-1", "1.5", "17e8", " 1700000000", "99999999999999999999999"):
            with self.subTest(epoch=epoch):
                out = self.path("setup.exe")
                result = subprocess.run([PACK, "attach", "--stub", stub, "--package", package, "-o", out],
                                        capture_output=True, env=dict(os.environ, SOURCE_DATE_EPOCH=epoch))
                self.assertEqual(result.returncode, 1)
                self.assertIn(b"SOURCE_DATE_EPOCH", result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 1)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
