#!/usr/bin/env bash
# Seeds faults into the product code, one at a time, and reports those no test catches:
#   seeded_faults.sh [--slow N] [NAME...]
# Works on a copy of the sources in build/seeded (the checkout is never touched): applies the
# fault (each is an exact edit that must still apply), rebuilds, runs the tests that can see
# it, and counts it caught when they fail (the tests that are to catch a fault are first run
# without any, and must pass). Every fault with a fast catcher (unit and program
# tests) runs each time; of the slow ones (the guest kernel, Wine) --slow N picks N, rotating
# by the day of the year so that a few days in a row cover them all (default: all). Exits 1 when a
# fault went uncaught.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
slow=-1
if [ "${1:-}" = --slow ]; then slow=$2; shift 2; fi
copy=$top/build/seeded
mkdir -p "$copy"
# A pristine copy to work on and to undo each fault from: edits made to the checkout meanwhile
# do not leak in.
copy_tree() {  # copy_tree FROM TO: the sources, without builds or history
    mkdir -p "$2"
    find "$2" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
    tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$2" -xf -
}
copy_tree "$top" "$copy/pristine"
copy_tree "$copy/pristine" "$copy/src"
# Newer than anything an earlier, interrupted run built from a fault.
find "$copy/src" -path "$copy/src/build" -prune -o -type f -exec touch {} +
mkdir -p "$copy/src/build"
for shared in windows-sdl-source windows-sdl windows-sdl-build classic-sdl; do  # built once, reused
    [ -e "$top/build/$shared" ] && ln -sfn "$top/build/$shared" "$copy/src/build/$shared"
done
cd "$copy/src"
log=$copy/log
: >"$log"

# The faults: name ^ file ^ what is there ^ what it becomes ^ how it is caught.
# Several edits of one fault share its name; `\n` stands for a line break.
faults=$(cat <<'FAULTS'
scale-in-double^camera/CameraGrid.cpp^(int)(x * (double)columnScale)^(int)(x * ((double)gridWidth / width))^unit CameraGrid
mirror-off-by-one^camera/CameraGrid.cpp^rowSums + 3 * (width - 1 - x)^rowSums + 3 * (width - 2 - x)^unit CameraGrid
last-column-counted^camera/CameraGrid.cpp^x < width - 1 ? (int)(x * (double)columnScale) : -1^(int)(x * (double)columnScale)^unit CameraGrid
last-column-counted^camera/CameraGrid.cpp^for (int x = 0; x < width - 1; x++) counts^for (int x = 0; x < width; x++) counts^
last-column-counted^camera/CameraGrid.cpp^        for (int x = 0; x < width - 1; x++) {^        for (int x = 0; x < width; x++) {^
rows-top-down^camera/CameraGrid.cpp^frameBuffer + (size_t)(height - 1 - y) * rowBytes^frameBuffer + (size_t)y * rowBytes^unit CameraGrid
luma-weights-swapped^camera/CameraGrid.cpp^(cell->b * 0.071169 + cell->g * 0.71516) + cell->r * 0.212671^(cell->b * 0.212671 + cell->g * 0.71516) + cell->r * 0.071169^unit CameraGrid
shading-exact-reciprocal^app/tile_shading.h^return (x * 0x8081u) >> 23;^return (x * 0x8080u) >> 23;^unit Shading
tile-origin-off^app/quiltcam.cpp^originX = (640 - tileWidth * gridWidth) / 2;^originX = (640 - tileWidth * gridWidth) / 2 + 1;^program dump_matches_reference
meter-at-1000-ms^app/quiltcam.cpp^return now - lastTick > 1000;^return now - lastTick >= 1000;^unit FrameMeter
event-taken-twice^app/quiltcam.cpp^    if (SDL_PollEvent(&event) &&^    SDL_PollEvent(&event);\n    if (SDL_PollEvent(&event) &&^program mouse_burst_keeps_rendering
fullscreen-flag-lost^app/quiltcam.cpp^videoFlags = SDL_HWSURFACE | SDL_FULLSCREEN;^videoFlags = SDL_HWSURFACE;^program fullscreen_starts_fullscreen
failure-line-only-on-terminal^app/failure_window.cpp^if (isatty(STDERR_FILENO) || !SDL_WasInit^if (!SDL_WasInit^program failures_on_a_terminal
failure-not-shown-in-window^app/quiltcam.cpp^    showFailureInWindow(message);\n^^program no_camera_shown_in_window
backend-choice-ignores-tests^camera/platform_camera.cpp^    if (testMaker) return testMaker();\n^^unit CameraGrid
hand-over-read-in-place^capture/frame_hand_over.cpp^reading = newest.exchange(reading) & ~fresh;^reading = newest.load() & ~fresh;^tsan FrameHandOver
wrong-size-frame-accepted^capture/frame_hand_over.cpp^if (bytes != frameBytes || bytes == 0) return;^if (bytes > frameBytes) return;^unit FrameHandOver
overlong-frame-read^v4l2/v4l2_camera.cpp^buffer.bytesused > 0 && buffer.bytesused <= mapped.length;^buffer.bytesused > 0;^unit V4l2Camera
truncated-jpeg-accepted^capture/frame_intake.cpp^if (!plane.data || !endsLikeJpeg(plane.data, plane.bytes)) return nullptr;^if (!plane.data) return nullptr;^unit V4l2Camera
jpeg-padding-refused^capture/frame_intake.cpp^    while (length > 2 && data[length - 1] == 0) length--;  // some cameras pad with zeros\n^^unit FrameIntake
row-stride-ignored^capture/frame_intake.cpp^*stride = plane.rowBytes ? plane.rowBytes : shape.rowBytes;^*stride = shape.rowBytes;^unit FrameIntake
chroma-plane-stride-from-luma^capture/frame_intake.cpp^const size_t stride = planar(layout) && p == 1 ? strides[0] / 2 : strides[p - 1];^const size_t stride = strides[p - 1];^unit FrameIntake
cb-and-cr-swapped^capture/frame_intake.cpp^    if (crFirst(layout)) std::swap(u, v);\n    scaler.scaleFine^    scaler.scaleFine^unit FrameIntake
buffer-not-requeued^v4l2/v4l2_camera.cpp^return system.ioctl(fd, VIDIOC_QBUF, &buffer) == 0 && !quietTooLong;^return !quietTooLong;^unit V4l2Camera
requeue-failure-ignored^v4l2/v4l2_camera.cpp^return system.ioctl(fd, VIDIOC_QBUF, &buffer) == 0 && !quietTooLong;^return (system.ioctl(fd, VIDIOC_QBUF, &buffer) == 0 || errno != ENODEV) && !quietTooLong;^unit V4l2Camera
frozen-stream-not-restarted^v4l2/v4l2_camera.cpp^if (polled <= 0) return !quietTooLong;^if (polled <= 0) return true;^unit V4l2Camera
flagged-buffer-drawn^v4l2/v4l2_camera.cpp^const bool whole = !(buffer.flags & V4L2_BUF_FLAG_ERROR) && ^const bool whole = ^unit V4l2Camera
busy-camera-not-passed-over^capture/camera_walk.cpp^            if (tried == CameraTried::started) return true;^            if (tried != CameraTried::greyOnly) return tried == CameraTried::started;^unit V4l2Camera
grey-camera-first^capture/camera_walk.cpp^for (bool allowGrey : {false, true})^for (bool allowGrey : {true})^unit V4l2Camera
media-controller-node-taken^v4l2/v4l2_camera.cpp^ || (caps & V4L2_CAP_IO_MC)) return notACamera;^) return notACamera;^unit V4l2Camera
same-camera-not-preferred^v4l2/v4l2_camera.cpp^if (openUsable(true) || (std::chrono::steady_clock::now() - lostAt >= givesUpAfter && openUsable(false))) {^if (openUsable(false)) {^unit V4l2Camera
wrong-colour-matrix^capture/frame_intake.cpp^kr = format.bt709 ? 0.2126 : 0.299, kb = format.bt709 ? 0.0722 : 0.114^kr = format.bt709 ? 0.299 : 0.2126, kb = format.bt709 ? 0.114 : 0.0722^unit FrameIntake
limited-range-read-as-full^capture/frame_intake.cpp^const double lumaFactor = format.fullRange ? 1.0 : 255.0 / 219.0^const double lumaFactor = 1.0^unit FrameIntake
size-choice-ignores-shape^capture/camera_mode.cpp^return largeEnough ? (sameShape ? 0 : 1) : 2;^return largeEnough ? 0 : 2;^unit CameraModeChoice
slowest-rate-chosen^capture/camera_mode.cpp^(uint64_t)a.intervalNumerator * b.intervalDenominator < ^(uint64_t)a.intervalNumerator * b.intervalDenominator > ^unit CameraModeChoice
rate-not-capped-at-30^capture/camera_mode.cpp^if (aCalm != bCalm) return aCalm;^if (aCalm != bCalm) return bCalm;^unit CameraModeChoice
range-takes-its-fastest^capture/camera_mode.cpp^return thirtieth < shortest ? shortest : thirtieth > longest ? longest : thirtieth;^return shortest;^unit CameraModeChoice
scaler-weight-off-by-one^capture/frame_scaler.cpp^weights.push_back((uint32_t)overlap);^weights.push_back((uint32_t)overlap + 1);^unit FrameScaler
pipewire-same-camera-not-preferred^pipewire/pipewire_camera.cpp^    Node* next = best(true);^    Node* next = nullptr;^program pipewire_camera
pipewire-renegotiation-ignored^pipewire/pipewire_frames.cpp^    readable = frameFormatOf(format, &frame, rate) && intake.configure(frame, width, height);^    readable = readable || (frameFormatOf(format, &frame, rate) && intake.configure(frame, width, height));^unit PipeWireFrames
pipewire-flagged-buffer-drawn^pipewire/pipewire_frames.cpp^(chunk->flags & (SPA_CHUNK_FLAG_CORRUPTED | SPA_CHUNK_FLAG_EMPTY)) ||^^unit PipeWireFrames
pipewire-chunk-past-its-memory^pipewire/pipewire_frames.cpp^if (chunk->size == 0 || chunk->size > data.maxsize - offset) return 0;^if (chunk->size == 0) return 0;^unit PipeWireFrames
pipewire-range-not-chosen-from^pipewire/pipewire_frames.cpp^    if (ranged(choice) && rates.size() >= 3) {^    if (false) {^unit PipeWireFrames
scaler-stretches^capture/frame_scaler.cpp^cropWidth = std::max(1, (int)((long long)sourceHeight * targetWidth / targetHeight));^cropWidth = sourceWidth;^unit FrameScaler
reconnect-never-sleeps^v4l2/v4l2_camera.cpp^std::this_thread::sleep_for(std::chrono::milliseconds(50));^continue;^guest faults
no-frame-rate-asked^v4l2/v4l2_camera.cpp^parameters.parm.capture.timeperframe = interval;^(void)interval;^guest shape_and_rate
same-camera-not-preferred-on-vivid^v4l2/v4l2_camera.cpp^if (openUsable(true) || (std::chrono::steady_clock::now() - lostAt >= givesUpAfter && openUsable(false))) {^if (openUsable(false)) {^guest several_cameras
matrix-not-from-the-driver^v4l2/v4l2_camera.cpp^format.bt709 = pix.ycbcr_enc == V4L2_YCBCR_ENC_709 ||^format.bt709 = !(pix.ycbcr_enc == V4L2_YCBCR_ENC_709) &&^guest colours
pipewire-not-first^camera/platform_camera.cpp^systems[])(const CameraOptions&) = {newPipeWire, newV4l2};^systems[])(const CameraOptions&) = {newV4l2, newPipeWire};^guest pipewire
connect-failure-ignored^directshow/capture_chain.cpp^    status = connectSource();\n    if (FAILED(status)) {^    status = connectSource();\n    if (false) {^wine
lost-camera-never-rebuilt^directshow/device_watch.cpp^        if (!lost) continue;^        continue;^wine
unchecked-creation^directshow/capture_chain.cpp^    if (SUCCEEDED(status)) {\n        status = grabberFilter->QueryInterface^    {\n        status = grabberFilter->QueryInterface^wine
camera-list-ignored^directshow/capture_chain.cpp^if (chosen >= 0) streamConfig->SetFormat(types[chosen]);^(void)chosen;^wine
rate-not-asked^directshow/capture_chain.cpp^(REFERENCE_TIME)chooseInterval(caps.MinFrameInterval, caps.MaxFrameInterval, 10000000);^info->AvgTimePerFrame;^wine
rebuild-not-replanned^directshow/capture_chain.cpp^    renderPreview();\n    planConnectedSize();\n^    renderPreview();\n^wine
next-device-not-tried^directshow/capture_chain.cpp^return startFirstUsable((int)devices.size(),^return startFirstUsable(devices.empty() ? 0 : 1,^wine
silent-device-taken^directshow/capture_chain.cpp^    if (waitForSample && counter.samples == before) {^    if (false) {^wine
silence-not-watched^directshow/device_watch.cpp^        } else if (now - lastSampleAt >= givesUpAfterMs) {\n            lost = true;^        } else if (now - lastSampleAt >= givesUpAfterMs) {^wine
first-device-bound-on-return^directshow/device_watch.cpp^if (devices[i].path == devicePath) same = (int)i;^if (devices[i].path == devicePath) same = 0;^wine
top-down-frames-copied-as-they-are^directshow/directshow_camera.cpp^&& header.biHeight > 0 && width % 4 == 0;^ && width % 4 == 0;^wine
padded-rows-read-packed^directshow/directshow_camera.cpp^connectedRowBytes = (connectedWidth * 3 + 3) & ~3;^connectedRowBytes = connectedWidth * 3;^wine
preview-in-a-window^directshow/capture_chain.cpp^source, nullptr, previewRenderer);^source, nullptr, nullptr);^wine
leaked-reference^directshow/capture_chain.cpp^    pins->Release();\n    return status;^    return status;^wine
missed-release-on-failure^directshow/capture_chain.cpp^        out->Release();\n        return E_FAIL;^        return E_FAIL;^wine
FAULTS
)

# apply FILE OLD NEW: the edit, which must apply exactly once.
apply() {
    python3 - "$@" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace('\\n', '\n'), sys.argv[3].replace('\\n', '\n')
text = open(path).read()
if text.count(old) != 1:
    sys.exit('%s: the seeded edit no longer applies: %r' % (path, old))
open(path, 'w').write(text.replace(old, new))
PY
}

configured=
build() {  # build PRESET: configures it once, then builds it
    case " $configured " in *" $1 "*) ;; *) cmake --preset "$1" >>"$log" 2>&1; configured="$configured $1" ;; esac
    cmake --build --preset "$1" >>"$log" 2>&1
}

# caught KIND ARG: 0 when the tests of that kind see the fault (they fail), 1 when they pass, 2
# when what they test does not build.
caught() {
    case $1 in
    unit | program | guest) build default ;;
    tsan) build tsan ;;
    wine) build default && build windows && cpack --preset windows >>"$log" 2>&1 ;;
    esac || return 2
    case $1 in
    unit) ! ctest --test-dir build/default -R "$2" -E 'program|guest' >>"$log" 2>&1 ;;
    program) ! ctest --test-dir build/default -R "program\.$2\$" >>"$log" 2>&1 ;;
    tsan) ! TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build/tsan -R "$2" >>"$log" 2>&1 ;;
    guest) ! tests/support/guest.sh build/seeded-guest tests/vivid_tests.py build/default "$2" >>"$log" 2>&1 ;;
    wine) ! QUILTCAM_WINE_GUEST=0 tests/wine_tests.sh build/windows build/default >>"$log" 2>&1 ;;
    esac
}

names=$(cut -d'^' -f1 <<<"$faults" | uniq)
slowNames=$(awk -F'^' '$5 ~ /^(guest|wine)/ {print $1}' <<<"$faults" | uniq)
if [ $# -gt 0 ]; then
    names="$*"
elif [ "$slow" -ge 0 ]; then
    count=$(wc -w <<<"$slowNames")
    day=$((10#$(date +%j)))
    keep=$(for i in $(seq 0 $((slow - 1))); do sed -n "$(((day * slow + i) % count + 1))p" <<<"$slowNames"; done)
    names=$(for name in $names; do
        grep -qx "$name" <<<"$slowNames" && ! grep -qx "$name" <<<"$keep" || echo "$name"
    done)
fi

build default || { echo "seeded_faults.sh: the copy does not build"; tail -n 20 "$log"; exit 2; }
# A fault counts as caught only by tests that pass without it.
for catcher in $(for name in $names; do
    awk -F'^' -v name="$name" '$1 == name && $5 != "" {print $5}' <<<"$faults"; done | sort -u | tr ' ' '~'); do
    caught ${catcher/\~/ }
    case $? in
    0) echo "seeded_faults.sh: the ${catcher/\~/ } tests fail without any fault (log: $log)" && exit 2 ;;
    2) echo "seeded_faults.sh: what the ${catcher/\~/ } tests need does not build (log: $log)" && exit 2 ;;
    esac
done
missed=()
for name in $names; do
    catcher=
    while IFS='^' read -r fault file old new how; do
        [ "$fault" = "$name" ] || continue
        apply "$file" "$old" "$new" || exit 2
        [ -n "$how" ] && catcher=$how
    done <<<"$faults"
    [ -n "$catcher" ] || { echo "seeded_faults.sh: no fault called $name"; exit 2; }
    started=$(date +%s)
    echo "== $name ($catcher)" >>"$log"
    caught $catcher
    case $? in
    0) result=caught ;;
    2) result="MISSED (it does not build)" && missed+=("$name") ;;
    *) result=MISSED && missed+=("$name") ;;
    esac
    echo "$result: $name, by $catcher tests ($(($(date +%s) - started)) s)"
    for file in $(awk -F'^' -v name="$name" '$1 == name {print $2}' <<<"$faults"); do
        cp "$copy/pristine/$file" "$file"  # undone, with a new time: rebuilt next time
    done
done
build default
echo "seeded faults: ${#missed[@]} missed${missed:+: ${missed[*]}} (log: $log)"
[ ${#missed[@]} -eq 0 ]
