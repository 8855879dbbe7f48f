"""Running the Windows launcher under Wine for the end-to-end tests: a private
prefix made once, a temporary directory per test, launchers linked per case.

The build directory's target decides the Wine: a 32-bit (PE32) build runs
under Wine's 32-bit loader (natively or emulated, as scripts/with-wine32
arranges), a 64-bit (PE32+) build under wine64, natively on every x86-64
host. Where 32-bit Wine cannot run at all, importing this module ends the
test program with one line saying why and the status CTest counts as
skipped."""

import contextlib
import getpass
import os
import shutil
import subprocess
import sys
import tempfile
import time

from windows_target import (ARCH, BUILD, LINK, PACK, PREFIX, RECORDER, SAMPLE, START_WITH, STUB,  # noqa: F401
                            WINDOWS_PACK)
from workspace import WorkspaceCase, make_bundle, xz_package

WINE64 = "/usr/lib/wine/wine64"
# The command that runs a Windows program of this target.
WINE = [WINE64] if ARCH == "win64" else ["wine"]
SKIPPED = 77
# 32-bit Wine under qemu-i386 (scripts/with-wine32 names the way it took).
EMULATED = ARCH == "win32" and os.environ.get("MIRELK_WINE32_WAY", "").startswith("emulated")

if ARCH == "win32" and os.environ.get("MIRELK_WINE32_UNAVAILABLE"):
    print(f"SKIPPED: 32-bit Wine cannot run here: {os.environ['MIRELK_WINE32_UNAVAILABLE']}", flush=True)
    sys.exit(SKIPPED)


def windows_path(path):
    """The Windows name of a Unix path under Wine (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_environment(extra=None):
    # No menu entries made for the prefix: one process less at every start
    # of its session, which under emulation is the slow part of a run.
    environment = dict(os.environ, WINEPREFIX=PREFIX, WINEARCH=ARCH, WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if ARCH == "win64":
        environment["WINELOADER"] = WINE64
    environment.update(extra or {})
    return environment


def ensure_prefix():
    if os.path.exists(os.path.join(PREFIX, "system.reg")):
        return
    subprocess.run([*WINE, "wineboot", "-i"], env=wine_environment(), check=True, capture_output=True,
                   timeout=600)
    subprocess.run(["wineserver", "-w"], env=wine_environment(), check=True, timeout=600)


def locale_environment(locale):
    """The environment that gives Wine's programs the ANSI code page of
    `locale` (zh_CN.UTF-8: 936, ja_JP.UTF-8: 932). Wine also maps file names
    through the Unix locale, so it is generated, once, into the build
    directory rather than the system's."""
    if locale is None:
        return {}
    directory = os.path.join(BUILD, "locales")
    if not os.path.isdir(os.path.join(directory, locale)):
        language, charset = locale.split(".")
        os.makedirs(directory, exist_ok=True)
        subprocess.run(["localedef", "-i", language, "-f", charset, os.path.join(directory, locale)],
                       check=True, capture_output=True)
    return {"LOCPATH": directory, "LC_ALL": locale}


# Code page 1252, and Unix arguments and file names passed to Wine as UTF-8
# (C.UTF-8 is always present).
UTF8_LOCALE = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


def wine_reg(*args):
    return subprocess.run([*WINE, "reg", *args], env=wine_environment(UTF8_LOCALE), check=True,
                          capture_output=True, timeout=300).stdout.decode("utf-8", "replace")


def import_registry(lines):
    """Imports `lines` of a .reg file (UTF-16, as regedit writes them) with one
    run of reg, and waits until the prefix has them."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "import.reg")
        with open(path, "wb") as f:
            f.write("\r\n".join(["Windows Registry Editor Version 5.00", "", *lines, ""]).encode("utf-16"))
        wine_reg("import", windows_path(path))
    wait_for_wine()


def registry_text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def registry_expandable(value):
    """A REG_EXPAND_SZ value as a .reg file spells it."""
    return "hex(2):" + ",".join(f"{b:02x}" for b in (value + "\0").encode("utf-16-le"))


def wait_for_wine():
    subprocess.run(["wineserver", "-w"], env=wine_environment(), timeout=120)


def end_wine_session():
    """Ends every process of the prefix and its server."""
    subprocess.run(["wineserver", "-k"], env=wine_environment(), capture_output=True, timeout=60)
    wait_for_wine()


def wine_processes():
    """The running Wine processes, one line each, for a report."""
    listing = subprocess.run(["ps", "-eo", "pid,ppid,etime,stat,wchan:24,args"], capture_output=True,
                             text=True).stdout.splitlines()
    return "\n".join(line for line in listing[1:] if "wine" in line)


class WineTimeout(AssertionError):
    """A Windows program under Wine did not get as far as it should in time."""


def timed_out(trace):
    return "subprocess.TimeoutExpired" in trace or "WineTimeout" in trace


class WineCase(WorkspaceCase):
    """A workspace whose tmp/ the prefix's Temp folder points at."""

    prefix = "mirelk-wine-"

    @classmethod
    def setUpClass(cls):
        ensure_prefix()
        # Nothing a program before this one left running takes part.
        end_wine_session()

    def run(self, result=None):
        """Under qemu-i386, now and then an emulated Wine process hangs and
        holds up every later one of its session, whatever the program. A test
        whose every failure is such a hang (a Wine program that did not end or
        get as far as it should in time) is reported, its session ended, and
        run once more; any other failure stands as it is."""
        if not EMULATED or result is None:
            return super().run(result)
        errors, failures = len(result.errors), len(result.failures)
        outcome = super().run(result)
        hangs = result.errors[errors:] + result.failures[failures:]
        if not hangs or not all(timed_out(trace) for _, trace in hangs):
            return outcome
        print(f"\n{self.id()}: emulated Wine did not answer in time; its processes:\n{wine_processes()}\n"
              "the session is ended and the test run once more. The first run's failures:", file=sys.stderr)
        for _, trace in hangs:
            print(trace, file=sys.stderr)
        del result.errors[errors:], result.failures[failures:]
        end_wine_session()
        return super().run(result)

    def setUp(self):
        super().setUp()
        self.point_temp_at(self.tmp)

    def point_temp_at(self, target):
        # Programs under Wine take their temporary directory from the prefix,
        # not from the Unix environment.
        temp = os.path.join(PREFIX, "drive_c", "users", getpass.getuser(), "Temp")
        if os.path.islink(temp) or os.path.isfile(temp):
            os.remove(temp)
        elif os.path.isdir(temp):
            shutil.rmtree(temp)
        os.symlink(target, temp)

    @contextlib.contextmanager
    def temp_in_folder(self, folder):
        """Makes C:\\<folder>\\Temp, a link to tmp/, the prefix's temporary
        directory (TEMP and TMP of the user's environment, where Windows keeps
        them) while the block runs; the values before are put back after."""
        environment = "[HKEY_CURRENT_USER\\Environment]"
        before = [environment]
        for line in wine_reg("query", "HKCU\\Environment").splitlines():
            fields = line.split(None, 2)
            if len(fields) == 3 and fields[0] in ("TEMP", "TMP"):
                name, kind, value = fields[0], fields[1], fields[2].strip()
                spelled = registry_expandable(value) if kind == "REG_EXPAND_SZ" else registry_text(value)
                before.append(f'"{name}"={spelled}')
        drive_folder = os.path.join(PREFIX, "drive_c", folder)
        os.makedirs(drive_folder, exist_ok=True)
        os.symlink(self.tmp, os.path.join(drive_folder, "Temp"))
        temp = registry_text(f"C:\\{folder}\\Temp")
        try:
            import_registry([environment, f'"TEMP"={temp}', f'"TMP"={temp}'])
            yield
        finally:
            import_registry(before)
            shutil.rmtree(drive_folder)

    def run_launcher_unicode(self, launcher, after_name="", cwd=None):
        """Runs the launcher with the command line `"<launcher>"` and then
        `after_name`, as UTF-16 through the wide calls, whatever the code page
        (1252 here) spells; returns its exit code."""
        program_file, command_file = self.path("program"), self.path("command-line")
        with open(program_file, "w", encoding="utf-8") as f:
            f.write(windows_path(launcher))
        with open(command_file, "w", encoding="utf-8") as f:
            f.write(f'"{windows_path(launcher)}"{after_name}')
        with open(self.path("wine-output"), "ab") as output:
            return subprocess.run(
                [*WINE, START_WITH, windows_path(program_file), windows_path(command_file), "utf-8"],
                cwd=cwd or self.root, stdout=output, stderr=output, timeout=300,
                env=wine_environment({"MIRELK_RECORD": windows_path(self.record), **UTF8_LOCALE})).returncode

    def make_package(self, files, launch=None, name="package", options=()):
        paths = self.write_inputs(files)
        package = self.path(name + ".pkg")
        subprocess.run([PACK, "create", "-o", package, *(["--launch", launch] if launch else []),
                        *options, *paths], check=True, capture_output=True)
        return package

    def make_hand_package(self, entries, launch=None, name="hand"):
        """A package of [(name, data)] made without mirelk-pack, which refuses
        some names on purpose; `launch` is an entry's index."""
        bundle = make_bundle(entries, flag=0 if launch is None else 1, index=launch or 0)
        package = self.path(name + ".pkg")
        with open(package, "wb") as f:
            f.write(xz_package(bundle))
        return package

    def received_files(self):
        """{name: bytes} of the copies the recording installer made of the
        files beside it."""
        return self.recorded_directory("files.d")

    def link(self, package, name="launcher.exe"):
        out = self.path(name)
        subprocess.run([LINK, package, out], check=True, capture_output=True)
        return out

    def start_with(self, launcher, after_name=b"", program_name=None, locale=None):
        """The command that starts the launcher with the command line
        `"<launcher>"` followed by `after_name`, byte for byte. `locale` (e.g.
        zh_CN.UTF-8) is the one wine_environment must be given; it sets the
        ANSI code page Wine gives the programs (936 for that one), in which
        the launcher's path is then written."""
        encoding = {None: "cp1252", "zh_CN.UTF-8": "gbk", "ja_JP.UTF-8": "cp932"}[locale]
        program = windows_path(launcher).encode(encoding)
        name = program_name if program_name is not None else b'"' + program + b'"'
        program_file, command_file = self.path("program"), self.path("command-line")
        with open(program_file, "wb") as f:
            f.write(program)
        with open(command_file, "wb") as f:
            f.write(name + after_name)
        return [*WINE, START_WITH, windows_path(program_file), windows_path(command_file)]

    def run_launcher(self, launcher, after_name=b"", program_name=None, cwd=None, locale=None):
        """Runs the launcher as start_with() starts it; returns (exit code,
        seconds taken)."""
        command = self.start_with(launcher, after_name, program_name, locale)
        # Output goes to a file, not a pipe: a process the installer leaves
        # running would hold a pipe open and make the run look longer.
        with open(self.path("wine-output"), "ab") as output:
            began = time.monotonic()
            result = subprocess.run(
                command, cwd=cwd or self.root, stdout=output, stderr=output, timeout=300,
                env=wine_environment({"MIRELK_RECORD": windows_path(self.record),
                                      **locale_environment(locale)}))
            return result.returncode, time.monotonic() - began
