#!/usr/bin/env bash
# The guest runner where the guest mounts /tmp afresh for itself: from a copy of this checkout
# under /tmp (`tree`), or with a build folder under /tmp holding the results (`build`, as
# `cmake -B /tmp/build` lays it out): the tree, the build folder and the results must be seen.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d /tmp/quiltcam-$1.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
tree=$top build=$scratch/build
if [ "$1" = tree ]; then
    tree=$scratch
    tar -C "$top" --exclude=./build --exclude=./.git -cf - . | tar -C "$tree" -xf -
fi
mkdir -p "$build/tests/guest"
echo "the build folder" >"$build/mark"
cd "$tree"
echo 'sha256sum tests/vivid_tests.py >"$GUEST_RESULTS/seen"; cat "$1/mark" >>"$GUEST_RESULTS/seen"' >"$build/check.sh"
tests/support/guest.sh "$build/tests/guest" "$build/check.sh" "$build" >/dev/null
status=$?
{ sha256sum tests/vivid_tests.py; cat "$build/mark"; } | cmp -s - "$build/tests/guest/seen"
result=$?
echo "guest with the $1 under /tmp: status $status, the tree and the build folder $([ $result = 0 ] && echo seen || echo NOT seen)"
exit $result
