"""Many videos at once: each video is one task on a Dask cluster.

    from pixelwell.batch import filter_files
    summary = filter_files(["day1/a.mp4", "day2/b.avi"], ["sobel-x"], "out")

Each file is decoded with OpenCV, runs through its own core from its first frame (the
temporal modes chain frames within a video, never across videos) and is written under
out_dir at its path relative to the inputs' common folder: as .bgrx (each frame height x
width x 4 bytes, B, G, R, X, rows top first, as pixelwell-filter --top-down writes it) or,
with video="mp4" (or "avi"), as a video file, which is lossy and so never exact.

Without a client, a LocalCluster of worker processes on this machine runs the files; a
dask.distributed Client, or a scheduler's address ("tcp://host:8786"), runs them there.
"""

from __future__ import annotations

import os
import socket
import time
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple, Union

from ._pixelwell import Core, Schedule, fit_within

__all__ = ["FileSummary", "filter_files"]

# Written video files: container -> OpenCV's four-character code.
_VIDEO_CODECS = {"mp4": "mp4v", "avi": "MJPG"}


@dataclass
class FileSummary:
    """What became of one input: its output, the frames written, their size (the size the
    core took: a video over 1280 is scaled down to fit), the mode switches that took effect,
    the seconds its task took, the errors (empty when the whole file went through), and the
    worker that ran it (host:process)."""
    input: str
    output: str
    frames: int = 0
    width: int = 0
    height: int = 0
    mode_changes: List[Tuple[int, Union[str, int]]] = field(default_factory=list)
    seconds: float = 0.0
    errors: List[str] = field(default_factory=list)
    worker: str = ""

    @property
    def ok(self) -> bool:
        return not self.errors


def _output_for(path: str, common: str, out_dir: str, video: Optional[str]) -> str:
    relative = os.path.relpath(path, common)
    stem, _ = os.path.splitext(relative)
    return os.path.join(out_dir, stem + ("." + video if video else ".bgrx"))


def _filter_one(path: str, output: str, schedule: list, video: Optional[str], kernel=None,
                divisor=1) -> FileSummary:
    """One video through one core; every failure ends in the summary, none is raised."""
    import cv2

    start = time.perf_counter()
    summary = FileSummary(path, output, worker=f"{socket.gethostname()}:{os.getpid()}")
    partial = output + ".part"
    capture = None
    writer = None
    sink = None
    try:
        plan = Schedule(schedule, kernel, divisor)
        capture = cv2.VideoCapture(path)
        if not capture.isOpened():
            summary.errors.append(f"cannot read {path}: "
                                  + ("no such file" if not os.path.exists(path)
                                     else "not a video OpenCV can decode"))
            return summary
        announced = int(capture.get(cv2.CAP_PROP_FRAME_COUNT) or 0)
        core = None
        source_size = None
        while True:
            ok, frame = capture.read()
            if not ok:
                break
            height, width = frame.shape[:2]
            if core is None:
                source_size = (width, height)
                fit = fit_within(width, height)
                core = Core(*fit)
                summary.width, summary.height = fit
                os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
                if video:
                    codec = cv2.VideoWriter_fourcc(*_VIDEO_CODECS[video])
                    fps = capture.get(cv2.CAP_PROP_FPS) or 30.0
                    writer = cv2.VideoWriter(partial, codec, fps, fit)
                    if not writer.isOpened():
                        summary.errors.append(f"cannot write {output}: OpenCV has no {video} writer here")
                        return summary
                else:
                    sink = open(partial, "wb")
            elif (width, height) != source_size:
                summary.errors.append(
                    f"{path}: frame {summary.frames} is {width}x{height}, the frames before it "
                    f"{source_size[0]}x{source_size[1]}; stopped there")
                break
            if (width, height) != (summary.width, summary.height):
                frame = cv2.resize(frame, (summary.width, summary.height), interpolation=cv2.INTER_AREA)
            core._apply_schedule(plan, summary.frames)
            if video:
                writer.write(core.process(frame))
            else:
                sink.write(core.process(frame, bgrx=True).data)
            summary.frames += 1
        if core is None:
            summary.errors.append(f"{path}: no frame could be decoded")
        elif announced > summary.frames:
            summary.errors.append(
                f"{path} ended after {summary.frames} of the {announced} frames its header "
                "announces (a damaged or cut file?); the frames before it were written")
        summary.mode_changes = [(frame, mode) for frame, mode in plan.switches if frame < summary.frames]
    except OSError as error:
        summary.errors.append(f"cannot write {output}: {error.strerror or error}")
    except Exception as error:  # a worker reports; it never takes the other files down
        summary.errors.append(f"{path}: {type(error).__name__}: {error}")
    finally:
        if capture is not None:
            capture.release()
        if writer is not None:
            writer.release()
        if sink is not None:
            try:
                sink.close()
            except OSError as error:
                summary.errors.append(f"cannot write {output}: {error.strerror or error}")
        # The frames that were decoded are kept, even from a damaged file; a file that could
        # not be written whole is not left behind under the output's name.
        if os.path.exists(partial):
            if summary.frames and not any(e.startswith("cannot write") for e in summary.errors):
                os.replace(partial, output)
            else:
                os.remove(partial)
        summary.seconds = time.perf_counter() - start
    return summary


def filter_files(paths: Sequence[Union[str, os.PathLike]], schedule, out_dir: Union[str, os.PathLike],
                 client=None, *, video: Optional[str] = None, kernel=None, divisor: int = 1,
                 workers: Optional[int] = None) -> List[FileSummary]:
    """Runs each video through the schedule as one Dask task; returns a FileSummary per file.

    schedule, kernel and divisor are as pixelwell.filter takes them (["average4",
    "sobel-x@100"]; ["kernel"] with kernel=[[...]]). The outputs keep
    each input's path relative to the inputs' common folder, under out_dir; two inputs that
    would write the same output are refused (ValueError) before anything runs. client: None
    (a LocalCluster of `workers` processes, one per core by default, made and closed here), a
    dask.distributed Client, or a scheduler's address. A damaged file is reported in its
    summary and never stops the others.
    """
    if video is not None and video not in _VIDEO_CODECS:
        raise ValueError(f"video is one of {', '.join(_VIDEO_CODECS)} (or None for .bgrx), not {video!r}")
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    inputs = [os.path.abspath(os.fspath(p)) for p in paths]
    if not inputs:
        return []
    modes = None if schedule is None else list(schedule) if not isinstance(schedule, (str, int)) else [schedule]
    Schedule(modes, kernel, divisor)  # a bad schedule is refused here, not once per file on the workers
    out_dir = os.path.abspath(os.fspath(out_dir))
    common = os.path.commonpath([os.path.dirname(p) for p in inputs])
    outputs = [_output_for(p, common, out_dir, video) for p in inputs]
    seen = {}
    for source, output in zip(inputs, outputs):
        if output in seen:
            raise ValueError(f"{seen[output]} and {source} would both be written to {output}; "
                             "rename one, or run them separately")
        seen[output] = source
    for source, output in zip(inputs, outputs):
        if os.path.realpath(source) == os.path.realpath(output):
            raise ValueError(f"{source} would be overwritten by its own output")

    from dask.distributed import Client, LocalCluster

    own_cluster = own_client = None
    if client is None:
        count = workers or min(len(inputs), os.cpu_count() or 1)
        own_cluster = LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
        client = own_client = Client(own_cluster)
    elif isinstance(client, str):
        client = own_client = Client(client)
    try:
        futures = [client.submit(_filter_one, source, output, modes, video, kernel, divisor, pure=False)
                   for source, output in zip(inputs, outputs)]
        summaries = []
        for source, output, future in zip(inputs, outputs, futures):
            try:
                summaries.append(future.result())
            except Exception as error:  # the worker itself died (out of memory, a crash)
                summaries.append(FileSummary(source, output, errors=[
                    f"{source}: its task failed: {type(error).__name__}: {error}"]))
        return summaries
    finally:
        if own_client is not None:
            own_client.close()
        if own_cluster is not None:
            own_cluster.close()
