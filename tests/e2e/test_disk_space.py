"""The POSIX launcher in a temporary directory with little room: a tmpfs of
its own, mounted in a private mount namespace, about as large as the
payload. The package copy and the bundle give back what has been consumed,
so a setup needs about its payload's size, not twice it."""

import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import unittest

from harness import RECORDING_INSTALLER, LauncherCase

MIB = 1 << 20
PAYLOAD = 64 * MIB

# Mounts a tmpfs of $1 bytes on $2 for the command after them, then notes
# what is left on it (relative path, kind, size) in $3, and ends with the
# command's exit code.
IN_TMPFS = """mount -t tmpfs -o size="$1",mode=0700 mirelk-e2e "$2" || exit 99
dir=$2 notes=$3
shift 3
"$@"
status=$?
find "$dir" -mindepth 1 -printf '%P %y %s\\n' > "$notes"
exit $status
"""


def private_mounts():
    """Why a private tmpfs cannot be had here, or None."""
    if os.geteuid() != 0:
        return "needs root to mount a tmpfs"
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "-m", "--propagation", "private", "true"], capture_output=True).returncode:
        return "no private mount namespace here"
    return None


@unittest.skipIf(private_mounts(), private_mounts())
class SmallTemporaryDisk(LauncherCase):
    @classmethod
    def setUpClass(cls):
        # Mostly incompressible, as the cabinets of a real installer are: the
        # package is about as large as the payload.
        draw = random.Random(23)
        cls.files = {"setup.sh": RECORDING_INSTALLER}
        chunk = (PAYLOAD - len(RECORDING_INSTALLER)) // 8
        for i in range(8):
            cls.files[f"data{i}.cab"] = draw.randbytes(chunk)
        cls.files["data0.cab"] += b"\0" * (PAYLOAD - sum(map(len, cls.files.values())))
        cls.store = tempfile.mkdtemp(prefix="mirelk-e2e-space-")
        cls.packages = {}
        bundle = os.path.join(cls.store, "bundle")
        names = sorted(cls.files)
        names.remove("setup.sh")
        names.insert(0, "setup.sh")
        with open(bundle, "wb") as out:
            out.write(b"HEN" + len(names).to_bytes(4, "little") + (1).to_bytes(4, "little") +
                      (0).to_bytes(4, "little"))
            for name in names:
                data = cls.files[name]
                out.write(len(name).to_bytes(4, "little") + name.encode() +
                          len(data).to_bytes(4, "little") + data)
        for form, options in (("lzma", ["--format=lzma", "-0"]),
                              ("xz", ["-0", "-T2", "--block-size=2MiB"])):
            package = os.path.join(cls.store, "package." + form)
            with open(package, "wb") as out:
                subprocess.run(["xz", *options, "-c", bundle], stdout=out, check=True)
            cls.packages[form] = package

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.store, ignore_errors=True)

    def run_in_tmpfs(self, launcher, size):
        notes = self.path("notes")
        prefix = ["unshare", "-m", "--propagation", "private", "sh", "-c", IN_TMPFS, "sh",
                  str(size), self.tmp, notes]
        result = self.run_launcher(launcher, ["x"], prefix=prefix, timeout=300)
        with open(notes) as f:
            left = [line.split() for line in f.read().splitlines()]
        return result.returncode, left

    def test_payload_installs_in_little_more_than_its_size(self):
        for form, package in self.packages.items():
            with self.subTest(form=form):
                shutil.rmtree(self.record, ignore_errors=True)
                os.mkdir(self.record)
                code, left = self.run_in_tmpfs(self.attach(package, "launcher-" + form),
                                               int(PAYLOAD * 1.15))
                self.assertEqual(code, 1)
                self.assertEqual(left, [])
                self.assertEqual(self.recorded_args(), [b"x"])
                got = self.recorded_files()
                self.assertEqual(sorted(got), sorted(self.files))
                for name, data in self.files.items():
                    self.assertEqual(hashlib.sha256(got[name]).digest(),
                                     hashlib.sha256(data).digest(), name)

    def test_too_little_room_for_the_payload_ends_before_the_installer(self):
        # One format is enough: the stages fail alike when the room runs out.
        for form in ("xz",):
            with self.subTest(form=form):
                code, left = self.run_in_tmpfs(self.attach(self.packages[form], "launcher-" + form),
                                               int(PAYLOAD * 0.9))
                self.assertIn(code, (9, 14))
                self.assertFalse(os.path.exists(os.path.join(self.record, "args")))
                # The bundle file and the extraction directory stay, as after
                # any such failure; with 14, the entries written before it.
                top = [entry for entry in left if "/" not in entry[0]]
                self.assertEqual(sorted(kind for _, kind, _ in top), ["d", "f"], left)
                if code == 9:
                    self.assertEqual([size for _, kind, size in top if kind == "f"], ["0"])
                    self.assertEqual(len(left), 2, left)


if __name__ == "__main__":
    unittest.main()
