#!/usr/bin/env bash
# The guest runner from a checkout under /tmp, which the guest mounts afresh for itself: the
# tree and the results must be there all the same (run from a copy of this checkout).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
copy=$(mktemp -d /tmp/quiltcam-tree.XXXXXX)
trap 'rm -rf "$copy"' EXIT
tar -C "$top" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
cd "$copy"
echo 'sha256sum tests/vivid_tests.py >"$GUEST_RESULTS/seen"' >build-check.sh
tests/support/guest.sh "$copy/build/results" build-check.sh >/dev/null
status=$?
[ $status = 0 ] && sha256sum tests/vivid_tests.py | cmp -s - build/results/seen
result=$?
echo "guest from $copy: status $status, the tree $([ $result = 0 ] && echo seen || echo NOT seen)"
exit $result
