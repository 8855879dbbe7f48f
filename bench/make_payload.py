#!/usr/bin/env python3
"""Writes the benchmark payload: 92 installer-shaped files, about 55 MiB.

A few large blobs that no compressor can shrink (the cabinets and media packs
a real installer carries), many small machine-code-like binaries and word
texts that compress moderately, and a no-op installer at index 70.

Every byte comes from SHAKE-256 keyed by a fixed seed, so the output is the
same on every run and every Python 3 version (the `random` module promises
that only for random()). Changing anything here changes the bench cache key,
which is this file's hash.

    make_payload.py OUT_DIR [--scale N]

writes OUT_DIR/files/NAME for every entry and OUT_DIR/order.txt, the names in
index order, one a line. OUT_DIR must not exist yet. --scale N makes every
file N times as large (the same 92 names, N x 55 MiB in all), for measuring
how the launcher grows with its package; the default payload is --scale 1.
"""

import hashlib
import os
import sys

SEED = b"mirelk-bench-payload-1"
MIB = 1 << 20
FILE_COUNT = 92
LAUNCH_INDEX = 70
LAUNCH_NAME = "setup.sh"
# Sizes are rounded so that the whole payload is exactly this.
TOTAL_SIZE = 55 * MIB

# The incompressible blobs, fixed sizes: together they set most of the
# package size, since the compressible rest shrinks to about a third.
BLOBS = [
    ("data1.cab", 13 * MIB + 345_678),
    ("data2.cab", 9 * MIB + 123_456),
    ("media.pak", 6 * MIB + 954_321),
    ("textures.pak", 3 * MIB + 987_654),
]
BINARY_COUNT = 57
TEXT_COUNT = FILE_COUNT - len(BLOBS) - BINARY_COUNT - 1
# What the compressible files share of what the blobs leave.
TEXT_SHARE = 0.2

# Records what it was given so the benchmark can tell a real run from a broken
# one; without MIRELK_BENCH_MARK it does nothing at all.
INSTALLER = b"""#!/bin/sh
# Benchmark installer: does nothing. When MIRELK_BENCH_MARK names a file it
# writes there its argument count and how many files sit beside it.
[ -n "$MIRELK_BENCH_MARK" ] || exit 0
n=$#
set -- "${0%/*}"/*
echo "$n $#" > "$MIRELK_BENCH_MARK"
exit 0
"""

# Windows keeps these names for devices; the launcher refuses them.
DEVICE_NAMES = {"con", "prn", "aux", "nul"}


def stream(label, size):
    """`size` bytes of the deterministic stream named `label`."""
    return hashlib.shake_256(SEED + b"/" + label.encode()).digest(size)


class Draws:
    """Small integers from a named stream."""

    def __init__(self, label):
        self._label = label
        self._block = 0
        self._buffer = b""
        self._pos = 0

    def u32(self):
        if self._pos + 4 > len(self._buffer):
            self._buffer = stream(f"{self._label}#{self._block}", 1 << 14)
            self._block += 1
            self._pos = 0
        value = int.from_bytes(self._buffer[self._pos:self._pos + 4], "little")
        self._pos += 4
        return value

    def below(self, n):
        return self.u32() % n

    def unit(self):
        return self.u32() / 2**32

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            j = self.below(i + 1)
            items[i], items[j] = items[j], items[i]


def make_vocabulary(count):
    """Pronounceable words, short ones first so the common words are short."""
    draws = Draws("vocabulary")
    onsets = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t",
              "v", "w", "st", "tr", "pr", "ch", "sh", "th", "gr", "bl"]
    vowels = ["a", "e", "i", "o", "u", "ea", "ou", "io"]
    codas = ["", "", "", "n", "r", "s", "t", "l", "nd", "st", "ng"]
    words, seen = [], set()
    while len(words) < count:
        syllables = 1 + min(draws.below(8), draws.below(8)) // 2
        word = "".join(onsets[draws.below(len(onsets))] + vowels[draws.below(len(vowels))] +
                       codas[draws.below(len(codas))] for _ in range(syllables))
        if word not in seen and word not in DEVICE_NAMES:
            seen.add(word)
            words.append(word)
    words.sort(key=len)
    return words


def zipf_table(items, slots):
    """`slots` entries in which item i appears about in proportion to 1/(i+1)."""
    weights = [1.0 / (i + 1) for i in range(len(items))]
    scale = slots / sum(weights)
    table, carried = [], 0.0
    for item, weight in zip(items, weights):
        carried += weight * scale
        take = int(carried)
        table.extend([item] * take)
        carried -= take
    table.extend([items[0]] * (slots - len(table)))
    return table[:slots]


def pick16(table, label, count):
    """`count` entries of a 65536-entry table, drawn by the stream `label`."""
    indices = memoryview(stream(label, 2 * count)).cast("H")
    return map(table.__getitem__, indices)


def make_text_table(words):
    """Word text: mostly "word ", with commas, sentence and paragraph ends."""
    table = zipf_table([w.encode() for w in words], 1 << 16)
    punctuation = Draws("punctuation")
    endings = [b" "] * 84 + [b", "] * 8 + [b". "] * 6 + [b".\n"] * 1 + [b".\n\n"] * 1
    return [word + endings[punctuation.below(len(endings))] for word in table]


def make_code_table():
    """Instruction-like byte strings: frequent short forms, rarer long ones
    with displacements and immediates, in the proportions of compiled code."""
    draws = Draws("instructions")
    registers = bytes([0xC0 + 8 * a + b for a in range(8) for b in range(8)])
    forms = []

    def add(count, build):
        for _ in range(count):
            forms.append(build())

    rnd = lambda n: bytes(draws.below(256) for _ in range(n))
    small = lambda: bytes([draws.below(0x40) * 4 & 0xFF])
    add(40, lambda: bytes([0x48, 0x89, registers[draws.below(64)]]))           # mov reg, reg
    add(40, lambda: bytes([0x48, 0x8B, 0x45 + 8 * draws.below(4)]) + small())  # mov reg, [rbp+d8]
    add(30, lambda: bytes([0x89, 0x44, 0x24]) + small())                       # mov [rsp+d8], eax
    add(16, lambda: bytes([0x50 + draws.below(8)]))                            # push
    add(16, lambda: bytes([0x58 + draws.below(8)]))                            # pop
    add(24, lambda: bytes([0xE8]) + rnd(4))                                    # call rel32
    add(20, lambda: bytes([0x74 + draws.below(4), draws.below(128)]))          # jcc rel8
    add(12, lambda: bytes([0x0F, 0x84 + draws.below(4)]) + rnd(2) + b"\x00\x00")  # jcc rel32
    add(20, lambda: bytes([0x48, 0x83, 0xC0 + draws.below(48), draws.below(64)]))  # add/sub imm8
    add(16, lambda: bytes([0xB8 + draws.below(8)]) + rnd(2) + b"\x00\x00")     # mov reg, imm32
    add(12, lambda: bytes([0x48, 0x8D, 0x05 + 8 * draws.below(8)]) + rnd(3) + b"\x00")  # lea rip+d32
    add(8, lambda: bytes([0x85, registers[draws.below(64)]]))                  # test
    add(6, lambda: b"\xC3")                                                    # ret
    add(4, lambda: b"\xCC" * (1 + draws.below(8)))                             # padding
    add(6, lambda: bytes([0x0F, 0x1F, 0x44, 0x00, 0x00]))                      # nop
    add(10, lambda: bytes([0xF3, 0x0F, 0x10 + draws.below(2), 0x44 + 8 * draws.below(8), 0x24]) + small())  # movss
    return zipf_table(forms, 1 << 16)


def make_binary(index, size, code_table, text_table):
    """A header, a code section, a string table and an import-like table."""
    draws = Draws(f"binary-{index}")
    header = bytearray(4096)
    header[0:2] = b"MZ"
    header[0x80:0x84] = b"PE\x00\x00"
    fields = stream(f"header-{index}", 256)
    header[0x84:0x84 + 256] = fields
    code_share = 0.6 + 0.2 * draws.unit()
    code_size = int(size * code_share)
    parts = [bytes(header)]
    code = b"".join(pick16(code_table, f"code-{index}", code_size // 3 + 16))
    parts.append(code[:code_size])
    strings_size = int(size * 0.12)
    strings = b"".join(w.rstrip(b" ,.\n") + b"\x00" for w in
                       pick16(text_table, f"strings-{index}", strings_size // 4 + 16))
    parts.append(strings[:strings_size])
    # Relocation-like table: small increasing offsets as 32-bit words.
    table_size = max(0, size - sum(len(p) for p in parts))
    offsets = stream(f"relocs-{index}", table_size // 4 + 1)
    base, words = 0x1000, bytearray()
    for step in offsets[: table_size // 4 + 1]:
        base += step & 0x3F
        words += base.to_bytes(4, "little")
    parts.append(bytes(words))
    return b"".join(parts)[:size]


def make_text(index, size, text_table):
    lines = b"".join(pick16(text_table, f"text-{index}", size // 5 + 64))
    while len(lines) < size:
        lines += lines
    return lines[:size - 1] + b"\n"


def spread(total, count, low, high, label):
    """`count` sizes between about `low` and `high`, spread log-uniformly, that
    add up to `total` exactly."""
    draws = Draws(label)
    raw = [low * (high / low) ** draws.unit() for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(1, int(r * scale)) for r in raw]
    sizes[-1] += total - sum(sizes)
    return sizes


def unique_names(words, draws, count, extensions, taken):
    names = []
    while len(names) < count:
        word = words[draws.below(len(words))]
        name = word + extensions[draws.below(len(extensions))]
        if name not in taken:
            taken.add(name)
            names.append(name)
    return names


def main():
    args = sys.argv[1:]
    scale = 1
    if len(args) == 3 and args[1] == "--scale" and args[2].isdigit() and int(args[2]) > 0:
        scale = int(args[2])
        args = args[:1]
    if len(args) != 1:
        sys.exit("usage: make_payload.py OUT_DIR [--scale N]")
    out = args[0]
    files_dir = os.path.join(out, "files")
    os.makedirs(files_dir)

    words = make_vocabulary(3000)
    text_table = make_text_table(words)
    code_table = make_code_table()

    blobs = [(name, size * scale) for name, size in BLOBS]
    total_size = TOTAL_SIZE * scale
    rest = total_size - sum(size for _, size in blobs) - len(INSTALLER)
    text_total = int(rest * TEXT_SHARE)
    binary_sizes = spread(rest - text_total, BINARY_COUNT, 24 << 10, 1536 << 10, "binary-sizes")
    text_sizes = spread(text_total, TEXT_COUNT, 2 << 10, 512 << 10, "text-sizes")

    naming = Draws("names")
    taken = {LAUNCH_NAME} | {name for name, _ in blobs}
    binary_names = unique_names(words[200:], naming, BINARY_COUNT, [".dll"] * 5 + [".exe", ".bin"], taken)
    text_names = unique_names(words[200:], naming, TEXT_COUNT, [".txt", ".ini", ".xml", ".rtf"], taken)

    # What to write for each name; the content is made only when written.
    entries = [(name, ("blob", size)) for name, size in blobs]
    entries += [(name, ("binary", i, size)) for i, (name, size) in enumerate(zip(binary_names, binary_sizes))]
    entries += [(name, ("text", i, size)) for i, (name, size) in enumerate(zip(text_names, text_sizes))]
    Draws("order").shuffle(entries)
    entries.insert(LAUNCH_INDEX, (LAUNCH_NAME, ("installer",)))
    assert len(entries) == FILE_COUNT

    for name, what in entries:
        if what[0] == "blob":
            data = stream(f"blob-{name}", what[1])
        elif what[0] == "binary":
            data = make_binary(what[1], what[2], code_table, text_table)
        elif what[0] == "text":
            data = make_text(what[1], what[2], text_table)
        else:
            data = INSTALLER
        path = os.path.join(files_dir, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o755 if name == LAUNCH_NAME else 0o644)
        # A fixed time keeps archives made from these files comparable.
        os.utime(path, (1704067200, 1704067200))

    with open(os.path.join(out, "order.txt"), "w") as f:
        f.write("".join(name + "\n" for name, _ in entries))
    total = sum(os.path.getsize(os.path.join(files_dir, name)) for name, _ in entries)
    if total != total_size:
        sys.exit(f"make_payload.py: wrote {total} bytes instead of {total_size}")


if __name__ == "__main__":
    main()
