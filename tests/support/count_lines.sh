#!/usr/bin/env bash
# Counts non-blank lines: product code (the C and C++ sources outside tests/ and bench/: app/,
# camera/, directshow/, v4l2/, pipewire/, capture/ and the tables in resources/), test cases (tests/ but for
# tests/support/ and the fuzz corpora: C, C++, shell, Python) and test tools (tests/support/),
# with the ratios of the last two to the first.
cd "$(dirname "$0")/../.."
lines() { cat "$@" /dev/null | grep -cv '^[[:space:]]*$'; }
product=$(lines $(find app camera directshow v4l2 pipewire capture resources -name '*.c' -o -name '*.cpp' -o -name '*.h'))
cases=$(lines $(find tests -path tests/support -prune -o -path tests/fuzz/corpus -prune -o \
    \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \) -print))
tools=$(lines $(find tests/support \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \)))
printf 'product code %5d\ntest cases   %5d  %3d %% of product code\ntest tools   %5d  %3d %% of product code\n' \
    "$product" "$cases" $((100 * cases / product)) "$tools" $((100 * tools / product))
