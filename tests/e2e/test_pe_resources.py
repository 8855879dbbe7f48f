"""mirelk-pack attach on small synthetic Windows stubs, PE32 and PE32+, read
back with pefile and icoutils: the image stays valid, the launcher's
resources are written, the stub's others are kept, and every refusal is one
line."""

import os
import random
import struct
import unittest
import xml.etree.ElementTree as ElementTree

from harness import PACK, STUB as POSIX_STUB
from pe_resources import (MARK, MARK_TEXT, bmp, check_valid, dib, ico, ico_images, icon_as_wrestool_extracts,
                          make_image, png, read_resources, run_attach, version_strings)
from hostile import repeated_icon
from workspace import WorkspaceCase, make_bundle, xz_package


def group(*ids):
    entries = b"".join(struct.pack("<BBBBHHIH", 16, 16, 0, 0, 1, 32, 40, n) for n in ids)
    return struct.pack("<HHH", 0, 1, len(ids)) + entries


# A stub as a launcher image might be: the mark, an old package, splash and
# icon group 101 (images 1 and 2), and resources the writer must keep: another
# icon group with its image 5, a named type and name, an RCDATA.
STUB = {
    MARK: MARK_TEXT,
    ("PACKAGE", 105, 0): b"old package",
    (2, 106, 2052): b"old picture",
    (3, 1, 2052): b"old icon one",
    (3, 2, 2052): b"old icon two",
    (3, 5, 2052): b"icon of group 200",
    (14, 101, 2052): group(1, 2),
    (14, 200, 2052): group(5),
    (10, 7, 0): b"kept",
    ("CUSTOM", "NAMED", 1033): b"named, kept",
}

ICON_IMAGES = [
    (16, 16, 0, 0, 1, 8, dib(16, 16, 8)),
    (32, 32, 0, 0, 1, 32, dib(32, 32, 32)),
    (0, 0, 0, 0, 1, 32, png(256)),
    (24, 24, 16, 0, 1, 4, dib(24, 24, 4)),
    (48, 48, 0, 0, 1, 24, dib(48, 48, 24)),
]
ICON = ico(ICON_IMAGES)
SPLASH = bmp(31, 17)
# Packages of data that does not compress: pefile counts a file of mostly
# zero bytes as damaged.
PACKAGE = xz_package(make_bundle([("setup.exe", random.Random(13).randbytes(10000))], flag=1))
OTHER_PACKAGE = xz_package(make_bundle([("other.exe", b"other")], flag=1))


class Written(WorkspaceCase):
    def input_files(self):
        files = {"app.pkg": PACKAGE, "other.pkg": OTHER_PACKAGE, "app.ico": ICON, "splash.bmp": SPLASH}
        return dict(zip(files, self.write_inputs(files)))

    def write(self, stub, *options):
        stub_path, out = self.path("stub.exe"), self.path("out.exe")
        with open(stub_path, "wb") as f:
            f.write(stub)
        result = run_attach(PACK, stub_path, out, *options)
        return result, out

    def test_resources_are_written_and_kept_in_a_valid_image(self):
        paths = self.input_files()
        everything = ["--splash", paths["splash.bmp"], "--icon", paths["app.ico"],
                      "--version-info", "CompanyName=Ünïcode 公司", "--version-info", "ProductName=Demo",
                      "--file-version", "2.5", "--product-version", "3.4.5.6",
                      "--execution-level", "highestAvailable"]
        # (PE32+, base relocations after the resources, bytes after the image, options)
        cases = [
            (False, True, b"", everything),
            (True, True, b"overlay: kept after the image", everything),
            (False, False, b"", everything),
            (True, True, b"", []),
        ]
        for plus, relocations, overlay, options in cases:
            with self.subTest(plus=plus, relocations=relocations, overlay=overlay, options=bool(options)):
                stub = make_image(plus, STUB, relocations=relocations, overlay=overlay)
                result, out = self.write(stub, "--package", paths["app.pkg"], *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(out, "rb") as f:
                    image = f.read()
                check_valid(self, image, stub)
                self.assertTrue(image.endswith(overlay))
                self.assertEqual(image[0x400:0x600], stub[0x400:0x600])  # .text untouched

                found = read_resources(image)
                expected = {**STUB, ("PACKAGE", 105, 0): PACKAGE}
                if options:
                    for key in [(2, 106, 2052), (3, 1, 2052), (3, 2, 2052), (14, 101, 2052)]:
                        del expected[key]
                    expected[(2, 106, 2052)] = SPLASH[14:]
                    # The freed ids 1 and 2 first, then the lowest free ones; 5 is taken.
                    for number, image_data in zip([1, 2, 3, 4, 6], [e[-1] for e in ICON_IMAGES]):
                        expected[(3, number, 2052)] = image_data
                    for key in [(14, 101, 2052), (16, 1, 2052), (24, 1, 0)]:
                        self.assertIn(key, found)
                        del found[key]
                self.assertEqual(found, expected)
                if not options:
                    continue

                images, listing = icon_as_wrestool_extracts(out, self.root)
                self.assertEqual(images, ico_images(ICON))
                self.assertEqual(listing.count("--icon"), len(ICON_IMAGES))
                strings, file_version, product_version = version_strings(image)
                self.assertEqual(list(strings), ["CompanyName", "FileDescription", "FileVersion", "LegalCopyright",
                                                 "OriginalFilename", "ProductName", "ProductVersion"])
                self.assertEqual((strings["CompanyName"], strings["ProductName"], strings["FileVersion"],
                                  strings["ProductVersion"]), ("Ünïcode 公司", "Demo", "2.5", "3.4.5.6"))
                self.assertEqual((file_version, product_version), ((0x20005, 0), (0x30004, 0x50006)))
                manifest = ElementTree.fromstring(read_resources(image)[(24, 1, 0)])
                levels = [e.get("level") for e in manifest.iter() if e.tag.endswith("requestedExecutionLevel")]
                self.assertEqual(levels, ["highestAvailable"])

    def test_a_written_launcher_takes_new_resources_again(self):
        paths = self.input_files()
        result, first = self.write(make_image(False, STUB), "--package", paths["app.pkg"], "--icon", paths["app.ico"])
        self.assertEqual(result.returncode, 0, result.stderr)
        smaller = self.path("smaller.ico")
        with open(smaller, "wb") as f:
            f.write(ico([(16, 16, 0, 0, 1, 8, dib(16, 16, 8))]))
        with open(first, "rb") as f:
            result, second = self.write(f.read(), "--package", paths["other.pkg"], "--icon", smaller)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(second, "rb") as f:
            found = read_resources(f.read())
        self.assertEqual(sorted(k[1] for k in found if k[0] == 3), [1, 5])
        self.assertEqual(found[("PACKAGE", 105, 0)], OTHER_PACKAGE)

    def test_refusals_are_one_line_and_leave_no_output(self):
        paths = self.input_files()
        with open("/bin/true", "rb") as f:
            elf = f.read()
        with open(POSIX_STUB, "rb") as f:
            posix_stub = f.read()
        stub = make_image(False, STUB)
        outside = bytearray(ICON)
        struct.pack_into("<I", outside, 6 + 12, len(ICON))
        bad_icon = self.path("outside.ico")
        with open(bad_icon, "wb") as f:
            f.write(outside)
        # One image behind every one of 65,535 entries; image 2 starting
        # inside image 1; image 1 over the directory; more than an icon holds
        # (a sparse file, refused on its size).
        repeated, overlapping, over_directory, huge = (self.path(n + ".ico") for n in
                                                       ("repeated", "overlapping", "directory", "huge"))
        with open(repeated, "wb") as f:
            f.write(repeated_icon())
        overlap = bytearray(ICON)
        struct.pack_into("<I", overlap, 6 + 16 + 12, struct.unpack_from("<I", ICON, 6 + 12)[0] + 8)
        with open(overlapping, "wb") as f:
            f.write(overlap)
        under = bytearray(ICON)
        struct.pack_into("<I", under, 6 + 12, 6)
        with open(over_directory, "wb") as f:
            f.write(under)
        with open(huge, "wb") as f:
            f.write(ICON)
            f.truncate(18 << 20)
        package = ["--package", paths["app.pkg"]]
        # (stub, options, what the message says)
        cases = [
            (elf, package, "not a Mirelk launcher stub"),
            (b"MZ" + bytes(100), package, "neither a Windows nor an ELF program"),
            (posix_stub, package + ["--icon", paths["app.ico"]], "--icon writes Windows resources"),
            (posix_stub, package + ["--execution-level", "asInvoker"], "--execution-level writes Windows"),
            (make_image(False, {(10, 7, 0): b"x"}), package, "not a Mirelk launcher stub"),
            (make_image(True, STUB, signed=True), package, "the stub is signed"),
            (stub[:0x700], package, "beyond the end of the file"),
            (make_image(False, STUB, data_after_resources=True), package, "follow the resources"),
            (stub, package + ["--icon", paths["splash.bmp"]], "not an icon file"),
            (stub, package + ["--icon", bad_icon], "image 1 lies outside the file"),
            (stub, package + ["--icon", repeated], "images 1 and 2 are the same bytes"),
            (stub, package + ["--icon", overlapping], "images 1 and 2 overlap"),
            (stub, package + ["--icon", over_directory], "image 1 overlaps the directory"),
            (stub, package + ["--icon", huge], "its images hold at most 16 MiB"),
            (stub, package + ["--splash", paths["app.ico"]], "not a BMP picture"),
            (stub, package + ["--file-version", "1.2.3.4.5"], "is not one to four numbers"),
            (stub, package + ["--file-version", "1.70000"], "is not one to four numbers"),
            (stub, package + ["--product-version", "1..2"], "is not one to four numbers"),
            (stub, package + ["--product-version", "v1"], "is not one to four numbers"),
            (stub, package + ["--version-info", "Comments=x"], "unknown version key 'Comments'"),
            (stub, package + ["--version-info", "CompanyName=" + "x" * 40000], "too long"),
            (stub, package + ["--version-info", b"CompanyName=\xff"], "CompanyName is not UTF-8"),
            (stub, package + ["--execution-level", "admin"], "unknown execution level 'admin'"),
        ]
        for image, options, message in cases:
            with self.subTest(message=message, options=options[2:4]):
                result, out = self.write(image, *options)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message.encode(), result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
