"""Packages from mirelk-pack and from independent encoders, and the tool's
own refusals."""

import os
import resource
import shutil
import signal
import stat
import subprocess
import time
import unittest

from harness import PACK, RECORDING_INSTALLER, STUB, LauncherCase, sanitized, tool
from workspace import make_bundle, xz_package

FILES = {
    "setup.sh": RECORDING_INSTALLER,
    "text.txt": b"Mirelk " * 5000,
    "noise.bin": os.urandom(150000),
    "tiny": b"t",
}


class IndependentEncoders(LauncherCase):
    def bundle(self):
        paths = self.write_inputs(FILES)
        bundle = self.path("bundle.hen")
        tool("create", "--bundle-only", "-o", bundle, "--launch", "setup.sh", *paths)
        return bundle

    def check_extracts_exactly(self, package):
        result = self.run_launcher(self.attach(package), ["arg"])
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.recorded_files(), FILES)
        self.assertEqual(self.leftovers(), [])

    def test_every_encoder_gives_the_same_files(self):
        bundle = self.bundle()
        ours = self.path("ours.pkg")
        tool("create", "-o", ours, "--launch", "setup.sh",
             *[os.path.join(self.inputs, name) for name in FILES])
        encoders = {
            "mirelk-pack": None,
            "lzma_alone": ["lzma_alone", "e", bundle, "{out}"],
            "lzma_alone -eos": ["lzma_alone", "e", "-eos", bundle, "{out}"],
            "lzma_alone lc0 lp2 pb0 small dictionary": [
                "lzma_alone", "e", "-lc0", "-lp2", "-pb0", "-d16", bundle, "{out}"],
            "lzma_alone lc4 pb4": ["lzma_alone", "e", "-lc4", "-pb4", bundle, "{out}"],
            "xz --format=lzma": ["sh", "-c", f"xz --format=lzma -c '{bundle}' > '{{out}}'"],
        }
        for label, command in encoders.items():
            with self.subTest(encoder=label):
                package = ours
                if command:
                    package = self.path(label.replace(" ", "_") + ".pkg")
                    subprocess.run([part.replace("{out}", package) for part in command],
                                   check=True, capture_output=True)
                self.check_extracts_exactly(package)
                listed = tool("list", package).stdout.decode()
                self.assertIn("launch entry: setup.sh", listed)

    @unittest.skipIf(sanitized(), "AddressSanitizer needs more address space than the limit")
    def test_dictionary_field_beyond_memory_still_decodes(self):
        # The header may claim any dictionary; the launcher must not try to
        # allocate it (here 4 GiB in a process limited to 1 GiB).
        bundle = self.bundle()
        package = self.path("huge-dictionary.pkg")
        with open(package, "wb") as f:
            f.write(subprocess.run(["xz", "--format=lzma", "-c", bundle], capture_output=True,
                                   check=True).stdout)
        with open(package, "r+b") as f:
            f.seek(1)
            f.write(b"\xff\xff\xff\xff")
        result = self.run_launcher(self.attach(package), ["arg"], address_space=1 << 30)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.recorded_files(), FILES)

    def test_carried_header_is_written(self):
        package = self.path("p.pkg")
        paths = self.write_inputs(FILES)
        tool("create", "-o", package, *paths)
        with open(package, "rb") as f:
            header = f.read(13)
        bundle_size = 15 + sum(8 + len(n) + len(d) for n, d in FILES.items())
        self.assertEqual(header[0], 0x5D)
        self.assertEqual(int.from_bytes(header[1:5], "little"), 0x00800000)
        self.assertEqual(int.from_bytes(header[5:13], "little"), bundle_size)
        # The stream has no end marker: the decoder that needs one rejects it.
        check = subprocess.run(["xz", "--format=lzma", "-dc", package], capture_output=True)
        self.assertEqual(len(check.stdout), bundle_size)


class PackTool(LauncherCase):
    def assert_refused(self, args, status, *words):
        result = tool(*args, check=False)
        self.assertEqual(result.returncode, status, result.stderr)
        message = result.stderr.decode()
        for word in words:
            self.assertIn(word, message)
        self.assertNotIn("Traceback", message)
        return message

    def test_create_refusals_write_nothing(self):
        a, b = self.write_inputs({"a.txt": b"a", "b.txt": b"b"})
        os.mkdir(self.path("other"))
        twin = self.path("other", "a.txt")
        with open(twin, "wb") as f:
            f.write(b"twin")
        bad_name = self.path("other", "nul:x")
        with open(bad_name, "wb") as f:
            f.write(b"x")
        # A folder is packed as a tree now; a FIFO is still no regular file.
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        out = self.path("out.pkg")
        cases = [
            (["create", "-o", out, a, self.path("missing")], 1, ["missing", "no such file"]),
            (["create", "-o", out, a, twin], 1, ["a.txt", "same name"]),
            (["create", "-o", out, bad_name], 1, ["nul:x", "refuses"]),
            (["create", "-o", out, "--launch", "c.txt", a, b], 1, ["c.txt"]),
            (["create", "-o", out, fifo], 1, ["not a regular file"]),
            (["create", "-o", out], 2, ["usage"]),
            (["create", a], 2, ["-o"]),
            (["create", "--bogus", "-o", out, a], 2, ["--bogus"]),
            (["frobnicate"], 2, ["frobnicate"]),
        ]
        for args, status, words in cases:
            with self.subTest(args=args):
                self.assert_refused(args, status, *words)
                self.assertFalse(os.path.exists(out))
                self.assertEqual([n for n in os.listdir(self.root) if n.startswith(".out")], [])

    def test_attach_refusals_leave_no_output(self):
        package = self.path("p.pkg")
        tool("create", "-o", package, *self.write_inputs({"x": b"x"}))
        launcher = self.attach(package)
        out = self.path("new-launcher")
        not_bmp = self.path("not.bmp")
        with open(not_bmp, "wb") as f:
            f.write(b"BM" + b"\0" * 60)
        # 24-bit pictures the launcher would not show: 2 x 2 pixels announced,
        # one row present; a side beyond 4096.
        header = (b"BM" + (70).to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little")
                  + (40).to_bytes(4, "little"))
        cut_bmp = self.path("cut.bmp")
        with open(cut_bmp, "wb") as f:
            f.write(header + (2).to_bytes(4, "little") * 2 + b"\1\0\x18\0" + bytes(24) + bytes(8))
        huge_bmp = self.path("huge.bmp")
        with open(huge_bmp, "wb") as f:
            f.write(header + (5000).to_bytes(4, "little") + (1).to_bytes(4, "little")
                    + b"\1\0\x18\0" + bytes(24) + bytes(15000))
        no_width_bmp = self.path("no-width.bmp")
        with open(no_width_bmp, "wb") as f:
            f.write(header + (0).to_bytes(4, "little") + (2).to_bytes(4, "little") + b"\1\0\x18\0" + bytes(24))
        core_bmp = self.path("core.bmp")
        with open(core_bmp, "wb") as f:
            f.write(b"BM" + (38).to_bytes(4, "little") + bytes(4) + (26).to_bytes(4, "little")
                    + (12).to_bytes(4, "little") + b"\2\0\1\0\1\0\x18\0" + bytes(12))
        bad_stubs, bad_packages = self.refused_stubs_and_packages(package)
        cases = [
            (["--stub", launcher, "--package", package, "-o", out], 1, ["already carries"]),
            (["--stub", STUB, "--package", self.path("missing"), "-o", out], 1, ["missing"]),
            (["--stub", STUB, "--package", package, "--splash", not_bmp, "-o", out], 1, ["24-bit"]),
            (["--stub", STUB, "--package", package, "--splash", cut_bmp, "-o", out], 1, ["damaged"]),
            (["--stub", STUB, "--package", package, "--splash", huge_bmp, "-o", out], 1, ["4096"]),
            (["--stub", STUB, "--package", package, "--splash", no_width_bmp, "-o", out], 1, ["damaged"]),
            (["--stub", STUB, "--package", package, "--splash", core_bmp, "-o", out], 1, ["24-bit"]),
            (["--stub", STUB, "--package", package, "-o", self.path("no-dir", "out")], 1, ["no-dir"]),
            (["--stub", STUB, "-o", out], 2, ["--package"]),
        ]
        cases += [(["--stub", stub, "--package", package, "-o", out], 1, [message])
                  for stub, message in bad_stubs]
        cases += [(["--stub", STUB, "--package", bad, "-o", out], 1, [message])
                  for bad, message in bad_packages]
        for args, status, words in cases:
            with self.subTest(args=args):
                message = self.assert_refused(["attach", *args], status, *words)
                if status == 1:
                    self.assertEqual(message.count("\n"), 1, message)
                self.assertFalse(os.path.exists(out))
                self.assertEqual([n for n in os.listdir(self.root) if ".part" in n], [])

    def refused_stubs_and_packages(self, package):
        """([(stub, message)], [(package, message)]): what the launcher would
        not run or would reject with 9, each with what attach says of it."""
        def write(name, data):
            with open(self.path(name), "wb") as f:
                f.write(data)
            return self.path(name)

        with open(package, "rb") as f:
            good = f.read()
        bundle = make_bundle([("x", b"x" * 5000)])
        text = b"This is a text file, not a package.\n" * 20
        # lzma_alone takes lc up to 8; the launcher's decoder lc + lp up to 4.
        wide = self.path("lc5.pkg")
        subprocess.run(["lzma_alone", "e", "-lc5", write("bundle.hen", bundle), wide], check=True,
                       capture_output=True)
        stubs = [
            ("/bin/true", "not a Mirelk launcher stub"),
            (write("stub.txt", text), "not a launcher stub"),
        ]
        packages = [
            (write("text.pkg", text), "not a package"),
            (self.path("bundle.hen"), "uncompressed bundle"),
            (write("cut.pkg", good[:-4]), "truncated package"),
            (write("corrupt.pkg", good[:13] + b"\1" + good[14:]), "damaged package"),
            (wide, "lc 5, lp 0, pb 2"),
            (write("not-a-bundle.pkg", xz_package(text)), "not of a bundle"),
            (write("empty.pkg", b""), "empty file"),
            (STUB, "launcher stub"),
        ]
        return stubs, packages

    def test_an_output_that_is_an_input_is_refused(self):
        setup, data = self.write_inputs({"setup.sh": RECORDING_INSTALLER, "data": b"data"})
        package = self.path("p.pkg")
        tool("create", "-o", package, setup, data)
        stub = self.path("stub")
        shutil.copyfile(STUB, stub)
        splash = self.path("splash.bmp")
        with open(splash, "wb") as f:
            f.write(b"BM" + (58).to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little")
                    + (40).to_bytes(4, "little") + (1).to_bytes(4, "little") * 2 + b"\1\0\x18\0" + bytes(28))
        hard_link = self.path("hard-link")
        os.link(setup, hard_link)
        symbolic_link = self.path("symbolic-link")
        os.symlink(package, symbolic_link)
        attach = ["attach", "--stub", stub, "--package", package, "--splash", splash, "-o"]
        cases = [
            ["create", "-o", setup, setup, data],
            ["create", "-o", hard_link, data, setup],
            ["create", "-o", self.path("in", "..", "in", "data"), setup, data],
            attach + [package],
            attach + [symbolic_link],
            attach + [stub],
            attach + [splash],
        ]
        inputs = [setup, data, package, stub, splash]
        before = {path: open(path, "rb").read() for path in inputs}
        for args in cases:
            with self.subTest(args=args):
                message = self.assert_refused(args, 1, "is the same file as the input")
                self.assertEqual(message.count("\n"), 1)
                self.assertEqual({path: open(path, "rb").read() for path in inputs}, before)
                self.assertEqual([n for n in os.listdir(self.root) + os.listdir(self.inputs) if ".part" in n], [])

    def test_interrupted_create_leaves_nothing(self):
        big = self.write_inputs({"noise.bin": os.urandom(8 << 20)})
        out = self.path("out.pkg")
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number.name):
                process = subprocess.Popen([PACK, "create", "-o", out, *big], stderr=subprocess.PIPE)
                deadline = time.monotonic() + 120
                while process.poll() is None and time.monotonic() < deadline:
                    if any(n.startswith(".out.pkg.part") for n in os.listdir(self.root)):
                        break
                    time.sleep(0.01)
                self.assertIsNone(process.poll(), "create ended before it could be interrupted")
                process.send_signal(number)
                process.communicate(timeout=60)
                self.assertEqual(process.returncode, -number)
                self.assertEqual(sorted(os.listdir(self.root)), ["in", "record", "tmp"])

    def test_attach_makes_an_executable(self):
        package = self.path("p.pkg")
        tool("create", "-o", package, *self.write_inputs({"x": b"x"}))
        launcher = self.attach(package)
        self.assertTrue(os.stat(launcher).st_mode & stat.S_IXUSR)
        with open(launcher, "rb") as f:
            self.assertEqual(f.read()[-8:], b"MRLRSRC1")

    def test_list_names_what_the_file_is(self):
        package = self.path("p.pkg")
        tool("create", "-o", package, *self.write_inputs({"x": b"x"}))
        text = self.path("notes.txt")
        with open(text, "wb") as f:
            f.write(b"Notes, not a package.\n" * 10)
        empty = self.path("empty")
        open(empty, "wb").close()
        cases = [
            (self.inputs, "'%s': a directory, not a package" % self.inputs),
            (STUB, "a Mirelk launcher stub (POSIX), not a package"),
            (self.attach(package), "a Mirelk launcher (POSIX) with its resources attached, not a package"),
            ("/bin/true", "a program (ELF), not a package"),
            (text, "not a package: no LZMA-Alone header"),
            (empty, "an empty file, not a package"),
        ]
        for path, words in cases:
            with self.subTest(path=path):
                message = self.assert_refused(["list", path], 1, words)
                self.assertEqual(message.count("\n"), 1)

    @unittest.skipIf(sanitized(), "AddressSanitizer needs more address space than the limit")
    def test_list_decodes_within_the_launchers_memory(self):
        # An unknown size: a window as large as the largest bundle would not
        # fit in 1 GiB of address space; the launcher's window policy does.
        bundle = make_bundle([("a.bin", os.urandom(3 << 20)), ("b.txt", b"b" * 100000)], flag=1, index=1)
        package = self.path("xz.pkg")
        with open(package, "wb") as f:
            f.write(xz_package(bundle))

        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

        result = subprocess.run([PACK, "list", package], capture_output=True, preexec_fn=limit)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout.decode(), r"1\s+100000\s+b\.txt  \[launch\]")

    def test_list_reports_damage(self):
        package = self.path("p.pkg")
        tool("create", "-o", package, "--launch", "b.txt",
             *self.write_inputs({"a.txt": os.urandom(5000), "b.txt": b"b"}))
        listed = tool("list", package).stdout.decode()
        self.assertRegex(listed, r"0\s+5000\s+a\.txt")
        self.assertRegex(listed, r"1\s+1\s+b\.txt  \[launch\]")
        with open(package, "rb") as f:
            data = f.read()
        cases = {
            "cut.pkg": (data[:len(data) // 2], "truncated"),
            "header.pkg": (data[:10], "shorter than its 13-byte header"),
            "corrupt.pkg": (data[:13] + bytes([1]) + data[14:], "damaged"),
            "notbundle.pkg": (b"HEX" + data[3:], None),
        }
        for name, (content, word) in cases.items():
            with self.subTest(name=name):
                path = self.path(name)
                with open(path, "wb") as f:
                    f.write(content)
                message = self.assert_refused(["list", path], 1, name)
                if word:
                    self.assertIn(word, message)


if __name__ == "__main__":
    unittest.main()
