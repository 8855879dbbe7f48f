"""Hostile inputs for mirelk-pack, shared by its tests on Linux
(test_hostile_inputs.py) and under Wine (test_wine_setups.py): names that
would forge a listing or reach the terminal, packages cut short or followed
by garbage, icons whose directory repeats one image, and a FIFO put where
an input was."""

import lzma
import os
import random
import struct
import subprocess
import time

from workspace import make_bundle, make_tree_bundle

# Flat names and what `list` shows of them: control characters, bytes that
# are not UTF-8, invisible and reordering characters and the backslash
# escaped; blanks escaped where two would touch or at either end, as two
# blanks separate a row's fields.
LISTED_NAMES = [
    (b"a\nb", b"a\\x0Ab"),
    (b"\x1b[31mred", b"\\x1B[31mred"),
    (b"x  [launch]", b"x\\x20\\x20[launch]"),
    (b" lead", b"\\x20lead"),
    (b"trail ", b"trail\\x20"),
    (b"read me.txt", b"read me.txt"),
    (b"back\\slash", b"back\\\\slash"),
    (b"caf\xe9", b"caf\\xE9"),
    ("caf\u00e9".encode(), "caf\u00e9".encode()),
    ("\u202egnp.exe".encode(), b"\\u{202E}gnp.exe"),
    (b"\xc2\x9b31m", b"\\u{009B}31m"),
    (b"\x00nul", b"\\x00nul"),
]
# A newline and blanks that would make a second row, marked as the launch
# entry, were the name shown raw.
FORGED_ROW = b"x\n     9            1  evil.exe  [launch]"
LAUNCH_NAME = b"setup.exe"


def listing_package():
    """An .xz package of a flat bundle holding every name above and the
    forged row, with setup.exe as its launch entry, last."""
    names = [name for name, _ in LISTED_NAMES] + [FORGED_ROW, LAUNCH_NAME]
    bundle = make_bundle([(name, b"d") for name in names], flag=1, index=len(names) - 1)
    return lzma.compress(bundle, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64)


def tree_listing_package():
    """The same for a tree bundle."""
    names = [name for name, _ in LISTED_NAMES] + [FORGED_ROW, LAUNCH_NAME]
    bundle = make_tree_bundle([(0, name, b"d") for name in names], launch=len(names) - 1)
    return lzma.compress(bundle, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64)


def check_listing(case, stdout, heading):
    """A listing of the names above whose names cannot pass for anything
    else: one line per entry between the `heading` lines and the total, no
    control byte but the line ends, the launch mark on the last row alone and
    each name shown as above."""
    lines = stdout.replace(b"\r\n", b"\n").split(b"\n")
    case.assertEqual(lines[-1], b"")
    lines = lines[:-1]
    case.assertEqual(len(lines), heading + len(LISTED_NAMES) + 2 + 1, stdout)
    case.assertFalse([b for b in stdout if (b < 0x20 and b not in b"\r\n") or b == 0x7F], stdout)
    marked = [line for line in lines if b"  [launch]" in line]
    case.assertEqual(marked, [lines[-2]])
    case.assertTrue(lines[-1].endswith(b"launch entry: " + LAUNCH_NAME), lines[-1])
    for name, shown in LISTED_NAMES:
        case.assertTrue(any(b"  " + shown in line for line in lines), shown)


def random_bundle(size, seed=5):
    """A flat bundle of one entry of `size` bytes that do not compress."""
    return make_bundle([("setup.exe", random.Random(seed).randbytes(size))], flag=1)


def xz(bundle):
    return lzma.compress(bundle, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64, preset=0)


def lzma_alone(bundle):
    return lzma.compress(bundle, format=lzma.FORMAT_ALONE, preset=0)


# Sizes of package: whole-file checks (under 1 MiB), decoded to the end
# (3 MiB), and beyond that (9 MiB: the end of an .xz one's index).
PACKAGE_SIZES = {"small": 20000, "medium": 3 << 20, "large": 9 << 20}


def damaged_packages():
    """[(label, package bytes)]: .xz packages of each size cut short by 1 to
    40 bytes or followed by up to 11 bytes of garbage, and LZMA-Alone ones of
    the sizes attach decodes to their end, cut short. The launcher ends each
    setup made of them with 9."""
    damaged = []
    for size_label, size in PACKAGE_SIZES.items():
        bundle = random_bundle(size)
        formats = [("xz", xz(bundle))]
        if size <= (3 << 20):
            formats.append(("lzma", lzma_alone(bundle)))
        for kind, good in formats:
            for cut in (1, 5, 40):
                damaged.append((f"{kind} {size_label} cut by {cut}", good[:-cut]))
            if kind == "xz":
                for garbage in (b"\x01", b"\0\0\0\x01", b"garbage...!"):
                    damaged.append((f"{kind} {size_label} + {len(garbage)} bytes", good + garbage))
    return damaged


def sound_packages():
    """[(label, package bytes)] that attach takes: .xz with stream padding
    after it, LZMA-Alone with bytes after its announced size (the launcher
    stops there)."""
    bundle = random_bundle(PACKAGE_SIZES["medium"])
    return [("xz + padding", xz(bundle) + bytes(4)), ("lzma + bytes after", lzma_alone(bundle) + b"after")]


def repeated_icon(count=0xFFFF, image_size=16 << 10):
    """An .ico whose directory has `count` entries, all pointing at one image."""
    image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0)
    image += bytes(image_size - len(image))
    offset = 6 + 16 * count
    entry = struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(image), offset)
    return struct.pack("<HHH", 0, 1, count) + entry * count + image


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def swap_for_fifo_while_packing(command, victim, part_prefix, directory, timeout=120, **popen):
    """Starts `command` (a create of a large input and then `victim`), waits
    until its output is pending in `directory` (the inputs are measured by
    then), puts a FIFO in the victim's place and returns the finished
    process; a process still running after `timeout` seconds is killed and
    the test fails, so a hang never hangs the suite."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)
    try:
        deadline = time.monotonic() + timeout
        while process.poll() is None and time.monotonic() < deadline:
            if any(n.startswith(part_prefix) for n in os.listdir(directory)):
                break
            time.sleep(0.01)
        os.remove(victim)
        os.mkfifo(victim)
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError(f"{command[0]} still waits on the FIFO after {timeout} s")
    return process.returncode, stderr
