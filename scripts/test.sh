#!/usr/bin/env bash
# Checks the layers and the formatting, builds wrenpost and runs every test:
# the unit and interoperability tests, the unit tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the mailer's tests under
# ThreadSanitizer, and a short smoke run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
wp_install_deps

FUZZ_SECONDS=${FUZZ_SECONDS:-20}

echo "=== layers (include graph between the folders) ==="
python3 scripts/include_graph.py

echo "=== formatting (clang-format, the repository's .clang-format) ==="
# Every tracked C++ file; generated tables switch the check off inside
# themselves (// clang-format off).
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "=== build (RelWithDebInfo) ==="
wp_build default build
echo "=== build (asan) ==="
wp_build asan build-asan
echo "=== build (fuzz) ==="
wp_build fuzz build-fuzz

echo "=== fuzz smoke (${FUZZ_SECONDS} s per target) ==="
root=$(pwd)
for f in fuzz/*_fuzz.cc; do
    name=$(basename "$f" .cc)
    work=$(mktemp -d)
    mkdir "$work/corpus"
    if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/corpus/"; fi
    if (cd "$work" && "$root/build-fuzz/fuzz/$name" -max_total_time="$FUZZ_SECONDS" \
            -rss_limit_mb=2048 -print_final_stats=1 corpus >log 2>&1); then
        echo "$name: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$') runs, no failure"
        rm -rf "$work"
    else
        echo "$name: FAILED (output and crash input kept in $work)"
        tail -n 40 "$work/log"
        exit 1
    fi
done

echo "=== unit tests under sanitizers ==="
(cd build-asan && ctest -L unit -j "$(nproc)" --output-on-failure)

echo "=== mailer tests under ThreadSanitizer (the settling thread of received files) ==="
if [ ! -f build-tsan/build.ninja ]; then cmake --preset tsan -G Ninja >/dev/null; fi
cmake --build --preset tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/mailer_tests

echo "=== all tests ==="
(cd build && ctest -j "$(nproc)" --output-on-failure)

echo "=== Windows build (MinGW-w64) and its unit tests under Wine ==="
wp_build windows build-windows
ctest --preset windows

echo "=== Windows program end to end under Wine (toss, export, poll against binkd, all) ==="
# The Windows program in place of the Linux one: its toss against the Linux
# build's bases and crashmail's, its export tossed by crashmail and read back
# by the Linux build, and 'all' against a binkd boss on 127.0.0.1.
wine=$(grep -o '^WP_WINE:FILEPATH=.*' build-windows/CMakeCache.txt | cut -d= -f2)
wineserver=$(grep -o '^WP_WINESERVER:FILEPATH=.*' build-windows/CMakeCache.txt | cut -d= -f2)
export WINEPREFIX="$root/build-windows/wine" WINEDEBUG=-all
wrapper="$root/build-windows/wrenpost-wine"
printf '#!/bin/sh\nexec %s %s "$@"\n' "$wine" "$root/build-windows/wrenpost.exe" >"$wrapper"
chmod +x "$wrapper"
"$wineserver" -p || true  # one may run already
"$wine" wineboot -i >/dev/null 2>&1
trap '"$wineserver" -k || true' EXIT
WP_LINUX_BINARY="$root/build/wrenpost" python3 tests/interop/test_crashmail_peer.py "$wrapper" build
WP_WINE=1 python3 tests/interop/test_all_binkd.py "$wrapper" build
