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
