"""pixelwell-filter's kernel mode, stages and pictures as people type them: the nine filters as
--kernel give their own modes' bytes, --stage output equals a small numpy computation written
here (not the core), every usage error exits 2 with one line and nothing written, and pictures
go in and come out upright, equal to the raw path."""
import os
import re
import resource
import subprocess
import tempfile
import unittest

import numpy as np
from PIL import Image

FILTER = os.path.abspath(os.environ["PIXELWELL_FILTER"])

PRESETS = {  # mode: (rows from the top, divisor), as --help shows them
    "laplacian-a": ("0,-1,0/-1,4,-1/0,-1,0", 1),
    "laplacian-b": ("-1,-1,-1/-1,8,-1/-1,-1,-1", 1),
    "laplacian-c": ("1,-2,1/-2,4,-2/1,-2,1", 1),
    "sobel-x": ("-1,0,1/-2,0,2/-1,0,1", 1),
    "sobel-y": ("1,2,1/0,0,0/-1,-2,-1", 1),
    "lowpass3": ("1,1,1/1,1,1/1,1,1", 9),
    "highpass3": ("-1,-1,-1/-1,8,-1/-1,-1,-1", 9),
    "lowpass5": ("/".join(["1,1,1,1,1"] * 5), 25),
    "highpass5": ("-1,-1,-1,-1,-1/-1,-1,-1,-1,-1/-1,-1,24,-1,-1/-1,-1,-1,-1,-1/-1,-1,-1,-1,-1", 25),
}


def run(args, data=b"", env=None, **kwargs):
    return subprocess.run([FILTER] + args, input=data, capture_output=True,
                          env=dict(os.environ, **(env or {})), **kwargs)


def kernel_args(rows, divisor):
    return ["--kernel", rows] + (["--divisor", str(divisor)] if divisor != 1 else [])


def picture(width, height, frames, seed):
    """Frames (N, H, W, 3) of B, G, R, top row first: smooth shapes with noise, then noise."""
    random = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    out = []
    for n in range(frames):
        base = 128 + 100 * np.sin((x + 3 * n) / 5.0) * np.cos(y / 4.0)
        channels = [base + random.normal(0, 12, base.shape) + 30 * c for c in range(3)]
        out.append(np.clip(np.stack(channels, axis=-1), 0, 255).astype(np.uint8))
    out.append(random.integers(0, 256, (height, width, 3), dtype=np.uint8))
    return np.stack(out)


# --- the stages, written out as the filters are defined ---------------------------------------

def gray_of(frames):
    b, g, r = (frames[..., c].astype(np.int64) for c in range(3))
    return (117 * b + 601 * g + 306 * r) >> 10


def parse_rows(rows):
    return np.array([[int(v) for v in row.split(",")] for row in rows.split("/")], dtype=np.int64)


def values_of(gray, kernel, divisor):
    """Filter values of one top-down gray picture: row 0 of the kernel weighs the line above,
    the sum's quotient truncated toward zero, the border 0; and the interior range."""
    height, width = gray.shape
    reach = kernel.shape[0] // 2
    out = np.zeros((height, width), dtype=np.int64)
    if height > 2 * reach and width > 2 * reach:
        total = np.zeros((height - 2 * reach, width - 2 * reach), dtype=np.int64)
        for a in range(kernel.shape[0]):
            for b in range(kernel.shape[1]):
                total += kernel[a, b] * gray[a:a + height - 2 * reach, b:b + width - 2 * reach]
        interior = np.sign(total) * (np.abs(total) // divisor)
        out[reach:height - reach, reach:width - reach] = interior
        return out, (int(interior.min()), int(interior.max()))
    return out, (1, 0)


def levels_of(values, value_range):
    low, high = value_range
    if high - low <= 0:
        return (values & 255).astype(np.uint8)
    # Truncation and floor differ only below 0, which the clamp takes to 0 either way.
    return np.clip((values - low) * 255 // (high - low), 0, 255).astype(np.uint8)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name

    def path(self, name):
        return os.path.join(self.dir, name)


class KernelMode(Scratch):
    def test_the_nine_as_kernels_give_their_modes_bytes(self):
        for width, height in ((2, 2), (3, 5), (5, 5), (641, 479)):
            clip = picture(width, height, 2 if width > 100 else 3, width).tobytes()
            for mode, (rows, divisor) in PRESETS.items():
                with self.subTest(size=f"{width}x{height}", mode=mode):
                    size = ["--size", f"{width}x{height}", "--top-down"]
                    own = run(size + ["--mode", mode], clip)
                    mine = run(size + kernel_args(rows, divisor), clip)
                    self.assertEqual(own.returncode, 0, own.stderr)
                    self.assertEqual(mine.returncode, 0, mine.stderr)
                    self.assertEqual(own.stdout, mine.stdout)

    def test_stages_equal_the_filters_written_out_here(self):
        width, height = 23, 17
        frames = picture(width, height, 2, 7)
        clip = frames.tobytes()
        own = {name: preset for name, preset in PRESETS.items()}
        own["wide"] = ("900,-1000,0,3,7/0,0,0,0,0/5,5,5,5,5/-1000,-1000,0,1000,1000/1,2,3,4,5", 7)
        own["tilted"] = ("2,1,0/1,0,-1/0,-1,-2", 4)
        gray = gray_of(frames)
        for name, (rows, divisor) in own.items():
            args = ["--size", f"{width}x{height}", "--top-down"] + (["--mode", name] if name in PRESETS else
                                                                    kernel_args(rows, divisor))
            outputs = {}
            for stage in ("gray", "values", "levels"):
                result = run(args + ["--stage", stage], clip)
                self.assertEqual(result.returncode, 0, result.stderr)
                outputs[stage] = result.stdout
            kernel = parse_rows(rows)
            for n in range(len(frames)):
                values, value_range = values_of(gray[n], kernel, divisor)
                with self.subTest(kernel=name, frame=n):
                    one = width * height
                    self.assertEqual(outputs["gray"][n * one:(n + 1) * one], gray[n].astype(np.uint8).tobytes())
                    got = np.frombuffer(outputs["values"], dtype="<i4")[n * one:(n + 1) * one].reshape(height, width)
                    self.assertTrue(np.array_equal(got, values),
                                    f"first difference at {np.argwhere(got != values)[:1].tolist()}")
                    self.assertEqual(outputs["levels"][n * one:(n + 1) * one],
                                     levels_of(values, value_range).tobytes())

    def test_stage_rows_follow_top_down_and_gray_covers_the_rank_filters(self):
        frames = picture(6, 4, 1, 3)
        clip = frames.tobytes()
        down = run(["--size", "6x4", "--top-down", "--mode", "median3", "--stage", "gray"], clip)
        up = run(["--size", "6x4", "--mode", "median3", "--stage", "gray"], frames[:, ::-1].tobytes())
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertEqual(np.frombuffer(down.stdout, np.uint8).reshape(2, 4, 6)[0].tobytes(),
                         gray_of(frames)[0].astype(np.uint8).tobytes())
        self.assertEqual(np.frombuffer(up.stdout, np.uint8).reshape(2, 4, 6)[:, ::-1].tobytes(), down.stdout)

    def test_a_kernel_edited_during_a_run_is_reproduced_with_at_k(self):
        clip = picture(9, 7, 4, 11)  # five frames
        first, later = "0,1,0/1,-4,1/0,1,0", "1,0,-1/2,0,-2/1,0,-1"
        size = ["--size", "9x7", "--top-down"]
        whole = run(size + ["--kernel", first, "--kernel", later + "@2", "--divisor", "3@3"], clip.tobytes())
        self.assertEqual(whole.returncode, 0, whole.stderr)
        parts = [run(size + kernel_args(first, 1), clip[:2].tobytes()).stdout,
                 run(size + kernel_args(later, 1), clip[2:3].tobytes()).stdout,
                 run(size + kernel_args(later, 3), clip[3:].tobytes()).stdout]
        self.assertEqual(whole.stdout, b"".join(parts))
        # Between other modes, from a frame on.
        mixed = run(size + ["--mode", "gray", "--mode", "kernel@1", "--kernel", first + "@1"], clip.tobytes())
        self.assertEqual(mixed.returncode, 0, mixed.stderr)
        self.assertEqual(mixed.stdout[9 * 7 * 4:], run(size + ["--kernel", first], clip[1:].tobytes()).stdout)

    def test_list_modes_ends_with_the_kernel_mode(self):
        lines = run(["--list-modes"]).stdout.decode().splitlines()
        self.assertEqual(len(lines), 25)
        self.assertEqual(lines[-1].split()[:2], ["-", "kernel"])

    def test_help_shows_the_nine_as_kernels_that_run(self):
        text = run(["--help"]).stdout.decode()
        for mode, (rows, divisor) in PRESETS.items():
            line = f"  {mode:<12} --kernel {rows}" + (f" --divisor {divisor}" if divisor != 1 else "")
            self.assertIn(line + "\n", text)


class UsageErrors(Scratch):
    def test_each_is_refused_with_one_line_and_nothing_written(self):
        clip = picture(5, 3, 1, 1).tobytes()
        with open(self.path("in.raw"), "wb") as f:
            f.write(clip)
        Image.new("RGB", (5, 3)).save(self.path("in.png"))
        cases = [  # (arguments, words the one line holds)
            ("--size 5x3 --mode kernel", "--mode kernel needs the kernel: --kernel ROWS"),
            ("--size 5x3 --mode gray --kernel 0,1,0/1,1,1/0,1,0", "--kernel is for the kernel mode"),
            ("--size 5x3 --mode sobel-x --divisor 4", "--divisor is for the kernel mode"),
            ("--size 5x3 --kernel 1,2,3/4,5,6", "2 rows; a kernel has 3 or 5 rows"),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,8,9/1,2,3", "4 rows"),
            ("--size 5x3 --kernel 1,2,3/4,5/7,8,9", "row 2 has 2 entries"),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,8,9,10", "row 3 has 4 entries"),
            ("--size 5x3 --kernel 1,2,3/4,five,6/7,8,9", 'row 2, entry 2 is "five", not a whole number'),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,,9", "row 3, entry 2 is empty"),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,8,-1001", "row 3, entry 3 is -1001; weights go from -1000 to 1000"),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,8,9@x", "after @ comes a frame index"),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,8,9 --divisor 0", "a divisor is a whole number from 1 to 1000"),
            ("--size 5x3 --kernel 1,2,3/4,5,6/7,8,9 --divisor 1001", "from 1 to 1000"),
            ("--size 5x3 --mode kernel@2 --kernel 1,2,3/4,5,6/7,8,9@3", "comes before the first --kernel"),
            ("--size 5x3 --mode kernl", "did you mean kernel?"),
            ("--size 5x3 --mode median3 --stage values", "mode median3 (1443) has no such stage"),
            ("--size 5x3 --mode binarize --stage gray", "mode binarize (1451) has no such stage"),
            ("--size 5x3 --mode 1399 --stage levels", "mode 1399 has no such stage"),
            ("--size 5x3 --mode gray --stage red", "bad --stage red"),
            ("--size 5x3 --mode gray --stage gray --full-surface", "do not go together"),
            ("--size 5x3", "--mode is required"),
            ("--mode gray", "--size is required"),
        ]
        for line, words in cases:
            for out in ("out.raw", "out.png", "out-%02d.png"):
                with self.subTest(command=line, out=out):
                    for name in os.listdir(self.dir):
                        if name.startswith("out"):
                            os.remove(self.path(name))
                    if out == "out.raw":
                        with open(self.path(out), "wb") as f:
                            f.write(b"keep me")
                    result = run(line.split() + ["in.raw", out], cwd=self.dir)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    message = result.stderr.decode()
                    self.assertEqual(len(message.splitlines()), 1, message)
                    self.assertIn(words, message)
                    self.assertEqual(result.stdout, b"")
                    kept = sorted(n for n in os.listdir(self.dir) if n.startswith("out"))
                    self.assertEqual(kept, ["out.raw"] if out == "out.raw" else [])
                    if out == "out.raw":
                        with open(self.path(out), "rb") as f:
                            self.assertEqual(f.read(), b"keep me")
        pictures = [
            (["--size", "4x4", "--mode", "gray", "in.png", "out.png"], "--size 4x4 does not match in.png, which is 5x3"),
            (["--mode", "sobel-x", "--stage", "values", "in.png", "out.png"], "a PNG does not hold"),
            (["--size", "5x3", "--mode", "gray", "in.raw", "in.raw"], "the same file"),
            (["--mode", "gray", "broken.png", "out.png"], "cannot read broken.png"),
            (["--mode", "gray", "missing.jpg", "out.png"], "cannot open missing.jpg: No such file or directory"),
        ]
        with open(self.path("broken.png"), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + bytes(40))
        with open(self.path("two.raw"), "wb") as f:
            f.write(clip[:45] * 2)
        pictures.append((["--size", "5x3", "--mode", "gray", "two.raw", "out.png"],
                         "two.raw holds 2 frames and out.png one picture: give a numbered name"))
        for args, words in pictures:
            with self.subTest(command=" ".join(args)):
                result = run(args, cwd=self.dir)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(len(result.stderr.decode().splitlines()), 1, result.stderr)
                self.assertIn(words, result.stderr.decode())
                self.assertFalse(os.path.exists(self.path("out.png")))


class Pictures(Scratch):
    def test_a_png_in_and_out_is_upright_of_its_size_and_the_raw_paths_bytes(self):
        frames = picture(7, 5, 0, 5)  # one frame of noise: every pixel different
        bgr = frames[0]
        Image.fromarray(bgr[..., ::-1].copy(), "RGB").save(self.path("in.png"))
        for mode, size in (("normal", (7, 5)), ("sobel-y", (7, 5)), ("gray", (7, 5))):
            with self.subTest(mode=mode):
                result = run(["--mode", mode, "in.png", "out.png"], cwd=self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                out = Image.open(self.path("out.png"))
                self.assertEqual(out.size, size)
                raw = run(["--size", "7x5", "--top-down", "--mode", mode], bgr.tobytes())
                expected = np.frombuffer(raw.stdout, np.uint8).reshape(5, 7, 4)[..., 2::-1]
                self.assertTrue(np.array_equal(np.asarray(out.convert("RGB")), expected))
                if mode == "normal":  # upright: the picture itself
                    self.assertTrue(np.array_equal(np.asarray(out.convert("RGB")), bgr[..., ::-1]))
        # A stage as a gray PNG; raw output of a picture follows --top-down.
        result = run(["--kernel", "1,0,-1/2,0,-2/1,0,-1", "--stage", "levels", "in.png", "levels.png"], cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        levels = Image.open(self.path("levels.png"))
        self.assertEqual(levels.mode, "L")
        raw = run(["--size", "7x5", "--top-down", "--kernel", "1,0,-1/2,0,-2/1,0,-1", "--stage", "levels"],
                  bgr.tobytes())
        self.assertEqual(levels.tobytes(), raw.stdout)
        down = run(["--top-down", "--mode", "normal", "in.png", "-"], cwd=self.dir)
        self.assertEqual(down.stdout, run(["--size", "7x5", "--top-down", "--mode", "normal"], bgr.tobytes()).stdout)

    def test_a_jpeg_is_turned_upright_by_its_orientation(self):
        # A picture wider than high, stored on its side with EXIF orientation 6 (turn it right).
        upright = np.zeros((40, 64, 3), np.uint8)
        upright[:20, :32] = (250, 30, 30)  # red top left
        stored = Image.fromarray(upright).transpose(Image.ROTATE_90)  # as a camera held upright stores it
        exif = Image.Exif()
        exif[0x0112] = 6
        stored.save(self.path("photo.jpg"), quality=95, exif=exif)
        result = run(["--mode", "normal", "photo.jpg", "out.png"], cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        out = np.asarray(Image.open(self.path("out.png")).convert("RGB")).astype(int)
        self.assertEqual(out.shape, (40, 64, 3))
        self.assertGreater(out[5, 5, 0], 200)   # red where it was, top left
        self.assertLess(out[35, 60, 0], 40)

    def test_a_clip_to_numbered_pngs_and_a_name_that_exists_is_a_file(self):
        clip = picture(6, 4, 2, 9)  # three frames
        result = run(["--size", "6x4", "--top-down", "--mode", "laplacian-c", "-", "f-%03d.png"], clip.tobytes(),
                     cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        raw = np.frombuffer(run(["--size", "6x4", "--top-down", "--mode", "laplacian-c"], clip.tobytes()).stdout,
                            np.uint8).reshape(3, 4, 6, 4)
        for n in range(3):
            shown = np.asarray(Image.open(self.path(f"f-{n:03d}.png")).convert("RGB"))
            self.assertTrue(np.array_equal(shown, raw[n, ..., 2::-1]))
        # A file of that very name is taken as the one file: three frames do not fit it.
        open(self.path("g-%d.png"), "wb").close()
        result = run(["--size", "6x4", "--mode", "gray", "-", "g-%d.png"], clip.tobytes(), cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn("give a numbered name", result.stderr.decode())
        self.assertFalse(os.path.exists(self.path("g-1.png")))

    def test_a_png_that_cannot_be_written_is_named_with_the_reason(self):
        Image.new("RGB", (3, 3)).save(self.path("in.png"))
        result = run(["--mode", "gray", "in.png", "no/such/folder/out.png"], cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot write no/such/folder/out.png at frame 0", result.stderr.decode())
        # A disk that fills up (a file size limit here): the cut picture is not left behind.
        Image.fromarray(picture(200, 200, 0, 1)[0]).save(self.path("big.png"))
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))  # noqa: E731
        result = run(["--mode", "normal", "big.png", "out.png"], cwd=self.dir, preexec_fn=limit)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("cannot write out.png at frame 0: File too large", result.stderr.decode())
        self.assertFalse(os.path.exists(self.path("out.png")))


class StudentWalkthrough(Scratch):
    """docs/filter.md's walk through checking one's own Sobel filter, pasted as it stands."""

    def blocks(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "filter.md"), encoding="utf-8") as f:
            page = f.read()
        section = page.split("## Checking your own Sobel filter, stage by stage")[1].split("\n## ")[0]
        shell = re.findall(r"```sh\n(.*?)```", section, re.S)
        python = re.findall(r"```python\n(.*?)```", section, re.S)
        self.assertEqual((len(shell), len(python)), (2, 1))
        return shell, python[0]

    def run_walkthrough(self, script):
        tools = self.path("build/native/tools")
        os.makedirs(tools, exist_ok=True)
        if not os.path.exists(os.path.join(tools, "pixelwell-filter")):
            os.symlink(FILTER, os.path.join(tools, "pixelwell-filter"))
        shell, _ = self.blocks()
        with open(self.path("check_sobel.py"), "w") as f:
            f.write(script)
        env = dict(os.environ, PATH="/usr/bin:" + os.environ["PATH"])  # Debian's python3, with numpy
        for block in shell:
            done = subprocess.run(["bash", "-e", "-c", block], cwd=self.dir, env=env, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, block + done.stderr)
        return done.stdout

    def test_the_walkthrough_runs_and_finds_a_slip(self):
        photo = picture(61, 47, 1, 4)[0]  # a smooth picture with noise, as a photo
        Image.fromarray(photo[..., ::-1].copy()).save(self.path("photo.jpg"), quality=90)
        _, script = self.blocks()
        said = self.run_walkthrough(script)
        self.assertEqual(said, f"gray: all {61 * 47} pixels equal\nvalues: all {61 * 47} pixels equal\n")
        slip = script.replace("- gray[:-2, :-2] - 2 * gray[1:-1, :-2]", "- gray[:-2, :-2] - gray[1:-1, :-2]")
        self.assertNotEqual(slip, script)
        said = self.run_walkthrough(slip)
        self.assertRegex(said, r"^gray: all 2867 pixels equal\nvalues: \d+ pixels differ, the first at row 1, column 1: ")


if __name__ == "__main__":
    unittest.main(verbosity=2)
