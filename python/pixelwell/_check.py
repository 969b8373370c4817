"""pixelwell.check: where a student's own function differs from the exact operation."""

from __future__ import annotations

import collections
from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional, Union

import numpy as np

from ._pixelwell import Core, Schedule

Difference = collections.namedtuple("Difference", "frame row column expected got")
Difference.__doc__ = """The first pixel that differs: frame index, row (0 at the top), column,
and the pixel's values, expected and got (three for the result stage: its channels)."""

# What each stage is, as a student's function returns it.
_STAGES = {
    "result": ("the picture shown", 3, np.uint8),
    "gray": ("the gray levels", 0, np.uint8),
    "levels": ("the tone mapping's levels", 0, np.uint8),
    "values": ("the filter values", 0, np.int32),
}


@dataclass(repr=False)
class CheckReport:
    """What pixelwell.check found.

    equal: every frame matched; count: pixels that differ in any channel, over all frames;
    first: the first Difference in raster order (top row first), or None; diff: an
    (height, width) uint8 image, 255 where the first differing frame differs; frames: the
    frames compared; error: what was wrong with a returned value (its shape or dtype), which
    stops the check at that frame, or None.
    """
    equal: bool
    count: int
    first: Optional[Difference]
    diff: np.ndarray
    frames: int
    stage: str
    mode: str
    error: Optional[str] = None
    differing_frames: int = field(default=0)

    def __bool__(self) -> bool:
        return self.equal

    def __repr__(self) -> str:
        what = f"{self.stage} of {self.mode}"
        if self.error:
            return f"<CheckReport: stopped at {self.error}>"
        if self.equal:
            return f"<CheckReport: equal: all {self.frames} frames give exactly the {what}>"
        f = self.first
        pixels = "pixel" if self.count == 1 else "pixels"
        return (f"<CheckReport: differs: {self.count} {pixels} in {self.differing_frames} of "
                f"{self.frames} frames ({what}); first at frame {f.frame}, row {f.row}, column "
                f"{f.column}: expected {f.expected}, got {f.got}>")


def _value(pixel) -> Union[int, tuple]:
    return tuple(int(v) for v in pixel) if np.ndim(pixel) else int(pixel)


def _shape_problem(index: int, got, shape: tuple, dtype) -> Optional[str]:
    wanted = f"{shape} {np.dtype(dtype).name}"
    if not isinstance(got, np.ndarray):
        return f"frame {index}: your function returned {type(got).__name__}, expected a numpy array {wanted}"
    if got.shape != shape or got.dtype != dtype:
        hint = ""
        if got.shape == shape and np.dtype(dtype) == np.uint8:
            hint = " (values 0..255: .astype(numpy.uint8) after clipping them)"
        return (f"frame {index}: your function returned {got.shape} {got.dtype.name}, expected "
                f"{wanted}{hint}")
    return None


def check(student: Callable[[np.ndarray], np.ndarray], mode, frames: Iterable[np.ndarray],
          stage: str = "result", kernel=None, divisor: int = 1, *, rgb: bool = False) -> CheckReport:
    """Compares student(frame) with the exact operation, frame by frame.

    student is called once for each frame, in order, with a top-down copy of the frame the
    core gets (B, G, R; R, G, B with rgb=True), which it may change. For the temporal modes
    it keeps its own state between calls. What it returns is compared with that frame's
    stage from a fresh core running mode (a name, a number, or a schedule as
    pixelwell.filter takes it; "kernel" with kernel= and divisor= as there): stage
    "result" is (height, width, 3) uint8, "gray" and "levels" (height, width) uint8,
    "values" (height, width) int32, as Core.stage gives them. Every mode must have the
    stage (ValueError naming the one that has not).

    Returns a CheckReport: equal, count, first (frame, row, column, expected, got) and diff.
    A returned value of the wrong shape or dtype is reported as such, and stops the check.
    """
    if stage not in _STAGES:
        raise ValueError(f"unknown stage '{stage}': one of {', '.join(_STAGES)}")
    plan = Schedule(mode, kernel, divisor)
    if stage != "result":
        plan._require_stage(stage)
    if not callable(student):
        raise TypeError(f"student must be a function of one frame, not {type(student).__name__}")
    modes = ["kernel"] if mode is None else [mode] if isinstance(mode, (str, int)) else list(mode)
    mode_name = ", ".join(str(m) for m in modes)
    core = None
    count = 0
    differing = 0
    first = None
    diff = None
    index = -1
    for index, frame in enumerate(frames):
        if core is None:
            if not isinstance(frame, np.ndarray) or frame.ndim != 3:
                raise ValueError(f"frame 0 is {getattr(frame, 'shape', type(frame).__name__)}; frames "
                                 "are (height, width, 3) uint8 arrays")
            core = Core(frame.shape[1], frame.shape[0])
            height, width = frame.shape[:2]
            diff = np.zeros((height, width), np.uint8)
            _, channels, dtype = _STAGES[stage]
            shape = (height, width, channels) if channels else (height, width)
        core._apply_schedule(plan, index)
        try:
            expected = core.process(frame, rgb=rgb)
            if stage != "result":
                expected = core.stage(stage)
        except (TypeError, ValueError) as error:
            raise type(error)(f"frame {index}: {error}") from None
        got = student(np.array(frame, copy=True, order="C"))
        problem = _shape_problem(index, got, shape, dtype)
        if problem:
            return CheckReport(False, count, first, diff, index + 1, stage, mode_name, problem, differing)
        mask = got != expected
        if mask.ndim == 3:
            mask = mask.any(axis=2)
        differ = int(np.count_nonzero(mask))
        if differ:
            count += differ
            differing += 1
            if first is None:
                row, column = (int(v) for v in np.argwhere(mask)[0])
                first = Difference(index, row, column, _value(expected[row, column]), _value(got[row, column]))
                diff = mask.astype(np.uint8) * np.uint8(255)
    if core is None:
        raise ValueError("no frames to check")
    return CheckReport(count == 0, count, first, diff, index + 1, stage, mode_name, None, differing)
