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

# The peers the interoperability tests drive were installed above: a missing
# one would only make those tests skip (exit code 77), which must not pass
# for a green run here.
for peer in binkd crashmail crashwrite zip unzip; do
    if ! command -v "$peer" >/dev/null 2>&1 && [ ! -x "/usr/sbin/$peer" ]; then
        echo "ERROR: peer program '$peer' is missing: the interoperability tests would be skipped"
        exit 1
    fi
done

# Runs one interoperability driver by itself: a skip (77) fails the run.
interop() {
    local rc=0
    "$@" || rc=$?
    if [ "$rc" -eq 77 ]; then
        echo "ERROR: skipped, a peer program is missing: $*"
        exit 1
    elif [ "$rc" -ne 0 ]; then
        echo "FAILED ($rc): $*"
        exit "$rc"
    fi
}

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
# (ctest lists skipped tests in its summary and still passes; the peers were
# checked above, so the interoperability tests do not skip here.)
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
WP_LINUX_BINARY="$root/build/wrenpost" interop python3 tests/interop/test_crashmail_peer.py "$wrapper" build
WP_WINE=1 interop python3 tests/interop/test_all_binkd.py "$wrapper" build
