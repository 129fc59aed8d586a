#!/usr/bin/env bash
# The Windows programs under Wine, on Wine's own DirectShow, first with no camera, then with the
# virtual camera registered, then on Wine's own capture filter in front of vivid:
#   wine_tests.sh WINDOWS-BUILD LINUX-BUILD [PART...]
# PART (all when none is named): nocamera display shipped failures unplug short two install vivid.
# The Linux build brings the frame maker, the window closer and the Linux test program, whose
# display the Windows one must match byte for byte. Everything runs in the guest kernel
# (tests/support/guest.sh), where 32-bit programs run natively: on a 64-bit kernel without
# 32-bit support Wine would run through qemu-user, whose signal delivery Wine's own fault
# handler cannot work with (a fault Wine would handle kills the process there instead), so
# what passed would depend on the machine. The guest's results, with its Wine prefix (about
# 600 MB, made once and kept for every later run and checkout), are in /var/cache/quiltcam/wine-guest
# (or, where that cannot be written, beside the Windows build).
set -u
win=$(cd "$1" && pwd) linux=$(cd "$2" && pwd)
parts=" ${*:3} "
if [ -z "${GUEST_RESULTS:-}" ]; then
    results=/var/cache/quiltcam/wine-guest
    mkdir -p "$results" 2>/dev/null && [ -w "$results" ] || results=$win/guest-wine
    QUILTCAM_GUEST_CPU=qemu64 QUILTCAM_GUEST_MEMORY=3072 QUILTCAM_GUEST_TIMEOUT=${QUILTCAM_GUEST_TIMEOUT:-3000} \
        exec "$(dirname "$0")/support/guest.sh" "$results" "$0" "$@"
fi
part() { [ "$parts" = "  " ] || [[ "$parts" == *" $1 "* ]]; }
# In the guest. The programs run from the guest's own memory (Wine cannot map programs from the
# uncached results folder, and they write stderr.txt beside themselves where the tree is
# read-only).
export WINEPREFIX=$GUEST_RESULTS/wine-prefix HOME=$GUEST_RESULTS/home
mkdir -p "$HOME"
. "$(dirname "$0")/support/wine_session.sh"
programs=$work/programs
mkdir -p "$programs/tests/windows"
cp "$win"/*.exe "$programs/"
cp "$win"/tests/windows/*.exe "$win"/tests/windows/*.dll "$programs/tests/windows/"
cp "$win"/quiltcam-*-win32.zip "$programs/" 2>/dev/null
built=$win
win=$programs
testcam=$win/tests/windows/quiltcam-testcam.exe
cameraDll='Z:'$win/tests/windows/quiltcam-virtual-camera.dll
. "$(dirname "$0")/support/check.sh"

new_prefix
echo "  (Wine ready after $SECONDS s)"
wine regsvr32 /s /u "$cameraDll" >/dev/null 2>&1  # a camera left by an earlier run

# failure_box EXE PATTERN [ENV=VALUE...]: the program says what PATTERN matches in a message box
# and in stderr.txt, and exits 1 once the box is answered; with WINDOW=1 its window shows first.
failure_box() {
    local name
    name=$(basename "$1" .exe)
    answer_box "$1" "${@:3}"
    [ "${WINDOW:-0}" = 1 ] && check "$name: a window titled Quiltcam at 640 x 480" $([ -n "$window" ]; echo $?)
    check "$name: a message box, then exit status 1 (was $status)" $([ -n "$box" ] && [ "$status" = 1 ]; echo $?)
    [[ "$said" =~ ^$2$ ]]
    check "$name: stderr.txt says \"$said\"" $?
}

# keyed SECONDS EXE [ENV=VALUE...]: runs it, presses a key SECONDS after its window shows (at
# $pressed, in ms) and waits for it to end.
keyed() {
    start "${@:2}"
    window=$(window_of 180 640x480)
    sleep "$1"
    pressed=$(date +%s%3N)
    key "$window" q
    finish 60
}

M=$linux/tests/make-frames
$M scene 8 "$work/scene.raw"
$M scene 6 "$work/scene-640.raw" 640x480
$M scene 90 "$work/long.raw"
$M scene 6 "$work/scene-322.raw" 322x242

if part nocamera; then
# With no camera: the window opens, then the message box.
WINDOW=1 failure_box "$win/quiltcam.exe" "quiltcam: no video capture device found"
for program in "$win/quiltcam-fullscreen.exe" "$testcam"; do
    failure_box "$program" "$(basename "$program" .exe | sed 's/-testcam//'): no video capture device found"
done

fi
wine regsvr32 /s "$cameraDll" >"$work/regsvr32.log" 2>&1

if part display; then
# The test program on Wine's DirectShow: the same display as on Linux, byte for byte, with the
# camera at the size and rate the program chose (the frame time in 100 ns units). A webcam's
# list (16:9 first, YUY2 and RGB24 at several sizes and rates, starting at 1280x720 YUY2) gives
# 640x480 in RGB24 at its fastest, 25 frames a second, though YUY2 runs at 30 there.
while read -r camera frames size chosen time setting; do
    SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FRAMES="$work/$frames.raw" QUILTCAM_TEST_FRAME_SIZE=$size \
        QUILTCAM_TEST_DUMP="$work/linux.ppm" "$linux/tests/quiltcam-testcam" 2>/dev/null
    start "$testcam" QUILTCAM_TEST_FRAMES="Z:$work/$frames.raw" QUILTCAM_TEST_FRAME_SIZE=$size $setting \
        QUILTCAM_TEST_DUMP="Z:$work/windows.ppm" QUILTCAM_TEST_REPORT="Z:$work/report"
    finish 180
    check "$camera: exit status 0 after the dump (was $status)" $([ "$status" = 0 ]; echo $?)
    grep -qx "grabber_size $chosen" "$work/report" && grep -qx "camera_frame_time $time" "$work/report"
    asked=$?  # before the message's own command runs
    check "$camera: the camera runs at $chosen, a frame every ${time}00 ns ($(grep -E 'grabber_size|frame_time' \
        "$work/report" 2>/dev/null | tr '\n' ' '))" $asked
    grep -qx "virtual_camera_released 1" "$work/report" 2>/dev/null
    check "$camera: every reference on the camera given back once it is released" $?
    cmp -s "$work/linux.ppm" "$work/windows.ppm"
    check "$camera: the display is byte-identical to Linux's" $?
done <<TABLE
160x120-camera scene 160x120 160x120 333333 QUILTCAM_VIRTUAL_CAMERA_MODES=
640x480-camera scene-640 640x480 640x480 333333 QUILTCAM_VIRTUAL_CAMERA_MODES=
webcam scene-640 640x480 640x480 400000 QUILTCAM_VIRTUAL_CAMERA_MODES=webcam
top-down scene 160x120 160x120 333333 QUILTCAM_VIRTUAL_CAMERA_TOPDOWN=1
322x242-camera scene-322 322x242 322x242 333333 QUILTCAM_VIRTUAL_CAMERA_MODES=
TABLE

fi
if part shipped; then
# The shipped program, no hooks: what the user sees in its window, once the camera holds its
# last frame, and no other window (the camera has a preview pin too, which DirectShow would
# render in a window of its own); and the window's close ends it.
$M expect "$work/scene.raw" "$work/expected.ppm"
start "$win/quiltcam.exe" QUILTCAM_TEST_FRAMES="Z:$work/scene.raw" QUILTCAM_VIRTUAL_CAMERA_PREVIEW=1
window=$(window_of 180 640x480)
sleep 3
others=$(for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
    [ "$id" = "$window" ] || xdotool getwindowname "$id"; done | sort -u | tr '\n' ' ')
check "quiltcam.exe: no window but its own (${others:-none other})" $([ -z "$others" ]; echo $?)
xwd -id "$window" -silent | "$(dirname "$0")/support/xwd_to_ppm.py" >"$work/window.ppm"
"$linux/tests/close-window" "$window"
finish 60
cmp -s "$work/expected.ppm" "$work/window.ppm"
check "quiltcam.exe: its window shows the camera's picture, byte for byte" $?
check "quiltcam.exe: exit status 0 on the window's close (was $status)" $([ "$status" = 0 ]; echo $?)

fi
if part failures; then
# A camera that sends only YUY2: Wine's graph has no converter to RGB24 for the grabber (its AVI
# decompressor finds no codec), so the program says so rather than show black for ever.
failure_box "$testcam" "quiltcam: cannot take frames from Quiltcam Virtual Camera: .+" \
    QUILTCAM_TEST_FRAMES="Z:$work/scene.raw" QUILTCAM_VIRTUAL_CAMERA_FORMAT=YUY2
# The sample grabber's DLL (deprecated, and missing from some Windows installations) absent: the
# program says what is missing instead of crashing.
failure_box "$testcam" "quiltcam: cannot create the sample grabber \(qedit.dll\): .+" \
    QUILTCAM_TEST_FRAMES="Z:$work/scene.raw" WINEDLLOVERRIDES="mscoree,mshtml,qedit="

fi
if part unplug; then
# Unplugged after 20 frames and back a second later, as itself or as a camera that offers only
# another size: the picture holds meanwhile, and capture resumes within about a second of the
# camera's return. (Traces: ms, frames, middle cell.)
for back in itself 320x240; do
setting=QUILTCAM_VIRTUAL_CAMERA_RETURN=
[ $back = itself ] || setting=QUILTCAM_VIRTUAL_CAMERA_RETURN=$back
keyed 5 "$testcam" QUILTCAM_TEST_FRAMES="Z:$work/long.raw" QUILTCAM_VIRTUAL_CAMERA_UNPLUG=20,1000 $setting \
    QUILTCAM_TEST_TRACE="Z:$work/trace"
check "unplugged and back as $back: exit status 0 on a key (was $status)" $([ "$status" = 0 ]; echo $?)
# The longest wait between new pictures is the unplug: nothing may change during it (a cleared
# or black display would be a new picture), and it may outlast the camera's second away by
# about a second at most.
read -r away held <<<"$(awk '
    NR == 1 || $2 != frames { if (NR > 1 && $1 - since > longest) { longest = $1 - since; held = colour }
                   frames = $2; since = $1; colour = $3 "," $4 "," $5 }
    END { print longest + 0, held }' "$work/trace")"
resumed=$((away - 1000))
echo "  away ${away} ms holding ($held), live again ${resumed} ms after the camera's return"
check "unplugged and back as $back: the picture holds while the camera is away" \
    $([ "$away" -ge 900 ] && [ -n "$held" ] && [ "$held" != 0,0,0 ]; echo $?)
# About a second, the product says; bounded generously under Wine on an emulated processor.
check "unplugged and back as $back: live again ${resumed} ms after the return (5 s allowed)" $([ "$resumed" -le 5000 ]; echo $?)
done

fi
if part short; then
# Every other sample cut short, white in the part given: none of them reaches the display,
# whose middle cell keeps the one picture's colour throughout.
$M scene 1 "$work/still.raw"
keyed 3 "$testcam" QUILTCAM_TEST_FRAMES="Z:$work/still.raw" QUILTCAM_VIRTUAL_CAMERA_SHORT=1 QUILTCAM_TEST_TRACE="Z:$work/trace"
seen=$(awk '$2 > 0 {print $3 "," $4 "," $5}' "$work/trace" | sort -u | tr '\n' ' ')
check "short samples: never drawn (the middle cell: $seen), status $status" \
    $([ "$status" = 0 ] && [ "$(wc -w <<<"$seen")" = 1 ]; echo $?)

fi
if part unplug; then
# A key while the camera is away ends the frame loop at once (its trace stops); Wine then takes
# a moment to end the process.
keyed 3 "$testcam" QUILTCAM_TEST_FRAMES="Z:$work/long.raw" QUILTCAM_VIRTUAL_CAMERA_UNPLUG=20,60000 \
    QUILTCAM_TEST_TRACE="Z:$work/trace"
ended=$(($(tail -n 1 "$work/trace" | cut -d' ' -f1) - pressed))
exited=$(($(date +%s%3N) - pressed))
check "unplugged: a key ends the loop in ${ended} ms (3 s allowed) and the process in ${exited} ms, status 0 (was $status)" \
    $([ "$status" = 0 ] && [ $ended -lt 3000 ] && [ $exited -lt 30000 ]; echo $?)

fi
if part two; then
# Two cameras, the second with a picture of its own: the first usable one in the category's
# order; the same one back after a loss, another only once it has been gone two seconds.
wine regsvr32 /s /u "$cameraDll" >/dev/null 2>&1
QUILTCAM_VIRTUAL_CAMERAS=2 wine regsvr32 /s "$cameraDll" >>"$work/regsvr32.log" 2>&1
$M random 1 7 "$work/other.raw"
SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FRAMES="$work/other.raw" QUILTCAM_TEST_DUMP="$work/other.ppm" \
    "$linux/tests/quiltcam-testcam" 2>/dev/null
SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FRAMES="$work/other.raw" QUILTCAM_TEST_PASSES=2000 \
    QUILTCAM_TEST_TRACE="$work/other.trace" "$linux/tests/quiltcam-testcam" 2>/dev/null
other=$(tail -n 1 "$work/other.trace" | cut -d' ' -f3-)  # the second camera's middle cell
two="QUILTCAM_TEST_FRAMES=Z:$work/long.raw QUILTCAM_VIRTUAL_CAMERA2_FRAMES=Z:$work/other.raw"
while read -r what setting; do
    rm -f "$work/windows.ppm" "$work/report"
    start "$testcam" $two $setting QUILTCAM_TEST_CAMERA_FRAMES=1 QUILTCAM_TEST_DUMP="Z:$work/windows.ppm" \
        QUILTCAM_TEST_REPORT="Z:$work/report"
    finish 180
    cmp -s "$work/other.ppm" "$work/windows.ppm" && grep -qx "camera_name Quiltcam Virtual Camera 2" "$work/report"
    shown=$?
    check "the first camera $what: the second one's picture, byte for byte, after $(grep -o 'startup_ms.*' \
        "$work/report" | tr -d '\r') (status $status)" $shown
done <<TABLE
cannot-connect(YUY2-only) QUILTCAM_VIRTUAL_CAMERA_FORMAT=YUY2
never-sends QUILTCAM_VIRTUAL_CAMERA_SILENT=1
busy QUILTCAM_VIRTUAL_CAMERA_BUSY=600000
TABLE
# Traced: when the second camera's picture came (ms after the first line), and how many other
# pictures came after it.
after_other() {
    python3 - "$work/trace" "$other" <<'PY'
import sys
lines = [l.split() for l in open(sys.argv[1]) if l.count(" ") == 4]
first = next((int(l[0]) for l in lines if l[2:] == sys.argv[2].split()), None)
print(first - int(lines[0][0]) if first else "never",
      sum(1 for l in lines if first and int(l[0]) > first and l[2:] != sys.argv[2].split()))
PY
}
while read -r what setting; do
    keyed 15 "$testcam" $two $setting QUILTCAM_TEST_TRACE="Z:$work/trace"
    read -r came others <<<"$(after_other)"
    echo "  the first camera $what: the second one's picture ${came} ms after the first trace line, then $others others"
    check "the first camera $what: the second camera's picture within 20 s, and none other after it (status $status)" \
        $([ "$status" = 0 ] && [ "$came" != never ] && [ "$came" -lt 20000 ] && [ "$others" = 0 ]; echo $?)
done <<TABLE
stops-sending-after-20-frames QUILTCAM_VIRTUAL_CAMERA_STOPS=20
is-free-once-the-second-drops-out-and-comes-back QUILTCAM_VIRTUAL_CAMERA_BUSY=1500 QUILTCAM_VIRTUAL_CAMERA2_UNPLUG=20,1000
TABLE
fi
wine regsvr32 /s /u "$cameraDll" >/dev/null 2>&1

echo "  (cases on the virtual camera done after $SECONDS s)"
if part install; then
# The zip and the installer, as a user gets them. The installer goes into a fresh prefix,
# silently; the installed program runs (no camera there); the uninstaller takes it all away.
zip=$(ls "$built"/quiltcam-*-win32.zip | tail -n 1)
[ "$(unzip -Z1 "$zip" | sed 's|^[^/]*/||' | sort | tr '\n' ' ')" = "README.txt quiltcam-fullscreen.exe quiltcam.exe " ]
held=$?
check "$(basename "$zip") holds both programs and a read-me" $held
wineserver -k 2>/dev/null
export WINEPREFIX=$work/fresh-prefix  # in the guest's memory: installed programs run from it
new_prefix
drive=$WINEPREFIX/drive_c
installed="$drive/Program Files/Quiltcam" menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Quiltcam"
setup=$(ls "$win"/quiltcam-*-setup.exe | tail -n 1)
ARGS=/S start "$setup"
finish 120
check "$(basename "$setup") /S installs (status $status)" \
    $([ "$status" = 0 ] && [ -f "$installed/quiltcam.exe" ] && [ -f "$installed/quiltcam-fullscreen.exe" ] &&
      [ -f "$installed/README.txt" ]; echo $?)
check "Start menu shortcuts for both programs and the uninstaller" \
    $([ -f "$menu/Quiltcam.lnk" ] && [ -f "$menu/Quiltcam (full screen).lnk" ] && [ -f "$menu/Uninstall.lnk" ]; echo $?)
failure_box "$installed/quiltcam.exe" "quiltcam: no video capture device found"
ARGS=/S start "$installed/Uninstall.exe"
finish 60
for _ in $(seq 100); do [ -e "$installed" ] || [ -e "$menu" ] || break; sleep 0.2; done
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quiltcam' >/dev/null 2>&1
registered=$?
check "the uninstaller removes the programs, the shortcuts and its registry entry" \
    $([ ! -e "$installed" ] && [ ! -e "$menu" ] && [ $registered != 0 ]; echo $?)

fi
echo "  (the installer's cases done after $SECONDS s)"
# Wine's own capture filter, which reads V4L2 devices, in front of a real V4L2 driver.
wineserver -k 2>/dev/null
export WINEPREFIX=$GUEST_RESULTS/wine-prefix
part vivid && . "$(dirname "$0")/wine_vivid_tests.sh"
checks_done wine
