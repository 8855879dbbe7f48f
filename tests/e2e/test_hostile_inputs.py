"""mirelk-pack against hostile inputs on Linux: listings no name can forge,
names some launcher would refuse, FIFOs where inputs were, packages cut short
or followed by garbage, and inputs too large to be what they claim."""

import os
import socket
import subprocess
import unittest

from harness import PACK, RECORDING_INSTALLER, STUB, LauncherCase, tool
from hostile import (LISTED_NAMES, check_listing, damaged_packages, listing_package, sound_packages,
                     swap_for_fifo_while_packing, tree_listing_package, write)

# Waits longer than any of these commands takes; a command still running then
# is killed and its case fails: a hang fails, it never hangs the suite.
TIMEOUT = 120


def run_tool(*args):
    return subprocess.run([PACK, *args], capture_output=True, timeout=TIMEOUT)


class HostileCase(LauncherCase):
    def assert_one_line_refusal(self, result, *words):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        self.assertFalse([b for b in result.stderr[:-1] if b < 0x20 or b == 0x7F], result.stderr)
        for word in words:
            self.assertIn(word.encode() if isinstance(word, str) else word, result.stderr)

    def assert_nothing_written(self, out):
        self.assertFalse(os.path.exists(out))
        self.assertEqual([n for n in os.listdir(os.path.dirname(out)) if ".part" in n], [])


class Listing(HostileCase):
    def test_names_neither_forge_rows_nor_reach_the_terminal(self):
        # Two heading lines before the rows, and one more for a tree bundle.
        for label, package, heading in (("flat", listing_package(), 2), ("tree", tree_listing_package(), 3)):
            with self.subTest(bundle=label):
                result = run_tool("list", write(self.path(label + ".xz"), package))
                # Names with control characters are refused by a launcher.
                self.assert_one_line_refusal(result, "exit code 14")
                check_listing(self, result.stdout, heading)


class CreateNames(HostileCase):
    # Names some launcher refuses: Windows' reserved characters and control
    # characters (the Windows launcher ended with 14 when these were packed),
    # and what the name rule refuses everywhere.
    REFUSED = [b"a*b", b"a?b", b"a<b", b"a>b", b"a|b", b'a"b', b"a\x01b", b"a\x1b[2Jb", b"a\nb",
               b"a\x7fb", b"a:b", b"a\\b", b"nul.txt", b"com1", b"trail.", b"trail "]
    TAKEN = [b"read me.txt", b"O'Brien [x86] (1).txt", b"~$#%&+,;=@^`{}.txt"]

    def make(self, name, data=b"x"):
        directory = os.path.join(os.fsencode(self.inputs), name.replace(b"/", b"_") + b".d")
        os.makedirs(directory, exist_ok=True)
        return write(os.path.join(directory, name), data)

    def test_names_some_launcher_refuses_are_refused_on_linux(self):
        out = self.path("out.pkg")
        for name in self.REFUSED:
            path = self.make(name)
            for revision in ([], ["--bundle", "v1"], ["--bundle", "v2"]):
                with self.subTest(name=name, revision=revision):
                    result = run_tool("create", "-o", out, *revision, path)
                    self.assert_one_line_refusal(result, "refuses the entry")
                    self.assert_nothing_written(out)

    def test_names_every_launcher_writes_are_taken(self):
        files = {name: name for name in self.TAKEN}
        files[b"setup.sh"] = RECORDING_INSTALLER
        paths = [self.make(name, data) for name, data in files.items()]
        for revision in ([], ["--bundle", "v1"]):
            with self.subTest(revision=revision):
                package = self.path("ok.pkg")
                tool("create", "-o", package, *revision, "--launch", "setup.sh", *paths)
                result = self.run_launcher(self.attach(package))
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(self.recorded_files(), {n.decode(): d for n, d in files.items()})


class FifoInputs(HostileCase):
    def test_a_fifo_socket_or_device_given_as_any_input_is_refused_at_once(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        listening = socket.socket(socket.AF_UNIX)
        self.addCleanup(listening.close)
        listening.bind(self.path("socket"))
        package = self.path("p.pkg")
        out = self.path("out")
        setup = self.path("setup")
        tool("create", "-o", package, write(self.path("x"), b"x"))
        tool("attach", "--stub", STUB, "--package", package, "-o", setup)
        cases = [
            (["create", "-o", out, fifo], "a FIFO"),
            (["create", "-o", out, "--bundle", "v1", fifo], "a FIFO"),
            (["attach", "--stub", fifo, "--package", package, "-o", out], "a FIFO"),
            (["attach", "--stub", STUB, "--package", fifo, "-o", out], "a FIFO"),
            (["attach", "--stub", STUB, "--package", package, "--splash", fifo, "-o", out], "a FIFO"),
            (["attach", "--stub", STUB, "--package", self.path("socket"), "-o", out], "a socket"),
            (["attach", "--stub", STUB, "--package", package, "--splash", "/dev/zero", "-o", out], "a device"),
            (["list", fifo], "a FIFO"),
            (["list", "--setup", fifo], "a FIFO"),
        ]
        for args, kind in cases:
            with self.subTest(args=args):
                self.assert_one_line_refusal(run_tool(*args), "': " + kind + ", not a ")
                self.assert_nothing_written(out)

    def test_an_input_swapped_for_a_fifo_while_packing_is_refused(self):
        noise, victim = self.write_inputs({"noise.bin": os.urandom(8 << 20), "victim": b"victim"})
        out = self.path("out.pkg")
        code, stderr = swap_for_fifo_while_packing([PACK, "create", "-o", out, noise, victim], victim,
                                                   ".out.pkg.part", self.root, timeout=TIMEOUT)
        self.assertEqual(code, 1, stderr)
        self.assertEqual(stderr.count(b"\n"), 1, stderr)
        self.assertIn(b"'" + os.fsencode(victim) + b"': a FIFO, not a regular file", stderr)
        self.assert_nothing_written(out)


class DamagedPackages(HostileCase):
    def test_attach_refuses_a_package_cut_short_or_followed_by_garbage(self):
        out = self.path("out")
        for label, package in damaged_packages():
            with self.subTest(package=label):
                path = write(self.path("damaged.pkg"), package)
                self.assert_one_line_refusal(run_tool("attach", "--stub", STUB, "--package", path, "-o", out),
                                             "damaged.pkg")
                self.assert_nothing_written(out)
                # The launcher indeed refuses it: no setup made of it would run.
                if label.startswith("xz small"):
                    result = self.run_launcher(self.attach_unchecked(path, "unchecked"))
                    self.assertEqual(result.returncode, 9, label)

    def test_attach_takes_what_the_launcher_decodes(self):
        for label, package in sound_packages():
            with self.subTest(package=label):
                path = write(self.path("sound.pkg"), package)
                result = run_tool("attach", "--stub", STUB, "--package", path, "-o", self.path("setup"))
                self.assertEqual(result.returncode, 0, result.stderr)


class OversizedInputs(HostileCase):
    def test_inputs_larger_than_they_can_be_are_refused_before_reading(self):
        package = self.path("p.pkg")
        tool("create", "-o", package, write(self.path("x"), b"x"))
        # Sparse files: refused on their size alone, never read.
        splash = self.path("huge.bmp")
        with open(splash, "wb") as f:
            f.write(b"BM")
            f.truncate((64 << 20) + 1)
        stub = self.path("huge-stub")
        with open(STUB, "rb") as f, open(stub, "wb") as g:
            g.write(f.read())
            g.truncate((64 << 20) + 1)
        out = self.path("out")
        cases = [
            (["--stub", STUB, "--package", package, "--splash", splash], "larger than 64 MiB"),
            (["--stub", stub, "--package", package], "larger than 64 MiB; not a launcher stub"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                self.assert_one_line_refusal(run_tool("attach", *args, "-o", out), message)
                self.assert_nothing_written(out)


if __name__ == "__main__":
    unittest.main()
