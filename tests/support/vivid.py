"""The guest kernel's cases: running them, driving the kernel's virtual webcam vivid (plug and
unplug it, set its test pattern, press its fault buttons), a PipeWire session over the cameras,
and the test program, run until its display shows the camera, with what it wrote read back
(display, report, trace)."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import threading
import time
import traceback

failures = []


def check(name, ok, detail=""):
    print(("ok: " if ok else "FAILED: ") + name + ("" if ok else " (" + detail + ")"), flush=True)
    if not ok:
        failures.append(name)


CASE_SECONDS = 600  # a guard against a hang, not a measure: the slowest case takes a fifth of it


def too_long(signum, frame):
    signal.alarm(60)  # once more, should the case's own clean-up hang too
    raise TimeoutError("still running after %d s" % CASE_SECONDS)


def watchdog(case_started):
    """Where the guard cannot reach (a case stuck in the kernel, where no signal lands): what
    every task waits in and the kernel's last words, then the end of the run, a failure."""
    while time.time() - case_started[0] < CASE_SECONDS + 120:
        time.sleep(10)
    print("FAILED: stuck beyond the guard; the tasks and the kernel's log:", flush=True)
    subprocess.run("ps -eo pid,stat,wchan:32,args | grep -v '\\['", shell=True, timeout=60)
    print(kernel_log(40), flush=True)
    os._exit(3 if kernel_fault() else 1)


def kernel_log(lines):
    """The kernel log's last lines, for a failure that may be the kernel's."""
    log = subprocess.run(["dmesg"], stdout=subprocess.PIPE, text=True, timeout=60).stdout
    return "\n".join(log.splitlines()[-lines:])


def stuck_in_kernel():
    """The tasks waiting uninterruptibly (a driver that never finishes what it was asked)."""
    tasks = subprocess.run(["ps", "-eo", "stat=,pid=,wchan:32=,args="], stdout=subprocess.PIPE, text=True).stdout
    return [" ".join(t.split()[1:]) for t in tasks.splitlines() if t.startswith("D")]


def kernel_fault():
    """The kernel's report of its own fault (an oops or a warning, which taint it), from its
    first line: empty while it has none."""
    with open("/proc/sys/kernel/tainted") as f:
        if not int(f.read()) & (128 | 512):
            return ""
    log = subprocess.run(["dmesg"], stdout=subprocess.PIPE, text=True, timeout=60).stdout.splitlines()
    first = next((i for i, line in enumerate(log) if re.search(r"cut here|BUG:|Oops|WARNING:", line)), 0)
    return "\n".join(log[first:first + 60])


def run_cases(cases, chosen, what="vivid"):
    """Runs the cases (all, or those named), timing each; a case that raises, or hangs, is that
    case's failure and the next one runs. Exits 1 if any failed; 3 if the guest's kernel faulted
    besides, which no program can cause, so that the run is worth one more in a fresh guest."""
    failed = []
    signal.signal(signal.SIGALRM, too_long)
    case_started = [time.time()]
    threading.Thread(target=watchdog, args=(case_started,), daemon=True).start()
    for case in cases:
        if chosen and case.__name__ not in chosen:
            continue
        started, before = time.time(), len(failures)
        case_started[0] = started
        signal.alarm(CASE_SECONDS)
        try:
            case()
        except Exception as error:
            traceback.print_exc()  # down to where it was: a hang's place is the innermost frame
            check("%s: ran to its end" % case.__name__, False, "%s: %s" % (type(error).__name__, error))
        finally:
            signal.alarm(0)
        if len(failures) > before:
            failed.append(case.__name__)
        print("  (%s: %.0f s)" % (case.__name__, time.time() - started), flush=True)
    stuck = [] if wait_until(lambda: not stuck_in_kernel(), 10) else stuck_in_kernel()
    if stuck:
        check("no task left stuck in the kernel", False, "; ".join(stuck))
        with open("/proc/sysrq-trigger", "w") as trigger:
            trigger.write("w")  # the blocked tasks' stacks, into the kernel log
        print(kernel_log(80), flush=True)
    ran = len([c for c in cases if not chosen or c.__name__ in chosen])
    print("%s: %d cases passed, %d failed%s" % (what, ran - len(failed), len(failed),
                                              ": " + " ".join(failed) if failed else ""))
    fault = kernel_fault()
    if fault:
        print("the guest's kernel faulted during the run:\n" + fault, flush=True)
    sys.exit((3 if fault else 1) if failed or stuck else 0)

PATTERN = {"75% bars": 0, "bars": 1, "colour-space bars": 2, "horizontal bars": 3, (255, 255, 255): 6,
           (255, 0, 0): 7, (0, 255, 0): 8, (0, 0, 255): 9, "grey ramp": 20}


def ctl(*controls, device="/dev/video0"):
    """Sets controls, waiting (ten seconds at most) for a node that is coming back to open."""
    command = ["v4l2-ctl", "-d", device] + [a for c in controls for a in ("-c", c)]
    end = time.time() + 10
    while True:
        run = bounded(command, stderr=subprocess.PIPE, text=True)
        if run.returncode == 0:
            return
        if time.time() > end or not re.search(r"No such (device|file)|Cannot open device", run.stderr):
            raise RuntimeError("%s: %s" % (" ".join(command), run.stderr.strip()))
        time.sleep(0.1)


def bounded(command, seconds=60, **options):
    """subprocess.run, for a minute at most: a tool that hangs fails its case, which names it."""
    return subprocess.run(command, timeout=seconds, **options)


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
    if os.path.exists("/sys/module/vivid") and not os.path.exists("/sys/bus/platform/drivers/vivid/vivid.0"):
        with open("/sys/bus/platform/drivers/vivid/bind", "w") as f:  # unbound, but still in use: bound again
            f.write("vivid.0")
    else:
        bounded(["modprobe", "vivid"] + ["%s=%s" % option for option in options.items()], check=True)
    wait_until(lambda: os.path.exists("/dev/video%d" % (cameras - 1)), 5)


def reload(cameras=1, **parameters):
    """The driver afresh, with other cameras (once every program, PipeWire too, has let go)."""
    wait_until(lambda: bounded(["rmmod", "vivid"], stderr=subprocess.DEVNULL).returncode == 0, 20)
    replug(cameras, **parameters)


def plug(picture):
    replug()
    show(picture)


def unplug():
    """Unbinds the driver, as pulling the cable does, then unloads it once the program lets go."""
    with open("/sys/bus/platform/drivers/vivid/unbind", "w") as f:
        f.write("vivid.0")
    wait_until(lambda: not os.path.exists("/dev/video0"), 5)
    wait_until(lambda: bounded(["rmmod", "vivid"], stderr=subprocess.DEVNULL).returncode == 0, 5)


@contextlib.contextmanager
def held(*devices):
    """Nodes streaming in another program (v4l2-ctl) for as long as the block runs: each once it
    can be had (twenty seconds at most: PipeWire lets a camera go some seconds after its last use)."""
    others = []
    for device in devices:
        end = time.time() + 20
        while True:
            other = subprocess.Popen(["v4l2-ctl", "-d", device, "--stream-mmap", "--stream-count=100000"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1)
            if other.poll() is None or time.time() > end:
                break
        others.append(other)
    try:
        yield
    finally:
        for other in others:
            other.kill()
            other.wait()


def pw_cli(*command):
    """What pw-cli prints for a command, or nothing when PipeWire does not answer in ten seconds."""
    try:
        return bounded(["pw-cli"] + list(command), 10, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    except subprocess.TimeoutExpired:
        print("  pw-cli %s: no answer in 10 s" % " ".join(command), flush=True)
        return ""


@contextlib.contextmanager
def pipewire_session(directory="/tmp/pipewire"):
    """The desktop's camera service for as long as the block runs: udev (PipeWire hears of cameras
    coming and going from it), then PipeWire and WirePlumber in a session of their own, once the
    daemon answers. Programs started meanwhile reach it."""
    for folder in ("seats", "users", "sessions"):  # where WirePlumber's logind monitor looks
        os.makedirs("/run/systemd/" + folder, exist_ok=True)
    bounded(["/lib/systemd/systemd-udevd", "--daemon"], check=True, stderr=subprocess.DEVNULL)
    bounded(["udevadm", "trigger", "--action=add"], check=True)
    bounded(["udevadm", "settle", "--timeout=30"])
    session = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pipewire_session.sh")
    bounded([session, "start", directory], check=True)
    saved = dict(os.environ)
    os.environ.update(XDG_RUNTIME_DIR=directory + "/run", DBUS_SESSION_BUS_ADDRESS="unix:path=%s/run/bus" % directory)
    try:
        if not wait_until(lambda: "Node" in pw_cli("ls", "Node"), 30):
            raise RuntimeError("PipeWire does not answer")
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)
        bounded([session, "end", directory])
        bounded(["udevadm", "control", "--exit"])


def env(**hooks):
    e = dict(os.environ, SDL_VIDEODRIVER="dummy")
    e.update({"QUILTCAM_TEST_" + k: str(v) for k, v in hooks.items()})
    return e


def dump(program, out, frames, during=None, **hooks):
    """Runs the program until its display shows the camera's nth frame: (status, stderr, display,
    report). during(), if given, runs while it streams, once a frame has reached the grid."""
    trace = out + ".trace"
    if os.path.exists(trace):
        os.remove(trace)  # an earlier run's, which would set during() off before this one streams
    if during:
        hooks["TRACE"] = trace
    process = subprocess.Popen([program], stderr=subprocess.PIPE, text=True,
                               env=env(CAMERA_FRAMES=frames, DUMP=out + ".ppm", REPORT=out + ".txt", **hooks))
    if during:
        wait_until(lambda: os.path.exists(trace) and any(n for _, n, _ in read_trace(trace)), 30)
        during()
    try:
        stderr = process.communicate(timeout=120)[1]
    except subprocess.TimeoutExpired:
        process.kill()
        return "hung", process.communicate()[1], None, {}
    if process.returncode != 0:
        return process.returncode, stderr, None, {}
    with open(out + ".ppm", "rb") as f:
        data = f.read()
    with open(out + ".txt") as f:
        report = dict(line.split(None, 1) for line in f.read().splitlines())
    return 0, stderr, data[len(b"P6\n640 480\n255\n"):], report


def pixel(display, x, y):
    i = (y * 640 + x) * 3
    return tuple(display[i:i + 3])


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


def dequeued(start=False, minor=0):
    """The sequence numbers of the frames taken off a node since the kernel's v4l2_dqbuf trace
    was started."""
    tracing = "/sys/kernel/tracing/"
    if start:
        for path, value in (("events/v4l2/v4l2_dqbuf/enable", "1"), ("trace", "")):
            with open(tracing + path, "w") as f:
                f.write(value)
        return []
    with open(tracing + "trace") as f:
        return [int(n) for n in re.findall(r"v4l2_dqbuf: minor = %d,.* sequence = (\d+)" % minor, f.read())]


def listed_rates(device="/dev/video0", size=(640, 480), fourcc="BGR3"):
    """The frame rates a node lists at a size and format."""
    listed = bounded(["v4l2-ctl", "-d", device, "--list-frameintervals", "width=%d,height=%d,pixelformat=%s" %
                      (size + (fourcc,))], stdout=subprocess.PIPE, text=True).stdout
    return [float(r) for r in re.findall(r"Interval: Discrete [0-9.]+s \(([0-9.]+) fps\)", listed)]


def running_rate(device="/dev/video0"):
    """The frame rate the driver says a node runs at (G_PARM), or None."""
    parm = bounded(["v4l2-ctl", "-d", device, "--get-parm"], stdout=subprocess.PIPE, text=True).stdout
    found = re.findall(r"Frames per second: ([0-9.]+)", parm)
    return float(found[0]) if found else None


def near(colour, want):
    return all(abs(a - b) <= 8 for a, b in zip(colour, want))


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
