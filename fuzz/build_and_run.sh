#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for FUZZ_SECONDS seconds, one after the other. Fails on any finding: a crash, a
# sanitizer report, a leak, a timeout, an allocation above the limit, or a mismatch with the
# models in this folder.
#
# Usage: fuzz/build_and_run.sh [TARGET...]   (default: every target)
# Environment: FUZZ_SECONDS (default 60), FUZZ_CXX (default clang++-14, else clang++),
#              FUZZ_BUILD_ONLY=1 to build without running.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
out=fuzz/out
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(table_scanner window_reader)

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
    cxx=clang++-14
    command -v "$cxx" >/dev/null || cxx=clang++
fi

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -Isrc/core)
libs=()
# The core batches reference reads through io_uring when liburing is there; so do the targets.
if pkg-config --exists liburing 2>/dev/null; then
    flags+=(-DMUTFLANK_HAVE_IO_URING)
    read -r -a uring_libs <<<"$(pkg-config --libs liburing)"
    libs+=("${uring_libs[@]}")
fi

mkdir -p "$out/obj"
objects=()
for source in src/core/*.cpp; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    "$cxx" "${flags[@]}" -c "$source" -o "$object"
    objects+=("$object")
done
for target in "${targets[@]}"; do
    "$cxx" "${flags[@]}" "fuzz/fuzz_$target.cpp" "${objects[@]}" "${libs[@]}" -o "$out/fuzz_$target"
done
[ "${FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

# The targets make their reference folders below TMPDIR: in memory where possible, since the
# table target writes a file for every input.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR="/dev/shm/mutflank-fuzz-$$"
else
    export TMPDIR="$PWD/$out/tmp-$$"
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for target in "${targets[@]}"; do
    rm -rf "$TMPDIR"
    mkdir -p "$TMPDIR" "$out/corpus/$target" "$out/artifacts"
    log="$out/$target.log"
    echo "fuzz_$target: ${seconds}s, log in $log"
    # New inputs go to fuzz/out/corpus; the committed seeds in fuzz/corpus are only read.
    # -malloc_limit_mb: no legitimate allocation of these targets comes near 512 MB, so a
    # bigger one is a finding (a window allocated whole before its bytes were seen).
    if ! "$out/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -malloc_limit_mb=512 -max_len=16384 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" \
        "$out/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target FAILED:"
        grep -E -A30 'ERROR|mismatch|left open|runtime error|SUMMARY' "$log" | head -60
        status=1
    fi
    grep -E 'stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb' "$log" |
        sed "s/^/  fuzz_$target /"
done
rm -rf "$TMPDIR"
exit $status
