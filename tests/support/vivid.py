"""Driving the kernel's virtual webcam, vivid, and the test program in the guest kernel: plug
and unplug the camera, set its test pattern and press its fault buttons, run the program until
its display shows the camera, and read back what it wrote (display, report, trace)."""
import os
import signal
import subprocess
import sys
import time

failures = []


def check(name, ok, detail=""):
    print(("ok: " if ok else "FAILED: ") + name + ("" if ok else " (" + detail + ")"), flush=True)
    if not ok:
        failures.append(name)


def run_cases(cases, chosen):
    """Runs the cases (all, or those named), timing each, and exits 1 if any check failed."""
    for case in cases:
        if chosen and case.__name__ not in chosen:
            continue
        started = time.time()
        case()
        print("  (%s: %.0f s)" % (case.__name__, time.time() - started), flush=True)
    print("vivid: %d failed" % len(failures))
    sys.exit(1 if failures else 0)

PATTERN = {"75% bars": 0, "bars": 1, "colour-space bars": 2, "horizontal bars": 3, (255, 255, 255): 6,
           (255, 0, 0): 7, (0, 255, 0): 8, (0, 0, 255): 9, "grey ramp": 20}


def ctl(*controls, device="/dev/video0"):
    subprocess.run(["v4l2-ctl", "-d", device] + [a for c in controls for a in ("-c", c)], check=True)


def wait_until(condition, seconds):
    end = time.time() + seconds
    while not condition():
        if time.time() > end:
            return False
        time.sleep(0.02)
    return True


def show(picture, device="/dev/video0"):
    """A solid colour or colour bars, without vivid's text."""
    ctl("osd_text_mode=2", "test_pattern=%d" % PATTERN[picture], device=device)


def replug(cameras=1, **parameters):
    """Loads the driver: webcam-like capture nodes, one per camera unless parameters say more."""
    each = lambda value: ",".join([value] * cameras)
    options = dict(n_devs=str(cameras), node_types=each("0x1"), num_inputs=each("1"), input_types=each("0x0"))
    options.update(parameters)
    subprocess.run(["modprobe", "vivid"] + ["%s=%s" % option for option in options.items()], check=True)
    wait_until(lambda: os.path.exists("/dev/video%d" % (cameras - 1)), 5)


def reload(cameras=1, **parameters):
    """The driver afresh, with other cameras."""
    wait_until(lambda: subprocess.run(["rmmod", "vivid"], stderr=subprocess.DEVNULL).returncode == 0, 5)
    replug(cameras, **parameters)


def plug(picture):
    replug()
    show(picture)


def unplug():
    """Unbinds the driver, as pulling the cable does, then unloads it once the program lets go."""
    with open("/sys/bus/platform/drivers/vivid/unbind", "w") as f:
        f.write("vivid.0")
    wait_until(lambda: not os.path.exists("/dev/video0"), 5)
    wait_until(lambda: subprocess.run(["rmmod", "vivid"], stderr=subprocess.DEVNULL).returncode == 0, 5)


def env(**hooks):
    e = dict(os.environ, SDL_VIDEODRIVER="dummy")
    e.update({"QUILTCAM_TEST_" + k: str(v) for k, v in hooks.items()})
    return e


def dump(program, out, frames, **hooks):
    """Runs the program until its display shows the camera's nth frame: (status, stderr, display,
    report)."""
    run = subprocess.run([program], env=env(CAMERA_FRAMES=frames, DUMP=out + ".ppm", REPORT=out + ".txt", **hooks),
                         timeout=60, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        return run.returncode, run.stderr, None, {}
    with open(out + ".ppm", "rb") as f:
        data = f.read()
    with open(out + ".txt") as f:
        report = dict(line.split(None, 1) for line in f.read().splitlines())
    return 0, run.stderr, data[len(b"P6\n640 480\n255\n"):], report


def pixel(display, x, y):
    i = (y * 640 + x) * 3
    return tuple(display[i:i + 3])


def read_trace(path):
    """(wall-clock ms, camera frames, middle cell's colour) every 50 ms."""
    with open(path) as f:
        return [(int(ms), int(frames), (int(r), int(g), int(b)))
                for ms, frames, r, g, b in (line.split() for line in f if line.count(" ") == 4)]


def camera_thread_seconds(pid):
    """Processor time the program's camera thread has used."""
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
            if f.read().strip() == "camera":
                with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return 0.0


def now_ms():
    return int(time.time() * 1000)


def traced(program, trace, ready, scenario):
    """Runs the program with a trace; once ready(trace lines) holds, runs scenario(pid), then
    presses a key (SIGUSR1, which the test program turns into one): (what the scenario returned,
    the exit status or "hung", ms from the key to the exit, the trace's lines, its stderr)."""
    if os.path.exists(trace):
        os.remove(trace)
    process = subprocess.Popen([program], env=env(TRACE=trace), stderr=subprocess.PIPE, text=True)
    wait_until(lambda: os.path.exists(trace) and ready(read_trace(trace)), 20)
    time.sleep(0.5)
    result = scenario(process)
    key_at = now_ms()
    process.send_signal(signal.SIGUSR1)
    try:
        status = process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        status = "hung"
    return result, status, now_ms() - key_at, read_trace(trace), process.stderr.read().strip()
