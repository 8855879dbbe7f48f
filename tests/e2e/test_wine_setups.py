"""Setups made the publisher's way, under Wine: mirelk-pack.exe itself (create,
list and attach, given Windows paths) makes what the Linux tool makes, and a
setup signed with osslsigncode verifies, shows tampering, and runs."""

import lzma
import os
import random
import signal
import struct
import subprocess
import time
import unittest

from hostile import (check_listing, damaged_packages, listing_package, repeated_icon, swap_for_fifo_while_packing,
                     tree_listing_package, write)
from wine import (PACK, RECORDER, SAMPLE, STUB, UTF8_LOCALE, WINDOWS_PACK, WINE, WineCase, wait_for_wine,
                  windows_path, wine_environment)

with open(RECORDER, "rb") as f:
    FILES = {
        "setup.exe": f.read(),
        "readme.txt": b"read me\r\n",
        "data.bin": random.Random(7).randbytes(100000),
    }
# What attach is given besides the stub, the package and the output.
ATTACH_OPTIONS = ["--version-info", "ProductName=App", "--version-info", "CompanyName=Example",
                  "--file-version", "2.0.1", "--execution-level", "asInvoker"]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def bundle_names(package):
    """The entry names of a package's bundle, as bytes."""
    bundle = lzma.LZMADecompressor(lzma.FORMAT_ALONE).decompress(read(package))
    count, at, names = struct.unpack_from("<i", bundle, 3)[0], 15, []
    for _ in range(count):
        length = struct.unpack_from("<I", bundle, at)[0]
        names.append(bundle[at + 4:at + 4 + length])
        at += 8 + length + struct.unpack_from("<I", bundle, at + 4 + length)[0]
    return names


class PackForWindows(WineCase):
    def windows_pack(self, *args, locale=None):
        return subprocess.run([*WINE, WINDOWS_PACK, *args], cwd=self.root, capture_output=True, timeout=300,
                              env=wine_environment(locale))

    def host_pack(self, *args):
        return subprocess.run([PACK, *args], cwd=self.root, capture_output=True, check=True)

    def art(self):
        return ["--splash", os.path.join(SAMPLE, "splash.bmp"), "--icon", os.path.join(SAMPLE, "icon.ico")]

    def test_create_list_and_attach_make_what_the_linux_tool_makes(self):
        paths = self.write_inputs(FILES)
        os.mkdir(self.path("out"))
        # Absolute paths with a drive and backslashes, and relative ones.
        made = self.windows_pack("create", "-o", windows_path(self.path("win.pkg")), "--launch", "setup.exe",
                                 *[windows_path(p) for p in paths])
        self.assertEqual(made.returncode, 0, made.stderr)
        self.host_pack("create", "-o", "linux.pkg", "--launch", "setup.exe", *paths)
        self.assertEqual(read(self.path("win.pkg")), read(self.path("linux.pkg")))

        listed = self.windows_pack("list", "win.pkg")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertEqual(listed.stdout.replace(b"\r\n", b"\n"), self.host_pack("list", "linux.pkg").stdout)

        # .xz, compressed on threads there and on one here: the same package.
        made = self.windows_pack("create", "-o", "win.xz", "--format", "xz", "--threads", "3",
                                 "--launch", "setup.exe", *[windows_path(p) for p in paths])
        self.assertEqual(made.returncode, 0, made.stderr)
        self.host_pack("create", "-o", "linux.xz", "--format", "xz", "--threads", "1",
                       "--launch", "setup.exe", *paths)
        self.assertEqual(read(self.path("win.xz")), read(self.path("linux.xz")))
        listed = self.windows_pack("list", "win.xz")
        self.assertEqual(listed.stdout.replace(b"\r\n", b"\n"), self.host_pack("list", "linux.xz").stdout)

        art = [windows_path(p) if k % 2 else p for k, p in enumerate(self.art())]
        made = self.windows_pack("attach", "--stub", windows_path(STUB), "--package", "win.pkg", *art,
                                 *ATTACH_OPTIONS, "-o", "out\\app-setup.exe")
        self.assertEqual(made.returncode, 0, made.stderr)
        self.host_pack("attach", "--stub", STUB, "--package", "linux.pkg", *self.art(), *ATTACH_OPTIONS,
                       "-o", "linux-setup.exe")
        setup = self.path("out", "app-setup.exe")
        self.assertEqual(read(setup), read(self.path("linux-setup.exe")))
        code, _ = self.run_launcher(setup, b" /S")
        self.assertEqual(code, 1)
        self.assertTrue(self.recorded("cmdline").endswith(b'" /S'))
        self.assertEqual(self.leftovers(), [])

    def test_a_publisher_under_a_folder_the_code_page_cannot_spell_packs(self):
        # Arguments and file names reach mirelk-pack.exe in UTF-16 (Wine passes
        # them from UTF-8 under C.UTF-8; the code page is 1252).
        folder = self.path("Юрий 张伟")
        os.mkdir(folder)
        paths = []
        for name, data in FILES.items():
            paths.append(os.path.join(folder, name))
            with open(paths[-1], "wb") as f:
                f.write(data)
        package, setup = os.path.join(folder, "app.pkg"), os.path.join(folder, "app-setup.exe")
        made = self.windows_pack("create", "-o", windows_path(package), "--launch", "setup.exe",
                                 *[windows_path(p) for p in paths], locale=UTF8_LOCALE)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.host_pack("create", "-o", "linux.pkg", "--launch", "setup.exe", *paths)
        self.assertEqual(read(package), read(self.path("linux.pkg")))
        made = self.windows_pack("attach", "--stub", windows_path(STUB), "--package", windows_path(package),
                                 "-o", windows_path(setup), locale=UTF8_LOCALE)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertEqual(self.run_launcher_unicode(setup, " /S"), 1)
        self.assertEqual(self.recorded("cmdline.utf8").decode("utf-8")[-3:], " /S")
        self.assertEqual(self.leftovers(), [])

    def test_names_in_the_system_code_page_and_refusals(self):
        paths = self.write_inputs({"caf\u00e9.txt": b"x", "app.ico": b"not an icon"})
        # A non-ASCII name makes a tree bundle unless the flat one is asked for.
        made = self.windows_pack("create", "-o", "names.pkg", "--bundle", "v1", windows_path(paths[0]))
        self.assertEqual(made.returncode, 0, made.stderr)
        # The launcher writes names in the system code page, here 1252.
        self.assertEqual(bundle_names(self.path("names.pkg")), [b"caf\xe9.txt"])

        out = self.path("refused.exe")
        attach = ["attach", "--stub", windows_path(STUB), "--package", "names.pkg"]
        cases = [
            (attach + ["-o", "NAMES.PKG"], "is the same file as the input"),  # another spelling
            (["attach", "--stub", windows_path(WINDOWS_PACK), "--package", "names.pkg", "-o", out],
             "not a Mirelk launcher stub"),
            (attach + ["--icon", windows_path(paths[1]), "-o", out], "not an icon file"),
            (attach + ["--execution-level", "admin", "-o", out], "unknown execution level 'admin'"),
            (["list", "in"], "a directory, not a package"),
            (["list", windows_path(STUB)], "a Mirelk launcher stub (Windows), not a package"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                refused = self.windows_pack(*args)
                self.assertEqual(refused.returncode, 1)
                self.assertIn(message.encode(), refused.stderr)
                self.assertEqual(refused.stderr.count(b"\n"), 1, refused.stderr)
                self.assertFalse(os.path.exists(out))
        self.assertEqual(bundle_names(self.path("names.pkg")), [b"caf\xe9.txt"])

    def test_ctrl_c_leaves_no_part_file(self):
        # Wine turns SIGINT into the console's Ctrl-C event.
        noise = self.write_inputs({"noise.bin": os.urandom(8 << 20)})[0]
        process = subprocess.Popen([*WINE, WINDOWS_PACK, "create", "-o", "out.pkg", windows_path(noise)],
                                   cwd=self.root, env=wine_environment(), stderr=subprocess.PIPE)
        deadline = time.monotonic() + 120
        while process.poll() is None and time.monotonic() < deadline:
            if any(n.startswith(".out.pkg.part") for n in os.listdir(self.root)):
                break
            time.sleep(0.05)
        self.assertIsNone(process.poll(), "create ended before it could be interrupted")
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=120)
        # The part file is deleted as its last handle closes, which Wine's
        # server does once it has seen the process end: after the Unix
        # process has gone, not before.
        wait_for_wine()
        self.assertEqual(sorted(os.listdir(self.root)), ["in", "record", "tmp"],
                         f"create ended with {process.returncode}: {stderr!r}")


class HostileInputs(WineCase):
    """mirelk-pack.exe against the hostile inputs the Linux tool is tested
    with (test_hostile_inputs.py); a command still running after TIMEOUT
    seconds is killed and fails its case."""

    TIMEOUT = 300

    def windows_pack(self, *args):
        return subprocess.run([*WINE, WINDOWS_PACK, *args], cwd=self.root, capture_output=True,
                              timeout=self.TIMEOUT, env=wine_environment())

    def assert_one_line_refusal(self, result, word):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        self.assertIn(word.encode(), result.stderr)

    def test_listings_show_what_the_linux_tool_shows(self):
        for label, package, heading in (("flat", listing_package(), 2), ("tree", tree_listing_package(), 3)):
            with self.subTest(bundle=label):
                path = write(self.path(label + ".xz"), package)
                listed = self.windows_pack("list", windows_path(path))
                self.assert_one_line_refusal(listed, "exit code 14")
                check_listing(self, listed.stdout, heading)
                linux = subprocess.run([PACK, "list", path], capture_output=True)
                self.assertEqual(listed.stdout.replace(b"\r\n", b"\n"), linux.stdout)

    def test_fifos_are_refused_without_waiting(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        package = self.make_package({"x": b"x"})
        for args in (["list", windows_path(fifo)],
                     ["attach", "--stub", windows_path(STUB), "--package", windows_path(fifo), "-o", "out.exe"]):
            with self.subTest(command=args[0]):
                self.assert_one_line_refusal(self.windows_pack(*args), "a FIFO, not a")
        noise, victim = self.write_inputs({"noise.bin": os.urandom(8 << 20), "victim": b"victim"})
        command = [*WINE, WINDOWS_PACK, "create", "-o", "out.pkg", windows_path(noise), windows_path(victim)]
        code, stderr = swap_for_fifo_while_packing(command, victim, ".out.pkg.part", self.root,
                                                   timeout=self.TIMEOUT, cwd=self.root, env=wine_environment())
        self.assertEqual(code, 1, stderr)
        self.assertIn(b"a FIFO, not a regular file", stderr)
        self.assertFalse(os.path.exists(self.path("out.pkg")))
        self.assertTrue(os.path.exists(package))

    def test_attach_refuses_packages_cut_short_or_followed_by_garbage(self):
        chosen = ("xz small cut by 1", "xz small + 11 bytes", "xz large cut by 5", "lzma medium cut by 40")
        damaged = dict(damaged_packages())
        for label in chosen:
            with self.subTest(package=label):
                path = write(self.path("damaged.pkg"), damaged[label])
                result = self.windows_pack("attach", "--stub", windows_path(STUB), "--package", windows_path(path),
                                           "-o", "out.exe")
                self.assert_one_line_refusal(result, "damaged.pkg")
                self.assertFalse(os.path.exists(self.path("out.exe")))
        # What attach refuses, the launcher ends with 9.
        code, _ = self.run_launcher(self.link(write(self.path("garbage.pkg"), damaged["xz small + 11 bytes"])))
        self.assertEqual(code, 9)

    def test_an_icon_of_one_image_repeated_is_refused(self):
        icon = write(self.path("repeated.ico"), repeated_icon())
        package = self.make_package({"x": b"x"})
        result = self.windows_pack("attach", "--stub", windows_path(STUB), "--package", windows_path(package),
                                   "--icon", windows_path(icon), "-o", "out.exe")
        self.assert_one_line_refusal(result, "images 1 and 2 are the same bytes")

    def test_create_refuses_every_name_the_windows_launcher_refuses(self):
        candidates = [b"a*b", b"a?b", b"a<b", b"a>b", b"a|b", b'a"b', b"a\x01b", b"a\x1fb", b"a\x7fb", b"a b",
                      b"a'b", b"a[1]"]
        refused_by_launcher = []
        for index, name in enumerate(candidates):
            with self.subTest(name=name):
                code, _ = self.run_launcher(self.link(self.make_hand_package([(name, b"x")])))
                self.assertIn(code, (1, 14))
                directory = os.path.join(os.fsencode(self.inputs), b"%d" % index)
                os.makedirs(directory, exist_ok=True)
                made = subprocess.run([PACK, "create", "--bundle", "v1", "-o", self.path("n.pkg"),
                                       write(os.path.join(directory, name), b"x")], capture_output=True)
                if code == 14:
                    refused_by_launcher.append(name)
                    self.assertEqual(made.returncode, 1, made.stderr)
                    self.assertIn(b"refuses the entry name", made.stderr)
        self.assertIn(b"a*b", refused_by_launcher)


class SignedSetup(WineCase):
    def test_signature_verifies_shows_tampering_and_the_setup_runs(self):
        key, certificate = self.path("key.pem"), self.path("certificate.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "2", "-subj", "/CN=Mirelk test publisher",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        package = self.make_package(FILES, launch="setup.exe")
        setup, signed = self.path("app-setup.exe"), self.path("app-setup-signed.exe")
        subprocess.run([PACK, "attach", "--stub", STUB, "--package", package, *ATTACH_OPTIONS, "-o", setup],
                       check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-n", "App",
                        "-in", setup, "-out", signed], check=True, capture_output=True)

        def verify(path):
            return subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path],
                                  capture_output=True).returncode

        self.assertEqual(verify(signed), 0)
        image = bytearray(read(signed))
        inside = image.find(read(package))
        self.assertGreater(inside, 0)
        image[inside + len(read(package)) // 2] ^= 1
        tampered = self.path("tampered.exe")
        with open(tampered, "wb") as f:
            f.write(image)
        self.assertNotEqual(verify(tampered), 0)

        code, _ = self.run_launcher(signed, b" /S")
        self.assertEqual(code, 1)
        self.assertTrue(self.recorded("cmdline").endswith(b'" /S'))
        self.assertEqual(self.leftovers(), [])

        refused = subprocess.run([PACK, "attach", "--stub", signed, "--package", package, "-o", self.path("x.exe")],
                                 capture_output=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"the stub is signed", refused.stderr)


if __name__ == "__main__":
    unittest.main()
