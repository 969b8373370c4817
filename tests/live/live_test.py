#!/usr/bin/python3
"""pixelwell-live as people use it, on a private Xvfb.

    live_test.py exact|gui|bad|faults|recording|views BUILD_TOOLS_DIR LIVE_EXE RESOURCES_DIR WORK_DIR

exact: a generated clip through pixelwell-live with a mode schedule and --record; every saved
       result picture equals pixelwell-filter's output on the recorded frames.
gui:   both windows, keys from xdotool, pictures read back from the screen and from s.
bad:   the situations that must end (or go on) with a clear message and the right exit code.
faults: sources that stall, wait, change size or are damaged; signals; option values.
recording: recordings and pictures that cannot be written whole, pipes that close or are not
       read, a run killed while recording, odd names, misspelt options, the manual's place.
views: a still picture, a frozen frame through another operation, keys typed fast, the
       trackbar of a scheduled mode, a signal during the display check.

Nothing is timed: every wait is for a condition (a window, a title, a file, an exit), with
a generous limit, so a loaded machine makes the test slower, not red.
"""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
from PIL import Image

# Seconds for any one condition; a run on an idle machine needs about one. (PIXELWELL_LIVE_LIMIT
# shortens it when a test is run against a program expected to fail it.)
LIMIT = float(os.environ.get("PIXELWELL_LIVE_LIMIT", 90))
WIDTH, HEIGHT = 320, 240
FRAME_BYTES = WIDTH * HEIGHT * 3

_libc = ctypes.CDLL("libc.so.6", use_errno=True)


def die_with_parent():
    # Xvfb and the viewer end with this script, however it ends (a ctest timeout kills it).
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, condition, limit=LIMIT):
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"gave up after {limit} s waiting for {what}")
        time.sleep(0.1)


class Xvfb:
    def __init__(self, log):
        self.log = log

    def __enter__(self):
        read_end, write_end = os.pipe()
        # -noreset: xdotool and the viewers come and go, and a server with no client left would
        # reset and refuse whoever connects in that moment.
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1000x24", "-nolisten", "tcp",
                 "-noreset"], pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=log,
                preexec_fn=die_with_parent)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                byte = pipe.read(1)
                if not byte:
                    raise Failure("Xvfb ended before it named its display")
                number += byte
        self.display = ":" + number.decode().strip()
        wait_for(f"Xvfb to answer on {self.display}", lambda: subprocess.run(
            ["xdpyinfo", "-display", self.display], capture_output=True).returncode == 0)
        return self

    def __exit__(self, *exc):
        if self.process.poll() is not None:
            # Say so: every failure after this point was the X server's end, not the viewer's.
            print(f"Xvfb {self.display} (pid {self.process.pid}) had ended during the test, "
                  f"exit status {self.process.returncode}", file=sys.stderr)
            return
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Context:
    def __init__(self, argv):
        self.mode, tools, self.live, self.resources, self.work = argv[1:6]
        self.filter = os.path.join(tools, "pixelwell-filter")
        self.clip = os.path.join(tools, "pixelwell-clip")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.env = dict(os.environ)
        runtime = os.path.join(self.work, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime  # where Qt wants its runtime files

    def path(self, name):
        return os.path.join(self.work, name)

    def run_live(self, args, display, timeout=LIMIT * 2, env=None):
        """Runs pixelwell-live to its end; returns (exit code, stdout, stderr)."""
        environment = dict(env if env is not None else self.env)
        if display is not None:
            environment["DISPLAY"] = display
        done = subprocess.run([self.live] + args, env=environment, capture_output=True, text=True,
                              timeout=timeout, preexec_fn=die_with_parent, cwd=self.work)
        return done.returncode, done.stdout, done.stderr

    def start_live(self, args, display, name):
        environment = dict(self.env, DISPLAY=display)
        out = open(self.path(name + ".out"), "w")
        err = open(self.path(name + ".err"), "w")
        return subprocess.Popen([self.live] + args, env=environment, stdout=out, stderr=err,
                                preexec_fn=die_with_parent, cwd=self.work)

    def make_clip(self, frames, name, first=0):
        """A lossless video of the test picture, and its frames bottom-up as the core takes them."""
        raw = subprocess.run([self.clip, "--width", str(WIDTH), "--height", str(HEIGHT), "--frames",
                              str(frames), "--first", str(first)], capture_output=True, check=True).stdout
        top_down = subprocess.run([self.clip, "--width", str(WIDTH), "--height", str(HEIGHT), "--frames",
                                   str(frames), "--first", str(first), "--top-down"],
                                  capture_output=True, check=True).stdout
        video = self.path(name)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24",
                        "-s", f"{WIDTH}x{HEIGHT}", "-r", "30", "-i", "-", "-c:v", "ffv1", video],
                       input=top_down, check=True)
        return video, raw, top_down


def png_bgr(path):
    return np.asarray(Image.open(path).convert("RGB"))[:, :, ::-1]


# ---------------------------------------------------------------------------------------------
# exact

# The schedule: a temporal mode (average4), a reference mode chosen twice (the second time takes
# a new reference, as r does), the frame difference, a filter and a rank filter.
# Then the kernel mode, with a kernel and divisor of its own.
SCHEDULE = ["normal", "average4@4", "diff@11", "diff@19", "frame-diff@24", "sobel-x@28", "median3@34", "kernel@37"]
KERNEL = ["--kernel", "2,1,0/1,0,-1/0,-1,-2", "--divisor", "3"]
EXACT_FRAMES = 40


def test_exact(ctx):
    video, clip_bottom_up, clip_top_down = ctx.make_clip(EXACT_FRAMES, "clip.mkv")
    pictures = ctx.path("pictures")
    os.makedirs(pictures)
    record = ctx.path("record.raw")
    args = ["--input", video, "--fps", "0", "--record", record, "--save-dir", pictures] + KERNEL
    for mode in SCHEDULE:
        args += ["--mode", mode]
    args += ["--save-at", ",".join(str(k) for k in range(EXACT_FRAMES))]
    with Xvfb(ctx.path("xvfb.err")) as x:
        code, out, err = ctx.run_live(args, x.display)
    check(code == 0, f"pixelwell-live exit code {code}: {err}")
    check(f"after {EXACT_FRAMES} frames" in err, f"no end-of-file message: {err}")

    recorded = open(record, "rb").read()
    check(len(recorded) == EXACT_FRAMES * FRAME_BYTES, f"record holds {len(recorded)} bytes")
    # The clip is lossless, so the frames handed over are the clip's frames, bottom-up.
    check(recorded == clip_bottom_up, "recorded frames differ from the clip's frames bottom-up")

    reference = ctx.path("filter.bgrx")
    filter_args = [ctx.filter, "--size", f"{WIDTH}x{HEIGHT}"] + KERNEL
    for mode in SCHEDULE:
        filter_args += ["--mode", mode]
    subprocess.run(filter_args + ["--", record, reference], check=True)
    expected = np.fromfile(reference, np.uint8).reshape(EXACT_FRAMES, HEIGHT, WIDTH, 4)
    check(not expected[..., 3].any(), "pixelwell-filter wrote a non-zero fourth byte")

    # The command pixelwell-live prints for its recording must give the same output.
    # It names the built filter, so that it runs as printed.
    said = re.search(r"reproduced by: (\S*pixelwell-filter [^\n]*) OUT", err)
    check(said, f"no reproducing command in: {err}")
    words = said.group(1).split()
    check(words[-2:] == ["--", record], f"the printed command does not end with its record: {said.group(1)}")
    check(os.path.samefile(words[0], ctx.filter), f"the printed command names {words[0]}, not {ctx.filter}")
    check("--mode kernel@37 " in said.group(1) and " ".join(KERNEL) in said.group(1),
          f"the printed command lacks the kernel: {said.group(1)}")
    notes = open(record + ".txt").read()
    check(said.group(1) in notes, f"{record}.txt lacks the command with the kernel: {notes}")
    printed = ctx.path("printed.bgrx")
    done = subprocess.run(words[:-1] + [record, printed], capture_output=True, text=True)
    check(done.returncode == 0 and done.stderr == "", f"the printed command: {done.returncode} {done.stderr}")
    check(open(printed, "rb").read() == open(reference, "rb").read(),
          f"the printed command gives other output: {said.group(1)}")

    top_down = np.frombuffer(clip_top_down, np.uint8).reshape(EXACT_FRAMES, HEIGHT, WIDTH, 3)
    for k in range(EXACT_FRAMES):
        # pixelwell-filter writes rows bottom-up as the input; the window shows them upright.
        want = expected[k, ::-1, :, :3]
        got = png_bgr(os.path.join(pictures, f"pixelwell-{k:06d}-processing.png"))
        differing = int(np.count_nonzero((got != want).any(axis=2)))
        check(got.shape == want.shape and differing == 0,
              f"frame {k}: the saved result differs from pixelwell-filter's in {differing} pixels")
        viewer = png_bgr(os.path.join(pictures, f"pixelwell-{k:06d}-viewer.png"))
        check((viewer == top_down[k]).all(), f"frame {k}: the saved preview is not the clip's frame")
    print(f"exact: {EXACT_FRAMES} frames, schedule {' '.join(SCHEDULE)}: results equal pixelwell-filter's, "
          f"previews equal the clip")


# ---------------------------------------------------------------------------------------------
# gui

def menu_order(resources):
    """The processing commands' labels in menu order, read from the menu resource."""
    ids = dict(re.findall(r"#define (IDM_\w+) (14\d\d)", open(os.path.join(resources, "resource.h")).read()))
    rc = open(os.path.join(resources, "app.rc"), encoding="utf-8").read()
    return [label for label, name in re.findall(r'MENUITEM "([^"]+)", *(IDM_\w+)', rc) if name in ids]


def xdotool(*args):
    done = subprocess.run(["xdotool"] + list(args), capture_output=True, text=True, env=XENV)
    return done.stdout.strip() if done.returncode == 0 else ""


def find_window(title_start):
    for line in xdotool("search", "--name", "^" + re.escape(title_start)).splitlines():
        if xdotool("getwindowname", line).startswith(title_start):
            return line
    return ""


def geometry(window):
    text = xdotool("getwindowgeometry", window)
    match = re.search(r"Geometry: (\d+)x(\d+)", text)
    return (int(match.group(1)), int(match.group(2))) if match else None


def grab(window):
    """The window's pixels as the screen shows them (ImageMagick's import)."""
    done = subprocess.run(["import", "-window", window, "png:-"], capture_output=True, env=XENV)
    if done.returncode != 0:
        return None
    from io import BytesIO
    return np.asarray(Image.open(BytesIO(done.stdout)).convert("RGB"))


def key(window, name):
    xdotool("key", "--window", window, name)


def shows(window, label):
    """The title names this operation (its label, then its name)."""
    return lambda: f" - {label} " in xdotool("getwindowname", window) + " "


XENV = {}


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _Event(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def close_window(display, window):
    """What a window manager sends when the user closes a window (WM_DELETE_WINDOW); Xvfb has none."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_Event)]
    x.XFlush.argtypes = x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x.XOpenDisplay(display.encode())
    check(connection, f"cannot open {display}")
    event = _Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = int(window)
    event.xclient.message_type = x.XInternAtom(connection, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event))
    x.XFlush(connection)
    x.XCloseDisplay(connection)


def test_gui(ctx):
    global XENV
    labels = menu_order(ctx.resources)
    check(len(labels) == 23, f"the menu resource has {len(labels)} processing commands")
    saves = ctx.path("saves")
    os.makedirs(saves)
    with Xvfb(ctx.path("xvfb.err")) as x:
        XENV = dict(ctx.env, DISPLAY=x.display)
        record = ctx.path("gui.raw")
        live = ctx.start_live(["--input", "test", "--size", f"{WIDTH}x{HEIGHT}", "--fps", "10", "--save-dir",
                               saves, "--record", record], x.display, "gui")
        try:
            viewer = wait_for("the Video Viewer window", lambda: find_window("Video Viewer"))
            result = wait_for("the Processing... window", lambda: find_window("Processing..."))
            wait_for("the viewer's title with the source, size and rate", lambda: re.fullmatch(
                r"Video Viewer - test picture, 320x240, \d+\.\d fps", xdotool("getwindowname", viewer)))
            wait_for("the result's title with none", lambda: xdotool("getwindowname", result).startswith(
                "Processing... - none"))
            wait_for("the result window sized 320x240", lambda: geometry(result) == (WIDTH, HEIGHT))
            width, height = wait_for("the viewer 320 wide, with a trackbar under the frame", lambda: (
                lambda g: g if g and g[0] == WIDTH and g[1] > HEIGHT else None)(geometry(viewer)))

            # Gray: every pixel the result window shows has B = G = R.
            key(result, "g")
            wait_for("the gray title", shows(result, "グレイ表示 gray"))
            wait_for("a gray picture on the screen", lambda: (lambda p: p is not None and p.shape[:2] == (
                HEIGHT, WIDTH) and (p[..., 0] == p[..., 1]).all() and (p[..., 1] == p[..., 2]).all()
                and p.std() > 10)(grab(result)))

            key(result, "s")
            # Each "saved" line follows its file's writing: the pictures are whole once both are out.
            wait_for("two saved lines", lambda: len(re.findall(r"^saved ", open(ctx.path("gui.out")).read(),
                                                               re.M)) == 2)
            files = sorted(n for n in os.listdir(saves) if n.endswith(".png"))
            check(len(files) == 2, f"s saved {files}")
            check(files[0].endswith("-processing.png") and files[1].endswith("-viewer.png"), f"saved {files}")
            saved = png_bgr(os.path.join(saves, files[0]))
            check(saved.shape == (HEIGHT, WIDTH, 3) and (saved[..., 0] == saved[..., 1]).all() and
                  (saved[..., 1] == saved[..., 2]).all(), "the saved result is not gray")
            preview = png_bgr(os.path.join(saves, files[1]))
            check(preview.shape == (HEIGHT, WIDTH, 3) and not (preview[..., 0] == preview[..., 2]).all(),
                  "the saved preview is not the coloured test picture")

            # Binarisation: only 0 and 255.
            key(result, "t")
            wait_for("the binarisation title", shows(result, "二値化 binarize"))
            wait_for("only 0 and 255 on the screen", lambda: (lambda p: p is not None and p.shape[:2] == (
                HEIGHT, WIDTH) and set(np.unique(p)) == {0, 255})(grab(result)))

            # The arrow keys step through the menu in its order, and wrap around none.
            key(result, "0")
            wait_for("none", lambda: " - none" in xdotool("getwindowname", result))
            for label in labels:
                key(result, "Right")
                wait_for(f"{label} after Right", shows(result, label))
            key(result, "Right")
            wait_for("none after the last", lambda: " - none" in xdotool("getwindowname", result))
            for label in reversed(labels[-3:]):
                key(result, "Left")
                wait_for(f"{label} after Left", shows(result, label))

            # Every operation's key, as the key map printed at start gives it.
            keymap = re.findall(r"(?:^|\s{2,})(\S)  ([a-z0-9-]+)(?: \(([^)]+)\))?",
                                open(ctx.path("gui.out")).read().split("\n\n")[0])
            check(len(keymap) == 25 and sorted(entry[2] for entry in keymap if entry[2]) == sorted(labels) and
                  keymap[-1][:2] == ("k", "kernel"), f"key map: {keymap}")
            names = {"-": "minus", "+": "plus"}
            for typed, name, label in keymap:
                key(result, names.get(typed, typed))
                if name == "kernel":  # Laplacian B's kernel, as no --kernel was given
                    wait_for("the kernel mode after k", shows(result, "kernel -1,-1,-1/-1,8,-1/-1,-1,-1"))
                    continue
                wait_for(f"{name} after {typed}", shows(result, f"{label} {name}") if label else
                         lambda: " - none:" in xdotool("getwindowname", result))

            # The trackbar under the preview: a click on its groove right of the handle moves it on.
            key(result, "0")
            wait_for("none again", lambda: " - none" in xdotool("getwindowname", result))
            xdotool("mousemove", "--window", viewer, str(WIDTH - 10), str(height - 10), "click", "1")
            chosen = wait_for("a choice from the trackbar", lambda: re.findall(
                r"^trackbar: (.+)$", open(ctx.path("gui.out")).read(), re.M))
            label = chosen[-1].rsplit(" ", 1)[0]
            check(label in labels, f"the trackbar chose {chosen}")
            wait_for(f"{label} from the trackbar", shows(result, label))

            key(result, "q")
            code = live.wait(LIMIT)
            check(code == 0, f"q: exit code {code}")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        out = open(ctx.path("gui.out")).read()
        steps = [line.rsplit(" ", 1)[0] for line in re.findall(r"^(?:next|previous): (.+)$", out, re.M)]
        check(steps[:23] == labels and steps[-3:] == labels[::-1][:3],
              f"the steps, as the viewer printed them: {steps}")
        # The recording and the operations chosen by key, arrow and trackbar, as the viewer printed
        # them, give the result picture that s saved.
        said = re.search(r"reproduced by: \S*pixelwell-filter (.*) -- \S+ OUT", open(ctx.path("gui.err")).read())
        check(said, "no reproducing command")
        output = ctx.path("gui.bgrx")
        subprocess.run([ctx.filter] + said.group(1).split() + ["--", record, output], check=True)
        frame = int(re.match(r"pixelwell-(\d+)-", files[0]).group(1))
        frames = np.fromfile(output, np.uint8).reshape(-1, HEIGHT, WIDTH, 4)
        check((frames[frame, ::-1, :, :3] == saved).all(), f"frame {frame} from the recording differs from s")
        print(f"gui: windows, titles, 320x240 result, gray, binarisation, 23 steps in menu order, every key, "
              f"trackbar, s, q, the session reproduced from its recording: ok")


# ---------------------------------------------------------------------------------------------
# bad

def test_bad(ctx):
    with Xvfb(ctx.path("xvfb.err")) as x:
        d = x.display
        cases = []

        code, out, err = ctx.run_live(["--camera", "7"], d)
        check(code == 2 and "no camera at index 7" in err and "--input test" in err and
              len(err.strip().splitlines()) == 1, f"missing camera: {code} {err}")
        cases.append("camera 7")

        # No options and no camera: one line says so, and the test picture is shown.
        global XENV
        XENV = dict(ctx.env, DISPLAY=d)
        live = ctx.start_live([], d, "default")
        try:
            viewer = wait_for("the test picture", lambda: (lambda w: w if w and "test picture" in xdotool(
                "getwindowname", w) else None)(find_window("Video Viewer")))
            key(viewer, "Escape")
            code = live.wait(LIMIT)
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        said = [line for line in open(ctx.path("default.err")).read().splitlines() if "pixelwell-live" in line]
        check(code == 0 and said[0].startswith("pixelwell-live: no camera found (index 0): showing the test "
                                               "picture;") and "camera" not in said[1], f"no camera: {code} {said}")
        cases.append("no camera, no options")

        # Closing either window ends the program as q does.
        for which in ("Processing...", "Video Viewer"):
            live = ctx.start_live(["--input", "test", "--size", f"{WIDTH}x{HEIGHT}"], d, "close")
            try:
                window = wait_for(which, lambda: find_window(which))
                wait_for(f"{which} titled", lambda: " - " in xdotool("getwindowname", window))
                close_window(d, window)
                code = live.wait(LIMIT)
            finally:
                if live.poll() is None:
                    live.kill()
                    live.wait()
            check(code == 0, f"closing {which}: exit code {code}")
        cases.append("a window closed")

        code, out, err = ctx.run_live(["--input", "no-such.mp4"], d)
        check(code == 2 and "cannot open no-such.mp4: No such file or directory" in err, f"missing file: {code} {err}")
        text = ctx.path("notes.txt")
        open(text, "w").write("not a video\n")
        code, out, err = ctx.run_live(["--input", text], d)
        check(code == 2 and "not a video that FFmpeg can read" in err, f"text file: {code} {err}")
        cases.append("missing and unreadable files")

        for args, wanted in ((["--size", "640by480"], "--size must be WxH"),
                             (["--mode", "sobel"], "did you mean sobel-x, sobel-y"),
                             (["--camera", "1", "--input", "test"], "excludes"),
                             (["--save-dir", ctx.path("nowhere")], "No such file or directory"),
                             (["--input", "test", "--record", ctx.path("nowhere/rec.raw")],
                              "cannot open --record")):
            code, out, err = ctx.run_live(args, d)
            check(code == 2 and wanted in err, f"{args}: {code} {err}")
        cases.append("usage errors")

        # No display: a clear message that points to pixelwell-filter, before any window is tried.
        no_display = {k: v for k, v in ctx.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        code, out, err = ctx.run_live(["--input", "test"], None, env=no_display)
        check(code == 2 and "DISPLAY is not set" in err and "pixelwell-filter" in err, f"no display: {code} {err}")
        code, out, err = ctx.run_live(["--input", "test"], ":987", env=no_display)
        check(code == 2 and "cannot open a window on display :987 (" in err and "pixelwell-filter" in err
              and "Aborted" not in err and len(err.strip().splitlines()) == 1, f"unreachable display: {code} {err}")
        cases.append("no display")

        # A file ends: exit 0. The recording is the clip.
        video, bottom_up, _ = ctx.make_clip(10, "ten.mkv")
        record = ctx.path("ten.raw")
        code, out, err = ctx.run_live(["--input", video, "--fps", "0", "--mode", "gray", "--record", record], d)
        check(code == 0 and "after 10 frames" in err and open(record, "rb").read() == bottom_up,
              f"file end: {code} {err}")
        code, out, err = ctx.run_live(["--input", video, "--size", "640x480", "--frames", "2"], d)
        check(code == 0 and "ten.mkv (FFmpeg): 320x240 (its own size; --size 640x480 applies to cameras)" in err,
              f"file and --size: {code} {err}")
        cases.append("end of file")

        # A stream that stops (a camera unplugged): the frames so far are recorded whole, exit 1.
        fifo = ctx.path("stream.fifo")
        os.mkfifo(fifo)
        feeder = subprocess.Popen(
            f"'{ctx.clip}' --width {WIDTH} --height {HEIGHT} --frames 12 --top-down | ffmpeg -loglevel error "
            f"-f rawvideo -pix_fmt bgr24 -s {WIDTH}x{HEIGHT} -r 30 -i - -c:v rawvideo -f nut -y '{fifo}'",
            shell=True, preexec_fn=die_with_parent)
        record = ctx.path("stream.raw")
        code, out, err = ctx.run_live(["--input", fifo, "--fps", "0", "--mode", "invert", "--record", record], d)
        feeder.wait(LIMIT)
        recorded = open(record, "rb").read()
        clip12 = subprocess.run([ctx.clip, "--width", str(WIDTH), "--height", str(HEIGHT), "--frames", "12"],
                                capture_output=True, check=True).stdout
        check(code == 1 and "stopped delivering frames after 12" in err and recorded == clip12,
              f"stream stopped: {code}, {len(recorded)} bytes recorded: {err}")
        cases.append("stream stopped")

        # A full disk under the recording: the message names the file and the reason, exit 1.
        code, out, err = ctx.run_live(["--input", "test", "--fps", "0", "--frames", "5", "--record", "/dev/full"], d)
        check(code == 1 and "cannot write /dev/full at frame 0: No space left on device" in err,
              f"full disk: {code} {err}")
        # Recording over the input would destroy it.
        code, out, err = ctx.run_live(["--input", video, "--record", video], d)
        check(code == 2 and "is the input" in err and os.path.getsize(video) > 0, f"record over input: {code} {err}")
        cases.append("record errors")

        # Terminated while recording: the recording holds whole frames, each the clip's.
        record = ctx.path("term.raw")
        live = ctx.start_live(["--input", "test", "--size", f"{WIDTH}x{HEIGHT}", "--record", record], d, "term")
        wait_for("ten recorded frames", lambda: os.path.exists(record) and os.path.getsize(record) >= 10 * FRAME_BYTES)
        live.send_signal(signal.SIGTERM)
        code = live.wait(LIMIT)
        size = os.path.getsize(record)
        frames = size // FRAME_BYTES
        whole = subprocess.run([ctx.clip, "--width", str(WIDTH), "--height", str(HEIGHT), "--frames", str(frames)],
                               capture_output=True, check=True).stdout
        check(code == 128 + signal.SIGTERM and size % FRAME_BYTES == 0 and open(record, "rb").read() == whole,
              f"SIGTERM: {code}, {size} bytes")
        check(f"{frames} frames" in open(ctx.path("term.err")).read(), "no closing message for the recording")
        cases.append("terminated while recording")

        # A frame over 1280 is scaled to fit 1280x1280, keeping its shape: what is processed,
        # shown, saved and recorded. --mode @K and --save-at K count the same frames.
        record = ctx.path("big.raw")
        bigsaves = ctx.path("bigsaves")
        os.makedirs(bigsaves)
        code, out, err = ctx.run_live(["--input", "test", "--size", "1600x1200", "--fps", "0", "--frames", "5",
                                       "--record", record, "--mode", "none", "--mode", "gray@3", "--save-at", "2,3",
                                       "--save-dir", bigsaves], d)
        big_bytes = 1280 * 960 * 3
        check(code == 0 and "1600x1200 is over 1280x1280: scaled to 1280x960" in err and
              os.path.getsize(record) == 5 * big_bytes and "never reached" not in err, f"oversize: {code} {err}")
        before = png_bgr(os.path.join(bigsaves, "pixelwell-000002-processing.png"))
        after = png_bgr(os.path.join(bigsaves, "pixelwell-000003-processing.png"))
        check(before.shape == (960, 1280, 3) and not before.any(), "frame 2 (none) is not the black of start-up")
        check(after.shape == (960, 1280, 3) and (after[..., 0] == after[..., 2]).all() and after.std() > 10,
              "frame 3 is not gray")
        said = re.search(r"reproduced by: (\S*pixelwell-filter [^\n]*) OUT", err)
        output = ctx.path("big.bgrx")
        subprocess.run(said.group(1).split()[:-1] + [record, output], check=True, capture_output=True)
        frames = np.fromfile(output, np.uint8).reshape(-1, 960, 1280, 4)
        check((frames[3, ::-1, :, :3] == after).all(), "the saved frame 3 differs from the filter's")
        # A 1920x1080 file: its frames shown and recorded at 1280x720, exit 0.
        hd = ctx.path("hd.mkv")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=1920x1080:rate=30",
                        "-frames:v", "4", "-c:v", "ffv1", hd], check=True)
        record = ctx.path("hd.raw")
        code, out, err = ctx.run_live(["--input", hd, "--fps", "0", "--record", record], d)
        check(code == 0 and "after 4 frames" in err and os.path.getsize(record) == 4 * 1280 * 720 * 3 and
              "--size 1280x720" in err, f"1920x1080 file: {code} {err}")
        cases.append("frame over 1280")
    print("bad situations: " + ", ".join(cases) + ": ok")


# ---------------------------------------------------------------------------------------------
# faults: sources that stall, wait, change size or are damaged; signals, outputs, option values

SMALL = (160, 120)
SMALL_BYTES = SMALL[0] * SMALL[1] * 3


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y"] + list(args), check=True)


def testsrc(size, frames, output, *codec):
    """lavfi's test picture, which has a running counter: every frame differs from the one before."""
    ffmpeg("-f", "lavfi", "-i", f"testsrc=size={size[0]}x{size[1]}:rate=30", "-frames:v", str(frames), *codec, output)


def free_port():
    """A port nobody listens on (bound, then let go)."""
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PausableStream:
    """An MPEG-TS stream over TCP on a free 127.0.0.1 port; pause() stops its encoder (SIGSTOP)."""

    def __enter__(self):
        import socket
        import threading
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.url = "tcp://127.0.0.1:%d" % self.server.getsockname()[1]
        self.encoder = subprocess.Popen(
            ["ffmpeg", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             f"testsrc=size={SMALL[0]}x{SMALL[1]}:rate=30", "-c:v", "mpeg2video", "-g", "1", "-q:v", "4",
             "-f", "mpegts", "-flush_packets", "1", "-"], stdout=subprocess.PIPE, preexec_fn=die_with_parent)

        def relay():
            try:
                client, _ = self.server.accept()
                with client:
                    while True:
                        data = self.encoder.stdout.read1(65536)
                        if not data:
                            return
                        client.sendall(data)
            except OSError:
                return
        self.thread = threading.Thread(target=relay, daemon=True)
        self.thread.start()
        return self

    def pause(self):
        self.encoder.send_signal(signal.SIGSTOP)

    def __exit__(self, *exc):
        self.encoder.send_signal(signal.SIGCONT)
        self.encoder.kill()
        self.encoder.wait()
        self.server.close()


def stopped(live, name):
    """Waits for a started pixelwell-live to end; kills it if it will not. Returns (code, stderr)."""
    try:
        code = live.wait(LIMIT)
    finally:
        if live.poll() is None:
            live.kill()
            live.wait()
    return code, name


def left_behind(marker):
    """Processes whose command line holds `marker`."""
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                if marker.encode() in open(f"/proc/{pid}/cmdline", "rb").read():
                    found.append(int(pid))
            except OSError:
                pass
    return found


def whole_frames(path, frame_bytes):
    data = np.fromfile(path, np.uint8)
    check(data.size % frame_bytes == 0, f"{path}: {data.size} bytes is not a whole number of frames")
    return data.reshape(-1, frame_bytes)


def test_faults(ctx):
    global XENV
    cases = []
    with Xvfb(ctx.path("xvfb.err")) as x:
        d = x.display
        XENV = dict(ctx.env, DISPLAY=d)
        err_of = lambda name: open(ctx.path(name + ".err")).read()

        # A TCP stream whose encoder is paused: the window is said to be stalled, still takes a
        # key, and SIGTERM ends the run while the source is still paused, the recording whole.
        with PausableStream() as stream:
            record = ctx.path("stall.raw")
            live = ctx.start_live(["--input", stream.url, "--record", record, "--lost-after", "600"], d, "stall")
            try:
                wait_for("ten recorded frames", lambda: os.path.exists(record) and
                         os.path.getsize(record) >= 10 * SMALL_BYTES)
                stream.pause()
                paused = time.monotonic()
                wait_for("the stall on stderr", lambda: "no frame for" in err_of("stall"))
                viewer = wait_for("the stall in the title", lambda: (lambda w: w if w and "no frame for" in xdotool(
                    "getwindowname", w) else None)(find_window("Video Viewer")))
                result = find_window("Processing...")
                asked = time.monotonic()
                key(result, "g")
                wait_for("g taken during the stall", lambda: "key: " in open(ctx.path("stall.out")).read())
                took_key = time.monotonic() - asked
                asked = time.monotonic()
                live.send_signal(signal.SIGTERM)
                code, _ = stopped(live, "stall")
                took_term = time.monotonic() - asked
                check(stream.encoder.poll() is None, "the encoder ended during the stall")
            finally:
                if live.poll() is None:
                    live.kill()
                    live.wait()
        frames = whole_frames(record, SMALL_BYTES)
        check(code == 128 + signal.SIGTERM and "stopped by SIGTERM" in err_of("stall") and
              "reproduced by" in err_of("stall"), f"SIGTERM in a stall: {code} {err_of('stall')}")
        cases.append(f"stalled stream ({len(frames)} frames recorded whole; a key taken {took_key:.2f} s and "
                     f"SIGTERM {took_term:.2f} s after asking, {time.monotonic() - paused:.1f} s into the stall)")

        # A FIFO with no writer: the window says what it waits for; SIGINT ends with 130.
        fifo = ctx.path("nowriter.fifo")
        os.mkfifo(fifo)
        live = ctx.start_live(["--input", fifo], d, "fifo")
        try:
            wait_for("the waiting window", lambda: (lambda w: w and "waiting for" in xdotool("getwindowname", w))(
                find_window("Video Viewer")))
            asked = time.monotonic()
            live.send_signal(signal.SIGINT)
            code, _ = stopped(live, "fifo")
            took_int = time.monotonic() - asked
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        check(code == 128 + signal.SIGINT and "stopped by SIGINT" in err_of("fifo"), f"FIFO, SIGINT: {code} {err_of('fifo')}")
        # Closing the waiting window ends the run as q does.
        live = ctx.start_live(["--input", fifo], d, "fifoclose")
        try:
            window = wait_for("the waiting window", lambda: (lambda w: w if w and "waiting for" in xdotool(
                "getwindowname", w) else None)(find_window("Processing...")))
            close_window(d, window)
            code, _ = stopped(live, "fifoclose")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        check(code == 0, f"FIFO, window closed: {code} {err_of('fifoclose')}")
        # SIGKILL while it waits, early and late: nothing of it stays behind.
        for delay in (0.05, None):
            live = ctx.start_live(["--input", fifo], d, "fifokill")
            if delay:
                time.sleep(delay)
            else:
                wait_for("the waiting window", lambda: find_window("Video Viewer"))
            live.kill()
            live.wait()
            wait_for("nothing of pixelwell-live left", lambda: not left_behind(fifo), limit=10)
        # Nothing comes at all: after --lost-after it gives up, exit 1.
        code, out, err = ctx.run_live(["--input", fifo, "--lost-after", "1.5"], d)
        check(code == 1 and "nothing came in" in err, f"FIFO, --lost-after: {code} {err}")
        cases.append(f"FIFO with no writer (SIGINT acted after {took_int:.2f} s; the window closed; SIGKILL "
                     f"leaves nothing; --lost-after)")

        # Signals with a slow pace and while recording the test picture: the summary, the filter
        # command and whole frames, with 128 + the signal.
        for sig, args in ((signal.SIGTERM, ["--fps", "0.01"]), (signal.SIGHUP, []), (signal.SIGINT, [])):
            record = ctx.path(f"sig{sig}.raw")
            live = ctx.start_live(["--input", "test", "--size", f"{WIDTH}x{HEIGHT}", "--record", record] + args, d,
                                  f"sig{sig}")
            wait_for("a recorded frame", lambda: os.path.exists(record) and os.path.getsize(record) >= FRAME_BYTES)
            wait_for("the titles", lambda: " fps" in xdotool("getwindowname", find_window("Video Viewer") or "0"))
            live.send_signal(sig)
            code, _ = stopped(live, f"sig{sig}")
            err = err_of(f"sig{sig}")
            count = os.path.getsize(record) // FRAME_BYTES
            whole = subprocess.run([ctx.clip, "--width", str(WIDTH), "--height", str(HEIGHT), "--frames", str(count)],
                                   capture_output=True, check=True).stdout
            check(code == 128 + sig and f"stopped by {signal.Signals(sig).name}" in err and
                  f"{count} frames; the result window's pictures are reproduced by" in err and
                  open(record, "rb").read() == whole, f"{signal.Signals(sig).name} {args}: {code} {err}")
        cases.append("SIGTERM at --fps 0.01, SIGHUP and SIGINT (129, 130, 143, summary, whole frames)")

        # The frame size changes mid-stream: said with both sizes and the frame; the recording ends
        # whole at the change, holds no repeated frame, exit 1; the viewer goes on to the end.
        # Motion-JPEG segments joined end to end, as a camera or a capture tool writes them.
        first, second = ctx.path("small.mjpeg"), ctx.path("large.mjpeg")
        testsrc(SMALL, 12, first, "-c:v", "mjpeg", "-q:v", "2", "-f", "mjpeg")
        testsrc((320, 240), 12, second, "-c:v", "mjpeg", "-q:v", "2", "-f", "mjpeg")
        joined = ctx.path("joined.mjpeg")
        with open(joined, "wb") as out:
            out.write(open(first, "rb").read() + open(second, "rb").read())
        record = ctx.path("joined.raw")
        code, out, err = ctx.run_live(["--input", joined, "--fps", "0", "--mode", "gray", "--record", record], d)
        frames = whole_frames(record, SMALL_BYTES)
        repeats = sum(1 for a, b in zip(frames, frames[1:]) if (a == b).all())
        check(code == 1 and "the frame size changed from 160x120 to 320x240 at frame 12" in err and
              "recording stopped" in err and len(frames) == 12 and repeats == 0 and "after 24 frames" in err,
              f"size change: {code}, {len(frames)} frames, {repeats} repeats: {err}")
        cases.append("a size change mid-stream (recording ends at frame 12, no repeats, exit 1)")

        # Cut files: exit 1, in our own words, with the count delivered. A whole variable-rate
        # file is not damaged.
        for name, codec in (("cut.mkv", ["-c:v", "ffv1"]), ("cut.mp4", ["-c:v", "mpeg4", "-q:v", "2",
                                                                      "-movflags", "+faststart"])):
            whole = ctx.path("whole-" + name)
            testsrc(SMALL, 60, whole, *codec)
            data = open(whole, "rb").read()
            open(ctx.path(name), "wb").write(data[:len(data) // 2])
            code, out, err = ctx.run_live(["--input", ctx.path(name), "--fps", "0"], d)
            check(code == 1 and re.search(r"is damaged: .*; \d+ frames delivered", err), f"{name}: {code} {err}")
            code, out, err = ctx.run_live(["--input", whole, "--fps", "0"], d)
            check(code == 0 and "after 60 frames" in err, f"whole {name}: {code} {err}")
        vfr = ctx.path("vfr.mkv")
        ffmpeg("-f", "lavfi", "-i", f"testsrc=size={SMALL[0]}x{SMALL[1]}:rate=30", "-frames:v", "30", "-vf",
               "setpts='N/30/TB+gt(N\\,14)*0.5/TB'", "-fps_mode", "vfr", "-c:v", "ffv1", vfr)
        code, out, err = ctx.run_live(["--input", vfr, "--fps", "0"], d)
        check(code == 0 and "after 30 frames" in err, f"variable-rate mkv: {code} {err}")
        cases.append("cut mkv and mp4 (exit 1), whole and variable-rate files (exit 0)")

        # --record onto an existing file: refused and unchanged; -y replaces it.
        existing = ctx.path("existing.raw")
        open(existing, "wb").write(b"x" * 100000)
        code, out, err = ctx.run_live(["--input", "test", "--frames", "2", "--record", existing], d)
        check(code == 2 and "exists" in err and "-y" in err and open(existing, "rb").read() == b"x" * 100000,
              f"--record onto a file: {code} {err}")
        code, out, err = ctx.run_live(["--input", "test", "--size", f"{WIDTH}x{HEIGHT}", "--frames", "2",
                                       "--record", existing, "-y"], d)
        check(code == 0 and os.path.getsize(existing) == 2 * FRAME_BYTES, f"-y: {code} {err}")
        # A saved picture never replaces one: the second run takes a free name.
        saves = ctx.path("saves")
        os.makedirs(saves)
        for run in range(2):
            code, out, err = ctx.run_live(["--input", "test", "--frames", "1", "--save-at", "0", "--save-dir", saves], d)
            check(code == 0, f"--save-at: {code} {err}")
        check(sorted(os.listdir(saves)) == ["pixelwell-000000-processing-1.png", "pixelwell-000000-processing.png",
                                            "pixelwell-000000-viewer-1.png", "pixelwell-000000-viewer.png"] and
              "(" + os.path.join(saves, "pixelwell-000000-viewer.png") + " exists)" in out,
              f"saved twice: {os.listdir(saves)} {out}")
        cases.append("--record and saved pictures never overwrite without -y")

        # Option values: each refused or noted in plain words.
        for args, code_wanted, wanted in (
                (["--frames", "0"], 2, "--frames wants a whole number from 1 to 9223372036854775807, not 0"),
                (["--frames", "-1"], 2, "--frames wants a whole number from 1"),
                (["--frames", "18446744073709551616"], 2, "--frames wants a whole number from 1"),
                (["--camera", "abc"], 2, "--camera wants a number from 0, not abc"),
                (["--fps", "fast"], 2, "--fps wants a number from 0"),
                (["--mode", "@5"], 2, "bad --mode @5: a mode name or number comes first"),
                (["--mode", "0", "--input", "test", "--frames", "1"], 0, "mode 0 selects no operation"),
                (["--mode", "1399", "--input", "test", "--frames", "1"], 0, "mode 1399 selects no operation"),
                (["--mode", "1410", "--input", "test", "--frames", "1"], 0, "mode 1410 selects no operation"),
                (["--mode", "2147483647", "--input", "test", "--frames", "1"], 0,
                 "mode 2147483647 selects no operation"),
                (["--mode", "gray", "--mode", "invert", "--input", "test", "--frames", "1"], 0,
                 "modes gray, invert all before frame 0: invert takes effect"),
                (["--input", "test", "--frames", "2", "--save-at", "5", "--save-dir", saves], 0,
                 "--save-at 5 was never reached")):
            code, out, err = ctx.run_live(args, d)
            check(code == code_wanted and wanted in err and len(err) < 400, f"{args}: {code} {err}")
        code, out, err = ctx.run_live(["--list-modes"], d)
        check(code == 0 and "1400 none" in out, f"--list-modes: {code} {out}")
        code, out, err = ctx.run_live(["--help"], d)
        check(code == 0 and "Keys" in out and "Exit status" in out and "143" in out and "sobel" in out,
              f"--help: {out}")
        cases.append("option values, --list-modes, --help")

        # URLs that fail say why; an image-sequence pattern opens; Qt has its runtime folder.
        port = free_port()
        code, out, err = ctx.run_live(["--input", f"tcp://127.0.0.1:{port}"], d)
        check(code == 2 and f"cannot open tcp://127.0.0.1:{port}: Connection refused" in err, f"refused: {code} {err}")
        # A documentation address that no route leads to.
        code, out, err = ctx.run_live(["--input", "tcp://[2001:db8::1]:9", "--lost-after", "30"], d)
        check(code == 2 and re.search(r"cannot open tcp://\[2001:db8::1\]:9: .*(unreachable|No route|timed out)",
                                      err), f"unreachable: {code} {err}")
        # A listener whose queue is full drops the connection attempt: the connection times out.
        import socket
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen(0)
            port = busy.getsockname()[1]
            fillers = []
            for _ in range(3):
                filler = socket.socket()
                filler.setblocking(False)
                filler.connect_ex(("127.0.0.1", port))
                fillers.append(filler)
            code, out, err = ctx.run_live(["--input", f"tcp://127.0.0.1:{port}", "--lost-after", "30"], d)
            for filler in fillers:
                filler.close()
        check(code == 2 and f"cannot open tcp://127.0.0.1:{port}: Connection timed out" in err,
              f"timed out: {code} {err}")
        code, out, err = ctx.run_live(["--input", f"udp://127.0.0.1:{free_port()}", "--lost-after", "1.5"], d)
        check(code == 1 and "nothing came in" in err, f"udp with no sender: {code} {err}")
        for k in range(5):
            Image.new("RGB", SMALL, (k * 40, 0, 0)).save(ctx.path(f"shot_{k:03d}.png"))
        no_runtime = {k: v for k, v in ctx.env.items() if k != "XDG_RUNTIME_DIR"}
        code, out, err = ctx.run_live(["--input", ctx.path("shot_%03d.png"), "--fps", "0"], d, env=no_runtime)
        check(code == 0 and "after 5 frames" in err and "XDG_RUNTIME_DIR" not in err, f"image sequence: {code} {err}")
        cases.append("refused, unreachable and silent URLs, an image sequence")
    print("faults: " + "; ".join(cases) + ": ok")


# ---------------------------------------------------------------------------------------------
# recording: what is written, and what happens when it cannot be

class FifoReader:
    """A reader of a FIFO that opens it at once and reads `limit` bytes (None: never reads)."""

    def __init__(self, path, limit=None):
        import threading
        self.path, self.limit, self.got = path, limit, 0
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        if limit is not None:
            self.thread = threading.Thread(target=self.read, daemon=True)
            self.thread.start()

    def read(self):
        import select
        while self.got < self.limit:
            select.select([self.fd], [], [], 0.1)
            try:
                data = os.read(self.fd, min(65536, self.limit - self.got))
            except BlockingIOError:
                continue
            self.got += len(data)
        os.close(self.fd)
        self.fd = None

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def mounted_tmpfs(path, size):
    """A small tmpfs (root only); None where it cannot be mounted."""
    os.makedirs(path, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path], capture_output=True)
    return path if done.returncode == 0 else None


def test_recording(ctx):
    global XENV
    cases = []
    err_of = lambda name: open(ctx.path(name + ".err")).read()
    # Without a display: a misspelt option is named first, with the closest one.
    code, out, err = ctx.run_live(["--inptu", "test"], None)
    check(code == 2 and err.startswith("pixelwell-live: unknown option --inptu (did you mean --input?)"),
          f"misspelt option: {code} {err}")
    no_display = {k: v for k, v in ctx.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    code, out, err = ctx.run_live(["--input", "test"], None, env=no_display)
    manual = re.search(r"\(see (\S+) or man pixelwell-live\)", err)
    check(code == 2 and manual and os.path.isfile(manual.group(1)) and manual.group(1).endswith("live.md"),
          f"no display: the manual's place: {err}")
    cases.append("a misspelt option; the manual named where it is")

    with Xvfb(ctx.path("xvfb.err")) as x:
        d = x.display
        XENV = dict(ctx.env, DISPLAY=d)
        test_args = ["--input", "test", "--size", f"{SMALL[0]}x{SMALL[1]}"]

        # A full disk under --save-at: said, no picture cut short left behind, exit 1.
        # A disk with room for the preview and all of the result but its last few kB (what a
        # writer holds in its buffer until the file is closed): the sizes from a first run.
        args = ["--input", "test", "--size", "640x480", "--frames", "2", "--mode", "gray", "--save-at", "0"]
        roomy = ctx.path("roomy")
        os.makedirs(roomy)
        ctx.run_live(args + ["--save-dir", roomy], d)
        sizes = {n.rsplit("-", 1)[1]: os.path.getsize(os.path.join(roomy, n)) for n in os.listdir(roomy)}
        block = 4096
        free = -(-sizes["viewer.png"] // block) * block + (sizes["processing.png"] - 1) // block * block
        disk = mounted_tmpfs(ctx.path("disk"), "2m")
        if disk:
            try:
                with open(os.path.join(disk, "filler"), "wb") as filler:
                    filler.write(b"\0" * (2 * 1024 * 1024 - free))
                code, out, err = ctx.run_live(args + ["--save-dir", disk], d)
                failed = re.findall(r"cannot save (\S+): No space left on device", err)
                left = [n for n in os.listdir(disk) if n.endswith(".png")]
                cut = []
                for name in left:
                    try:
                        with Image.open(os.path.join(disk, name)) as picture:
                            picture.load()
                    except OSError:
                        cut.append(name)
                check(code == 1 and failed and not cut and not any(os.path.exists(f) for f in failed),
                      f"full disk, --save-at: {code}, cut short: {cut}: {err}")
            finally:
                if subprocess.run(["umount", disk]).returncode != 0:
                    subprocess.run(["umount", "--lazy", disk], check=True)
            cases.append("a picture onto a full disk")
        else:
            cases.append("a picture onto a full disk NOT TRIED (no tmpfs can be mounted here)")

        # A reader of the recording that goes away: "cannot write", the summary, exit 1.
        fifo = ctx.path("closing.fifo")
        os.mkfifo(fifo)
        reader = FifoReader(fifo, 4 * SMALL_BYTES + 1000)
        code, out, err = ctx.run_live(test_args + ["--fps", "0", "--frames", "200", "--record", fifo], d)
        reader.close()
        check(code == 1 and f"cannot write {fifo} at frame" in err and "Broken pipe" in err and
              "reproduced by" in err, f"a reader that leaves: {code} {err}")
        cases.append("a pipe whose reader leaves")

        # A reader that never reads: the windows go on (a key is taken), SIGTERM ends the run.
        fifo = ctx.path("unread.fifo")
        os.mkfifo(fifo)
        reader = FifoReader(fifo)
        live = ctx.start_live(test_args + ["--fps", "0", "--record", fifo], d, "unread")
        try:
            wait_for("the recording said to wait", lambda: "takes no more data" in err_of("unread"))
            key(wait_for("the result window", lambda: find_window("Processing...")), "g")
            wait_for("g taken while the recording waits", lambda: "key: " in open(ctx.path("unread.out")).read())
            live.send_signal(signal.SIGTERM)
            code, _ = stopped(live, "unread")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
            reader.close()
        check(code == 143 and "stopped by SIGTERM" in err_of("unread"), f"unread pipe, SIGTERM: {code} "
                                                                         f"{err_of('unread')}")
        cases.append("a pipe nobody reads (keys and SIGTERM taken)")

        # Nothing recorded leaves no file: a source that never opens, a signal while waiting.
        nowriter = ctx.path("nowriter.fifo")
        os.mkfifo(nowriter)
        record = ctx.path("empty.raw")
        code, out, err = ctx.run_live(["--input", nowriter, "--lost-after", "1", "--record", record], d)
        check(code == 1 and not os.path.exists(record) and not os.path.exists(record + ".txt"),
              f"never opened: {code} {os.path.exists(record)} {err}")
        live = ctx.start_live(["--input", nowriter, "--record", record], d, "waiting")
        try:
            wait_for("the waiting window", lambda: find_window("Video Viewer"))
            live.send_signal(signal.SIGINT)
            code, _ = stopped(live, "waiting")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        check(code == 130 and not os.path.exists(record), f"a signal while waiting: {code} {err_of('waiting')}")
        code, out, err = ctx.run_live(test_args + ["--frames", "2", "--record", record], d)
        check(code == 0 and os.path.getsize(record) == 2 * SMALL_BYTES, f"the next run: {code} {err}")
        cases.append("no empty recording left behind")

        # Killed while recording: NAME.txt holds the command; cut to whole frames, it runs.
        record = ctx.path("killed rec.raw")
        live = ctx.start_live(test_args + ["--mode", "gray", "--mode", "sobel-x@3", "--record", record], d, "killed")
        wait_for("six recorded frames", lambda: os.path.exists(record) and os.path.getsize(record) >= 6 * SMALL_BYTES)
        live.kill()
        live.wait()
        notes = open(record + ".txt").read()
        cut = re.search(r"^#   (truncate .*)$", notes, re.M)
        command = notes.rstrip("\n").rsplit("\n", 1)[-1]
        check(cut and command.endswith(" OUT") and "--mode gray --mode sobel-x@3" in command, f"{record}.txt: {notes}")
        subprocess.run(["bash", "-c", cut.group(1)], check=True)
        whole = os.path.getsize(record) // SMALL_BYTES
        check(os.path.getsize(record) == whole * SMALL_BYTES and whole >= 6, "the cut left part of a frame")
        done = subprocess.run(["bash", "-c", command[:-3] + "'" + ctx.path("killed.bgrx") + "'"], capture_output=True,
                              text=True)
        check(done.returncode == 0 and os.path.getsize(ctx.path("killed.bgrx")) == whole * SMALL[0] * SMALL[1] * 4,
              f"the command of {record}.txt: {done.returncode} {done.stderr}")
        cases.append("killed while recording: NAME.txt, truncate -s, the command")

        # A file whose name holds %d is a file; a rotated phone video is recorded as shown.
        odd = ctx.path("50%discount.mkv")
        testsrc(SMALL, 5, odd, "-c:v", "ffv1")
        code, out, err = ctx.run_live(["--input", odd, "--fps", "0"], d)
        check(code == 0 and "after 5 frames" in err, f"50%discount.mkv: {code} {err}")
        plain, turned = ctx.path("plain.mp4"), ctx.path("turned.mp4")
        testsrc(SMALL, 3, plain, "-c:v", "mpeg4", "-q:v", "2")
        ffmpeg("-i", plain, "-c", "copy", "-metadata:s:v", "rotate=90", turned)
        record = ctx.path("turned.raw")
        code, out, err = ctx.run_live(["--input", turned, "--fps", "0", "--record", record], d)
        check(code == 0 and f"{SMALL[1]}x{SMALL[0]} (turned a quarter" in err and
              f"--size {SMALL[1]}x{SMALL[0]}" in err and os.path.getsize(record) == 3 * SMALL_BYTES,
              f"rotated video: {code} {err}")
        cases.append("a name with %d, a rotated phone video")
    print("recording: " + "; ".join(cases) + ": ok")


# ---------------------------------------------------------------------------------------------
# views: held frames, keys, the trackbar, signals at start

def caught_signals(pid):
    """The signals a process has a handler for (SigCgt)."""
    try:
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("SigCgt:"):
                return int(line.split()[1], 16)
    except OSError:
        pass
    return 0


def filter_frames(ctx, record, size, modes, name):
    output = ctx.path(name)
    args = [ctx.filter, "--size", f"{size[0]}x{size[1]}"]
    for mode in modes:
        args += ["--mode", mode]
    subprocess.run(args + ["--", record, output], check=True, capture_output=True)
    return np.fromfile(output, np.uint8).reshape(-1, size[1], size[0], 4)


def test_views(ctx):
    global XENV
    cases = []
    out_of = lambda name: open(ctx.path(name + ".out")).read()
    with Xvfb(ctx.path("xvfb.err")) as x:
        d = x.display
        XENV = dict(ctx.env, DISPLAY=d)

        # SIGINT during the display check is a signal, not a missing display: sent at several
        # moments after the program takes SIGINT, while its helper connects to the display.
        for run, delay in enumerate((0.0, 0.01, 0.02, 0.04, 0.08)):
            live = ctx.start_live(["--input", "test"], d, "early")
            try:
                # As soon as it answers SIGINT: the display check follows at once.
                deadline = time.monotonic() + LIMIT
                while not caught_signals(live.pid) & (1 << (signal.SIGINT - 1)) and time.monotonic() < deadline:
                    time.sleep(0.001)
                time.sleep(delay)
                live.send_signal(signal.SIGINT)
                code, _ = stopped(live, "early")
            finally:
                if live.poll() is None:
                    live.kill()
                    live.wait()
            err = open(ctx.path("early.err")).read()
            check(code == 130 and "stopped by SIGINT" in err, f"SIGINT {delay} s into the start: {code} {err}")
        cases.append("SIGINT during the display check (5 runs)")

        # A picture: held until q, processed once; another operation redraws it.
        picture = ctx.path("picture.png")
        Image.fromarray(np.random.default_rng(7).integers(0, 256, (SMALL[1], SMALL[0], 3), np.uint8)).save(picture)
        record, saves = ctx.path("picture.raw"), ctx.path("picture-saves")
        os.makedirs(saves)
        live = ctx.start_live(["--input", picture, "--record", record, "--save-dir", saves], d, "still")
        try:
            wait_for("the picture held", lambda: "still picture" in xdotool("getwindowname",
                                                                             find_window("Video Viewer") or "0"))
            result = find_window("Processing...")
            key(result, "y")
            wait_for("sobel-y on the picture", shows(result, "ゾーベル Y方向 sobel-y"))
            key(result, "s")
            wait_for("the saved pictures", lambda: out_of("still").count("saved ") == 2)
            key(result, "f")
            wait_for("frame-diff on the picture", shows(result, "フレーム差分 frame-diff"))
            key(result, "q")
            code, _ = stopped(live, "still")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        check(code == 0 and os.path.getsize(record) == SMALL_BYTES, f"still: {code}")
        expected = filter_frames(ctx, record, SMALL, ["sobel-y"], "still.bgrx")
        saved = png_bgr(os.path.join(saves, "pixelwell-000000-processing.png"))
        check((expected[0, ::-1, :, :3] == saved).all(), "the still through sobel-y differs from the filter's")
        cases.append("a still picture, redrawn through another operation")

        # Frozen: another operation re-runs the held frame; the run's own state does not move.
        record, saves = ctx.path("frozen.raw"), ctx.path("frozen-saves")
        os.makedirs(saves)
        live = ctx.start_live(["--input", "test", "--size", f"{SMALL[0]}x{SMALL[1]}", "--fps", "15", "--mode",
                               "average4", "--record", record, "--save-dir", saves], d, "frozen")
        try:
            result = wait_for("the result window", lambda: find_window("Processing..."))
            wait_for("a few frames", lambda: os.path.exists(record) and os.path.getsize(record) >= 6 * SMALL_BYTES)
            key(result, "space")
            wait_for("frozen", lambda: "frozen" in xdotool("getwindowname", find_window("Video Viewer")))
            key(result, "y")
            wait_for("the held frame through sobel-y", lambda: "again" in xdotool("getwindowname", result))
            key(result, "s")
            wait_for("the frozen pictures", lambda: out_of("frozen").count("saved ") == 2)
            key(result, "4")
            wait_for("the held frame through average4", shows(result, "4フレーム加算 average4"))
            held_size = os.path.getsize(record)
            key(result, "space")
            wait_for("going on", lambda: "going on" in out_of("frozen"))
            wait_for("frames after the freeze", lambda: os.path.getsize(record) >= held_size + 4 * SMALL_BYTES)
            key(result, "s")
            wait_for("the pictures after", lambda: out_of("frozen").count("saved ") == 4)
            key(result, "q")
            code, _ = stopped(live, "frozen")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        err = open(ctx.path("frozen.err")).read()
        check(code == 0, f"frozen: {code} {err}")
        names = sorted(n for n in os.listdir(saves) if n.endswith("-processing.png"))
        held, later = (int(re.match(r"pixelwell-(\d+)-", n).group(1)) for n in names)
        viewer = png_bgr(os.path.join(saves, f"pixelwell-{held:06d}-viewer.png"))
        frames = whole_frames(record, SMALL_BYTES).reshape(-1, SMALL[1], SMALL[0], 3)
        check((frames[held, ::-1] == viewer).all(), "the held frame is not the recorded one")
        check(len(frames) > later, "the recording lacks frames after the freeze")
        # The held frame through sobel-y is the filter's sobel-y of that frame.
        single = ctx.path("held.raw")
        frames[held].tofile(single)
        again = filter_frames(ctx, single, SMALL, ["sobel-y"], "held.bgrx")
        check((again[0, ::-1, :, :3] == png_bgr(os.path.join(saves, names[0]))).all(),
              "the re-run is not sobel-y of the held frame")
        # After the freeze the run goes on as if none had been: the printed command gives the
        # picture saved later, average4 over the frames before and after the freeze.
        said = re.search(r"reproduced by: (\S*pixelwell-filter [^\n]*) OUT", err)
        words = said.group(1).split()[:-1]
        subprocess.run(words + [record, ctx.path("frozen.bgrx")], check=True, capture_output=True)
        reproduced = np.fromfile(ctx.path("frozen.bgrx"), np.uint8).reshape(-1, SMALL[1], SMALL[0], 4)
        check((reproduced[later, ::-1, :, :3] == png_bgr(os.path.join(saves, names[1]))).all(),
              f"frame {later} after the freeze differs from the recording's: {said.group(1)}")
        cases.append(f"frozen at frame {held}: sobel-y of the held frame; average4 goes on unmoved to frame {later}")

        # Keys typed while slow frames are processed all count, in order.
        os.makedirs(ctx.path("slow-saves"))
        live = ctx.start_live(["--input", "test", "--size", "1280x720", "--fps", "0", "--save-dir",
                               ctx.path("slow-saves"), "--save-at", ",".join(str(k) for k in range(0, 4000, 3))],
                              d, "slow")
        typed = ["g", "i", "t", "x", "y", "a", "b", "c", "l", "o", "u"]
        try:
            result = wait_for("the result window", lambda: (lambda w: w if w and geometry(w) == (1280, 720) else None)(
                find_window("Processing...")))
            xdotool("key", "--window", result, "--delay", "0", *typed)
            wait_for("eleven keys", lambda: out_of("slow").count("key: ") >= len(typed), limit=min(LIMIT, 30))
            key(result, "q")
            stopped(live, "slow")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        chosen = re.findall(r"^key: .* (\S+)$", out_of("slow"), re.M)
        names = {"g": "gray", "i": "invert", "t": "binarize", "x": "sobel-x", "y": "sobel-y", "a": "laplacian-a",
                 "b": "laplacian-b", "c": "laplacian-c", "l": "lowpass3", "o": "lowpass5", "u": "highpass3"}
        check(chosen == [names[k] for k in typed], f"keys typed fast at 1280x720: {chosen}")
        cases.append("eleven keys typed fast at 1280x720, in order")

        # The trackbar of a mode chosen by --mode reads as when the key chose it.
        live = ctx.start_live(["--input", "test", "--size", f"{SMALL[0]}x{SMALL[1]}", "--mode", "sobel-x"], d,
                              "trackbar")
        try:
            viewer = wait_for("the viewer", lambda: (lambda w: w if w and " fps" in xdotool("getwindowname", w)
                                                     else None)(find_window("Video Viewer")))
            result = find_window("Processing...")
            grab_bar = lambda: (lambda p: None if p is None else p[SMALL[1]:])(grab(viewer))
            # The trackbar as drawn, once two looks agree.
            looks = []
            scheduled = wait_for("the trackbar drawn", lambda: (looks.append(grab_bar()), looks[-1] if len(
                looks) > 1 and looks[-1] is not None and looks[-2] is not None and looks[-1].shape == looks[-2].shape
                and (looks[-1] == looks[-2]).all() else None)[1] is not None and [looks[-1]])[0]
            key(result, "0")
            wait_for("none", lambda: " - none" in xdotool("getwindowname", result))
            key(result, "x")
            wait_for("sobel-x by key", shows(result, "ゾーベル X方向 sobel-x"))
            keyed = wait_for("the trackbar as --mode sobel-x drew it", lambda: (lambda bar: [bar] if bar is not None and
                             bar.shape == scheduled.shape and (bar == scheduled).all() else None)(grab_bar()),
                             limit=min(LIMIT, 20))
            key(result, "q")
            stopped(live, "trackbar")
        finally:
            if live.poll() is None:
                live.kill()
                live.wait()
        check(keyed is not None, "the trackbar under --mode sobel-x differs from sobel-x chosen by key")
        cases.append("the trackbar of --mode sobel-x")
    print("views: " + "; ".join(cases) + ": ok")



def main():
    ctx = Context(sys.argv)
    try:
        {"exact": test_exact, "gui": test_gui, "bad": test_bad, "faults": test_faults,
         "recording": test_recording, "views": test_views}[ctx.mode](ctx)
    except Failure as failure:
        print(f"FAILED ({ctx.mode}): {failure}", file=sys.stderr)
        for name in sorted(os.listdir(ctx.work)):
            if name.endswith((".out", ".err")) and os.path.getsize(ctx.path(name)):
                print(f"--- {name}\n" + open(ctx.path(name)).read()[-3000:], file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
