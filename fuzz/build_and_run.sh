#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for FUZZ_SECONDS seconds, one after the other. Fails on any finding: a crash, a
# sanitizer report, a leak, a timeout, an allocation above the limit, or a mismatch with the
# models in this folder.
#
# Usage: fuzz/build_and_run.sh [TARGET...]   (default: every target)
# Environment: FUZZ_SECONDS (default 60), FUZZ_CXX (default clang++-14, else clang++),
#              FUZZ_BUILD_ONLY=1 to build without running, FUZZ_PARALLEL=1 to run the targets
#              at the same time, FUZZ_MERGE=0 to leave fuzz/corpus as it is, FUZZ_TIMEOUT
#              (default 20) for the seconds one input may take, FUZZ_OUT (default fuzz/out)
#              for the binaries, logs, found inputs and findings.
#
# After a run without findings, what it found is merged into fuzz/corpus/<target> (see
# merge_target), so that a long run feeds every later one; commit the corpus to keep it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_OUT:-fuzz/out}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(table_scanner window_reader vcf_scanner context_counts mutation_table_scanner maf_scanner bed_reader)

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
    cxx=clang++-14
    command -v "$cxx" >/dev/null || cxx=clang++
fi

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -Isrc/core)
libs=(-lz -ldeflate) # gzip and bgzip inputs
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
    scratch="/dev/shm/mutflank-fuzz-$$"
else
    scratch="$(realpath -m "$out")/tmp-$$"
fi
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# -malloc_limit_mb: no legitimate allocation of these targets comes near 512 MB, so a bigger
# one is a finding (a window allocated whole before its bytes were seen).
# A long run under `nice` on a busy machine may need a longer -timeout: the slowest inputs
# (windows of megabytes, checked byte by byte) take about a second when the CPU is free.
limits=(-timeout="${FUZZ_TIMEOUT:-20}" -rss_limit_mb=2048 -malloc_limit_mb=512 -max_len=16384)

# Fuzzes one target; new inputs go to fuzz/out/corpus, the committed corpus is only read.
fuzz_target() {
    local target=$1
    export TMPDIR="$scratch/$target"
    mkdir -p "$TMPDIR" "$out/corpus/$target" "$out/artifacts"
    "$out/fuzz_$target" -max_total_time="$seconds" "${limits[@]}" -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" \
        "$out/corpus/$target" "fuzz/corpus/$target" >"$out/$target.log" 2>&1
}

# Merges what the run found into the committed corpus: -merge=1 adds only the inputs that
# reach a feature the corpus does not, smallest first, so a run that learned nothing leaves
# it as it was. The added files are named by their SHA-1.
merge_target() {
    local target=$1
    export TMPDIR="$scratch/$target"
    mkdir -p "$TMPDIR"
    local before
    before=$(find "fuzz/corpus/$target" -type f | wc -l)
    "$out/fuzz_$target" -merge=1 "${limits[@]}" "fuzz/corpus/$target" "$out/corpus/$target" \
        >"$out/$target.merge.log" 2>&1 || return 1
    echo "  fuzz_$target corpus: $(find "fuzz/corpus/$target" -type f | wc -l) files" \
        "($before before), $(du -sb "fuzz/corpus/$target" | cut -f1) bytes"
}

report() {
    local target=$1 failed=$2 log=$out/$1.log
    if [ "$failed" != 0 ]; then
        echo "fuzz_$target FAILED:"
        grep -E -A30 'ERROR|mismatch|left open|runtime error|SUMMARY' "$log" | head -60
    fi
    grep -E 'stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb' "$log" |
        sed "s/^/  fuzz_$target /"
    # The coverage reached: the last status line's cov: and ft:.
    grep -E '^#[0-9]+\s' "$log" | tail -n 1 | grep -o -E 'cov: [0-9]+ ft: [0-9]+' |
        sed "s/^/  fuzz_$target /" || true
}

# FUZZ_PARALLEL=1 fuzzes the targets at the same time, one process each.
declare -A pids failed
for target in "${targets[@]}"; do
    echo "fuzz_$target: ${seconds}s, log in $out/$target.log"
    if [ "${FUZZ_PARALLEL:-0}" = 1 ]; then
        fuzz_target "$target" &
        pids[$target]=$!
    else
        fuzz_target "$target" && failed[$target]=0 || failed[$target]=1
    fi
done
for target in "${!pids[@]}"; do
    wait "${pids[$target]}" && failed[$target]=0 || failed[$target]=1
done

status=0
for target in "${targets[@]}"; do
    report "$target" "${failed[$target]}"
    if [ "${failed[$target]}" != 0 ]; then
        status=1
    elif [ "${FUZZ_MERGE:-1}" = 1 ] && ! merge_target "$target"; then
        echo "fuzz_$target: merging the corpus FAILED, see $out/$target.merge.log"
        status=1
    fi
done
exit $status
