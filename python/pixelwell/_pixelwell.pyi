"""The native part of pixelwell: the processing core on numpy arrays."""
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
MAX_SIDE: int

Mode = Union[str, int]
# Rows from the top: [[0, -1, 0], [-1, 4, -1], [0, -1, 0]], a 2-D integer array, or "0,-1,0/-1,4,-1/0,-1,0".
Kernel = Union[Sequence[Sequence[int]], npt.NDArray[np.integer], str]

class Core:
    """One stream of frames through the exact operations; frames are (height, width, 3) uint8,
    B, G, R, the first row at the top."""
    def __init__(self, width: int, height: int) -> None: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def mode(self) -> Mode: ...
    @property
    def frame_count(self) -> int: ...
    @property
    def kernels(self) -> str: ...
    def select(self, mode: Mode, *, kernel: Optional[Kernel] = None, divisor: Optional[int] = None) -> None:
        """Chooses the operation for the next frames, by name or any 32-bit number; "kernel"
        with kernel= (3 or 5 rows from the top, weights -1000..1000) and divisor= (1..1000)."""
    def stage(self, name: str) -> npt.NDArray[Any]:
        """The last frame's "gray" or "levels" ((H, W) uint8), "values" ((H, W) int32) or
        "result" ((H, W, 3) uint8), rows top first."""
    def reset(self) -> None:
        """Puts the core back as it was made."""
    def process(self, frame: npt.NDArray[np.uint8], out: Optional[npt.NDArray[np.uint8]] = None, *,
                rgb: bool = False, bgrx: bool = False) -> npt.NDArray[np.uint8]:
        """Runs one frame through the current mode and returns the picture shown."""
    def explain(self) -> Dict[str, Any]:
        """The teaching numbers of the last frame."""
    def _apply_schedule(self, schedule: "Schedule", index: int) -> None: ...

class Schedule:
    """A mode schedule in pixelwell-filter's --mode syntax: ["average4", "sobel-x@10"]."""
    def __init__(self, modes: Union[Mode, Iterable[Mode], None], kernel: Union[Kernel, Sequence[str], None] = None,
                 divisor: Union[int, str, Sequence[Union[int, str]], None] = None) -> None: ...
    def _require_stage(self, stage: str) -> None: ...
    @property
    def switches(self) -> List[Tuple[int, Mode]]: ...
    @property
    def notes(self) -> List[str]: ...
    def unreached(self, frames: int) -> List[str]: ...

def modes() -> List[str]:
    """The names of the modes, in pixelwell-filter --list-modes' order, then "kernel"."""
def _mode_entry(mode: Mode) -> Tuple[str, Optional[int], str, str, str]: ...
def test_clip(width: int = 640, height: int = 480, frames: int = 8, *, picture: str = "shapes",
              first: int = 0) -> npt.NDArray[np.uint8]:
    """Frames of the moving test picture, (frames, height, width, 3) uint8, rows top first."""
def fit_within(width: int, height: int, side: int = 1280) -> Tuple[int, int]:
    """The size a frame larger than side x side is scaled to."""
