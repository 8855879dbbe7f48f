"""The Windows build the tests look at: where it is, what it made, and which
target it is for (win32: PE32, x86; win64: PE32+, x86-64)."""

import os

BUILD = os.environ.get("MIRELK_WINDOWS_BUILD_DIR",
                       os.path.join(os.path.dirname(__file__), "../../build/windows"))
# mirelk-pack for the build machine, and for Windows.
PACK = os.path.join(BUILD, "host", "mirelk-pack")
WINDOWS_PACK = os.path.join(BUILD, "mirelk-pack.exe")
# The prebuilt stub, and the launcher the build links with its inputs.
STUB = os.path.join(BUILD, "mirelk-launcher.exe")
SAMPLE_LAUNCHER = os.path.join(BUILD, "mirelk-sample.exe")
SAMPLE = os.path.join(BUILD, "sample")
LINK = os.path.join(BUILD, "tests", "win32", "link-launcher")
START_WITH = os.path.join(BUILD, "tests", "win32", "start-with.exe")
RECORDER = os.path.join(BUILD, "tests", "win32", "record-installer.exe")
HANDOFF = os.path.join(BUILD, "tests", "win32", "handoff-installer.exe")
PREFIX = os.path.join(BUILD, "wineprefix")
# win32 or win64, set by the build's test registration.
ARCH = os.environ.get("MIRELK_WINE_ARCH", "win32")
