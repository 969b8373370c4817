"""What the Python module's tests share: pixelwell-filter to compare with, and clips."""
import os
import subprocess

import numpy as np
import pytest

import pixelwell


@pytest.fixture(scope="session")
def filter_program():
    path = os.environ.get("PIXELWELL_FILTER")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("PIXELWELL_FILTER must name the pixelwell-filter to compare with")
    return path


def run_filter(program, clip, modes, *extra):
    """pixelwell-filter --top-down over the clip, as (N, H, W, 4) B, G, R, X."""
    count, height, width, _ = clip.shape
    args = [program, "--size", f"{width}x{height}", "--top-down", *extra]
    for mode in modes:
        args += ["--mode", str(mode)]
    done = subprocess.run(args, input=np.ascontiguousarray(clip).tobytes(), capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode()
    return np.frombuffer(done.stdout, np.uint8).reshape(count, height, width, 4)


def run_filter_stage(program, clip, args, stage):
    """pixelwell-filter --top-down --stage STAGE over the clip, with the mode and kernel options
    given: (N, H, W) uint8 or int32 (values), or (N, H, W, 4) for the result."""
    count, height, width, _ = clip.shape
    command = [program, "--size", f"{width}x{height}", "--top-down", "--stage", stage, *args]
    done = subprocess.run(command, input=np.ascontiguousarray(clip).tobytes(), capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode()
    if stage == "result":
        return np.frombuffer(done.stdout, np.uint8).reshape(count, height, width, 4)
    return np.frombuffer(done.stdout, "<i4" if stage == "values" else np.uint8).reshape(count, height, width)
