"""End-to-end checks of pixelwell-filter: its contract (arguments, row order, mode schedule,
buffer lengths, exit codes) and a round trip through ffmpeg, on tiny frames built here."""
import os
import shutil
import subprocess
import tempfile
import unittest

FILTER = os.environ["PIXELWELL_FILTER"]


def run(args, data=b""):
    return subprocess.run([FILTER] + args, input=data, capture_output=True)


def frame(width, height, pixel):
    """Raw frame, rows in the order given (row 0 first), pixel(i, j) -> (b, g, r)."""
    return b"".join(bytes(pixel(i, j)) for i in range(height) for j in range(width))


def bgrx(data):
    """Expected output of a normal display: B, G, R, 0 per pixel."""
    return b"".join(data[k:k + 3] + b"\0" for k in range(0, len(data), 3))


RAMP = frame(5, 3, lambda i, j: (i * 40 + j, j * 10, 200 - i))


class Arguments(unittest.TestCase):
    def test_list_modes_names_all_23_and_none(self):
        result = run(["--list-modes"])
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(len(lines), 24)
        ids = [int(line.split()[0]) for line in lines]
        self.assertEqual(ids[0], 1400)
        self.assertEqual(sorted(ids[1:]), list(range(1401, 1410)) + [1411, 1412, 1413, 1421, 1422,
                         1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451])
        self.assertIn("sobel-x", result.stdout.decode())

    def test_usage_errors_exit_2_and_write_nothing(self):
        for args in (["--mode", "gray"], ["--size", "0x5", "--mode", "gray"],
                     ["--size", "1281x2", "--mode", "gray"], ["--size", "5x", "--mode", "gray"],
                     ["--size", "4x4"], ["--size", "4x4", "--mode", "nonsense"],
                     ["--size", "4x4", "--mode", "gray@-1"], ["--size", "4x4", "--mode", "99999999999"],
                     ["--size", "4x4", "--mode", "gray", "--bogus"],
                     ["--size", "4x4", "--mode", "gray", "/nonexistent/in.raw"]):
            with self.subTest(args=args):
                result = run(args, bytes(48))
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, b"")
                self.assertNotEqual(result.stderr, b"")

    def test_input_ending_inside_a_frame_exits_1_after_the_whole_frames(self):
        result = run(["--size", "5x3", "--mode", "normal"], RAMP + RAMP[:10])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, bgrx(RAMP))
        self.assertIn(b"35", result.stderr)  # 45 - 10 bytes missing


class Processing(unittest.TestCase):
    def test_normal_keeps_bottom_up_and_top_down_row_order(self):
        for flag in ([], ["--top-down"]):
            with self.subTest(flag=flag):
                result = run(["--size", "5x3", "--mode", "normal"] + flag, RAMP)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, bgrx(RAMP))

    def test_top_down_input_is_handed_over_bottom_up(self):
        # With --top-down the first input row is the top of the picture, so it lands in the
        # surface's top row (the highest address) instead of the frame's bottom row.
        top_down = run(["--size", "5x3", "--mode", "gray", "--top-down", "--full-surface"], RAMP).stdout
        bottom_up = run(["--size", "5x3", "--mode", "gray", "--full-surface"], RAMP).stdout
        row = 1280 * 4
        self.assertEqual(top_down[1277 * row:1278 * row], bottom_up[1279 * row:1280 * row])

    def test_full_surface_places_the_frame_in_the_last_rows(self):
        result = run(["--size", "5x3", "--mode", "normal", "--full-surface"], RAMP)
        out = result.stdout
        self.assertEqual(len(out), 1280 * 1280 * 4)
        row = 1280 * 4
        self.assertEqual(out[1277 * row:1277 * row + 20], bgrx(RAMP[:15]))
        self.assertEqual(out[:1277 * row], bytes(1277 * row))
        self.assertEqual(out[1277 * row + 20:1278 * row], bytes(row - 20))

    def test_mode_schedule_applies_before_the_given_frame(self):
        white = frame(2, 2, lambda i, j: (255, 255, 255))
        result = run(["--size", "2x2", "--mode", "normal", "--mode", "invert@1",
                      "--mode", "none@2"], white * 3)
        out = result.stdout
        self.assertEqual(out[:16], bgrx(white))
        self.assertEqual(out[16:32], bytes([0, 0, 0, 0] * 4))
        self.assertEqual(out[32:48], out[16:32])  # nothing drawn: the surface keeps it

    def test_numbers_select_modes_and_unknown_numbers_draw_nothing(self):
        gray = run(["--size", "5x3", "--mode", "1409"], RAMP).stdout
        self.assertEqual(gray, run(["--size", "5x3", "--mode", "gray"], RAMP).stdout)
        for mode in ("1400", "1410", "-7"):
            self.assertEqual(run(["--size", "5x3", "--mode", mode], RAMP).stdout, bytes(60))

    def test_reference_frame_is_drawn_black_then_compared(self):
        second = frame(5, 3, lambda i, j: (0, 0, 0))
        out = run(["--size", "5x3", "--mode", "simple-diff"], RAMP + second).stdout
        self.assertEqual(out[:60], bytes(60))
        self.assertEqual(out[60:], bgrx(RAMP))

    def test_short_and_empty_buffers_draw_nothing_long_ones_draw(self):
        for length, drawn in (("44", False), ("0", False), ("-3", False), ("45", True), ("5000000", True)):
            with self.subTest(length=length):
                result = run(["--size", "5x3", "--mode", "normal", "--length", length], RAMP)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, bgrx(RAMP) if drawn else bytes(60))

    def test_every_mode_writes_w_h_4_bytes_per_frame(self):
        names = [line.split()[1] for line in run(["--list-modes"]).stdout.decode().splitlines()]
        clip = RAMP * 3
        for name in names:
            with self.subTest(mode=name):
                result = run(["--size", "5x3", "--mode", name], clip)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(len(result.stdout), 3 * 60)
                self.assertTrue(all(result.stdout[k] == 0 for k in range(3, len(result.stdout), 4)))


@unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg not installed")
class Ffmpeg(unittest.TestCase):
    def test_clip_from_ffmpeg_goes_through_and_back_as_an_image(self):
        with tempfile.TemporaryDirectory() as tmp:
            png = os.path.join(tmp, "sobel.png")
            pipeline = (
                "ffmpeg -loglevel error -f lavfi -i testsrc2=size=640x480:rate=5 -frames:v 3 "
                "-f rawvideo -pix_fmt bgr24 - | "
                f"'{FILTER}' --size 640x480 --top-down --mode sobel-x | "
                "ffmpeg -loglevel error -y -f rawvideo -pix_fmt bgr0 -s 640x480 -i - "
                f"-update 1 '{png}'")
            result = subprocess.run(["bash", "-o", "pipefail", "-c", pipeline], capture_output=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertGreater(os.path.getsize(png), 1000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
