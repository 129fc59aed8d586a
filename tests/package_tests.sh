#!/usr/bin/env bash
# The Debian package as a user meets it: checked by lintian, its desktop entries and AppStream
# data validated, its icons drawn at each size; then installed with apt into clean Debian 12 and
# Debian 13 roots, each of which must bring every library it needs, run there, and removed
# without a trace. (It is built on the older release, so that it installs on both.)
#   package_tests.sh PACKAGE-BUILD
set -u
deb=$(ls "$1"/quiltcam_*_amd64.deb | tail -n 1)
work=$(mktemp -d)
. "$(dirname "$0")/support/check.sh"

# What a Debian maintainer would not accept fails; initial-upload-closes-no-bugs asks for an
# ITP bug in Debian's own tracker, which a package made outside Debian cannot close.
lintian --pedantic --display-info --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
sed 's/^/  /' "$work/lintian"
! grep -E '^(E|W): ' "$work/lintian" | grep -v ' initial-upload-closes-no-bugs ' >/dev/null
check "lintian: no errors, no warnings but the archive's own" $?
dpkg-deb -x "$deb" "$work"
desktop-file-validate "$work"/usr/share/applications/*.desktop
check "desktop-file-validate: both desktop entries" $?
appstreamcli validate --no-net "$work"/usr/share/metainfo/*.metainfo.xml >"$work/appstream" 2>&1
valid=$?  # before the message's own command runs
check "appstreamcli validate: the metadata ($(tail -n 1 "$work/appstream"))" $valid
for size in 16 22 24 32 48 64 128 256; do
    file -b "$work/usr/share/icons/hicolor/${size}x$size/apps/quiltcam.png" | grep -q "PNG image data, $size x $size,"
    check "the icon drawn at $size x $size" $?
done

. "$(dirname "$0")/support/clean_root.sh"
installed_packages() { in_root dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" {print $2}' | sort; }
for suite in bookworm trixie; do
    make_root $suite || { check "a clean $suite root" 1; continue; }
    cp "$deb" "$root/tmp/"
    in_root apt-get update -qq >"$work/apt.log" 2>&1
    snapshot >"$work/before"
    installed_packages >"$work/packages"
    in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1
    installed=$?
    check "$suite: apt-get install ./$(basename "$deb") pulls every dependency" $installed
    for program in quiltcam quiltcam-fullscreen; do
        in_root env SDL_VIDEODRIVER=dummy $program 2>"$work/stderr" </dev/null
        status=$?
        check "$suite: $program runs there: \"$(cat "$work/stderr")\", status $status" \
            $([ $status = 1 ] && [ "$(cat "$work/stderr")" = "$program: no video capture device found" ]; echo $?)
    done
    in_root apt-get purge -y -qq --autoremove quiltcam >>"$work/apt.log" 2>&1
    # Debian 13's apt keeps systemd and D-Bus, which a dependency's recommendations bring, once
    # they are in: what it kept goes too, by name, before the count.
    kept=$(comm -13 "$work/packages" <(installed_packages))
    [ -z "$kept" ] || in_root apt-get purge -y -qq --allow-remove-essential $kept >>"$work/apt.log" 2>&1
    snapshot >"$work/after"
    diff "$work/before" "$work/after"
    same=$?
    check "$suite: apt-get purge --autoremove quiltcam leaves nothing behind$([ -z "$kept" ] ||
        echo " (with what apt kept: $(echo $kept | wc -w) packages, $(echo $kept | tr ' ' '\n' | grep -m1 systemd))")" $same
    clean_root_end
    mounted=() root=
done
[ $failed = 0 ] || sed 's/^/  apt: /' "$work/apt.log" | tail -n 20
rm -rf "$work"
checks_done package
