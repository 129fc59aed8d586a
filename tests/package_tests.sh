#!/usr/bin/env bash
# The Debian package as a user meets it: checked by lintian, its desktop entries and AppStream
# data validated; then installed with apt into a clean Debian 12 root, which must bring every
# library it needs, run there, and removed again without a trace.
#   package_tests.sh PACKAGE-BUILD
# The clean root (debootstrap, minbase) and the packages apt fetches are cached in
# QUILTCAM_CACHE (default /var/cache/quiltcam) between runs.
set -u
deb=$(ls "$1"/quiltcam_*_amd64.deb | tail -n 1)
cache=${QUILTCAM_CACHE:-/var/cache/quiltcam}
work=$(mktemp -d)
root=$work/root
failed=0
cleanup() {
    for mount in dev/pts dev proc var/cache/apt/archives; do
        mountpoint -q "$root/$mount" 2>/dev/null && umount -l "$root/$mount"
    done
    rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME CONDITION-STATUS
    if [ "$2" -eq 0 ]; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}

# What a Debian maintainer would not accept fails; initial-upload-closes-no-bugs asks for an
# ITP bug in Debian's own tracker, which a package made outside Debian cannot close.
lintian --pedantic --display-info --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
sed 's/^/  /' "$work/lintian"
! grep -E '^(E|W): ' "$work/lintian" | grep -v ' initial-upload-closes-no-bugs ' >/dev/null
check "lintian: no errors, no warnings but the archive's own" $?

mkdir "$work/contents"
dpkg-deb -x "$deb" "$work/contents"
desktop-file-validate "$work/contents"/usr/share/applications/*.desktop
check "desktop-file-validate: both desktop entries" $?
appstreamcli validate --no-net "$work/contents"/usr/share/metainfo/*.metainfo.xml >"$work/appstream" 2>&1
check "appstreamcli validate: the metadata ($(tail -n 1 "$work/appstream"))" $?
for size in 16 22 24 32 48 64 128 256; do
    [ "$(file -b "$work/contents/usr/share/icons/hicolor/${size}x$size/apps/quiltcam.png" | cut -d, -f2)" = " $size x $size" ]
    check "the icon drawn at $size x $size" $?
done

# The clean root, made once.
mkdir -p "$cache/archives"
if [ ! -s "$cache/bookworm-minbase.tar" ]; then
    echo "making a clean Debian 12 root (cached in $cache)"
    debootstrap --variant=minbase bookworm "$work/fresh" http://deb.debian.org/debian >"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log"; exit 1; }
    rm -rf "$work/fresh/var/cache/apt/archives"/*.deb
    tar -C "$work/fresh" -cf "$cache/bookworm-minbase.tar.new" . && mv "$cache/bookworm-minbase.tar.new" "$cache/bookworm-minbase.tar"
    rm -rf "$work/fresh"
fi
mkdir "$root"
tar -C "$root" -xf "$cache/bookworm-minbase.tar"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount --bind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
# Everything but apt's and dpkg's own records, caches, logs and run-time state, and the backups
# of the account files that a dependency's scripts leave when they add and remove a user.
snapshot() {
    in_root find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /run -o -path /var/cache \
        -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log -o -path /etc/ld.so.cache \) -prune -o -print |
        grep -Ev '^/etc/g?shadow-$|^/etc/(passwd|group)-$' | sort
}

in_root apt-get update -qq >"$work/apt.log" 2>&1
snapshot >"$work/before"
in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1
check "apt-get install ./$(basename "$deb") pulls every dependency" $?
for program in quiltcam quiltcam-fullscreen; do
    in_root env SDL_VIDEODRIVER=dummy $program 2>"$work/stderr" </dev/null
    status=$?
    check "$program runs there: \"$(cat "$work/stderr")\", status $status" \
        $([ $status = 1 ] && [ "$(cat "$work/stderr")" = "$program: no video capture device found" ]; echo $?)
done
in_root man -w quiltcam-fullscreen >/dev/null 2>&1 || in_root test -e /usr/share/man/man1/quiltcam-fullscreen.1.gz
check "the manual page is there for both programs" $?
in_root apt-get purge -y -qq --autoremove quiltcam >>"$work/apt.log" 2>&1
check "apt-get purge --autoremove quiltcam" $?
snapshot >"$work/after"
diff "$work/before" "$work/after" >"$work/left"
left=$?
cat "$work/left"
check "nothing is left once it is removed" $left
[ $failed = 0 ] || { sed 's/^/  apt: /' "$work/apt.log" | tail -n 20; }
exit $failed
