""".xz packages end to end: made by mirelk-pack and by xz itself, decoded on
one processor and on all of them, and damaged anywhere."""

import atexit
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import RECORDING_INSTALLER, STUB, LauncherCase, tool
from workspace import last_check_offset, with_first_block_header

FILES = {
    "setup.sh": RECORDING_INSTALLER,
    "text.txt": b"Mirelk " * 60000,
    # More than one of mirelk-pack's 2 MiB blocks.
    "noise.bin": os.urandom(2300000),
    "tiny": b"t",
}
# Small enough that a launcher can be run for many damaged copies.
SMALL_FILES = {"setup.sh": RECORDING_INSTALLER, "a.txt": b"a" * 3000, "b.bin": os.urandom(1500)}


# mirelk-pack's packages of FILES, made once for all tests (the strongest
# preset takes its time, more so under the sanitizers): options -> path.
_PACKED = {}
_PACKED_DIRECTORY = tempfile.mkdtemp(prefix="mirelk-e2e-xz-")
atexit.register(shutil.rmtree, _PACKED_DIRECTORY, ignore_errors=True)


def packed(*options):
    if options not in _PACKED:
        inputs = os.path.join(_PACKED_DIRECTORY, "in")
        if not os.path.isdir(inputs):
            os.mkdir(inputs)
            for name, data in FILES.items():
                with open(os.path.join(inputs, name), "wb") as f:
                    f.write(data)
        package = os.path.join(_PACKED_DIRECTORY, f"{len(_PACKED)}.pkg")
        tool("create", "-o", package, "--launch", "setup.sh", *options,
             *[os.path.join(inputs, name) for name in FILES])
        _PACKED[options] = package
    return _PACKED[options]


def one_processor():
    """Runs the child on one processor only, as a one-core machine would."""
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def xz(source, out, *options):
    with open(source, "rb") as data, open(out, "wb") as package:
        subprocess.run(["xz", "-c", *options], stdin=data, stdout=package, check=True)
    return out


class XzCase(LauncherCase):
    def bundle(self, files):
        paths = self.write_inputs(files)
        bundle = self.path("bundle.hen")
        tool("create", "--bundle-only", "-o", bundle, "--launch", "setup.sh", *paths)
        return bundle

    def pack(self, files, name, *options):
        package = self.path(name)
        tool("create", "-o", package, "--launch", "setup.sh", *options,
             *[os.path.join(self.inputs, n) for n in files])
        return package

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def assert_installs(self, package, files, preexec_fn=None):
        launcher = self.attach(package)
        environment = dict(os.environ, TMPDIR=self.tmp, MIRELK_RECORD=self.record)
        environment.pop("DISPLAY", None)
        result = subprocess.run([launcher, "x"], env=environment, capture_output=True,
                                timeout=120, preexec_fn=preexec_fn)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.recorded_files(), files)
        self.assertEqual(self.leftovers(), [])

    def assert_rejected(self, package, detail=""):
        """Exit 9, and what a rejected package leaves: an empty bundle file and
        the empty extraction directory, nothing else."""
        shutil.rmtree(self.tmp)
        os.mkdir(self.tmp)
        result = self.run_launcher(self.attach_unchecked(package), ["x"])
        self.assertEqual(result.returncode, 9, detail)
        leftovers = self.leftovers()
        files = [p for p in leftovers if not p.endswith("/")]
        directories = [p for p in leftovers if p.endswith("/")]
        self.assertEqual((len(files), len(directories)), (1, 1), f"{detail}: {leftovers}")
        self.assertTrue(all(p.startswith("mrl") for p in leftovers), leftovers)
        self.assertEqual(os.path.getsize(os.path.join(self.tmp, files[0])), 0, detail)


class Install(XzCase):
    def test_packages_from_mirelk_pack_and_xz_install_on_one_processor_and_on_all(self):
        bundle = self.bundle(FILES)
        empty = self.path("empty")
        self.write("empty", b"")
        packages = {
            "mirelk-pack --format xz": packed("--format", "xz"),
            "mirelk-pack --check sha256": packed("--format", "xz", "--check", "sha256"),
            "mirelk-pack --check crc32": packed("--format", "xz", "--check", "crc32"),
            "xz -T0 --block-size=64KiB": xz(bundle, self.path("t0.xz"), "-T0", "--block-size=64KiB"),
            "xz, one block without sizes": xz(bundle, self.path("one.xz"), "-T1"),
            "xz --check=sha256 -T2": xz(bundle, self.path("sha.xz"), "-T2", "--check=sha256",
                                        "--block-size=100KiB"),
        }
        # A second stream after the first, here an empty one: any .xz reader
        # takes the two as one file.
        with open(packages["xz -T0 --block-size=64KiB"], "rb") as f:
            first = f.read()
        with open(xz(empty, self.path("empty.xz")), "rb") as f:
            packages["two streams"] = self.write("two.xz", first + bytes(4) + f.read())
        for label, package in packages.items():
            for processors, limit in (("all", None), ("one", one_processor)):
                with self.subTest(package=label, processors=processors):
                    self.assert_installs(package, FILES, limit)

    def test_list_names_the_format_the_check_and_the_blocks(self):
        cases = [
            (packed("--format", "xz"), r"^package: \.xz, check CRC64, 2 blocks in 1 stream, unpacked \d+$"),
            (packed("--format", "xz", "--check", "sha256"), r"check SHA-256"),
            (packed(), r"^package: LZMA-Alone \(no integrity check\)"),
        ]
        bundle = self.bundle(FILES)
        cases.append((xz(bundle, self.path("many.xz"), "-T2", "--block-size=100KiB"),
                      r"check CRC64, 27 blocks in 1 stream"))
        for package, first_line in cases:
            with self.subTest(package=os.path.basename(package)):
                listed = tool("list", package).stdout.decode()
                self.assertRegex(listed.splitlines()[0], first_line)
                self.assertIn("launch entry: setup.sh", listed)


class Rejected(XzCase):
    def test_a_flipped_byte_anywhere_ends_with_nine_and_an_empty_bundle(self):
        # Every byte of the headers at the start and of the index and footer
        # at the end, and a spread of the data between (an in-process test
        # tries every byte of a package).
        self.write_inputs(SMALL_FILES)
        bundle = self.bundle(SMALL_FILES)
        packages = {
            "mirelk-pack": self.pack(SMALL_FILES, "ours.pkg", "--format", "xz"),
            "xz": xz(bundle, self.path("theirs.xz"), "-T2", "--block-size=2KiB"),
        }
        for label, package in packages.items():
            with open(package, "rb") as f:
                good = f.read()
            middle = range(32, len(good) - 64, max(1, (len(good) - 96) // 16))
            for at in [*range(32), *middle, *range(len(good) - 64, len(good))]:
                with self.subTest(package=label, byte=at):
                    damaged = bytearray(good)
                    damaged[at] ^= 0x01
                    self.assert_rejected(self.write("damaged.pkg", bytes(damaged)), f"{label} byte {at}")

    def test_packages_the_launcher_refuses(self):
        self.write_inputs(FILES)
        bundle = self.bundle(FILES)
        with open(xz(bundle, self.path("good.xz"), "-T2", "--block-size=256KiB"), "rb") as f:
            good = f.read()
        wrong_check = bytearray(good)
        wrong_check[last_check_offset(good)] ^= 0x80
        index_start = last_check_offset(good) + 1
        cases = {
            "no integrity check": xz(bundle, self.path("none.xz"), "--check=none"),
            "a wrong check": self.write("wrong-check.xz", bytes(wrong_check)),
            "cut inside the index": self.write("cut-index.xz", good[:index_start + 3]),
            "cut by one byte": self.write("cut.xz", good[:-1]),
            "a byte after the stream": self.write("trailing.xz", good + b"\0"),
            "a 96 MiB dictionary": self.write("96mib.xz", with_first_block_header(good, dictionary=29)),
            "a 4 GiB dictionary": self.write("4gib.xz", with_first_block_header(good, dictionary=40)),
            "a block claiming 1 TiB": self.write("1tib.xz", with_first_block_header(
                good, compressed=1 << 40, uncompressed=1 << 40)),
            "a block claiming 40 MiB": self.write("40mib.xz", with_first_block_header(
                good, uncompressed=40 << 20)),
        }
        # What shows in the first MiB of output, attach refuses as well.
        seen_early = {"no integrity check", "a 96 MiB dictionary", "a 4 GiB dictionary",
                      "a block claiming 1 TiB", "a block claiming 40 MiB"}
        for label, package in cases.items():
            with self.subTest(package=label):
                self.assert_rejected(package, label)
                if label in seen_early:
                    out = self.path("refused")
                    refused = tool("attach", "--stub", STUB, "--package", package, "-o", out,
                                   check=False)
                    self.assertEqual(refused.returncode, 1, label)
                    self.assertIn(os.path.basename(package), refused.stderr.decode())
                    self.assertFalse(os.path.exists(out), label)

    def test_a_64_mib_dictionary_is_still_taken(self):
        with open(packed("--format", "xz"), "rb") as f:
            package = self.write("64mib.xz", with_first_block_header(f.read(), dictionary=28))
        self.assert_installs(package, FILES)


class CreateOptions(XzCase):
    def test_refused_options_write_nothing(self):
        a = self.write_inputs({"a.txt": b"a"})[0]
        out = self.path("out.pkg")
        cases = [
            (["--format", "zip"], "--format"),
            (["--check", "sha256"], "--format xz"),
            (["--threads", "2"], "--format xz"),
            (["--format", "xz", "--check", "none"], "--check"),
            (["--format", "xz", "--threads", "0"], "--threads"),
            (["--format", "xz", "--threads", "two"], "--threads"),
            (["--bundle-only", "--format", "xz"], "--bundle-only"),
        ]
        for options, word in cases:
            with self.subTest(options=options):
                result = tool("create", "-o", out, *options, a, check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(word, result.stderr.decode())
                self.assertFalse(os.path.exists(out))

    def test_the_package_is_the_same_whatever_the_thread_count(self):
        with open(packed("--format", "xz", "--threads", "1"), "rb") as a, \
                open(packed("--format", "xz", "--threads", "3"), "rb") as b:
            self.assertEqual(a.read(), b.read())


if __name__ == "__main__":
    unittest.main()
