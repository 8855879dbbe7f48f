"""Shared pieces of the end-to-end tests: the built tools, scratch places and
a recording test installer."""

import os
import resource
import struct
import subprocess
import time

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

    def launcher_environment(self, env=None):
        environment = dict(os.environ, TMPDIR=self.tmp, MIRELK_RECORD=self.record)
        environment.pop("DISPLAY", None)
        environment.update(env or {})
        return environment

    def run_launcher(self, launcher, args=(), cwd=None, env=None, timeout=60, address_space=None,
                     limits=None, prefix=(), umask=-1, user=None):
        """Runs the launcher to its end. `limits` maps resource limits to
        values; `prefix` is a command to run it under (unshare ...); `umask`
        and `user` (a uid, its group the same number) apply to it alone."""
        limits = dict(limits or {})
        if address_space is not None:
            limits[resource.RLIMIT_AS] = address_space

        def limit():
            for which, value in limits.items():
                resource.setrlimit(which, (value, value))

        identity = {} if user is None else {"user": user, "group": user, "extra_groups": []}
        return subprocess.run([*prefix, launcher, *args], cwd=cwd or self.root,
                              env=self.launcher_environment(env), capture_output=True,
                              timeout=timeout, preexec_fn=limit, umask=umask, **identity)

    def start_launcher(self, launcher, args=(), **popen):
        """Starts the launcher and returns at once (subprocess.Popen)."""
        return subprocess.Popen([launcher, *args], cwd=self.root, env=self.launcher_environment(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **popen)

    def wait_for_record(self, name, seconds=30):
        """Waits until the installer has written `name` in the record."""
        deadline = time.monotonic() + seconds
        while not os.path.exists(os.path.join(self.record, name)):
            if time.monotonic() > deadline:
                raise AssertionError(f"the installer never wrote {name}")
            time.sleep(0.02)

    def recorded_args(self):
        return self.recorded("args").split(b"\0")[:-1]

    def recorded_files(self):
        return self.recorded_directory("files")
