"""Shared pieces of the end-to-end tests: the built tools, scratch places and
a recording test installer."""

import os
import resource
import struct
import subprocess

from workspace import WorkspaceCase

BUILD = os.environ.get("MIRELK_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/posix"))
STUB = os.path.join(BUILD, "mirelk-launcher")
PACK = os.path.join(BUILD, "mirelk-pack")

# Writes, outside the temporary directory, what the installer received: its
# arguments (NUL-terminated, byte for byte), its working directory and a copy
# of every file beside it.
RECORDING_INSTALLER = b"""#!/bin/sh
record="$MIRELK_RECORD"
for arg in "$@"; do printf '%s\\0' "$arg"; done > "$record/args"
pwd -P > "$record/cwd"
mkdir -p "$record/files"
cp -p "$(dirname "$0")"/* "$record/files/"
"""


def sanitized():
    """Whether the tools were built with AddressSanitizer, which reserves more
    address space than any limit a test would set."""
    with open(STUB, "rb") as f:
        image = f.read()
    return b"libasan" in image or b"AddressSanitizer" in image


def tool(*args, check=True):
    return subprocess.run([PACK, *args], capture_output=True, check=check)


class LauncherCase(WorkspaceCase):
    """A workspace for the POSIX launcher."""

    def make_launcher(self, files, launch=None, name="launcher"):
        paths = self.write_inputs(files)
        package = self.path(name + ".pkg")
        tool("create", "-o", package, *(["--launch", launch] if launch else []), *paths)
        return self.attach(package, name)

    def attach(self, package, name="launcher"):
        out = self.path(name)
        tool("attach", "--stub", STUB, "--package", package, "-o", out)
        return out

    def attach_unchecked(self, package, name="launcher"):
        """A launcher around any package, its resource table written here:
        mirelk-pack attach refuses packages the launcher would reject."""
        with open(STUB, "rb") as f:
            stub = f.read()
        with open(package, "rb") as f:
            data = f.read()
        table = len(stub) + len(data)
        entry = b"PACKAGE".ljust(16, b"\0") + struct.pack("<IIQQ", 105, 0, len(stub), len(data))
        out = self.path(name)
        with open(out, "wb") as f:
            f.write(stub + data + entry + struct.pack("<QII", table, 1, 0) + b"MRLRSRC1")
        os.chmod(out, 0o755)
        return out

    def run_launcher(self, launcher, args=(), cwd=None, env=None, timeout=60, address_space=None):
        environment = dict(os.environ, TMPDIR=self.tmp, MIRELK_RECORD=self.record)
        environment.pop("DISPLAY", None)
        environment.update(env or {})

        def limit():
            if address_space is not None:
                resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

        return subprocess.run([launcher, *args], cwd=cwd or self.root, env=environment,
                              capture_output=True, timeout=timeout, preexec_fn=limit)

    def recorded_args(self):
        return self.recorded("args").split(b"\0")[:-1]

    def recorded_files(self):
        directory = os.path.join(self.record, "files")
        files = {}
        for name in os.listdir(directory):
            with open(os.path.join(directory, name), "rb") as f:
                files[name] = f.read()
        return files
