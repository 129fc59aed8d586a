# A clean Debian 12 root to install packages into, for bash test scripts (sourced): made once
# with debootstrap (minbase) and cached, with the packages apt fetches, in QUILTCAM_CACHE
# (default /var/cache/quiltcam); unpacked afresh into $root for each run, with /dev, /proc and
# the network's name servers.
#   in_root COMMAND...   runs a command inside, with a plain environment
#   snapshot             lists the root's files: all but apt's and dpkg's records, caches, logs,
#                        run-time state, and the backups of the account files that a
#                        dependency's scripts leave when they add and remove a user
cache=${QUILTCAM_CACHE:-/var/cache/quiltcam}
root=$(mktemp -d)
clean_root_end() {
    for mount in dev proc var/cache/apt/archives; do mountpoint -q "$root/$mount" && umount -l "$root/$mount"; done
    rm -rf "$root"
}
trap clean_root_end EXIT

mkdir -p "$cache/archives"
if [ ! -s "$cache/bookworm-minbase.tar" ]; then
    echo "making a clean Debian 12 root (cached in $cache)"
    debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log"; exit 1; }
    rm -f "$root/var/cache/apt/archives"/*.deb
    tar -C "$root" -cf "$cache/bookworm-minbase.tar.new" . && mv "$cache/bookworm-minbase.tar.new" "$cache/bookworm-minbase.tar"
    rm -rf "$root" && mkdir "$root"
fi
tar -C "$root" -xf "$cache/bookworm-minbase.tar"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount --bind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }

snapshot() {
    in_root find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /run -o -path /var/cache \
        -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log -o -path /etc/ld.so.cache \) -prune -o -print |
        grep -Ev '^/etc/g?shadow-$|^/etc/(passwd|group)-$' | sort
}
