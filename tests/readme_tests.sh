#!/usr/bin/env bash
# The README's test command as a newcomer runs it: in a clean root of a Debian release (bookworm
# or trixie), from a fresh clone of this repository's committed state under /tmp, as root:
#   readme_tests.sh SUITE
# Everything it needs it installs itself; the guest kernel's cases run there too.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
suite=$1
. "$(dirname "$0")/support/clean_root.sh"
make_root "$suite" || exit 1
mount_in_root sys -t sysfs sys
mount_in_root dev/pts -t devpts devpts
mount_in_root dev/shm -t tmpfs tmpfs
git clone -q "$top" "$root/tmp/quiltcam"
command=$(sed -n 's/^    \(cmake\/install-deps.sh && cmake --workflow --preset default\)$/\1/p' "$top/README.md" | head -n 1)
[ -n "$command" ] || { echo "readme_tests.sh: no test command in the README"; exit 1; }
started=$(date +%s)
log=$cache/readme-$suite.log
in_root env HOME=/root bash -c "cd /tmp/quiltcam && $command" >"$log" 2>&1
status=$?
# cmake --workflow says success even where its tests were killed: their summary must be there.
[ $status = 0 ] && ! grep -q '^100% tests passed' "$log" && echo "readme_tests.sh: the tests did not run to their end" && status=1
grep -E "^[0-9]+% tests passed|tests failed|\*\*\*Failed|Error" "$log" | tail -n 20
echo "readme_tests.sh: $suite, \"$command\": status $status in $(($(date +%s) - started)) s (log: $log)"
exit $status
