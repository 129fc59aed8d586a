#!/usr/bin/env python3
"""The real programs against the kernel's virtual webcam, vivid, in a guest kernel:
    tests/support/guest.sh RESULTS tests/vivid_tests.py BUILD-DIR [CASE...]
Every case checks what the user sees: the display the test program writes once the camera's
frames have reached it, or the middle cell's colour in its trace while the camera misbehaves.
"""
import os
import signal
import subprocess
import sys
import time

build = os.path.abspath(sys.argv[1])
testcam = os.path.join(build, "tests", "quiltcam-testcam")
work = os.environ.get("GUEST_RESULTS", os.getcwd())
failures = []

RED, GREEN, BLUE, WHITE = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)
PATTERN = {RED: 7, GREEN: 8, BLUE: 9, WHITE: 6, "bars": 1, "horizontal bars": 3}
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


def check(name, ok, detail=""):
    print(("ok: " if ok else "FAILED: ") + name + ("" if ok else " (" + detail + ")"), flush=True)
    if not ok:
        failures.append(name)


def ctl(*controls):
    subprocess.run(["v4l2-ctl", "-d", "/dev/video0"] + [a for c in controls for a in ("-c", c)], check=True)


def wait_until(condition, seconds):
    end = time.time() + seconds
    while not condition():
        if time.time() > end:
            return False
        time.sleep(0.02)
    return True


def plug(colour):
    subprocess.run(["modprobe", "vivid", "n_devs=1", "node_types=0x1", "num_inputs=1", "input_types=0x0"], check=True)
    wait_until(lambda: os.path.exists("/dev/video0"), 5)
    show(colour)


def show(colour):
    ctl("osd_text_mode=2", "test_pattern=%d" % PATTERN[colour])


def unplug():
    with open("/sys/bus/platform/drivers/vivid/unbind", "w") as f:
        f.write("vivid.0")
    wait_until(lambda: not os.path.exists("/dev/video0"), 5)


def env(**hooks):
    e = dict(os.environ, SDL_VIDEODRIVER="dummy")
    e.update({"QUILTCAM_TEST_" + k: str(v) for k, v in hooks.items()})
    return e


def read_report(path):
    with open(path) as f:
        return dict(line.split(None, 1) for line in f.read().splitlines())


def read_display(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data.startswith(b"P6\n640 480\n255\n")
    return data[15:]


def pixel(display, x, y):
    i = (y * 640 + x) * 3
    return tuple(display[i:i + 3])


def shaded(colour):
    """The display pixel of a uniform camera picture of this colour, by the arithmetic."""
    r, g, b = colour
    luma = int((b * 0.071169 + g * 0.71516) + r * 0.212671)
    k = 0.003921568859368563  # the float nearest 1/255
    return tuple(int(c * (luma * k)) for c in colour)


def tile_tint(display, row, col):
    """A tile's brightest pixel: its cell's colour, scaled by the brightest luminance in the picture."""
    x0, y0 = 60 + 20 * col, 40 + 20 * row
    return max((pixel(display, x, y) for y in range(y0, y0 + 20) for x in range(x0, x0 + 20)), key=sum)


def dump(name, frames=10, program=testcam, **hooks):
    """Runs the test program on the camera until its nth frame is on the display."""
    out, report = os.path.join(work, name + ".ppm"), os.path.join(work, name + ".txt")
    status = subprocess.run([program], env=env(CAMERA_FRAMES=frames, DUMP=out, REPORT=report, **hooks),
                            timeout=60, stderr=subprocess.PIPE, text=True)
    if status.returncode != 0:
        check(name + ": the program draws the camera", False, "status %d: %s" % (status.returncode, status.stderr))
        return None, {}
    return read_display(out), read_report(report)


def solid_and_bars():
    """Frames reach the display in the formats webcams send, in the right colours and order."""
    for fourcc, tolerance in TOLERANCE.items():
        hooks = {} if fourcc == "BGR3" else {"V4L2_FORMAT": fourcc}
        for colour in (RED, GREEN, WHITE):
            show(colour)
            display, report = dump("solid-%s-%d-%d-%d" % ((fourcc,) + colour), **hooks)
            if display is None:
                continue
            want = shaded(colour)
            worst = max(abs(a - b) for y in range(40, 440) for x in range(60, 580)
                        for a, b in zip(pixel(display, x, y), want))
            check("%s %s: every tile %s (off by %d at most)" % (fourcc, colour, want, worst), worst <= tolerance,
                  "allowed %d" % tolerance)
            check("%s: the camera streams %s" % (fourcc, fourcc), report.get("camera_format") == fourcc,
                  report.get("camera_format", "?"))
        # Eight bars of 20 frame columns (15 rows) each: the cell in the middle of each.
        show("bars")
        display, _ = dump("bars-" + fourcc, **hooks)
        if display is not None:
            seen = [tile_tint(display, 10, int((20 * bar + 10) * 0.16249999403953552)) for bar in range(8)]
            check("%s: colour bars in mirrored order" % fourcc, switched_on(seen) == BARS[::-1], "saw %s" % seen)
        show("horizontal bars")
        display, _ = dump("horizontal-bars-" + fourcc, **hooks)
        if display is not None:
            seen = [tile_tint(display, (15 * bar + 7) // 6, 13) for bar in range(8)]
            check("%s: horizontal bars upright" % fourcc, switched_on(seen) == BARS, "saw %s" % seen)


def switched_on(colours):
    """Each channel as fully on (255) or off (0); -1 where it is neither."""
    return [tuple(255 if c > 128 else 0 if c < 64 else -1 for c in colour) for colour in colours]


def shape_and_rate():
    """A square stays square, and the camera runs at its fastest rate at the size chosen."""
    show(WHITE)
    ctl("show_square=1")  # a green square of 256 x 256 camera pixels in the middle
    display, report = dump("square", frames=50)
    ctl("show_square=0")
    if display is None:
        return
    # Green's share of each cell on the middle row and column: its width and height in cells,
    # and cells are 160/26 frame pixels wide and 6 high.
    def green_share(row, col):
        r, g, _ = tile_tint(display, row, col)
        return 1 - r / g if g else 0
    width = sum(green_share(10, col) for col in range(26)) * 160 / 26
    height = sum(green_share(row, 13) for row in range(20)) * 6
    check("the square stays square (%.1f x %.1f frame pixels)" % (width, height), abs(width / height - 1) < 0.08)
    check("a size of the frame's shape is chosen (%s)" % report.get("camera_size"),
          report.get("camera_size") == "640x480")
    fps = float(report.get("grid_fps", 0))
    check("the fastest rate is asked for (%s s a frame) and %.1f frames a second reach the grid" %
          (report.get("camera_interval"), fps), report.get("camera_interval") == "1/25" and 22 <= fps <= 27)
    print("  camera thread: %s ms a frame at %s %s" %
          (report.get("camera_thread_ms_per_frame"), report.get("camera_size"), report.get("camera_format")))


def read_trace(path):
    with open(path) as f:
        return [(int(ms), int(frames), (int(r), int(g), int(b)))
                for ms, frames, r, g, b in (line.split() for line in f if line.count(" ") == 4)]


def near(colour, want):
    return all(abs(a - b) <= 8 for a, b in zip(colour, want))


def now_ms():
    return int(time.time() * 1000)


def button(name):
    return lambda: ctl(name + "=1")


def percentage(n):
    return lambda: ctl("percentage_of_dropped_buffers=%d" % n)


def unbind_and_rmmod():
    unplug()
    wait_until(lambda: subprocess.run(["rmmod", "vivid"], stderr=subprocess.DEVNULL).returncode == 0, 5)


def faults():
    """Each fault: the picture holds while the camera is away, is live again within about a
    second of its return, and a key still ends the program at once with status 0."""
    cases = [
        # name, fault, seconds away, the camera's return
        ("unplug and replug", unbind_and_rmmod, 2.0, lambda: plug(GREEN)),
        ("disconnect", button("disconnect"), 0.0, lambda: (wait_until(lambda: os.path.exists("/dev/video0"), 5),
                                                           show(GREEN))),
        ("fatal streaming error", button("inject_fatal_streaming_error"), 0.0, lambda: show(GREEN)),
        ("REQBUFS failing on the reconnect",
         lambda: (ctl("inject_vidioc_reqbufs_error=1"), ctl("disconnect=1")), 0.0,
         lambda: (wait_until(lambda: os.path.exists("/dev/video0"), 5), show(GREEN))),
        ("a buffer flagged as an error", button("inject_v4l2_buf_flag_error"), 0.0, lambda: show(GREEN)),
        ("every buffer dropped", percentage(100), 2.0, lambda: (percentage(0)(), show(GREEN))),
    ]
    for name, fault, away, back in cases:
        show(RED)
        trace = os.path.join(work, "trace.txt")
        program = subprocess.Popen([testcam], env=env(TRACE=trace), stderr=subprocess.PIPE, text=True)
        time.sleep(2)
        fault_at = now_ms()
        fault()
        time.sleep(away)
        alive = program.poll() is None
        back()
        back_at = now_ms()
        time.sleep(2)
        key_at = now_ms()
        program.send_signal(signal.SIGUSR1)  # the test program presses a key
        try:
            status = program.wait(timeout=10)
        except subprocess.TimeoutExpired:
            program.kill()
            status = "hung"
        exit_ms = now_ms() - key_at
        lines = read_trace(trace)
        before = [c for ms, _, c in lines if ms < fault_at]
        away_lines = [c for ms, _, c in lines if fault_at + 300 < ms < back_at]
        green_at = next((ms for ms, _, c in lines if ms >= back_at and near(c, GREEN)), None)
        check("%s: the camera's picture before it" % name, bool(before) and near(before[-1], RED),
              "saw %s" % before[-1:])
        check("%s: the program lives through it" % name, alive)
        check("%s: the picture holds while the camera is away" % name, all(near(c, RED) for c in away_lines),
              "saw %s" % sorted(set(away_lines)))
        resumed = None if green_at is None else green_at - back_at
        check("%s: live again %s ms after the camera's return" % (name, resumed),
              resumed is not None and resumed <= 1500)
        check("%s: a key ends it with status 0 in %d ms" % (name, exit_ms), status == 0 and exit_ms < 1000,
              "status %s, %s" % (status, program.stderr.read().strip()))


def start_up_failures():
    """What the real programs say when the camera cannot be had."""
    quiltcam = os.path.join(build, "quiltcam")
    other = subprocess.Popen(["v4l2-ctl", "-d", "/dev/video0", "--stream-mmap", "--stream-count=100000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    run = subprocess.run([quiltcam], env=env(), stderr=subprocess.PIPE, text=True, timeout=60)
    other.kill()
    other.wait()
    check("a camera streaming to another program: the busy line, status 1",
          run.returncode == 1 and run.stderr == "quiltcam: cannot open /dev/video0: Device or resource busy\n",
          "status %d, %r" % (run.returncode, run.stderr))
    run = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", quiltcam], env=env(),
                         stderr=subprocess.PIPE, text=True, timeout=60)
    check("a user without access to the device: one line, status 1",
          run.returncode == 1 and run.stderr == "quiltcam: cannot open /dev/video0: Permission denied\n",
          "status %d, %r" % (run.returncode, run.stderr))


def full_screen():
    show(BLUE)
    display, report = dump("fullscreen", program=testcam + "-fullscreen")
    check("the full-screen program draws the camera, full screen",
          display is not None and report.get("fullscreen") == "1" and pixel(display, 320, 240) == shaded(BLUE))


plug(RED)
chosen = sys.argv[2:]  # case names, to run only those
for case in (solid_and_bars, shape_and_rate, faults, start_up_failures, full_screen):
    if chosen and case.__name__ not in chosen:
        continue
    started = time.time()
    case()
    print("  (%s: %.0f s)" % (case.__name__, time.time() - started), flush=True)
print("vivid: %d failed" % len(failures))
sys.exit(1 if failures else 0)
