#!/usr/bin/env bash
# Seeds faults into the product code, one at a time, and reports those no test catches:
#   seeded_faults.sh [--slow N] [NAME...]
# Works on a copy of the sources in build/seeded (the checkout is never touched): applies the
# fault (each is an exact edit that must still apply), rebuilds, runs the tests that can see
# it, and counts it caught when they fail (the tests that are to catch a fault are first run
# without any, and must pass). Every fault with a fast catcher (unit and program
# tests) runs each time; of the slow ones (the guest kernel's, Wine) --slow N picks N, rotating
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
truncated-jpeg-accepted^capture/frame_intake_ycbcr.cpp^if (!plane.data || !endsLikeJpeg(plane.data, plane.bytes)) return nullptr;^if (!plane.data) return nullptr;^unit FrameShapes
jpeg-padding-refused^capture/frame_intake_ycbcr.cpp^    while (length > 2 && data[length - 1] == 0) length--;  // some cameras pad with zeros\n^^unit FrameShapes
row-stride-ignored^capture/frame_intake_layouts.h^*stride = plane.rowBytes ? plane.rowBytes : shape.rowBytes;^*stride = shape.rowBytes;^unit FrameShapes
chroma-plane-stride-from-luma^capture/frame_intake_ycbcr.cpp^const size_t stride = planar(layout) && p == 1 ? strides[0] / 2 : strides[p - 1];^const size_t stride = strides[p - 1];^unit FrameShapes
cb-and-cr-swapped^capture/frame_intake_ycbcr.cpp^if (crFirst(layout)) {  // each plane^if (false) {  // each plane^unit FrameShapes
cr-first-planes-strides-kept^capture/frame_intake_ycbcr.cpp^        std::swap(chromaStride, vStride);\n^^unit FrameShapes
flagged-buffer-drawn^v4l2/v4l2_camera.cpp^const bool whole = !(buffer.flags & V4L2_BUF_FLAG_ERROR) && ^const bool whole = ^webcam faults
wrong-colour-matrix^capture/frame_intake_ycbcr.cpp^{{0.299, 0.114}, {0.2126, 0.0722}^{{0.2126, 0.0722}, {0.299, 0.114}^unit FrameShapes
limited-range-read-as-full^capture/frame_intake_ycbcr.cpp^const double lumaFactor = format.fullRange ? 1.0 : 255.0 / 219.0^const double lumaFactor = 1.0^unit FrameShapes
size-choice-ignores-shape^capture/camera_mode.cpp^return largeEnough ? (sameShape ? 0 : 1) : 2;^return largeEnough ? 0 : 2;^unit CameraModeChoice
slowest-rate-chosen^capture/camera_mode.cpp^(uint64_t)a.intervalNumerator * b.intervalDenominator < ^(uint64_t)a.intervalNumerator * b.intervalDenominator > ^unit CameraModeChoice
rate-not-capped-at-30^capture/camera_mode.cpp^if (aCalm != bCalm) return aCalm;^if (aCalm != bCalm) return bCalm;^unit CameraModeChoice
range-takes-its-fastest^capture/camera_mode.cpp^return thirtieth < shortest ? shortest : thirtieth > longest ? longest : thirtieth;^return shortest;^unit CameraModeChoice
scaler-weight-off-by-one^capture/frame_scaler.cpp^weights.push_back((uint32_t)overlap);^weights.push_back((uint32_t)overlap + 1);^unit FrameShapes
pipewire-flagged-buffer-drawn^pipewire/pipewire_frames.cpp^(chunk->flags & (SPA_CHUNK_FLAG_CORRUPTED | SPA_CHUNK_FLAG_EMPTY)) ||^^unit FrameShapes
pipewire-chunk-past-its-memory^pipewire/pipewire_frames.cpp^if (chunk->size == 0 || chunk->size > data.maxsize - offset) return 0;^if (chunk->size == 0) return 0;^unit FrameShapes
pipewire-range-not-chosen-from^pipewire/pipewire_frames.cpp^    if (ranged(choice) && rates.size() >= 3) {^    if (false) {^unit CameraModeChoice
scaler-stretches^capture/frame_scaler.cpp^cropWidth = std::max(1, (int)((long long)sourceHeight * targetWidth / targetHeight));^cropWidth = sourceWidth;^unit FrameShapes
no-frame-rate-asked^v4l2/v4l2_camera.cpp^parameters.parm.capture.timeperframe = interval;^(void)interval;^guest shape_and_rate
pipewire-not-first^camera/platform_camera.cpp^systems[])(const CameraOptions&) = {newPipeWire, newV4l2};^systems[])(const CameraOptions&) = {newV4l2, newPipeWire};^webcam pipewire
unchecked-creation^directshow/capture_chain.cpp^    if (SUCCEEDED(status)) {\n        status = grabberFilter->QueryInterface^    {\n        status = grabberFilter->QueryInterface^wine failures
camera-list-ignored^directshow/capture_chain.cpp^if (chosen >= 0) streamConfig->SetFormat(types[chosen]);^(void)chosen;^wine display
rate-not-asked^directshow/capture_chain.cpp^(REFERENCE_TIME)chooseInterval(caps.MinFrameInterval, caps.MaxFrameInterval, 10000000);^info->AvgTimePerFrame;^wine display
preview-in-a-window^directshow/capture_chain.cpp^source, nullptr, previewRenderer);^source, nullptr, nullptr);^wine shipped
leaked-reference^directshow/capture_chain.cpp^    pins->Release();\n    return status;^    return status;^wine display
missed-release-on-failure^directshow/capture_chain.cpp^        out->Release();\n        return E_FAIL;^        return E_FAIL;^wine display
buffer-not-requeued^v4l2/v4l2_camera.cpp^broken = system.ioctl(fd, VIDIOC_QBUF, &buffer) != 0;^broken = false;^unit V4l2Camera
requeue-failure-ignored^v4l2/v4l2_camera.cpp^broken = system.ioctl(fd, VIDIOC_QBUF, &buffer) != 0;^broken = system.ioctl(fd, VIDIOC_QBUF, &buffer) != 0 && errno == ENODEV;^unit V4l2Camera
media-controller-node-taken^v4l2/v4l2_camera.cpp^(caps & V4L2_CAP_STREAMING) && !(caps & V4L2_CAP_IO_MC))^(caps & V4L2_CAP_STREAMING))^unit V4l2Camera
colour-space-not-mapped^v4l2/v4l2_frames.cpp^? (uint32_t)V4L2_MAP_YCBCR_ENC_DEFAULT(pix.colorspace) : pix.ycbcr_enc;^? (uint32_t)(pix.colorspace == V4L2_COLORSPACE_REC709 ? V4L2_YCBCR_ENC_709 : V4L2_YCBCR_ENC_601) : pix.ycbcr_enc;^unit FrameShapes
matrix-not-from-the-driver^v4l2/v4l2_frames.cpp^    format->matrix = matrixOf(pix);^    format->matrix = YcbcrMatrix::bt709;^guest colours
reconnect-never-sleeps^v4l2/v4l2_camera.cpp^            std::this_thread::sleep_for(std::chrono::milliseconds(50));^            continue;^guest faults
busy-camera-not-passed-over^capture/camera_life.cpp^        if (attempt(index, index == same)) return;^        if (attempt(index, index == same) || true) return;^unit CameraLife
grey-camera-first^capture/camera_life.cpp^        if (attempt(index, index == same)) return;^        if (attempt(index, true)) return;^unit CameraLife
silent-camera-kept^capture/camera_life.cpp^if (!wasBroken && stillListed(current) && now - lastFrameAt < givesUpAfter) return;^if (!wasBroken && stillListed(current)) return;^unit CameraLife
silent-trial-taken^capture/camera_life.cpp^if (!wasBroken && stillListed(trial) && now - trialAt < givesUpAfter) return;^if (!wasBroken && stillListed(trial)) return;^unit CameraLife
retry-clock-restarted^capture/camera_life.cpp^        failed.insert(trial);\n        trial.clear();^        failed.insert(trial);\n        trial.clear();\n        lostAt = now;^unit CameraLife
silent-same-camera-preferred-for-ever^capture/camera_life.cpp^if (same >= 0 && (again || !failed.count(current))) order.push_back(same);^if (same >= 0) order.push_back(same);^unit CameraLife
same-camera-not-preferred^capture/camera_life.cpp^        if (same >= 0) order.push_back(same);  // only the same camera, for now^^unit CameraLife
daemon-downtime-counted-against-the-camera^capture/camera_life.cpp^    if (systemAway && state == State::lost) lostAt = now;\n^^unit CameraLife
unlisted-camera-kept^capture/camera_life.cpp^if (!wasBroken && stillListed(current) && now - lastFrameAt < givesUpAfter) return;^if (!wasBroken && now - lastFrameAt < givesUpAfter) return;^unit CameraLife
thread-left-running-at-exit^app/quiltcam.cpp^    if (grid) grid->stopCamera();\n^^program pipewire_camera
renegotiated-format-read-with-the-old-one^capture/camera_core.cpp^    intakeReady = intake.configure(format, width, height);^    intakeReady = intakeReady || intake.configure(format, width, height);^unit CameraCore
connect-failure-ignored^directshow/capture_chain.cpp^    status = sourceOut ? connectSource() : VFW_E_NO_ACCEPTABLE_TYPES;\n    if (FAILED(status)) {^    status = sourceOut ? connectSource() : VFW_E_NO_ACCEPTABLE_TYPES;\n    if (false) {^wine failures
rebuild-not-replanned^directshow/capture_chain.cpp^    renderPreview();\n    if (!planFrames()) {^    renderPreview();\n    static bool planned = false;\n    if (!planned && !(planned = planFrames())) {^wine unplug
same-device-not-known-again^directshow/capture_chain.cpp^identities->push_back(std::string(device.path.begin(), device.path.end()));^identities->push_back(std::to_string(identities->size()) + std::string(device.path.begin(), device.path.end()) + std::to_string(GetTickCount()));^wine two
top-down-frames-copied-as-they-are^directshow/capture_chain.cpp^        format.bottomUp = header.biHeight > 0;^        format.bottomUp = true;^wine display
padded-rows-read-packed^directshow/capture_chain.cpp^rowBytes = ((size_t)format.width * 3 + 3) & ~(size_t)3;^rowBytes = (size_t)format.width * 3;^wine display
capture-pin-not-sought^directshow/capture_chain.cpp^    if (FAILED(builder->FindPin(source, PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, FALSE, 0, &sourceOut)))\n        sourceOut = pinOf(source, PINDIR_OUTPUT);^    sourceOut = pinOf(source, PINDIR_OUTPUT);^wine shipped
short-sample-taken^directshow/directshow_camera.cpp^const FramePlane plane{data, length > 0 ? (size_t)length : 0, camera.rowBytes};^const FramePlane plane{data, (size_t)sample->GetSize(), camera.rowBytes};^wine short
chroma-plane-cropped-as-its-own-shape^capture/frame_intake_ycbcr.cpp^    chromaScaler.plan(format.width, format.height, w, h, 1, 2, fourTwoZero(format.layout) ? 2 : 1);^    chromaScaler.plan(chromaWidth, chromaHeight, w, h, 1);^unit FrameShapes
odd-width-chroma-rounded-down^capture/frame_intake_ycbcr.cpp^const size_t w = in.width, h = in.height, chromaWidth = (w + 1) / 2;^const size_t w = in.width, h = in.height, chromaWidth = w / 2;^unit FrameShapes
v4l2-stride-ignored^v4l2/v4l2_frames.cpp^return {data, bytesUsed, pix.bytesperline};^return {data, bytesUsed, 0};^unit FrameShapes
jpeg-scale-off-the-middle^capture/frame_intake_ycbcr.cpp^in.height % k == 0 && middle.x % k == 0 &&^in.height % k == 0 && true &&^unit FrameShapes
pipewire-matrix-from-the-primaries^pipewire/pipewire_frames.cpp^matrixOf(info.color_matrix)^matrixOf(info.color_primaries)^unit FrameShapes
swapped-rate-range-taken-as-given^pipewire/pipewire_frames.cpp^        if (slower(most, least)) std::swap(least, most);\n^^unit CameraModeChoice
swapped-interval-range-taken-as-given^capture/camera_mode.cpp^    if (longest < shortest) std::swap(shortest, longest);  // as some drivers give them^    if (longest < shortest) longest = shortest;^unit CameraModeChoice
short-stride-read^capture/frame_intake_layouts.h^return plane.data && *stride >= shape.rowBytes && shape.rows > 0 &&^return plane.data && shape.rows > 0 &&^unit FrameShapes
frame-a-byte-short-taken^capture/frame_intake_layouts.h^plane.bytes >= *stride * (shape.rows - 1) + shape.rowBytes;^plane.bytes + 1 >= *stride * (shape.rows - 1) + shape.rowBytes;^unit FrameShapes
jpeg-of-another-size-taken^capture/frame_intake_ycbcr.cpp^ ||\n        jpegWidthSaid != in.width || jpegHeightSaid != in.height)^)^unit FrameShapes
pipewire-corrupted-header-drawn^pipewire/pipewire_frames.cpp^    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return 0;\n^^unit FrameShapes
v4l2-size-range-not-chosen-from^v4l2/v4l2_camera.cpp^VIDIOC_ENUM_FRAMESIZES, &size) == 0; size.index++)^VIDIOC_ENUM_FRAMESIZES, &size) == 0 && size.type == V4L2_FRMSIZE_TYPE_DISCRETE; size.index++)^unit V4l2Camera
swapped-size-range-taken-as-given^capture/camera_mode.cpp^    if (most < least) std::swap(least, most);\n^^unit CameraModeChoice
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
    unit | program | guest | webcam) build default ;;
    tsan) build tsan ;;
    wine) build default && build windows && cpack --preset windows >>"$log" 2>&1 ;;
    esac || return 2
    case $1 in
    unit) ! ctest --test-dir build/default -R "$2" -E 'program|guest' >>"$log" 2>&1 ;;
    program) ! ctest --test-dir build/default -R "program\.$2\$" >>"$log" 2>&1 ;;
    tsan) ! TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build/tsan -R "$2" >>"$log" 2>&1 ;;
    guest) ! tests/support/guest.sh build/seeded-guest tests/vivid_tests.py build/default "$2" >>"$log" 2>&1 ;;
    webcam) ! tests/support/guest.sh build/seeded-guest tests/webcam_tests.py build/default "$2" >>"$log" 2>&1 ;;
    wine) ! tests/wine_tests.sh build/windows build/default ${2//\~/ } >>"$log" 2>&1 ;;
    esac
}

names=$(cut -d'^' -f1 <<<"$faults" | uniq)
slowNames=$(awk -F'^' '$5 ~ /^(guest|webcam|wine)/ {print $1}' <<<"$faults" | uniq)
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
# A fault counts as caught only by tests that pass without it. Those of the kinds named in
# QUILTCAM_SEEDED_PASSED ("guest webcam wine", as CI says once its earlier parts have run them
# all on this tree) are not run without it again.
for catcher in $(for name in $names; do
    awk -F'^' -v name="$name" '$1 == name && $5 != "" {print $5}' <<<"$faults"; done | sort -u | tr ' ' '~'); do
    [[ " ${QUILTCAM_SEEDED_PASSED:-} " == *" ${catcher%%\~*} "* ]] && continue
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
