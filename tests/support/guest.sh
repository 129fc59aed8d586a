#!/usr/bin/env bash
# Runs a script in a QEMU guest that boots Debian's own kernel and sees this machine's root
# read-only over 9p, so the guest runs the programs built here unchanged, with the kernel's
# modules (the virtual webcam vivid among them) loadable:
#   guest.sh RESULTS-DIR SCRIPT [ARGS...]
# The script runs as root in the current folder. This checkout is shared on its own, read-only
# at its own path, so that it is there even under a folder the guest mounts afresh (/tmp, /run,
# /var/tmp); so are the current folder, the script's and every folder among its arguments that
# lie under one (a build folder in /tmp, say). RESULTS-DIR is writable inside the guest at the
# same path, named by GUEST_RESULTS. Its output goes to RESULTS-DIR/job.log, the guest's
# console to RESULTS-DIR/console.log. A script that exits 3 (its cases failed where the guest's
# kernel faulted) runs once more in a fresh guest. Exits with the script's status; 124 when the guest does not
# come up or does not finish within QUILTCAM_GUEST_TIMEOUT seconds (default 1500: a guard against a
# hang, not a measure; software emulation on a busy machine takes twice its idle time and more);
# QUILTCAM_GUEST_MEMORY is its memory in MiB (default 1024).
# Needs qemu-system-x86, linux-image-amd64, busybox-static (cmake/install-deps.sh guest).
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1"
results=$(cd "$1" && pwd)
shift
script=$(realpath "$1")
shift
timeout=${QUILTCAM_GUEST_TIMEOUT:-1500}

# Folders the guest would hide (below the ones it mounts afresh, outside the tree and the
# results), shared read-only at their own paths, parents first.
shares=$(for candidate in "$PWD" "$(dirname "$script")" "$@"; do
    [ -d "$candidate" ] || continue
    path=$(realpath "$candidate")
    case $path/ in "$top"/* | "$results"/*) continue ;; /tmp/?* | /run/?* | /var/tmp/?* | /dev/shm/?*) echo "$path" ;; esac
done | awk '{print length($0), $0}' | sort -n -u | cut -d' ' -f2- |
    awk '{for (i = 1; i <= n; i++) if (index($0 "/", kept[i] "/") == 1) next; kept[++n] = $0; print}')
printf '%s\n' "$shares" | sed '/^$/d' >"$results/shares"
shareArgs=()
n=0
while read -r path; do
    shareArgs+=(-virtfs "local,path=$path,mount_tag=share$n,security_model=none,readonly=on,multidevs=remap")
    n=$((n + 1))
done <"$results/shares"

# The newest installed kernel whose modules are on this machine.
kernel=
for image in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
    version=${image#/boot/vmlinuz-}
    [ -d "/lib/modules/$version" ] && kernel=$image
done
[ -n "$kernel" ] || { echo "guest.sh: no kernel in /boot with modules in /lib/modules" >&2; exit 2; }
version=${kernel#/boot/vmlinuz-}

# The initramfs: busybox, the virtio and 9p modules in the order the kernel's own dependency
# lists give, and an /init that mounts the host's root and runs the job in it. Built once per
# kernel.
cache=$top/build/guest
initramfs=$cache/initramfs-$version.cpio.gz
if [ ! -s "$initramfs" ] || [ "$initramfs" -ot "$0" ]; then
    work=$(mktemp -d)
    mkdir -p "$work/bin" "$work/modules" "$cache"
    cp /bin/busybox "$work/bin/busybox"
    files=$(for module in virtio_pci 9pnet_virtio 9p; do modprobe --show-depends -S "$version" "$module" ||
        echo "missing $module"; done | awk '$1 == "insmod" && !seen[$2]++ {print $2} $1 == "missing" {print}')
    case $files in *missing*) echo "guest.sh: no $(grep missing <<<"$files") for $version" >&2; exit 2 ;; esac
    n=10
    for file in $files; do
        case $file in
        *.xz) xz -dc "$file" ;;
        *.zst) zstd -dc "$file" ;;
        *) cat "$file" ;;
        esac >"$work/modules/$n-$(basename "${file%%.ko*}").ko"
        n=$((n + 1))
    done
    cat >"$work/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /root
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in /modules/*.ko; do insmod $module; done
options=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o $options,cache=loose,ro hostroot /root || { echo "guest: cannot mount the host's root"; poweroff -f; }
for fs in proc sys dev; do mount --move /$fs /root/$fs; done
for fs in tmp run var/tmp dev/shm; do mkdir -p /root/$fs; mount -t tmpfs tmpfs /root/$fs; done
mkdir -p /root/dev/pts /results
mount -t devpts devpts /root/dev/pts
mount -t tracefs tracefs /root/sys/kernel/tracing 2>/dev/null
mount -t 9p -o $options results /results || { echo "guest: cannot mount the results"; poweroff -f; }
n=0
while read -r path; do
    mkdir -p "/root$path" 2>/dev/null
    mount -t 9p -o $options,cache=loose,ro share$n "/root$path" || { echo "guest: cannot mount $path"; poweroff -f; }
    n=$((n + 1))
done </results/shares
mkdir -p "/root$qc_tree" 2>/dev/null
mount -t 9p -o $options,cache=loose,ro tree "/root$qc_tree" || { echo "guest: cannot mount the tree"; poweroff -f; }
mkdir -p "/root$qc_results" 2>/dev/null
mount --move /results "/root$qc_results" || { echo "guest: cannot move the results"; poweroff -f; }
echo "guest: up"
# The host's root becomes the guest's own (not a chroot, which udev and systemd's tools refuse).
# Its end is a reset (the machine has -no-reboot), not a power-off: a power-off first shuts every
# device down, and a device stuck in its driver would hold it up until the timeout.
exec switch_root /root /bin/sh -c 'cd "$qc_results" && /bin/bash ./job >job.log 2>&1; echo $? >status; sync
echo b >/proc/sysrq-trigger; /bin/busybox poweroff -f' 
INIT
    chmod +x "$work/init"
    (cd "$work" && find . | cpio -o -H newc --quiet | gzip -1) >"$initramfs.new" && mv "$initramfs.new" "$initramfs"
    rm -rf "$work"
fi

# The job: a command line, quoted for the guest's shell.
write_job() {
    {
        echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8"
        printf 'export GUEST_RESULTS=%q\ncd %q\nexec' "$results" "$PWD"
        printf ' %q' "$@"
        echo
    } >"$results/job"
}
rm -f "$results/status" "$results/job.log"

# boot ACCEL SECONDS [KERNEL-LOG-OPTIONS]: qemu's status. Given up on when the guest is not up
# within $upWithin s (a boot that normally takes under a minute, stuck in the emulator), or is
# still there a minute after its script wrote its status (a device stuck in its driver): the
# results are in by then.
upWithin=${QUILTCAM_GUEST_UP_WITHIN:-300}
boot() {
    local cpu=${QUILTCAM_GUEST_CPU:-max} qemu waited=0 ended=  # Wine needs qemu64: with max, TCG faults on its 32-bit iret
    [ "$1" = kvm ] && cpu=host
    timeout "$2" qemu-system-x86_64 -accel "$1" -cpu $cpu -smp 2 -m "${QUILTCAM_GUEST_MEMORY:-1024}" -nographic -no-reboot \
        -kernel "$kernel" -initrd "$initramfs" \
        -append "console=ttyS0 ${3:-quiet loglevel=3} panic=-1 log_buf_len=8M qc_results=$results qc_tree=$top" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$top",mount_tag=tree,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$results",mount_tag=results,security_model=none,multidevs=remap "${shareArgs[@]}" \
        -serial file:"$results/console.log" -monitor none -display none </dev/null >/dev/null 2>"$results/qemu.log" &
    qemu=$!
    while kill -0 $qemu 2>/dev/null; do
        sleep 1
        waited=$((waited + 1))
        [ $waited -ge "$upWithin" ] && ! grep -q 'guest: up' "$results/console.log" 2>/dev/null && kill $qemu 2>/dev/null
        [ -f "$results/status" ] && ended=${ended:-$waited}
        [ -n "$ended" ] && [ $((waited - ended)) -ge 60 ] && kill $qemu 2>/dev/null
    done
    wait $qemu
}

# KVM where this host's KVM boots the kernel (it fails fast where it cannot), else TCG.
accel=${QUILTCAM_GUEST_ACCEL:-}
if [ -z "$accel" ]; then
    accel=tcg
    if [ -w /dev/kvm ]; then
        write_job true
        (boot kvm 20) 2>/dev/null && [ "$(cat "$results/status" 2>/dev/null)" = 0 ] && accel=kvm
        rm -f "$results/status"
    fi
fi

if [ -x "$script" ]; then write_job "$script" "$@"; else write_job /bin/bash "$script" "$@"; fi
# run: the script in a guest, its output printed; its status, or 124.
run() {
    local started attempt qemu elapsed
    rm -f "$results/status" "$results/job.log"
    started=$(date +%s)
    for attempt in 1 2; do
        # Once more where it did not come up, with the kernel's every word, to show where it stops.
        boot "$accel" "$timeout" "$([ $attempt = 2 ] && echo ignore_loglevel)"
        qemu=$?
        grep -q 'guest: up' "$results/console.log" 2>/dev/null && break
        echo "guest.sh: the guest was not up within ${upWithin} s ($accel, attempt $attempt, qemu status $qemu); its console:" >&2
        tail -n 30 "$results/console.log" "$results/qemu.log" >&2 2>/dev/null
    done
    elapsed=$(($(date +%s) - started))
    if ! grep -q 'guest: up' "$results/console.log" 2>/dev/null; then
        echo "guest.sh: the guest did not come up ($accel, qemu status $qemu, ${elapsed} s)" >&2  # its console: above
        return 124
    fi
    if [ ! -f "$results/status" ]; then
        echo "guest.sh: the guest's script did not finish within ${timeout} s ($accel); its output, then its console:" >&2
        tail -n 60 "$results/job.log" >&2 2>/dev/null
        tail -n 30 "$results/console.log" >&2 2>/dev/null
        return 124
    fi
    cat "$results/job.log"
    echo "guest.sh: $accel guest, ${elapsed} s"
    return "$(cat "$results/status")"
}
# Status 3: cases failed where the guest's kernel faulted (an emulated device's driver, say),
# which leaves it unfit for the rest. Once more in a fresh guest; its status stands.
run
status=$?
[ $status = 3 ] && echo "guest.sh: the guest's kernel faulted (above); the script once more, in a fresh guest" &&
    { run; status=$?; }
exit $status
