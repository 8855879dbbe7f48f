#!/usr/bin/env python3
"""Runs a command with a fresh tmpfs at DIR and reports the most of it the
command had in use at any moment, polled every millisecond.

    unshare -m --propagation private peak_space.py DIR -- COMMAND...

Meant to run in a private mount namespace (as root), so the tmpfs is seen by
the command alone and goes when it ends. Prints "PEAK_BYTES EXIT_CODE" on
the last line of standard error; the command's own output passes through.
"""

import os
import subprocess
import sys
import threading
import time


def used(path):
    s = os.statvfs(path)
    return (s.f_blocks - s.f_bfree) * s.f_frsize


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit("usage: peak_space.py DIR -- COMMAND...")
    directory, command = sys.argv[1], sys.argv[3:]
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8g,mode=0700", "bench-peak", directory],
                   check=True)
    base = used(directory)
    peak = 0
    done = threading.Event()

    def poll():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, used(directory) - base)
            time.sleep(0.001)

    poller = threading.Thread(target=poll)
    poller.start()
    status = subprocess.run(command).returncode
    done.set()
    poller.join()
    peak = max(peak, used(directory) - base)
    print(f"{peak} {status}", file=sys.stderr)


if __name__ == "__main__":
    main()
