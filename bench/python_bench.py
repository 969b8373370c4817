#!/usr/bin/env python3
"""The Python module's speed: pixelwell.filter over an in-memory 640x480 clip against
pixelwell-filter --top-down reading and writing files in a tmpfs (/dev/shm), per mode, in the
same run; and two cores on two threads against one, for the nine filters (the GIL is released
while a core works). Each figure is the best of --rounds runs (the machine may be shared).

Usage: PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py
           [--filter build/native/tools/pixelwell-filter] [--frames 60] [--rounds 5]
"""
import argparse
import os
import subprocess
import tempfile
import threading
import time

import pixelwell

FILTERS = ["laplacian-a", "laplacian-b", "laplacian-c", "sobel-x", "sobel-y",
           "lowpass3", "highpass3", "lowpass5", "highpass5"]
# The kernel mode runs with a kernel of its own: a 5x5 Gaussian, divided by 256.
KERNEL = "1,4,6,4,1/4,16,24,16,4/6,24,36,24,6/4,16,24,16,4/1,4,6,4,1"
KERNEL_DIVISOR = 256


def best(rounds, run):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--filter", default=os.path.join(root, "build/native/tools/pixelwell-filter"))
    parser.add_argument("--frames", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    width, height, n = 640, 480, args.frames
    clip = pixelwell.test_clip(width, height, n)
    core = pixelwell.Core(width, height)
    print(f"640x480, {n} frames, best of {args.rounds}; kernels {core.kernels}; "
          f"load average {open('/proc/loadavg').read().split()[0]}")
    print(f"{'mode':<12} {'filter() ms/frame':>18} {'pixelwell-filter ms/frame':>26} {'ratio':>6}")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as shm:
        clip_path = os.path.join(shm, "clip.raw")
        out_path = os.path.join(shm, "out.bgrx")
        clip.tofile(clip_path)
        slower = []
        for mode in pixelwell.modes():
            own = {"kernel": KERNEL, "divisor": KERNEL_DIVISOR} if mode == "kernel" else {}
            python = best(args.rounds, lambda: pixelwell.filter(clip, [mode], **own)) / n * 1e3
            command = [args.filter, "--size", f"{width}x{height}", "--top-down", "--mode", mode, clip_path, out_path]
            if own:
                command[-2:-2] = ["--kernel", KERNEL, "--divisor", str(KERNEL_DIVISOR)]
            program = best(args.rounds, lambda: subprocess.run(command, check=True, stderr=subprocess.DEVNULL)) / n * 1e3
            print(f"{mode:<12} {python:>18.3f} {program:>26.3f} {program / python:>6.2f}")
            if python > program:
                slower.append(mode)
        print("pixelwell.filter at least as fast in every mode" if not slower
              else f"pixelwell.filter slower in: {', '.join(slower)}")

    print(f"\n{'filter':<12} {'one core fps':>13} {'two threads fps':>16} {'x':>6}")
    lowest = None
    for mode in FILTERS:
        def one():
            c = pixelwell.Core(width, height)
            c.select(mode)
            for frame in clip:
                c.process(frame)

        def two():
            threads = [threading.Thread(target=one) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        single = n / best(args.rounds, one)
        double = 2 * n / best(args.rounds, two)
        lowest = min(lowest or 99, double / single)
        print(f"{mode:<12} {single:>13.0f} {double:>16.0f} {double / single:>6.2f}")
    print(f"lowest speed-up of two threads: {lowest:.2f}x (on {os.cpu_count()} CPUs)")


if __name__ == "__main__":
    main()
