"""End-to-end checks of pixelwell-filter as people type it: every order of options and files,
what happens to files in the way (the same file twice, a folder, a full disk, a closed pipe),
the help, and the examples of docs/filter.md pasted as they stand. Frames are tiny and built here."""
import json
import os
import re
import resource
import shutil
import subprocess
import tempfile
import unittest

FILTER = os.path.abspath(os.environ["PIXELWELL_FILTER"])
FILTER_DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "filter.md")


def run(args, data=b"", **kwargs):
    return subprocess.run([FILTER] + args, input=data, capture_output=True, **kwargs)


def frame(width, height, pixel):
    """Raw frame, rows in the order given (row 0 first), pixel(i, j) -> (b, g, r)."""
    return b"".join(bytes(pixel(i, j)) for i in range(height) for j in range(width))


def bgrx(data):
    """Expected output of a normal display: B, G, R, 0 per pixel."""
    return b"".join(data[k:k + 3] + b"\0" for k in range(0, len(data), 3))


def inverted(data):
    return bytes(255 - b for b in data)


RAMP = frame(5, 3, lambda i, j: (i * 40 + j, j * 10, 200 - i))
RAMP_OUT = bgrx(RAMP)


class Scratch(unittest.TestCase):
    """Each test in a scratch directory of its own, the current directory while it runs."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


class CommandLines(Scratch):
    """IN and OUT before, between or after the options; "-" and "--"; one value per --mode."""

    def test_every_order_of_options_and_files(self):
        two = RAMP * 2
        normal_then_inverted = RAMP_OUT + bgrx(inverted(RAMP))
        # (argv, where the output goes, expected output); in.raw holds two frames, "-" reads
        # them from standard input, "stdout" means the output goes there.
        cases = [
            ("--size 5x3 --mode normal in.raw out.raw", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode=normal in.raw out.raw", "out.raw", RAMP_OUT * 2),
            ("in.raw out.raw --size 5x3 --mode normal", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 in.raw --mode normal out.raw", "out.raw", RAMP_OUT * 2),
            ("in.raw --size 5x3 out.raw --mode normal", "out.raw", RAMP_OUT * 2),
            ("--mode normal in.raw --size=5x3 out.raw", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode normal - -", "stdout", RAMP_OUT * 2),
            ("--size 5x3 --mode normal -", "stdout", RAMP_OUT * 2),
            ("--size 5x3 --mode normal", "stdout", RAMP_OUT * 2),
            ("--size 5x3 --mode normal - out.raw", "out.raw", RAMP_OUT * 2),
            ("- out.raw --size 5x3 --mode normal", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode normal in.raw", "stdout", RAMP_OUT * 2),
            ("--size 5x3 --mode normal in.raw -", "stdout", RAMP_OUT * 2),
            ("--size 5x3 --mode normal -- in.raw out.raw", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode normal -- - out.raw", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode normal -- -dash.raw out.raw", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode gray --mode normal in.raw out.raw", "out.raw", RAMP_OUT * 2),
            ("--size 5x3 --mode normal --mode invert@1 in.raw out.raw", "out.raw", normal_then_inverted),
            ("--size 5x3 in.raw out.raw --mode normal --mode invert@1", "out.raw", normal_then_inverted),
            ("--size 5x3 --mode invert@1 in.raw --mode normal out.raw", "out.raw", normal_then_inverted),
            ("--size 5x3 --mode=NORMAL --mode=Invert@1 -- in.raw out.raw", "out.raw", normal_then_inverted),
            ("--size 5x3 --mode 1401 --mode 1402@1 in.raw out.raw", "out.raw", normal_then_inverted),
            ("--size 5X3 --mode normal in.raw out.raw", "out.raw", RAMP_OUT * 2),
        ]
        for line, where, expected in cases:
            with self.subTest(command=line):
                self.write("in.raw", two)
                self.write("-dash.raw", two)
                if os.path.exists(self.path("out.raw")):
                    os.remove(self.path("out.raw"))
                result = run(line.split(), two, cwd=self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                # Two modes before one frame: the one that shows is named.
                said = (b"pixelwell-filter: modes gray, normal all before frame 0: normal takes effect\n"
                        if "--mode gray --mode normal" in line else b"")
                self.assertEqual(result.stderr, said)
                if where == "stdout":
                    self.assertEqual(result.stdout, expected)
                    self.assertFalse(os.path.exists(self.path("out.raw")))
                else:
                    self.assertEqual(result.stdout, b"")
                    self.assertEqual(self.read("out.raw"), expected)
                self.assertEqual(self.read("in.raw"), two)

    def test_lines_that_are_refused_before_anything_is_written(self):
        # (argv, a word the message must hold); out.raw exists beforehand and must stay as it was.
        cases = [
            ("--size 5x3 --mode gray invert", "invert"),              # a second value is a file
            ("--size 5x3 --mode gray in.raw out.raw extra", "extra"),
            ("--size 5x3 --mode", "--mode"),
            ("--size 5x3 in.raw out.raw", "--mode is required"),
            ("--mode gray in.raw out.raw", "--size is required"),
            ("--size 5x3 --mode sobel in.raw out.raw", "sobel-x, sobel-y"),
            ("--size 5x3 --mode gray@x in.raw out.raw", "frame index"),
            ("--size 5x3 --mode gray@-1 in.raw out.raw", "frame index"),
            ("--size 5x3 --mode 99999999999 in.raw out.raw", "99999999999"),
            ("--size 0x5 --mode gray in.raw out.raw", "--size"),
            ("--size 1281x2 --mode gray in.raw out.raw", "--size"),
            ("--size 5x --mode gray in.raw out.raw", "--size"),
            ("--size 5x3 --mode gray --length 4294967296 in.raw out.raw", "--length"),
            ("--size 5x3 --mode gray --bogus in.raw out.raw", "--bogus"),
            ("--size 5x3 --mode gray missing.raw out.raw", "missing.raw: No such file or directory"),
        ]
        for line, word in cases:
            with self.subTest(command=line):
                self.write("in.raw", RAMP)
                self.write("out.raw", b"keep me")
                result = run(line.split(), RAMP, cwd=self.dir)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(word, result.stderr.decode())
                self.assertTrue(result.stderr.startswith(b"pixelwell-filter: "), result.stderr)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(self.read("out.raw"), b"keep me")


class FilesInTheWay(Scratch):
    """Usage problems exit 2 and write nothing; a run that stops part-way exits 1, says where
    and why, and keeps the frames before it."""

    ARGS = ["--size", "5x3", "--mode", "normal"]

    def test_the_same_file_as_input_and_output_is_refused(self):
        # (how OUT or the redirections reach in.raw)
        def by_name():
            return self.ARGS + ["in.raw", "in.raw"], {}

        def by_hard_link():
            os.link(self.path("in.raw"), self.path("link.raw"))
            return self.ARGS + ["in.raw", "link.raw"], {}

        def by_symbolic_link():
            os.symlink("in.raw", self.path("link.raw"))
            return self.ARGS + ["link.raw", "in.raw"], {}

        def by_path_with_dots():
            os.mkdir(self.path("sub"))
            return self.ARGS + ["in.raw", "sub/../in.raw"], {}

        def stdin_and_out():
            return self.ARGS + ["-", "in.raw"], {"stdin": open(self.path("in.raw"), "rb")}

        def in_and_stdout_appending():
            return self.ARGS + ["in.raw"], {"stdout": open(self.path("in.raw"), "ab")}

        for make in (by_name, by_hard_link, by_symbolic_link, by_path_with_dots, stdin_and_out,
                     in_and_stdout_appending):
            with self.subTest(case=make.__name__):
                for leftover in ("link.raw", "sub"):
                    p = self.path(leftover)
                    if os.path.islink(p) or os.path.isfile(p):
                        os.remove(p)
                    elif os.path.isdir(p):
                        os.rmdir(p)
                self.write("in.raw", RAMP * 2)
                args, streams = make()
                streams.setdefault("stdout", subprocess.PIPE)
                streams.setdefault("stdin", subprocess.DEVNULL)
                result = subprocess.run([FILTER] + args, stderr=subprocess.PIPE, cwd=self.dir, **streams)
                for s in streams.values():
                    if hasattr(s, "close"):
                        s.close()
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(b"are the same file", result.stderr)
                self.assertEqual(self.read("in.raw"), RAMP * 2)

    @unittest.skipUnless(os.path.exists("/proc/sys/kernel/osrelease"), "no /proc/sys")
    def test_the_same_file_is_refused_before_it_is_opened_for_writing(self):
        # Nobody, not even root, may open this file for writing: the refusal must come first.
        name = "/proc/sys/kernel/osrelease"
        result = run(self.ARGS + [name, name])
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(b"are the same file", result.stderr)

    def test_devices_may_be_input_and_output_at_once(self):
        result = run(self.ARGS + ["/dev/null", "/dev/null"])
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_failures(self):
        def limit_file_size(size):
            return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

        def closed_pipe():
            read_end, write_end = os.pipe()
            os.close(read_end)
            return write_end

        frames3 = RAMP * 3
        # (name, argv after the options, stdin data or file, stdout, preexec, exit status,
        #  message pattern, output file and what it must hold afterwards (None: must not exist))
        cases = [
            ("a folder as input", ["folder", "out.raw"], b"", None, None, 2,
             r"cannot read folder: Is a directory", "out.raw", None),
            ("a folder on standard input", ["-", "out.raw"], "folder", None, None, 2,
             r"cannot read standard input: Is a directory", "out.raw", None),
            ("a folder as output", ["in.raw", "folder"], b"", None, None, 2,
             r"cannot open folder: Is a directory", None, None),
            ("output in a missing folder", ["in.raw", "nowhere/out.raw"], b"", None, None, 2,
             r"cannot open nowhere/out.raw: No such file or directory", None, None),
            ("a read-only output", ["in.raw", "readonly.raw"], b"", None, None, 2,
             r"cannot open readonly.raw: Permission denied", "readonly.raw", b"old"),
            ("a full disk", ["in.raw", "/dev/full"], b"", None, None, 1,
             r"cannot write /dev/full at frame 0: No space left on device", None, None),
            ("a closed pipe", ["in.raw"], b"", "closed pipe", None, 1,
             r"cannot write standard output at frame 0: Broken pipe", None, None),
            ("a file size limit in the third frame", ["in.raw", "out.raw"], b"", None,
             limit_file_size(2 * 60 + 30), 1,
             r"cannot write out\.raw at frame 2: File too large \(out\.raw keeps the 2 complete frames",
             "out.raw", RAMP_OUT * 2),
            ("a read error", ["/proc/self/mem", "out.raw"], b"", None, None, 1,
             r"cannot read /proc/self/mem at frame 0: Input/output error", "out.raw", b""),
            ("input ending inside the third frame", ["-", "out.raw"], RAMP * 2 + RAMP[:10], None, None, 1,
             r"standard input ends inside frame 2: 35 of its 45 bytes missing \(2 complete frames",
             "out.raw", RAMP_OUT * 2),
            ("a named input ending inside the first frame", ["short.raw", "out.raw"], b"", None, None, 1,
             r"short\.raw ends inside frame 0: 44 of its 45 bytes missing", "out.raw", b""),
            ("an empty input", ["-", "out.raw"], b"", None, None, 0,
             r"no frame in standard input: the output is empty", "out.raw", b""),
        ]
        for name, files, stdin, stdout, preexec, status, message, out_name, out_data in cases:
            if name == "a read-only output" and os.geteuid() == 0:
                continue  # root opens it all the same
            with self.subTest(case=name):
                shutil.rmtree(self.dir)
                os.mkdir(self.dir)
                self.write("in.raw", frames3)
                self.write("short.raw", RAMP[:1])
                os.mkdir(self.path("folder"))
                self.write("readonly.raw", b"old")
                os.chmod(self.path("readonly.raw"), 0o444)
                stdin_file = None
                if stdin == "folder":
                    stdin_file = os.open(self.path("folder"), os.O_RDONLY)
                out_fd = closed_pipe() if stdout == "closed pipe" else subprocess.PIPE
                try:
                    result = subprocess.run(
                        [FILTER] + self.ARGS + files, cwd=self.dir, stderr=subprocess.PIPE,
                        stdout=out_fd, preexec_fn=preexec,
                        **({"stdin": stdin_file} if stdin_file is not None else {"input": stdin}))
                finally:
                    if stdin_file is not None:
                        os.close(stdin_file)
                    if out_fd != subprocess.PIPE:
                        os.close(out_fd)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertRegex(result.stderr.decode(), "^pixelwell-filter: " + message)
                self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
                if out_name:
                    if out_data is None:
                        self.assertFalse(os.path.exists(self.path(out_name)))
                    else:
                        self.assertEqual(self.read(out_name), out_data)

    def test_modes_that_draw_nothing_say_so_once(self):
        for mode, label in (("5", "mode 5"), ("1410", "mode 1410"), ("-1", "mode -1"),
                            ("none", "mode none (1400)"), ("1400", "mode none (1400)")):
            with self.subTest(mode=mode):
                result = run(["--size", "5x3", "--mode", mode], RAMP * 3)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, bytes(60 * 3))
                self.assertEqual(result.stderr.decode(), f"pixelwell-filter: {label} selects no operation: "
                                 "frames are counted and stored, nothing is drawn\n")

    def test_schedules_that_leave_frames_undrawn_say_so(self):
        cases = [
            (["--mode", "gray@2"], "no mode before frame 2: frames 0 to 1 are counted and stored"),
            (["--mode", "gray", "--mode", "invert@7"], "--mode invert@7 was never reached: the input held 3 frames"),
            (["--mode", "gray", "--mode", "none@1"], "mode none (1400) selects no operation (from frame 1)"),
        ]
        for modes, message in cases:
            with self.subTest(modes=modes):
                result = run(["--size", "5x3"] + modes, RAMP * 3)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(message, result.stderr.decode())


class NewcomersMistakes(Scratch):
    """What a first try gets wrong: a misspelt option, a terminal where frames should flow, a
    video where raw frames belong. Each is named, with what to type instead."""

    def test_a_misspelt_option_is_named_before_what_it_leaves_missing(self):
        cases = [
            ("--mdoe gray --size 5x3 in.raw out.raw", "--mdoe (did you mean --mode?)"),
            ("--sise 5x3 --mode gray in.raw out.raw", "--sise (did you mean --size?)"),
            ("--size=5x3 --mdoe=gray in.raw out.raw", "--mdoe (did you mean --mode?)"),
            ("in.raw out.raw --size 5x3 --mode gray --top-donw", "--top-donw (did you mean --top-down?)"),
            ("--size 5x3 --mode gray --frobnicate in.raw out.raw", "--frobnicate"),
        ]
        for line, named in cases:
            with self.subTest(command=line):
                self.write("in.raw", RAMP)
                self.write("out.raw", b"keep me")
                result = run(line.split(), cwd=self.dir)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stderr.decode().splitlines()[0], "pixelwell-filter: unknown option " + named)
                self.assertNotIn("required", result.stderr.decode())
                self.assertEqual(self.read("out.raw"), b"keep me")

    def test_a_terminal_is_refused_for_frames_with_what_to_type(self):
        # (argv, the terminal as stdin, as stdout, what the message says)
        frames_in = "the frames are expected on standard input, which is a terminal"
        frames_out = "the output is binary frames and standard output is a terminal"
        cases = [
            (["in.raw"], False, True, [frames_out]),
            (["in.raw", "-"], False, True, [frames_out]),
            ([], True, False, [frames_in]),
            (["-", "out.raw"], True, False, [frames_in]),
            ([], True, True, [frames_in, frames_out]),
        ]
        for files, tty_in, tty_out, messages in cases:
            with self.subTest(files=files, tty_in=tty_in, tty_out=tty_out):
                self.write("in.raw", RAMP)
                primary, secondary = os.openpty()
                try:
                    result = subprocess.run(
                        [FILTER, "--size", "5x3", "--mode", "gray"] + files, cwd=self.dir, timeout=20,
                        stdin=secondary if tty_in else subprocess.DEVNULL,
                        stdout=secondary if tty_out else subprocess.PIPE, stderr=subprocess.PIPE)
                finally:
                    os.close(secondary)
                    os.close(primary)
                self.assertEqual(result.returncode, 2, result.stderr)
                text = result.stderr.decode()
                for message in messages:
                    self.assertIn("pixelwell-filter: " + message, text)
                self.assertIn("in.raw out.raw", text)
                self.assertFalse(os.path.exists(self.path("out.raw")))

    def test_a_video_or_picture_as_input_gets_the_ffmpeg_command(self):
        cases = [
            ("clip.mp4", b"\0\0\0\x20ftypisom\0\0\2\0", "an MP4/MOV video"),
            ("clip.mkv", b"\x1a\x45\xdf\xa3\x9f\x42\x86\x81", "a Matroska/WebM video"),
            ("clip.avi", b"RIFF\x10\0\0\0AVI LIST", "an AVI video"),
            ("clip.y4m", b"YUV4MPEG2 W5 H3 F30:1", "a Y4M video"),
            ("shot.raw", b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "a PNG picture"),  # named *.png, read as one
            ("shot", b"\xff\xd8\xff\xe0\0\x10JFIF", "a JPEG picture"),
            ("my clip.mp4", b"\0\0\0\x18ftypmp42", "an MP4/MOV video"),
        ]
        for name, start, kind in cases:
            with self.subTest(name=name):
                self.write(name, start + bytes(30))  # not a whole number of 5x3 frames
                result = run(["--size", "5x3", "--mode", "gray", name, "out.raw"], cwd=self.dir)
                self.assertEqual(result.returncode, 1, result.stderr)
                quoted = "'my clip.mp4'" if " " in name else name
                self.assertEqual(result.stderr.decode().splitlines()[1:], [
                    f"pixelwell-filter: {name} starts like {kind}, not raw frames; ffmpeg makes raw frames of it:",
                    f"  ffmpeg -i {quoted} -vf scale=5:3 -f rawvideo -pix_fmt bgr24 - |",
                    "    pixelwell-filter --size 5x3 --top-down --mode ..."])
        # Piped in, the same hint with a name to replace.
        result = run(["--size", "5x3", "--mode", "gray"], cases[0][1] + bytes(30))
        self.assertIn("standard input starts like an MP4/MOV video", result.stderr.decode())
        self.assertIn("ffmpeg -i in.mp4 -vf scale=5:3", result.stderr.decode())

    def test_raw_frames_are_never_refused_for_their_first_bytes(self):
        # Whole frames are processed whatever they start with, and a short raw input gets no hint.
        looks_like_mp4 = b"\0\0\0\x20ftypisom" + bytes(45 * 2 - 12)
        result = run(["--size", "5x3", "--mode", "normal"], looks_like_mp4)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, bgrx(looks_like_mp4))
        result = run(["--size", "5x3", "--mode", "normal"], RAMP + RAMP[:7])
        self.assertEqual(result.returncode, 1)
        self.assertNotIn("ffmpeg", result.stderr.decode())


class Help(unittest.TestCase):
    def test_help_tells_a_newcomer_what_to_type(self):
        result = run(["--help"])
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode()
        for what, pattern in (
                ("--size and --mode are required", r"--size \(for raw frames\) and --mode \(or --kernel\)\nare required"),
                ("--size and --mode take values", r"--size WxH .*\n  --mode M\[@K\] "),
                ("what defaults to 0 is K", r"K counts from 0 and defaults to 0"),
                ("--top-down with ffmpeg", r"Use --top-down with ffmpeg"),
                ("the testing group holds --length and --full-surface",
                 r"For testing:\n  --length L .*\n  --full-surface .*\n\n"),
                ("an ffmpeg example", r"ffmpeg -i in.mp4 .*\n.*pixelwell-filter --size 640x480 --top-down"),
                ("a playable output", r"-pix_fmt yuv420p out.mp4"),
                ("the exit codes", r"(?s)Exit status: 0 [^;]*; 1 .*; 2 usage error")):
            with self.subTest(what=what):
                self.assertRegex(text, pattern)
        self.assertNotIn("(default 0)", text)

    @unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg not installed")
    def test_help_example_runs(self):
        text = run(["--help"]).stdout.decode()
        example = re.search(r"\n(  ffmpeg -i in\.mp4.*?out\.mp4)\n", text, re.S).group(1)
        self.assertEqual(run_pasted(example, with_audio=False)["streams"][0]["pix_fmt"], "yuv420p")

    def test_unknown_mode_names_the_closest_and_the_list(self):
        for typed, names in (("sobel", "sobel-x, sobel-y"), ("lowpas3", "lowpass3, lowpass5"), ("MEDIAN3", None)):
            with self.subTest(typed=typed):
                result = run(["--size", "5x3", "--mode", typed], RAMP)
                if names is None:  # names ignore case
                    self.assertEqual(result.returncode, 0, result.stderr)
                    continue
                self.assertEqual(result.returncode, 2)
                self.assertIn(f"did you mean {names}?", result.stderr.decode())
                self.assertIn("--list-modes", result.stderr.decode())

    def test_the_filter_page_shows_the_help_as_it_is(self):
        with open(FILTER_DOC, encoding="utf-8") as f:
            page = f.read()
        shown = re.search(r"`pixelwell-filter --help`[^\n]*\n\n```\n(.*?)```", page, re.S)
        self.assertIsNotNone(shown, "docs/filter.md shows no --help output")
        self.assertEqual(shown.group(1), run(["--help"]).stdout.decode())


def readme_filter_examples():
    """The shell blocks of the filter's page that run the filter."""
    with open(FILTER_DOC, encoding="utf-8") as f:
        page = f.read()
    page = page.split("## Your own kernel, every stage, and pictures")[0]  # its blocks: filter_kernel_test.py
    return [b for b in re.findall(r"```sh\n(.*?)```", page, re.S) if "build/native/tools/pixelwell-filter" in b]


def make_clip(path, rate, with_audio, frames=20):
    audio = ["-f", "lavfi", "-i", "sine=frequency=440"] if with_audio else []
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc2=size=320x240:rate={rate}"] + audio +
                   ["-frames:v", str(frames), "-t", str(frames / rate), "-pix_fmt", "yuv420p", path],
                   check=True)


def probe(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                             "stream=codec_type,pix_fmt,r_frame_rate,nb_read_frames,width,height",
                             "-of", "json", path], capture_output=True, check=True)
    return json.loads(result.stdout)


def run_pasted(block, with_audio, rate=30, cwd=None):
    """Runs a pasted example in a directory laid out as a clone after scripts/test, with an
    in.mp4 of 20 frames at the rate given; returns ffprobe's view of out.mp4 if it made one."""
    with tempfile.TemporaryDirectory() as tmp:
        tools = os.path.join(tmp, "build", "native", "tools")
        os.makedirs(tools)
        os.symlink(FILTER, os.path.join(tools, "pixelwell-filter"))
        make_clip(os.path.join(tmp, "in.mp4"), rate, with_audio)
        env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
        for attempt in (1, 2):  # pasted twice: the second run overwrites the first's output
            result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block], cwd=tmp, env=env,
                                    capture_output=True)
            if result.returncode != 0:
                raise AssertionError(f"run {attempt} of\n{block}\nfailed: {result.stderr.decode()}")
        out = {}
        for name in ("out.mp4", "out/sobel-x.mp4"):
            if os.path.exists(os.path.join(tmp, name)):
                out = probe(os.path.join(tmp, name))
        if os.path.exists(os.path.join(tmp, "out", "sobel-x.png")):
            out["png"] = os.path.getsize(os.path.join(tmp, "out", "sobel-x.png"))
        stray = [n for n in os.listdir(tmp) if n not in ("build", "in.mp4", "out", "out.mp4")]
        if stray:
            raise AssertionError(f"{block} left {stray} in the directory it ran in")
        return out


@unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg not installed")
class ReadmeExamples(unittest.TestCase):
    """The filter page's examples, pasted as they stand."""

    def test_the_page_has_its_examples(self):
        blocks = readme_filter_examples()
        self.assertEqual(len(blocks), 2, blocks)

    def test_video_example_makes_a_playable_video_at_the_source_rate_with_its_sound(self):
        video = [b for b in readme_filter_examples() if "in.mp4" in b]
        self.assertEqual(len(video), 1)
        for rate, with_audio in ((30, True), (25, False)):
            with self.subTest(rate=rate, with_audio=with_audio):
                streams = run_pasted(video[0], with_audio, rate)["streams"]
                self.assertEqual(streams[0]["codec_type"], "video")
                self.assertEqual(streams[0]["pix_fmt"], "yuv420p")
                self.assertEqual(streams[0]["r_frame_rate"], f"{rate}/1")
                self.assertEqual(streams[0]["nb_read_frames"], "20")
                self.assertEqual((streams[0]["width"], streams[0]["height"]), (640, 480))
                self.assertEqual([s["codec_type"] for s in streams[1:]], ["audio"] if with_audio else [])

    def test_the_readme_shows_the_pages_first_example(self):
        with open(os.path.join(os.path.dirname(FILTER_DOC), "..", "README.md"), encoding="utf-8") as f:
            readme = f.read()
        shown = [b for b in re.findall(r"```sh\n(.*?)```", readme, re.S) if "pixelwell-filter" in b]
        self.assertEqual(shown, [b for b in readme_filter_examples() if "in.mp4" not in b])

    def test_try_it_example_leaves_a_picture_in_out(self):
        pasteable = [b for b in readme_filter_examples() if "in.mp4" not in b]
        self.assertEqual(len(pasteable), 1)
        self.assertGreater(run_pasted(pasteable[0], with_audio=False).get("png", 0), 1000)


class Processing(unittest.TestCase):
    def test_list_modes_names_all_23_and_none(self):
        result = run(["--list-modes"])
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(len(lines), 25)
        self.assertEqual(lines[24].split()[:2], ["-", "kernel"])  # by name only
        ids = [int(line.split()[0]) for line in lines[:24]]
        self.assertEqual(ids[0], 1400)
        self.assertEqual(sorted(ids[1:]), list(range(1401, 1410)) + [1411, 1412, 1413, 1421, 1422,
                         1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451])
        self.assertIn("sobel-x", result.stdout.decode())

    def test_normal_keeps_bottom_up_and_top_down_row_order(self):
        for flag in ([], ["--top-down"]):
            with self.subTest(flag=flag):
                result = run(["--size", "5x3", "--mode", "normal"] + flag, RAMP)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, RAMP_OUT)

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

    def test_numbers_select_modes(self):
        gray = run(["--size", "5x3", "--mode", "1409"], RAMP).stdout
        self.assertEqual(gray, run(["--size", "5x3", "--mode", "gray"], RAMP).stdout)

    def test_reference_frame_is_drawn_black_then_compared(self):
        second = frame(5, 3, lambda i, j: (0, 0, 0))
        out = run(["--size", "5x3", "--mode", "simple-diff"], RAMP + second).stdout
        self.assertEqual(out[:60], bytes(60))
        self.assertEqual(out[60:], RAMP_OUT)

    def test_short_and_empty_buffers_draw_nothing_long_ones_draw(self):
        for length, drawn in (("44", False), ("0", False), ("-3", False), ("45", True), ("5000000", True)):
            with self.subTest(length=length):
                result = run(["--size", "5x3", "--mode", "normal", "--length", length], RAMP)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, RAMP_OUT if drawn else bytes(60))

    def test_every_mode_writes_w_h_4_bytes_per_frame(self):
        names = [line.split()[1] for line in run(["--list-modes"]).stdout.decode().splitlines()]
        clip = RAMP * 3
        for name in names:
            with self.subTest(mode=name):
                kernel = ["--kernel", "1,2,1/0,0,0/-1,-2,-1"] if name == "kernel" else []
                result = run(["--size", "5x3", "--mode", name] + kernel, clip)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(len(result.stdout), 3 * 60)
                self.assertTrue(all(result.stdout[k] == 0 for k in range(3, len(result.stdout), 4)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
