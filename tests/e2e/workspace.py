"""A scratch place for one end-to-end test: the launcher's temporary directory
(tmp/), the installer's record (record/) and inputs (in/); and bundles and
packages made by hand, for what mirelk-pack refuses to make."""

import os
import shutil
import subprocess
import tempfile
import unittest


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


def xz_package(bundle):
    """The bundle as a package from an independent encoder (xz --format=lzma)."""
    return subprocess.run(["xz", "--format=lzma", "-c"], input=bundle, capture_output=True,
                          check=True).stdout


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
