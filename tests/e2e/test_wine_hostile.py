"""Attacks on the Windows launcher under Wine, as another process of the same
user would make them: DLLs planted beside a setup in its download folder,
links left in the extraction directory for the final removal, and the
workspace's names swapped while the launcher works with them, by a Unix
process (which no Windows sharing mode stops) and by another Wine process."""

import os
import shutil
import subprocess
import sys
import threading
import time
import unittest

import wine
from wine import BUILD, PACK, RECORDER, SAMPLE, STUB, WineCase, windows_path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "splash"))
import xscreen  # noqa: E402

PLANTED = os.path.join(BUILD, "tests", "win32", "planted.dll")
SWAP_NAMES = os.path.join(BUILD, "tests", "win32", "swap-names.exe")

with open(RECORDER, "rb") as f:
    RECORDING_INSTALLER = f.read()

# Names a loader may look for beside a program: the system's DLLs the
# launcher, its C runtime and the shell load directly or in turn, others
# commonly planted, and Wine's drivers.
PLANTED_NAMES = [
    "advapi32", "apphelp", "bcrypt", "bcryptprimitives", "cabinet", "cfgmgr32", "clbcatq",
    "comctl32", "comdlg32", "combase", "crypt32", "cryptbase", "cryptsp", "dbghelp", "dnsapi",
    "dwmapi", "dxgi", "edputil", "explorerframe", "gdi32", "gdiplus", "iertutil", "imm32",
    "iphlpapi", "kernel.appcore", "kernel32", "kernelbase", "linkinfo", "lpk", "mpr", "msasn1",
    "msctf", "msi", "msimg32", "msvcp_win", "msvcrt", "netapi32", "netutils", "ntdll", "ntmarta",
    "ntshrui", "ole32", "oleacc", "oleaut32", "powrprof", "profapi", "propsys", "psapi", "rpcrt4",
    "rsaenh", "sechost", "secur32", "setupapi", "shcore", "shell32", "shfolder", "shlwapi",
    "srvcli", "sspicli", "textinputframework", "ucrtbase", "urlmon", "user32", "userenv", "usp10",
    "uxtheme", "version", "win32u", "windows.storage", "winhttp", "wininet", "winmm", "wintrust",
    "wldp", "ws2_32", "wtsapi32", "xmllite", "winex11.drv", "winspool.drv",
]


def dll_file_name(name):
    return name if name.endswith(".drv") else name + ".dll"


def tree_of(top):
    """{path below `top`: bytes, a link's target, or None for a folder}."""
    found = {}
    for directory, folders, files in os.walk(top):
        for name in folders + files:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                found[os.path.relpath(path, top)] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                found[os.path.relpath(path, top)] = None
            else:
                with open(path, "rb") as f:
                    found[os.path.relpath(path, top)] = f.read()
    return found


def starting_with(start):
    """A chooser of the workspace's file whose bytes begin with `start`."""
    def pick(files, folders):
        for path in files:
            try:
                with open(path, "rb") as f:
                    if f.read(len(start)) == start:
                        return path
            except OSError:
                pass
        return None
    return pick


class HostileCase(WineCase):
    def setUp(self):
        super().setUp()
        self.victim = self.path("victim")
        self.fresh_start()

    def fresh_start(self, victim_files=()):
        """Empties tmp/ and record/, takes away what an attack moved out of
        tmp/, and makes the victim anew: what the attacker would like
        destroyed or written, outside the launcher's temporary directory."""
        for folder in (self.tmp, self.record, self.victim):
            shutil.rmtree(folder, ignore_errors=True)
        for folder in (self.tmp, self.record):
            os.mkdir(folder)
        for stale in ("away", "taken"):
            path = self.path(stale)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)
        os.makedirs(os.path.join(self.victim, "folder", "empty"))
        files = [("keep.txt", b"keep me\r\n"), ("folder/inside.txt", b"inside\r\n"), *victim_files]
        for name, data in files:
            with open(os.path.join(self.victim, name), "wb") as f:
                f.write(data)
        self.victim_tree = tree_of(self.victim)

    def assert_victim_untouched(self):
        self.assertEqual(tree_of(self.victim), self.victim_tree)

    def start(self, launcher, after_name=b" x", cwd=None, display=None):
        """Starts the launcher as run_launcher() does, without waiting."""
        extra = {"MIRELK_RECORD": windows_path(self.record)}
        if display is not None:
            extra["DISPLAY"] = display
        output = open(self.path("wine-output"), "ab")
        self.addCleanup(output.close)
        return subprocess.Popen(self.start_with(launcher, after_name), cwd=cwd or self.root,
                                stdout=output, stderr=output, env=wine.wine_environment(extra))

    def wait_for(self, path, process, seconds=120):
        deadline = time.monotonic() + seconds
        while not os.path.exists(path):
            self.assertIsNone(process.poll(), f"the launcher ended before {os.path.basename(path)}")
            if time.monotonic() >= deadline:
                raise wine.WineTimeout(f"no {os.path.basename(path)} after {seconds} s")
            time.sleep(0.02)

    def workspace(self):
        """The launcher's names in tmp/: (files, directories)."""
        entries = list(os.scandir(self.tmp))
        files = [e.path for e in entries if e.name.startswith("mrl") and e.is_file(follow_symlinks=False)]
        folders = [e.path for e in entries if e.name.startswith("mrl") and e.is_dir(follow_symlinks=False)]
        return files, folders


class PlantedLibraries(HostileCase):
    def test_no_dll_beside_the_setup_is_loaded_with_or_without_the_splash(self):
        downloads = self.path("Downloads")
        os.mkdir(downloads)
        for name in PLANTED_NAMES:
            shutil.copyfile(PLANTED, os.path.join(downloads, dll_file_name(name)))
        setup = os.path.join(downloads, "launcher.exe")
        package = self.make_package({"setup.exe": RECORDING_INSTALLER}, launch="setup.exe")
        subprocess.run([PACK, "attach", "--stub", STUB, "--package", package,
                        "--splash", os.path.join(SAMPLE, "splash.bmp"), "-o", setup],
                       check=True, capture_output=True)
        # The splash needs a screen; the prefix's processes take theirs when
        # the first of them starts.
        server = xscreen.XServer()
        self.addCleanup(server.stop)
        self.addCleanup(wine.end_wine_session)
        for label, after_name, display in (("arguments, no splash", b" /S", None),
                                           ("no arguments, the splash", b"", server.display)):
            with self.subTest(label):
                wine.end_wine_session()
                shutil.rmtree(self.record)
                os.mkdir(self.record)
                process = self.start(setup, after_name, cwd=downloads, display=display)
                self.assertEqual(process.wait(timeout=300), 1)
                self.assertTrue(os.path.exists(os.path.join(self.record, "cmdline")))
                loaded = sorted(n for n in os.listdir(self.record) if n.endswith(" in launcher.exe"))
                self.assertEqual(loaded, [])
                self.assertEqual(self.leftovers(), [])


class LinksLeftForRemoval(HostileCase):
    """While the installer waits, a Unix process (Wine's own programs cannot
    make links) plants links for the launcher's final removal."""

    def run_paused(self, act):
        package = self.make_package({"setup.exe": RECORDING_INSTALLER, "data.txt": b"data"},
                                    launch="setup.exe")
        process = self.start(self.link(package), b" --pause")
        self.wait_for(os.path.join(self.record, "paused"), process)
        _, (extraction,) = self.workspace()
        act(extraction)
        open(os.path.join(self.record, "resume"), "wb").close()
        return process.wait(timeout=300)

    def test_links_are_never_followed_and_their_targets_stay(self):
        victim_folder = os.path.join(self.victim, "folder")

        def replace_directory(extraction):
            os.rename(extraction, self.path("away"))
            os.symlink(self.victim, extraction)

        cases = [
            ("the extraction directory renamed away, a link to another in its place", replace_directory),
            ("a link to a file", lambda d: os.symlink(os.path.join(self.victim, "keep.txt"),
                                                      os.path.join(d, "link"))),
            ("a link to a directory", lambda d: os.symlink(victim_folder, os.path.join(d, "link"))),
            ("a link to an empty directory", lambda d: os.symlink(os.path.join(victim_folder, "empty"),
                                                                  os.path.join(d, "link"))),
        ]
        for label, act in cases:
            with self.subTest(label):
                self.fresh_start()
                self.assertEqual(self.run_paused(act), 1)
                self.assert_victim_untouched()

    def test_the_extraction_directory_is_closed_to_other_users(self):
        modes = []
        self.run_paused(lambda d: modes.append(os.stat(d).st_mode))
        self.assertEqual(modes[0] & 0o007, 0, oct(modes[0]))
        self.assertEqual(self.leftovers(), [])


class SwappedWorkspace(HostileCase):
    """A Unix process of the same user swaps one of the launcher's names for a
    link to the victim as soon as it can; the launcher must neither write
    through the link nor delete what it leads to, and ends with the exit code
    of the stage that found the swap."""

    def big_package(self):
        # Large enough that decoding and extraction take a while (and small
        # when packed): the swap comes while the launcher is busy with the
        # name swapped.
        return self.make_package({"payload.bin": bytes(96 << 20), "setup.exe": RECORDING_INSTALLER},
                                 launch="setup.exe")

    def attack(self, launcher, pick, victim):
        """Runs the launcher while a thread waits for the name `pick` chooses
        from the workspace, moves it out of tmp/ and puts a link to `victim`
        in its place; returns (exit code, the name swapped or None)."""
        swapped = []
        done = threading.Event()

        def swap():
            while not done.is_set():
                chosen = pick(*self.workspace())
                if chosen is not None:
                    os.rename(chosen, self.path("taken"))
                    os.symlink(victim, chosen)
                    swapped.append(chosen)
                    return
                time.sleep(0.0005)

        thread = threading.Thread(target=swap)
        thread.start()
        try:
            code = self.start(launcher).wait(timeout=300)
        finally:
            done.set()
            thread.join()
        return code, swapped[0] if swapped else None

    def test_a_swapped_name_is_never_written_through_nor_deleted_through(self):
        package = self.big_package()
        launcher = self.link(package)
        # A valid bundle: had the launcher read it, it would extract it and
        # then delete it.
        bundle_file = self.path("bundle.bin")
        subprocess.run([PACK, "create", "--bundle-only", "-o", bundle_file, self.path("in", "setup.exe")],
                       check=True, capture_output=True)
        with open(bundle_file, "rb") as f:
            victim_files = [("bundle.bin", f.read())]

        with open(package, "rb") as f:
            package_start = f.read(16)

        def extraction_directory(files, folders):
            return folders[0] if folders else None

        # (name, chooser, link target, exit codes of the stages that may find
        # the swap first: its creation's check, decoding, opening the bundle,
        # extraction; 1 when the swap comes after the last use, or is found
        # by the launch, which then starts nothing)
        cases = [
            ("package copy", starting_with(package_start), os.path.join(self.victim, "keep.txt"), {9, 1}),
            ("bundle", starting_with(b"HEN"), os.path.join(self.victim, "bundle.bin"), {8, 1}),
            ("extraction directory", extraction_directory, self.victim, {5, 14, 1}),
        ]
        for label, pick, target, codes in cases:
            with self.subTest(label):
                self.fresh_start(victim_files)
                code, swapped = self.attack(launcher, pick, target)
                self.assertIsNotNone(swapped, "the launcher ended before the swap")
                self.assertIn(code, codes)
                self.assert_victim_untouched()

    def test_another_wine_process_cannot_take_the_workspace_while_it_is_used(self):
        # Until the installer starts. (Removal gives up its hold on the
        # emptied extraction directory for an instant, to open it again with
        # the right to delete it; taken then, the directory stays, and
        # nothing else is deleted.)
        launcher = self.link(self.big_package())
        watcher = subprocess.Popen([*wine.WINE, SWAP_NAMES, windows_path(self.tmp), windows_path(self.record)],
                                   cwd=self.root, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   env=wine.wine_environment())
        try:
            deadline = time.monotonic() + 120
            while not os.path.exists(os.path.join(self.record, "watching")):
                self.assertIsNone(watcher.poll())
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.05)
            code, _ = self.run_launcher(launcher, b" x")
        finally:
            open(os.path.join(self.record, "stop"), "wb").close()
            watcher.wait(timeout=120)
        taken = os.path.join(self.record, "taken")
        self.assertFalse(os.path.exists(taken), open(taken).read() if os.path.exists(taken) else "")
        self.assertEqual(code, 1)
        self.assertEqual(set(self.received_files()), {"payload.bin", "setup.exe"})
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
