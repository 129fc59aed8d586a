# A clean Debian root to install packages into or build in, for bash test scripts (sourced):
#   make_root SUITE   bookworm (Debian 12) or trixie (Debian 13), made once with debootstrap
#                     (minbase) and cached, with the packages apt fetches, in QUILTCAM_CACHE
#                     (default /var/cache/quiltcam); unpacked afresh into $root for each run,
#                     with /dev, /proc and the network's name servers
#   in_root COMMAND...   runs a command inside, with a plain environment
#   snapshot             lists the root's files: all but apt's and dpkg's records, caches, logs,
#                        run-time state, the backups of the account files that a
#                        dependency's scripts leave when they add and remove a user, and what
#                        systemd's scripts make on its first install and leave when it is purged
#                        (Debian 13 brings it in as a dependency's recommendation)
cache=${QUILTCAM_CACHE:-/var/cache/quiltcam}
root=
mounted=()
clean_root_end() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null; done
    [ -n "$root" ] && rm -rf --one-file-system "$root"
}
trap clean_root_end EXIT

mount_in_root() {  # mount_in_root PATH MOUNT-ARGUMENTS...
    mkdir -p "$root/$1"
    mount "${@:2}" "$root/$1" && mounted+=("$root/$1")
}

make_root() {
    local suite=$1 made
    mkdir -p "$cache/archives-$suite"
    if [ ! -s "$cache/$suite-minbase.tar" ]; then
        echo "making a clean $suite root (cached in $cache)"
        command -v debootstrap >/dev/null || apt-get install -y -q debootstrap >/dev/null || return 1
        made=$(mktemp -d /var/tmp/quiltcam-root.XXXXXX)
        debootstrap --variant=minbase "$suite" "$made" http://deb.debian.org/debian >"$cache/debootstrap-$suite.log" 2>&1 ||
            { tail -n 20 "$cache/debootstrap-$suite.log"; rm -rf "$made"; return 1; }
        rm -f "$made/var/cache/apt/archives"/*.deb
        tar -C "$made" -cf "$cache/$suite-minbase.tar.new" . && mv "$cache/$suite-minbase.tar.new" "$cache/$suite-minbase.tar"
        rm -rf "$made"
    fi
    root=$(mktemp -d /var/tmp/quiltcam-root.XXXXXX)
    tar -C "$root" -xf "$cache/$suite-minbase.tar"
    chmod 755 "$root"  # a root's root, not a private scratch folder: every user walks through it
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    mount_in_root dev --bind /dev
    mount_in_root proc -t proc proc
    mount_in_root var/cache/apt/archives --bind "$cache/archives-$suite"
}

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }

snapshot() {
    in_root find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /run -o -path /var/cache \
        -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log -o -path /etc/ld.so.cache \) -prune -o -print |
        grep -Ev '^/etc/g?shadow-$|^/etc/(passwd|group)-$' |
        grep -Evx '/etc/(machine-id|mtab|vconsole.conf|default/locale)|/root/.ssh|/var/lib/private' | sort
}
