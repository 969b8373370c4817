"""pixelwell.batch on a LocalCluster of two worker processes: three videos of different sizes,
one cut short, and a damaged one; each result equals pixelwell-filter --top-down on the frames
as OpenCV decodes them, at the input's place under the output folder."""
import os

import cv2
import numpy as np
import pytest

import pixelwell
from conftest import run_filter
from pixelwell.batch import filter_files

SCHEDULE = ["average4", "sobel-x@3", "diff@5", "kernel@6"]
KERNEL = [[1, 0, -1], [2, 0, -2], [1, 0, -3]]  # from frame 6, divided by 3
KERNEL_ARGS = ["--kernel", "1,0,-1/2,0,-2/1,0,-3", "--divisor", "3"]


def write_video(path, width, height, frames, first):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 10, (width, height))
    assert writer.isOpened()
    for frame in pixelwell.test_clip(width, height, frames, first=first):
        writer.write(frame)
    writer.release()


def decoded(path):
    capture = cv2.VideoCapture(str(path))
    frames = []
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(frame)
    capture.release()
    return np.stack(frames)


def test_three_videos_on_two_workers(tmp_path, filter_program):
    inputs = tmp_path / "in"
    videos = [inputs / "day1" / "a.avi", inputs / "day2" / "late" / "b.avi", inputs / "c.avi"]
    for path, (width, height, frames) in zip(videos, [(64, 48, 9), (97, 33, 7), (40, 70, 12)]):
        write_video(path, width, height, frames, first=frames)
    # c.avi cut short, in the middle of a frame and without its index.
    size = os.path.getsize(videos[2])
    with open(videos[2], "r+b") as f:
        f.truncate(size * 2 // 3)
    damaged = inputs / "day2" / "damaged.avi"
    damaged.write_bytes(b"RIFF" + os.urandom(3000))
    missing = inputs / "gone.avi"

    out = tmp_path / "out"
    summaries = filter_files([*videos, damaged, missing], SCHEDULE, out, workers=2, kernel=KERNEL, divisor=3)
    by_name = {os.path.basename(s.input): s for s in summaries}
    assert [os.path.basename(s.input) for s in summaries] == ["a.avi", "b.avi", "c.avi", "damaged.avi", "gone.avi"]

    for path in videos:
        summary = by_name[path.name]
        relative = path.relative_to(inputs).with_suffix(".bgrx")
        assert summary.output == str(out / relative)
        frames = decoded(path)
        expected = run_filter(filter_program, frames, SCHEDULE, *KERNEL_ARGS)
        written = np.fromfile(summary.output, np.uint8)
        assert written.size == expected.size, f"{path.name}: {summary}"
        assert np.array_equal(written.reshape(expected.shape), expected), path.name
        assert (summary.frames, summary.width, summary.height) == (len(frames), frames.shape[2], frames.shape[1])
        assert summary.mode_changes == [(0, "average4"), (3, "sobel-x"), (5, "diff"), (6, "kernel")][:len(frames)]
        assert summary.seconds > 0
    assert by_name["a.avi"].ok and by_name["b.avi"].ok
    cut = by_name["c.avi"]
    assert 0 < cut.frames < 12 and "ended after" in cut.errors[0] and "of the 12 frames" in cut.errors[0]
    for name in ("damaged.avi", "gone.avi"):
        assert by_name[name].frames == 0 and by_name[name].errors, by_name[name]
        assert not os.path.exists(by_name[name].output)
    assert "no such file" in by_name["gone.avi"].errors[0]
    workers = {s.worker for s in summaries}
    assert 1 <= len(workers) <= 2 and not any(w.endswith(f":{os.getpid()}") for w in workers)
    assert sorted(p.name for p in out.rglob("*")) == ["a.bgrx", "b.bgrx", "c.bgrx", "day1", "day2", "late"]


def test_refused_before_anything_runs(tmp_path):
    (tmp_path / "x.avi").write_bytes(b"")
    (tmp_path / "x.mp4").write_bytes(b"")
    with pytest.raises(ValueError, match="would both be written to"):
        filter_files([tmp_path / "x.avi", tmp_path / "x.mp4"], ["gray"], tmp_path / "out")
    with pytest.raises(ValueError, match="no mode has that name"):
        filter_files([tmp_path / "x.avi"], ["grey"], tmp_path / "out")
    with pytest.raises(ValueError, match="bad kernel: row 1, entry 1 is 1001"):
        filter_files([tmp_path / "x.avi"], ["kernel"], tmp_path / "out", kernel=[[1001] * 3] * 3)
    with pytest.raises(ValueError, match="video is one of"):
        filter_files([tmp_path / "x.avi"], ["gray"], tmp_path / "out", video="webm")
    assert not (tmp_path / "out").exists()
