"""A scratch place for one end-to-end test: the launcher's temporary directory
(tmp/), the installer's record (record/) and inputs (in/); and bundles and
packages made by hand, for what mirelk-pack refuses to make."""

import os
import shutil
import subprocess
import tempfile
import unittest
import zlib


def u32(value):
    """A bundle field: 32 bits, little-endian; negative values wrap."""
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def bundle_record(name, data):
    """One entry's record: name length, name (str as Latin-1), data size, data."""
    name = name.encode("latin-1") if isinstance(name, str) else name
    return u32(len(name)) + name + u32(len(data)) + data


def make_bundle(entries, flag=0, index=0, count=None):
    """A bundle written byte by byte: "HEN", entry count (by default the number
    of entries), launch flag, launch index, then a record per (name, data)."""
    count = len(entries) if count is None else count
    return (b"HEN" + u32(count) + u32(flag) + u32(index)
            + b"".join(bundle_record(n, d) for n, d in entries))


TREE_FILE, TREE_DIRECTORY, TREE_EXECUTABLE = 0, 1, 2


def make_tree_bundle(entries, launch=None, count=None):
    """A tree bundle written byte by byte: "MRB2", entry count, launch index
    (none: 0xFFFFFFFF), then a record per (kind, path, data); str paths are
    written as UTF-8."""
    count = len(entries) if count is None else count
    records = b""
    for kind, path, data in entries:
        path = path.encode() if isinstance(path, str) else path
        records += u32(kind) + u32(len(path)) + path + u32(len(data)) + data
    return b"MRB2" + u32(count) + u32(0xFFFFFFFF if launch is None else launch) + records


def xz_package(bundle):
    """The bundle as a package from an independent encoder (xz --format=lzma)."""
    return subprocess.run(["xz", "--format=lzma", "-c"], input=bundle, capture_output=True,
                          check=True).stdout


def vli(value):
    """An .xz variable-length integer: 7 bits a byte, low first, the top bit
    set on every byte but the last."""
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def read_vli(data, position):
    value, shift = 0, 0
    while True:
        byte = data[position]
        value |= (byte & 0x7F) << shift
        position += 1
        shift += 7
        if byte < 0x80:
            return value, position


def with_first_block_header(xz, dictionary=None, compressed=None, uncompressed=None):
    """The .xz stream `xz` with its first block header claiming another LZMA2
    dictionary (the property byte: 28 is 64 MiB, 29 96 MiB, 40 4 GiB - 1) or
    other sizes, and its CRC32 right, so that only the claim is out of the
    ordinary. A header that no longer fits its old length grows, and the
    stream's index then disagrees with it too."""
    start = 12  # after the stream header
    size = (xz[start] + 1) * 4
    header = xz[start:start + size]
    flags = header[1]
    position = 2
    sizes = {}
    for name, present in (("compressed", 0x40), ("uncompressed", 0x80)):
        if flags & present:
            sizes[name], position = read_vli(header, position)
    claims = {"compressed": compressed, "uncompressed": uncompressed}
    body = bytearray()
    for name, present in (("compressed", 0x40), ("uncompressed", 0x80)):
        value = claims[name] if claims[name] is not None else sizes.get(name)
        if value is not None:
            flags |= present
            body += vli(value)
    filters = bytearray(header[position:size - 4].rstrip(b"\0"))
    if dictionary is not None:
        if filters[:2] != b"\x21\x01":
            raise ValueError("the first block is not LZMA2 alone")
        filters[2] = dictionary
    content = bytes([flags]) + bytes(body) + bytes(filters)
    length = max(size, (len(content) + 1 + 4 + 3) // 4 * 4)
    new = bytes([length // 4 - 1]) + content
    new += bytes(length - 4 - len(new))
    new += zlib.crc32(new).to_bytes(4, "little")
    return xz[:start] + new + xz[start + size:]


def last_check_offset(xz):
    """Where the last byte of the last block's integrity check is: just
    before the index, whose size the stream footer gives."""
    index_size = (int.from_bytes(xz[-8:-4], "little") + 1) * 4
    return len(xz) - 12 - index_size - 1


class WorkspaceCase(unittest.TestCase):
    prefix = "mirelk-e2e-"

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix=self.prefix)
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.tmp = self.path("tmp")
        self.record = self.path("record")
        self.inputs = self.path("in")
        for directory in (self.tmp, self.record, self.inputs):
            os.mkdir(directory)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write_inputs(self, files):
        """Writes {name: bytes} into in/ and returns their paths, in order."""
        paths = []
        for name, data in files.items():
            path = os.path.join(self.inputs, name)
            with open(path, "wb") as out:
                out.write(data)
            paths.append(path)
        return paths

    def leftovers(self):
        """Everything under tmp/, as relative paths (directories end in /)."""
        found = []
        for directory, subdirectories, files in os.walk(self.tmp):
            relative = os.path.relpath(directory, self.tmp)
            found += [os.path.normpath(os.path.join(relative, n)) + "/" for n in subdirectories]
            found += [os.path.normpath(os.path.join(relative, n)) for n in files]
        return sorted(found)

    def recorded(self, name):
        with open(os.path.join(self.record, name), "rb") as f:
            return f.read()

    def recorded_directory(self, name):
        """{name: bytes} of the files the installer put in the record's
        directory `name`."""
        directory = os.path.join(self.record, name)
        return {n: self.recorded(os.path.join(name, n)) for n in os.listdir(directory)}
