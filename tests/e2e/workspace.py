"""A scratch place for one end-to-end test: the launcher's temporary directory
(tmp/), the installer's record (record/) and inputs (in/)."""

import os
import shutil
import tempfile
import unittest


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
