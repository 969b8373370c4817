"""Pixelwell's exact operations on numpy arrays.

The same integer core as the Windows program, pixelwell-filter, pixelwell-live and the page,
on frames in OpenCV's layout: (height, width, 3) uint8 arrays, B, G, R, the first row at
the top (rgb=True takes and gives R, G, B).

    import pixelwell
    clip = pixelwell.test_clip(320, 240, 8)          # the moving test picture
    edges = pixelwell.filter(clip, ["sobel-x"])      # (8, 240, 320, 3), exact to the bit
    core = pixelwell.Core(320, 240)                  # one stream, frame by frame
    core.select("average4")
    shown = core.process(clip[0])
    core.explain()                                   # the teaching numbers of that frame
    pixelwell.check(my_sobel_x, "sobel-x", clip)     # where a function of yours differs

pixelwell.batch.filter_files runs many videos at once on Dask.
"""

from __future__ import annotations

import collections
import os
from typing import Iterable, Iterator, Union

import numpy as np

from ._pixelwell import MAX_SIDE, Core, Schedule, __version__, fit_within, modes, test_clip
from ._pixelwell import _mode_entry
from ._check import CheckReport, Difference, check

__all__ = [
    "Core", "Schedule", "CheckReport", "Difference", "ModeInfo", "MAX_SIDE", "__version__",
    "modes", "mode_info", "filter", "check", "test_clip", "read_raw", "fit_within", "batch",
]

ModeInfo = collections.namedtuple("ModeInfo", "name number label key description")
ModeInfo.__doc__ = """A mode as the menu and the programs show it.

name: as --mode takes it; number: the menu command's identifier; label: the menu's label
(Japanese); key: the key that chooses it in pixelwell-live; description: what it shows."""


def mode_info(mode: Union[str, int]) -> ModeInfo:
    """The mode's number, menu label, key and description, by name or number.

    "kernel" (your own kernel) has no number (None) and no menu label (""); its key is k."""
    return ModeInfo(*_mode_entry(mode))


def _check_clip(frames: np.ndarray, what: str = "frames") -> None:
    if frames.dtype != np.uint8:
        raise TypeError(f"{what} have dtype {frames.dtype}; pixelwell takes uint8 frames "
                        "(convert with .astype(numpy.uint8) if the values are 0..255)")
    if frames.ndim != 4 or frames.shape[3] != 3:
        hint = " (one frame? give frames[None] or use a Core)" if frames.ndim == 3 else ""
        raise ValueError(f"{what} have shape {frames.shape}; a clip is (frames, height, width, 3) "
                         f"uint8{hint}")
    _, height, width, _ = frames.shape
    if not (1 <= width <= MAX_SIDE and 1 <= height <= MAX_SIDE):
        raise ValueError(f"{what} are {width}x{height}; the core takes 1 to {MAX_SIDE} each way "
                         f"(pixelwell.fit_within({width}, {height}) gives the size to scale to)")


def filter(frames: Union[np.ndarray, Iterable[np.ndarray]], schedule, kernel=None, divisor=1,
           *, rgb: bool = False) -> Union[np.ndarray, Iterator[np.ndarray]]:
    """Runs frames through a schedule of modes, as pixelwell-filter --top-down does.

    schedule: a list like ["average4", "sobel-x@10"] in the syntax of pixelwell-filter
    --mode (a mode's name or number, then @K for the frame index before which it is chosen),
    or one mode. "kernel" is the kernel mode, with kernel= (rows from the top, e.g.
    [[0, -1, 0], [-1, 4, -1], [0, -1, 0]], or "0,-1,0/-1,4,-1/0,-1,0"; a list of "ROWS@K"
    texts changes it before frame K) and divisor= (1 to 1000, or "N@K" texts), as --kernel
    and --divisor take them; schedule=None with a kernel means ["kernel"]. Given an
    (N, height, width, 3) uint8 array, returns the results as one array of the same shape;
    given any other iterable of frames, returns a generator that yields each result as its
    frame comes (the first frame sets the size).
    """
    plan = Schedule(schedule, kernel, divisor)
    if isinstance(frames, np.ndarray):
        _check_clip(frames)
        count, height, width, _ = frames.shape
        out = np.empty_like(frames, order="C")
        core = Core(width, height)
        for index in range(count):
            core._apply_schedule(plan, index)
            core.process(frames[index], out[index], rgb=rgb)
        return out
    return _filter_stream(iter(frames), plan, rgb)


def _filter_stream(frames: Iterator[np.ndarray], plan: Schedule, rgb: bool) -> Iterator[np.ndarray]:
    core = None
    for index, frame in enumerate(frames):
        if core is None:
            if not isinstance(frame, np.ndarray) or frame.ndim != 3:
                shape = getattr(frame, "shape", type(frame).__name__)
                raise ValueError(f"frame 0 is {shape}; frames are (height, width, 3) uint8 arrays")
            core = Core(frame.shape[1], frame.shape[0])
        core._apply_schedule(plan, index)
        try:
            yield core.process(frame, rgb=rgb)
        except (TypeError, ValueError) as error:
            raise type(error)(f"frame {index}: {error}") from None


def read_raw(path: Union[str, os.PathLike], width: int, height: int, top_down: bool = False) -> np.ndarray:
    """Reads raw 24-bit frames (B, G, R, rows packed) as (N, height, width, 3) uint8, rows top first.

    The page's and pixelwell-live's recordings and pixelwell-clip's output are bottom-up (the
    camera's order) unless made with --top-down; pass top_down=True for those that are.
    """
    if not (1 <= width <= MAX_SIDE and 1 <= height <= MAX_SIDE):
        raise ValueError(f"width and height are 1 to {MAX_SIDE} each, not {width}x{height}")
    data = np.fromfile(path, dtype=np.uint8)
    frame_bytes = width * height * 3
    whole, left = divmod(data.size, frame_bytes)
    if left:
        raise ValueError(f"{os.fspath(path)} ends inside frame {whole}: {frame_bytes - left} of its "
                         f"{frame_bytes} bytes missing (is the size {width}x{height} right?)")
    frames = data.reshape(whole, height, width, 3)
    return frames if top_down else np.ascontiguousarray(frames[:, ::-1])


def __getattr__(name: str):
    # pixelwell.batch brings in Dask: only when asked for.
    if name == "batch":
        import importlib
        return importlib.import_module(".batch", __name__)
    raise AttributeError(f"module 'pixelwell' has no attribute '{name}'")
