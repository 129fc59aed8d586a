# The shipped Windows test program under Wine in the guest kernel, on Wine's own capture filter
# (which reads V4L2 devices) in front of vivid, beside the Linux program on the same camera.
# Sourced by tests/wine_tests.sh in the guest, after its own cases: its Wine session, its
# programs in the guest's memory ($programs) and its checks.
modprobe vivid n_devs=1 node_types=0x1 num_inputs=1 input_types=0x0
v4l2-ctl -d /dev/video0 -c osd_text_mode=2 -c test_pattern=0  # 75 % colour bars

# windows FRAMES NAME: the test program until its display shows the camera's FRAMESth new picture.
windows() {
    start "$programs/tests/windows/quiltcam-testcam.exe" QUILTCAM_TEST_CAMERA_FRAMES=$1 \
        QUILTCAM_TEST_DUMP="Z:$GUEST_RESULTS/$2.ppm" QUILTCAM_TEST_REPORT="Z:$GUEST_RESULTS/$2.txt"
    finish 300
}
report() { tr -d '\r' <"$GUEST_RESULTS/$1.txt" 2>/dev/null | awk -v key="$2" '$1 == key {print $2}'; }

windows 1 windows
SDL_VIDEODRIVER=dummy QUILTCAM_TEST_CAMERA_FRAMES=10 QUILTCAM_TEST_DUMP="$GUEST_RESULTS/linux.ppm" \
    QUILTCAM_TEST_REPORT="$GUEST_RESULTS/linux.txt" "$linux/tests/quiltcam-testcam" 2>/dev/null
size=$(report windows grabber_size)
check "Wine's capture filter: the camera at $size, the size the Linux program takes ($(report linux camera_size))" \
    $([ "$size" = 640x480 ] && [ "$size" = "$(report linux camera_size)" ]; echo $?)
cmp -s "$GUEST_RESULTS/linux.ppm" "$GUEST_RESULTS/windows.ppm"
check "Wine's capture filter: the display byte for byte the Linux program's for the same bars" $?
# Moving bars, so that every frame is a new picture: the rate the filter gives.
v4l2-ctl -d /dev/video0 -c horizontal_movement=4
windows 40 moving
rate=$(report moving grid_fps) time=$(report moving camera_frame_time)
echo "  Wine's capture filter: ${rate:-no} frames a second reach the grid (the camera lists $(v4l2-ctl -d /dev/video0 \
    --list-frameintervals width=640,height=480,pixelformat=BGR3 | grep -o '[0-9.]* fps' | sort -n | tail -n 1) at 640x480;" \
    "the filter reports a frame time of ${time:-?})"
check "Wine's capture filter: moving bars keep coming" $([ -n "$rate" ]; echo $?)

# Two cameras, the first held streaming by another program: the second one's picture, byte for
# byte the Linux program's in the same state, and nothing named as failed; both held, the
# message names the first.
modprobe -r vivid
modprobe vivid n_devs=2 node_types=0x1,0x1 num_inputs=1,1 input_types=0x0,0x0
v4l2-ctl -d /dev/video0 -c osd_text_mode=2 -c test_pattern=7  # red
v4l2-ctl -d /dev/video1 -c osd_text_mode=2 -c test_pattern=0  # 75 % colour bars
hold() {  # a node streaming in another program, once it can be had (Wine lets go of it in its own time)
    for _ in $(seq 20); do
        v4l2-ctl -d "$1" --stream-mmap --stream-count=100000 >/dev/null 2>&1 &
        sleep 1
        kill -0 $! 2>/dev/null && { holders="${holders:-} $!"; return 0; }
    done
    return 1
}
hold /dev/video0
windows 1 busy-first
SDL_VIDEODRIVER=dummy QUILTCAM_TEST_CAMERA_FRAMES=10 QUILTCAM_TEST_DUMP="$GUEST_RESULTS/linux-busy-first.ppm" \
    "$linux/tests/quiltcam-testcam" 2>/dev/null
said=$(cat "$programs/tests/windows/stderr.txt" 2>/dev/null | tr -d '\r')
cmp -s "$GUEST_RESULTS/linux-busy-first.ppm" "$GUEST_RESULTS/busy-first.ppm" && [ -z "$said" ]
shown=$?
check "Wine's capture filter, the first camera held: the second one's picture, as the Linux program draws it (after $(report busy-first startup_ms) ms; said \"$said\")" $shown
hold /dev/video1
answer_box "$programs/quiltcam.exe"
card=$(v4l2-ctl -d /dev/video0 --info | sed -n 's/.*Card type *: //p')
[[ "$said" =~ ^"quiltcam: cannot "(open|take frames from)" $card: ".+$ ]]
check "Wine's capture filter, both held: the message names the first (\"$said\")" $?
kill $holders
modprobe -r vivid
