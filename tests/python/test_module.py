"""pixelwell on numpy arrays: byte for byte what pixelwell-filter writes, for every mode, odd
sizes and schedules; cores on threads; bad input refused without a trace; no growth in memory."""
import gc
import threading
import tracemalloc

import numpy as np
import pytest

import pixelwell
from conftest import run_filter, run_filter_stage

SIZES = [(64, 48), (641, 479), (3, 5)]


@pytest.mark.parametrize("width,height", SIZES, ids=[f"{w}x{h}" for w, h in SIZES])
def test_every_mode_equals_the_filter(filter_program, width, height):
    frames = 3 if width > 600 else 10
    clip = pixelwell.test_clip(width, height, frames, picture="noise" if width < 10 else "shapes")
    names = pixelwell.modes()
    assert len(names) == 25 and names[0] == "none" and names[13] == "sobel-x" and names[-1] == "kernel"
    for mode in names[:-1] + [1410, -7]:
        expected = run_filter(filter_program, clip, [mode])
        got = pixelwell.filter(clip, [mode])
        assert got.shape == clip.shape and got.dtype == np.uint8
        assert np.array_equal(got, expected[..., :3]), f"{mode} at {width}x{height}"
        # The surface's four bytes, as the filter writes them.
        core = pixelwell.Core(width, height)
        core.select(mode)
        for index in range(frames):
            assert np.array_equal(core.process(clip[index], bgrx=True), expected[index]), f"{mode} frame {index}"


def test_a_schedule_of_temporal_and_reference_modes(filter_program):
    clip = pixelwell.test_clip(97, 61, 16, first=40)
    schedule = ["average8", "simple-diff@3", "frame-diff@5", "diff@7", "1410@9", "median3@10",
                "AVERAGE4@12", "binarize@12", "diff@14"]
    expected = run_filter(filter_program, clip, schedule)[..., :3]
    assert np.array_equal(pixelwell.filter(clip, schedule), expected)
    # Any iterable of frames gives a generator with the same frames.
    stream = pixelwell.filter(iter(list(clip)), schedule)
    assert not isinstance(stream, np.ndarray)
    assert np.array_equal(np.stack(list(stream)), expected)
    # R, G, B in and out, and a clip read through strides (every other column, reversed).
    assert np.array_equal(pixelwell.filter(clip[..., ::-1], schedule, rgb=True)[..., ::-1], expected)
    odd = np.ascontiguousarray(clip[:, :, ::-2])
    assert np.array_equal(pixelwell.filter(clip[:, :, ::-2], schedule), pixelwell.filter(odd, schedule))
    assert pixelwell.Schedule(schedule).switches[:2] == [(0, "average8"), (3, "simple-diff")]


def _rows(kernel):
    """A kernel as pixelwell-filter --kernel takes it."""
    return "/".join(",".join(str(int(w)) for w in row) for row in kernel)


def _preset(mode):
    """A filter's own kernel and divisor, as explain() gives them."""
    core = pixelwell.Core(5, 5)
    core.select(mode)
    core.process(np.zeros((5, 5, 3), np.uint8))
    e = core.explain()
    return e["kernel"], e["divisor"]


_random = np.random.default_rng(20240611)
KERNELS = {
    "sobel-x": None, "highpass3": None, "lowpass5": None,
    "random-5x5": (_random.integers(-1000, 1001, (5, 5)), int(_random.integers(2, 1001))),
    "random-3x3": (_random.integers(-9, 10, (3, 3)).tolist(), 7),
}
STAGES = ("result", "gray", "values", "levels")


@pytest.mark.parametrize("name", KERNELS)
def test_the_kernel_mode_and_its_stages_equal_the_filter(filter_program, name):
    clip = pixelwell.test_clip(37, 23, 4, first=9)
    kernel, divisor = KERNELS[name] or _preset(name)
    given = _rows(kernel) if name == "highpass3" else kernel  # ROWS text, a list or an array
    runs = [(["kernel"], {"kernel": given, "divisor": divisor},
             ["--kernel", _rows(kernel), "--divisor", str(divisor)])]
    if KERNELS[name] is None:
        runs.append(([name], {}, ["--mode", name]))
    shown = {}
    for schedule, options, args in runs:
        core = pixelwell.Core(37, 23)
        core.select(*schedule, **options)
        got = {stage: [] for stage in STAGES}
        for frame in clip:
            got["result"].append(core.process(frame, bgrx=True))
            for stage in STAGES[1:]:
                got[stage].append(core.stage(stage))
        for stage in STAGES:
            expected = run_filter_stage(filter_program, clip, args, stage)
            assert np.array_equal(np.stack(got[stage]), expected), f"{schedule} {stage}"
        assert got["values"][0].dtype == np.int32 and got["gray"][0].dtype == np.uint8
        assert np.array_equal(pixelwell.filter(clip, schedule, **options), np.stack(got["result"])[..., :3])
        e = core.explain()
        assert e["mode"] == schedule[0] and e["kernel"] == np.asarray(kernel).tolist() and e["divisor"] == divisor
        shown[schedule[0]] = np.stack(got["result"])
    # A filter's own kernel in the kernel mode gives that filter's pictures.
    if KERNELS[name] is None:
        assert np.array_equal(shown["kernel"], shown[name])


def test_a_schedule_with_kernels_changed_during_the_run(filter_program):
    clip = pixelwell.test_clip(19, 13, 5, picture="noise")
    schedule = ["median3", "kernel@1", "gray@4"]
    kernel = ["0,1,0/1,-4,1/0,1,0@1", "1,2,3,2,1/0,0,0,0,0/-1,-2,-3,-2,-1/0,0,0,0,0/1,1,1,1,1@2"]
    args = [a for m in schedule for a in ("--mode", m)] + [a for k in kernel for a in ("--kernel", k)]
    args += ["--divisor", "7@3"]
    expected = run_filter(filter_program, clip, [], *args)
    assert np.array_equal(pixelwell.filter(clip, schedule, kernel=kernel, divisor=["7@3"]), expected[..., :3])
    gray = run_filter_stage(filter_program, clip, args, "gray")
    report = pixelwell.check(gray_of, schedule, clip, stage="gray", kernel=kernel, divisor=["7@3"])
    assert report.equal, report
    assert np.array_equal(gray, np.stack([gray_of(f) for f in clip]))
    with pytest.raises(ValueError, match="mode median3 \\(1443\\) has no such stage"):
        pixelwell.check(gray_of, schedule, clip, stage="values", kernel=kernel)


def test_two_cores_on_two_threads_equal_each_alone():
    clip = pixelwell.test_clip(160, 120, 24)
    plans = {"a": ["sobel-x", "average8@5", "median3@11", "diff@17"], "b": ["average4", "binarize@7", "lowpass5@13"]}
    alone = {name: pixelwell.filter(clip, plan) for name, plan in plans.items()}
    got = {name: np.zeros_like(clip) for name in plans}
    # Strictly interleaved: each thread processes a frame, then hands the turn to the other.
    turns = {"a": threading.Semaphore(1), "b": threading.Semaphore(0)}
    other = {"a": "b", "b": "a"}
    errors = []

    def run(name):
        try:
            core = pixelwell.Core(160, 120)
            plan = pixelwell.Schedule(plans[name])
            for index in range(len(clip)):
                turns[name].acquire()
                core._apply_schedule(plan, index)
                core.process(clip[index], got[name][index])
                turns[other[name]].release()
        except Exception as error:  # reported below, in the test's thread
            errors.append(error)
            turns[other[name]].release()

    threads = [threading.Thread(target=run, args=(name,)) for name in plans]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    for name in plans:
        assert np.array_equal(got[name], alone[name]), name
    # And freely at once, many frames each, one core shared by both threads too (each waits).
    shared = pixelwell.Core(160, 120)
    shared.select("invert")
    results = []
    threads = [threading.Thread(target=lambda n=n: results.append(pixelwell.filter(clip, plans[n]))) for n in plans]
    threads += [threading.Thread(target=lambda: [shared.process(f) for f in clip]) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(len(r) for r in results) == [24, 24] and shared.frame_count == 48
    assert any(np.array_equal(r, alone["a"]) for r in results) and any(np.array_equal(r, alone["b"]) for r in results)


def gray_of(frame):
    b, g, r = (frame[..., c].astype(np.int32) for c in range(3))
    return ((117 * b + 601 * g + 306 * r) >> 10).astype(np.uint8)


def test_check_finds_a_one_pixel_slip_and_passes_an_exact_student():
    clip = pixelwell.test_clip(80, 60, 6)

    def invert(frame):
        return 255 - frame

    report = pixelwell.check(invert, "invert", clip)
    assert report.equal and report.count == 0 and report.first is None and not report.diff.any()
    assert "equal" in repr(report) and bool(report)
    assert pixelwell.check(lambda f: np.repeat(gray_of(f)[..., None], 3, axis=2), "gray", clip).equal

    # A student's own state for a temporal mode: the average of this frame and the last one.
    def average2():
        last = np.zeros(clip.shape[1:], np.uint16)

        def student(frame):
            nonlocal last
            mean = ((frame.astype(np.uint16) + last) // 2).astype(np.uint8)
            last = frame.astype(np.uint16)
            frame[:] = 0  # the student's copy: changing it changes nothing for the core
            return mean
        return student

    assert pixelwell.check(average2(), "average2", clip).equal

    calls = []

    def slipped(frame):
        calls.append(len(calls))
        out = 255 - frame
        if len(calls) == 3:
            out[17, 42, 1] ^= 1
        return out

    report = pixelwell.check(slipped, "invert", clip)
    assert calls == list(range(6)), "called once per frame, in order"
    assert not report.equal and report.count == 1 and report.differing_frames == 1
    frame = clip[2]
    expected = tuple(int(v) for v in 255 - frame[17, 42])
    got = (expected[0], expected[1] ^ 1, expected[2])
    assert report.first == pixelwell.Difference(2, 17, 42, expected, got)
    assert report.diff.shape == (60, 80) and report.diff.dtype == np.uint8
    assert list(zip(*np.nonzero(report.diff))) == [(17, 42)] and report.diff[17, 42] == 255
    assert "frame 2, row 17, column 42" in repr(report)

    for wrong, said in [(lambda f: (255 - f).astype(np.float64), "float64"),
                        (lambda f: gray_of(f), "(60, 80) uint8, expected (60, 80, 3) uint8"),
                        (lambda f: None, "returned NoneType")]:
        report = pixelwell.check(wrong, "invert", clip)
        assert not report.equal and report.error and said in report.error and said in repr(report)
        assert report.error.startswith("frame 0:")


def kernel_values(frame, kernel, divisor):
    """A kernel's filter values as a student writes them: rows from the top, so the kernel's top
    row weighs the line above; the border stays 0; quotients truncated toward zero."""
    gray = gray_of(frame).astype(np.int64)
    k = np.asarray(kernel)
    r, (height, width) = len(k) // 2, gray.shape
    sums = np.zeros((height, width), np.int64)
    for a in range(len(k)):
        for b in range(len(k)):
            sums[r:height - r, r:width - r] += k[a, b] * gray[a:height - 2 * r + a, b:width - 2 * r + b]
    return (np.sign(sums) * (np.abs(sums) // divisor)).astype(np.int32)


def test_check_finds_a_slip_in_a_stage_of_the_kernel_mode():
    clip = pixelwell.test_clip(41, 29, 4)
    kernel, divisor = [[1, 2, 1], [0, 0, 0], [-1, -3, -1]], 3  # not symmetric: rows upside down would show
    options = {"kernel": kernel, "divisor": divisor}
    assert pixelwell.check(lambda f: kernel_values(f, kernel, divisor), "kernel", clip, "values", **options).equal
    assert pixelwell.check(gray_of, "kernel", clip, "gray", **options).equal
    assert not pixelwell.check(lambda f: kernel_values(f, kernel[::-1], divisor), "kernel", clip, "values", **options)

    calls = []

    def slipped(frame):
        calls.append(frame)
        values = kernel_values(frame, kernel, divisor)
        if len(calls) == 3:
            values[11, 7] -= 1
        return values

    report = pixelwell.check(slipped, "kernel", clip, stage="values", **options)
    expected = int(kernel_values(clip[2], kernel, divisor)[11, 7])
    assert not report.equal and report.count == 1 and report.differing_frames == 1
    assert report.first == pixelwell.Difference(2, 11, 7, expected, expected - 1)
    assert list(zip(*np.nonzero(report.diff))) == [(11, 7)]
    assert "(values of kernel); first at frame 2, row 11, column 7" in repr(report)
    # The wrong dtype for a stage is reported, not raised.
    report = pixelwell.check(lambda f: kernel_values(f, kernel, divisor).astype(np.int64), "kernel", clip, "values",
                             **options)
    assert report.error == "frame 0: your function returned (29, 41) int64, expected (29, 41) int32"


def test_bad_input_is_refused_and_changes_nothing():
    clip = pixelwell.test_clip(64, 48, 12)
    plain = pixelwell.Core(64, 48)
    tried = pixelwell.Core(64, 48)
    for core in (plain, tried):
        core.select("average8")
    frame = clip[0]
    bad_calls = [
        (TypeError, "dtype int16", lambda: tried.process(frame.astype(np.int16))),
        (TypeError, "dtype float32", lambda: tried.process(frame.astype(np.float32))),
        (ValueError, "shape (48, 64)", lambda: tried.process(frame[..., 0])),
        (ValueError, "shape (48, 64, 4)", lambda: tried.process(np.dstack([frame, frame[..., :1]]))),
        (ValueError, "shape (2, 48, 64, 3)", lambda: tried.process(clip[:2])),
        (ValueError, "is 63x48", lambda: tried.process(frame[:, 1:])),
        (ValueError, "is 64x47", lambda: tried.process(frame[1:])),
        (TypeError, "not list", lambda: tried.process(frame.tolist())),
        (ValueError, "out has shape", lambda: tried.process(frame, np.zeros((48, 64, 4), np.uint8))),
        (ValueError, "out is read-only", lambda: tried.process(frame, _read_only((48, 64, 3)))),
        (ValueError, "no rgb", lambda: tried.process(frame, rgb=True, bgrx=True)),
        (ValueError, "unknown mode 'sobelx'", lambda: tried.select("sobelx")),
        (ValueError, "did you mean sobel-x", lambda: tried.select("sobelx")),
        (ValueError, "does not fit in 32 bits", lambda: tried.select(2**31)),
        (ValueError, "does not fit in 32 bits", lambda: tried.select(-2**31 - 1)),
        (ValueError, "does not fit in 32 bits", lambda: tried.select(2**64)),
        (TypeError, "not float", lambda: tried.select(1421.0)),
        (ValueError, "frame indexes", lambda: tried.select("sobel-x@3")),
        (ValueError, "1 to 1280", lambda: pixelwell.Core(1281, 10)),
        (ValueError, "1 to 1280", lambda: pixelwell.Core(0, 10)),
        (ValueError, "1 to 1280", lambda: pixelwell.filter(np.zeros((1, 2, 1281, 3), np.uint8), ["gray"])),
        (ValueError, "1 to 1280", lambda: pixelwell.test_clip(1281, 2, 1)),
        (ValueError, "after @ comes a frame index", lambda: pixelwell.filter(clip, ["gray@-1"])),
        (ValueError, "no mode has that name", lambda: pixelwell.filter(clip, ["grey"])),
        (ValueError, "at least one mode", lambda: pixelwell.filter(clip, [])),
        (TypeError, "dtype int64", lambda: pixelwell.filter(clip.astype(np.int64), ["gray"])),
        (ValueError, "one frame?", lambda: pixelwell.filter(clip[0], ["gray"])),
        (ValueError, "frame 1: frame is 64x47", lambda: list(pixelwell.filter([clip[0], clip[1, 1:]], ["gray"]))),
        (ValueError, "unknown stage", lambda: pixelwell.check(lambda f: f, "gray", clip, stage="grey")),
        # The kernel mode: a bad kernel or divisor, or one where no kernel mode takes it.
        (ValueError, "bad kernel: 2 rows; a kernel has 3 or 5 rows", lambda: tried.select("kernel", kernel=[[1], [2]])),
        (ValueError, "bad kernel: row 3 has 2 entries; a kernel of 3 rows has 3 in each",
         lambda: tried.select("kernel", kernel=[[0, 0, 0], [0, 1, 0], [0, 1]])),
        (ValueError, "bad kernel: row 2, entry 3 is 1001; weights go from -1000 to 1000",
         lambda: tried.select("kernel", kernel=[[0, 0, 0], [0, 1, 1001], [0, 0, 0]])),
        (ValueError, "row 1, entry 1 is -1001; weights", lambda: tried.select("kernel", kernel=np.full((5, 5), -1001))),
        (ValueError, "row 2, entry 2 is 0.5, not a whole number",
         lambda: tried.select("kernel", kernel=[[0, 0, 0], [0, 0.5, 0], [0, 0, 0]])),
        (ValueError, "an array of float64", lambda: tried.select("kernel", kernel=np.ones((3, 3)))),
        (ValueError, 'row 2, entry 2 is "x", not a whole number', lambda: tried.select("kernel", kernel="1,2,1/0,x,0/-1,-2,-1")),
        (ValueError, "bad divisor: 0 is no divisor", lambda: tried.select("kernel", kernel=[[1] * 3] * 3, divisor=0)),
        (ValueError, "bad divisor: 1001 is no divisor", lambda: tried.select("kernel", kernel=[[1] * 3] * 3, divisor=1001)),
        (ValueError, "the kernel mode needs its kernel", lambda: tried.select("KERNEL")),
        (ValueError, "kernel is for the kernel mode, not 'gray'", lambda: tried.select("gray", kernel=[[1] * 3] * 3)),
        (ValueError, "divisor is for the kernel mode", lambda: tried.select(1421, divisor=9)),
        (ValueError, "the kernel mode needs the kernel", lambda: pixelwell.filter(clip, ["kernel"])),
        (ValueError, "kernel is for the kernel mode, which the schedule does not choose",
         lambda: pixelwell.filter(clip, ["gray"], kernel=[[1] * 3] * 3)),
        (ValueError, "kernel@2 comes before the first kernel (@3)",
         lambda: pixelwell.filter(clip, ["gray", "kernel@2"], kernel=["0,1,0/1,-4,1/0,1,0@3"])),
        (ValueError, "bad kernel 0,1,0/1,-4,1: 2 rows", lambda: pixelwell.filter(clip, ["kernel"], kernel=["0,1,0/1,-4,1@3"])),
        (ValueError, "bad divisor", lambda: pixelwell.filter(clip, "kernel", kernel="0,1,0/1,-4,1/0,1,0", divisor=["9@x"])),
        # The stages: one the last frame's mode has not, an unknown one.
        (ValueError, "mode 'average8' has no values stage", lambda: tried.stage("values")),
        (ValueError, "unknown stage 'grey'", lambda: tried.stage("grey")),
        (ValueError, "mode invert (1402) has no such stage", lambda: pixelwell.check(lambda f: f, "invert", clip, "levels")),
    ]
    for index, (kind, said, call) in enumerate(bad_calls):
        with pytest.raises(kind) as raised:
            call()
        assert said in str(raised.value), f"{said!r} not in {raised.value}"
        # The next good frame gives what a core that never saw the bad call gives.
        good = clip[index % len(clip)]
        assert np.array_equal(tried.process(good), plain.process(good)), f"after {said}"
        assert tried.mode == "average8" and tried.frame_count == plain.frame_count
    # A non-contiguous frame is read through its strides, not refused.
    view = np.ascontiguousarray(clip[:4].transpose(1, 0, 2, 3))[:, 3]
    assert not view.flags.c_contiguous
    shown = tried.process(view)
    assert np.array_equal(shown, plain.process(view.copy()))
    # Numbers that select nothing are set all the same: the picture keeps what it showed.
    tried.select(1410)
    assert tried.mode == 1410
    assert np.array_equal(tried.process(clip[5]), shown)


def _read_only(shape):
    out = np.zeros(shape, np.uint8)
    out.flags.writeable = False
    return out


def test_reset_explain_and_the_mode_table():
    clip = pixelwell.test_clip(64, 48, 5)
    core = pixelwell.Core(64, 48)
    assert core.explain()["frame"] == 0 and core.explain()["min"] is None
    core.select("sobel-x")
    core.process(clip[0])
    e = core.explain()
    assert set(e) >= {"frame", "mode", "min", "max", "cut_low", "cut_high", "threshold", "histogram",
                      "kernel", "divisor", "frames_combined", "reference_frame"}
    assert e["frame"] == 1 and e["mode"] == "sobel-x" and e["kernel"] == [[-1, 0, 1], [-2, 0, 2], [-1, 0, 1]]
    assert e["divisor"] == 1 and e["min"] < e["max"] and sum(e["histogram"]) == 64 * 48 and len(e["histogram"]) == 256
    assert 0 <= e["cut_low"] < e["cut_high"] <= 255 and e["threshold"] is None and e["reference_frame"] is None
    core.select("average4")
    for f in clip[1:4]:
        core.process(f)
    e = core.explain()
    assert e["frames_combined"] == [4, 3, 2, 1] and e["kernel"] is None and e["min"] is None
    core.select("binarize")
    core.process(clip[4])
    assert 0 <= core.explain()["threshold"] <= 255
    core.select("diff")
    core.process(clip[0])
    assert core.explain()["reference_frame"] == 6
    core.reset()
    assert core.frame_count == 0 and core.mode == "none"
    fresh = pixelwell.Core(64, 48)
    for mode in ("none", "average8"):
        core.select(mode), fresh.select(mode)
        assert np.array_equal(core.process(clip[1]), fresh.process(clip[1]))
    # The kernel mode: its name, kernel and divisor in explain(), and back to a numbered mode.
    core.select("kernel", kernel="1,0,0,0,0/0,0,0,0,0/0,0,-2,0,0/0,0,0,0,0/0,0,0,0,1", divisor=5)
    assert core.mode == "kernel" and core.stage("result").shape == (48, 64, 3)
    with pytest.raises(ValueError, match="the last frame's mode 'average8' has no gray stage"):
        core.stage("gray")
    with pytest.raises(ValueError, match="no frame yet"):
        pixelwell.Core(64, 48).stage("gray")
    core.process(clip[2])
    e = core.explain()
    assert (e["mode"], e["divisor"], e["kernel"][2], len(e["kernel"])) == ("kernel", 5, [0, 0, -2, 0, 0], 5)
    assert e["min"] <= e["max"] and sum(e["histogram"]) == 64 * 48
    values = core.stage("values")  # the 5x5 kernel's border of two is 0; the range is the interior's
    assert (values[2:-2, 2:-2].min(), values[2:-2, 2:-2].max()) == (e["min"], e["max"]) and not values[:2].any()
    core.select("sobel-x")
    assert core.mode == "sobel-x" and core.explain()["mode"] == "kernel"
    kernel = pixelwell.mode_info("kernel")
    assert (kernel.name, kernel.number, kernel.key) == ("kernel", None, "k") and pixelwell.mode_info("Kernel") == kernel
    assert pixelwell.Schedule(["gray", "kernel@2"], "0,1,0/1,-4,1/0,1,0").switches == [(0, "gray"), (2, "kernel")]
    info = pixelwell.mode_info("sobel-x")
    assert (info.number, info.key) == (1421, "x") and info.label and pixelwell.mode_info(1409).name == "gray"
    with pytest.raises(ValueError):
        pixelwell.mode_info(1410)
    assert pixelwell.__version__.count(".") == 2
    assert "Core(width, height)" in pixelwell.Core.__doc__ and pixelwell.Core.process.__doc__


def test_read_raw(tmp_path):
    clip = pixelwell.test_clip(7, 5, 3)
    path = tmp_path / "clip.raw"
    clip[:, ::-1].tofile(path)  # bottom-up, as the camera and pixelwell-clip give it
    assert np.array_equal(pixelwell.read_raw(path, 7, 5), clip)
    clip.tofile(path)
    assert np.array_equal(pixelwell.read_raw(str(path), 7, 5, top_down=True), clip)
    with open(path, "ab") as f:
        f.write(b"\0" * 10)
    with pytest.raises(ValueError, match="ends inside frame 3: 95 of its 105 bytes missing"):
        pixelwell.read_raw(path, 7, 5)
    with pytest.raises(FileNotFoundError):
        pixelwell.read_raw(tmp_path / "missing.raw", 7, 5)


def test_no_growth_over_ten_thousand_frames():
    import resource
    clip = pixelwell.test_clip(64, 48, 16)
    core = pixelwell.Core(64, 48)
    core.select("average8")
    out = np.empty_like(clip[0])
    plan = pixelwell.Schedule(["average8", "sobel-x@5000"])

    def run(frames):
        for index in range(frames):
            core._apply_schedule(plan, index)
            core.process(clip[index % 16], out)
            core.process(clip[index % 16])
            if index % 100 == 0:
                core.explain()
                try:
                    core.process(clip[0][1:])
                except ValueError:
                    pass

    run(500)  # warm: every allocation that stays is made by now
    gc.collect()
    refs = [__import__("sys").getrefcount(a) for a in (clip, out, core, plan)]
    objects = len(gc.get_objects())
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    run(10_000)
    gc.collect()
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(before, "filename"))
    tracemalloc.stop()
    assert [__import__("sys").getrefcount(a) for a in (clip, out, core, plan)] == refs
    assert len(gc.get_objects()) <= objects + 50
    assert grown < 64 * 1024, f"{grown} bytes more after 10,000 frames"
    # ru_maxrss is in kB: the peak grows by less than a frame's worth of pages.
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 2048
