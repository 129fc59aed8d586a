#!/usr/bin/env python3
"""The real programs against the kernel's virtual webcam, vivid, in a guest kernel:
    tests/support/guest.sh RESULTS tests/vivid_tests.py BUILD-DIR [CASE...]
Every case checks what the user sees: the display the test program writes once the camera's
frames have reached it, or the middle cell's colour in its trace while the camera misbehaves.
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from vivid import (camera_thread_seconds, check, ctl, dump, env, now_ms, pixel, plug, replug, run_cases, show, traced,
                   unplug, wait_until)

build = os.path.abspath(sys.argv[1])
testcam = os.path.join(build, "tests", "quiltcam-testcam")
work = os.environ.get("GUEST_RESULTS", os.getcwd())

RED, GREEN, BLUE, WHITE = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)
# Colour bars, left to right (or top to bottom) as the camera sees them; the mosaic shows them
# mirrored left to right, and upright.
BARS = [WHITE, (255, 255, 0), (0, 255, 255), GREEN, (255, 0, 255), RED, BLUE, (0, 0, 0)]
# How far a display channel may be from the arithmetic's value. BGR3 arrives as it was drawn:
# exact. The Y'CbCr formats round through 8-bit limited-range values (219 luma and 224 chroma
# levels, a step of about 1.16 in each channel), vivid's encoder and libv4lconvert's decoder
# use different integer approximations of the BT.601 matrix, and the range is stretched back
# afterwards: a cell's colour may come back 3 off in a channel, its luminance 3 off too, and a
# display pixel is the product of the two. (Measured: 2 at most, on white.)
TOLERANCE = {"BGR3": 0, "YUYV": 6, "UYVY": 6, "NV12": 6}


def shaded(colour):
    """The display pixel of a uniform camera picture of this colour, by the arithmetic."""
    r, g, b = colour
    luma = int((b * 0.071169 + g * 0.71516) + r * 0.212671)
    return tuple(int(c * (luma * 0.003921568859368563)) for c in colour)  # the float nearest 1/255


def tile_tint(display, row, col):
    """A tile's brightest pixel: its cell's colour, scaled by the brightest luminance there is."""
    x0, y0 = 60 + 20 * col, 40 + 20 * row
    return max((pixel(display, x, y) for y in range(y0, y0 + 20) for x in range(x0, x0 + 20)), key=sum)


def switched_on(colours):
    """Each channel as fully on (255) or off (0); -1 where it is neither."""
    return [tuple(255 if c > 128 else 0 if c < 64 else -1 for c in colour) for colour in colours]


def drawn(name, frames=10, program=testcam, **hooks):
    status, stderr, display, report = dump(program, os.path.join(work, name), frames, **hooks)
    check(name + ": the program draws the camera", display is not None, "status %d: %s" % (status, stderr))
    return display, report


def solid_and_bars():
    """Frames reach the display in the formats webcams send, in the right colours and places."""
    for fourcc, tolerance in TOLERANCE.items():
        hooks = {} if fourcc == "BGR3" else {"V4L2_FORMAT": fourcc}
        for colour in (RED, GREEN, WHITE):
            show(colour)
            display, report = drawn("solid-%s-%d-%d-%d" % ((fourcc,) + colour), **hooks)
            if display:
                worst = max(abs(a - b) for y in range(40, 440) for x in range(60, 580)
                            for a, b in zip(pixel(display, x, y), shaded(colour)))
                check("%s %s: every tile %s (off by %d at most), streamed as %s" %
                      (fourcc, colour, shaded(colour), worst, report.get("camera_format")),
                      worst <= tolerance and report.get("camera_format") == fourcc)
        # Eight bars of 20 frame columns (15 rows) each: the cell in the middle of each.
        for bars, cells, order in (("bars", lambda bar: (10, int((20 * bar + 10) * 0.16249999403953552)), BARS[::-1]),
                                   ("horizontal bars", lambda bar: ((15 * bar + 7) // 6, 13), BARS)):
            show(bars)
            display, _ = drawn(bars.replace(" ", "-") + "-" + fourcc, **hooks)
            if display:
                seen = [tile_tint(display, *cells(bar)) for bar in range(8)]
                check("%s: %s, mirrored and upright" % (fourcc, bars), switched_on(seen) == order, "saw %s" % seen)


def shape_and_rate():
    """A square stays square, and the camera runs at its fastest rate at the size chosen."""
    show(WHITE)
    ctl("show_square=1")  # a green square of 256 x 256 camera pixels in the middle
    display, report = drawn("square", frames=50)
    ctl("show_square=0")
    if not display:
        return
    # Green's share of each cell on the middle row and column: the square's width and height in
    # cells, which are 160/26 frame pixels wide and 6 high.
    def green_share(row, col):
        r, g, _ = tile_tint(display, row, col)
        return 1 - r / g if g else 0
    width = sum(green_share(10, col) for col in range(26)) * 160 / 26
    height = sum(green_share(row, 13) for row in range(20)) * 6
    check("the square stays square (%.1f x %.1f frame pixels) at %s, a size of the frame's shape" %
          (width, height, report.get("camera_size")),
          abs(width / height - 1) < 0.08 and report.get("camera_size") == "640x480")
    fps = float(report.get("grid_fps", 0))
    check("the fastest rate is asked for (%s s a frame) and %.1f frames a second reach the grid" %
          (report.get("camera_interval"), fps), report.get("camera_interval") == "1/25" and 22 <= fps <= 27)
    print("  camera thread: %s ms a frame at %s %s" %
          (report.get("camera_thread_ms_per_frame"), report.get("camera_size"), report.get("camera_format")))


def near(colour, want):
    return all(abs(a - b) <= 8 for a, b in zip(colour, want))


def faults():
    """Each fault: the picture holds while the camera is away (and, unplugged, the camera thread
    waits for it quietly), is live again within about a second of its return, and a key still
    ends the program at once with status 0."""
    button = lambda name: lambda: ctl(name + "=1")
    node_back = lambda: wait_until(lambda: os.path.exists("/dev/video0"), 5)
    cases = [  # name, fault, seconds away, the camera's return
        ("unplug and replug", unplug, 2.0, replug),
        ("disconnect", button("disconnect"), 0.0, node_back),
        ("fatal streaming error", button("inject_fatal_streaming_error"), 0.0, lambda: None),
        ("REQBUFS failing on the reconnect", lambda: ctl("inject_vidioc_reqbufs_error=1", "disconnect=1"), 0.0,
         node_back),
        ("a buffer flagged as an error", button("inject_v4l2_buf_flag_error"), 0.0, lambda: None),
        ("every buffer dropped", lambda: ctl("percentage_of_dropped_buffers=100"), 2.0,
         lambda: ctl("percentage_of_dropped_buffers=0")),
    ]
    for name, fault, away, back in cases:
        def scenario(program):
            fault_at, busy = now_ms(), camera_thread_seconds(program.pid)
            fault()
            time.sleep(away)
            busy = camera_thread_seconds(program.pid) - busy
            alive = program.poll() is None
            back()
            back_at = now_ms()
            show(GREEN)  # a new picture, to see on the display
            time.sleep(2)
            return fault_at, busy, alive, back_at
        show(RED)
        (fault_at, busy, alive, back_at), status, exit_ms, lines, stderr = traced(
            testcam, os.path.join(work, "trace.txt"), lambda lines: any(near(c, RED) for _, _, c in lines), scenario)
        before = [c for ms, _, c in lines if ms < fault_at]
        away_lines = [c for ms, _, c in lines if fault_at + 300 < ms < back_at]
        frames_back = max([n for ms, n, _ in lines if ms <= back_at] or [0])
        live_at = next((ms for ms, n, _ in lines if ms > back_at and n > frames_back), None)
        resumed = None if live_at is None else live_at - back_at
        check("%s: lived through it, the picture held while away" % name,
              alive and bool(before) and near(before[-1], RED) and all(near(c, RED) for c in away_lines),
              "alive %s, saw %s then %s" % (alive, before[-1:], sorted(set(away_lines))))
        if fault == unplug:  # with no camera at all, a thread that never sleeps would spin
            check("%s: the camera thread used %.2f s of %.0f s away" % (name, busy, away), busy < 0.5 * away)
        check("%s: frames again %s ms after the camera's return, and its new picture on the display" % (name, resumed),
              resumed is not None and resumed <= 1000 and bool(lines) and near(lines[-1][2], GREEN))
        check("%s: a key ends it with status 0 in %d ms" % (name, exit_ms), status == 0 and exit_ms < 1000,
              "status %s, %s" % (status, stderr))


def start_up_failures():
    """What the real program says when the camera cannot be had."""
    quiltcam = os.path.join(build, "quiltcam")

    def says(who, reason, *before):
        run = subprocess.run(list(before) + [quiltcam], env=env(), stderr=subprocess.PIPE, text=True, timeout=60)
        check("%s: one line, status 1" % who,
              run.returncode == 1 and run.stderr == "quiltcam: cannot open /dev/video0: %s\n" % reason,
              "status %d, %r" % (run.returncode, run.stderr))
    other = subprocess.Popen(["v4l2-ctl", "-d", "/dev/video0", "--stream-mmap", "--stream-count=100000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    says("a camera busy in another program", "Device or resource busy")
    other.kill()
    other.wait()
    says("a user without access", "Permission denied", "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups")


def full_screen():
    show(BLUE)
    display, report = drawn("fullscreen", program=testcam + "-fullscreen")
    check("the full-screen program draws the camera, full screen",
          display is not None and report.get("fullscreen") == "1" and pixel(display, 320, 240) == shaded(BLUE))


plug(RED)
run_cases((solid_and_bars, shape_and_rate, faults, start_up_failures, full_screen), sys.argv[2:])
