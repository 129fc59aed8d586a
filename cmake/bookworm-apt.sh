#!/usr/bin/env bash
# apt-get on Debian 12 ("bookworm"), beside the system's own sources and state, on any release:
# how the classic SDL 1.2.15 that the Windows build and the classic preset need is fetched (Debian
# 13 no longer has it). Packages and sources come by suite and version from Debian's archive and
# are checked against its signed indices, as apt checks its own.
#   bookworm-apt.sh source PACKAGE=VERSION      bookworm-apt.sh download PACKAGE=VERSION...
set -eu
state=${QUILTCAM_CACHE:-/var/cache/quiltcam}/apt-bookworm
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
mkdir -p "$state/lists/partial" "$state/cache"
for type in deb deb-src; do
    echo "$type [signed-by=$keyring] http://deb.debian.org/debian bookworm main"
done >"$state/sources.list"
options=(-o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/nonexistent
         -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" -o APT::Sandbox::User=root)
ls "$state/lists" | grep -q _Release || apt-get "${options[@]}" update -qq
apt-get "${options[@]}" "$@"
