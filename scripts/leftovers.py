#!/usr/bin/env python3
"""Finds, and stops, the processes a run left behind.

    leftovers.py [--wait SECONDS] NAME=VALUE

A process belongs to the run when its environment holds NAME=VALUE: the run's script exports it
first, so everything it starts inherits it (Xvfb, wineserver, Wine's service processes, the
programs under test). This process and its ancestors do not count. Waits up to SECONDS (default
20) for them to end by themselves (a wineserver just told to stop takes a moment), then stops
what is left (TERM, then KILL), prints one line per process on standard error and exits 1.
Exits 0 when nothing was left."""
import argparse
import os
import signal
import sys
import time


def ancestors():
    pids, pid = set(), os.getpid()
    while pid > 1:
        pids.add(pid)
        try:
            with open(f"/proc/{pid}/stat") as f:
                pid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            break
    return pids


def members(marker, skip):
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in skip:
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue  # ended, waiting for its parent
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                found[int(entry)] = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue  # gone meanwhile, or not ours to read
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wait", type=float, default=20)
    parser.add_argument("marker", help="NAME=VALUE in the environment of the run's processes")
    args = parser.parse_args()
    if "=" not in args.marker or args.marker.endswith("="):
        parser.error("the marker is NAME=VALUE with a value")
    marker, skip = args.marker.encode(), ancestors()

    deadline = time.monotonic() + args.wait
    left = members(marker, skip)
    while left and time.monotonic() < deadline:
        time.sleep(0.2)
        left = members(marker, skip)
    if not left:
        return 0
    for pid, command in sorted(left.items()):
        print(f"left behind: {pid} {command} (now stopped)", file=sys.stderr)
    for sig, pause in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 0)):
        for pid in members(marker, skip):
            try:
                os.kill(pid, sig)
            except OSError:
                pass
        time.sleep(pause)
    return 1


if __name__ == "__main__":
    sys.exit(main())
