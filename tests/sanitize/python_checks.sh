#!/usr/bin/env bash
# The Python side of `make sanitize`:
#   1. the whole Python test suite against the module built with ASan + UBSan, and the
#      tests of the command's engine (mutflank_tools._engine: its VCF reader, reference
#      windows and context counts) against the engine built so;
#   2. LeakSanitizer over every success and failure path, counting only leaks whose
#      allocation passes through the module;
#   3. valgrind memcheck over the same paths with the ordinary (uninstrumented) module.
#
# Usage: tests/sanitize/python_checks.sh ASAN_BUILD_DIR PLAIN_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
asan_build=$(realpath "$1")
plain_build=$(realpath "$2")
python=${PYTHON:-/usr/bin/python3}
logs=$(realpath "$asan_build")/sanitize-logs
rm -rf "$logs"
mkdir -p "$logs"

module_dir() {
    dirname "$(find "$1/src/lib" -maxdepth 1 -name 'mutflank*.so' | head -1)"
}
asan_module=$(module_dir "$asan_build")
plain_module=$(module_dir "$plain_build")

# The interpreter is not instrumented, so the sanitizer runtime must be loaded first.
# PYTHONMALLOC=malloc lets the sanitizers and valgrind see every Python object.
# max_allocation_size_mb: a window or line allocated whole before its bytes were seen would
# ask for gigabytes; that is a finding here.
asan_runtime=$(g++ -print-file-name=libasan.so)
asan_env=(
    env LD_PRELOAD="$asan_runtime" PYTHONMALLOC=malloc PYTHONPATH="$asan_module"
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
)
asan_options=max_allocation_size_mb=4096:allocator_may_return_null=1:detect_stack_use_after_return=1

echo "== Python tests against the module built with ASan + UBSan"
loaded=$("${asan_env[@]}" ASAN_OPTIONS=detect_leaks=0 "$python" -c \
    'import mutflank; print(mutflank.__file__)')
case "$loaded" in
"$asan_module"/*) echo "module: $loaded" ;;
*) echo "expected the module from $asan_module, got $loaded" >&2; exit 1 ;;
esac
# Resident-size checks are left to the plain run: ASan keeps freed memory in quarantine.
(cd tests/python &&
    "${asan_env[@]}" ASAN_OPTIONS="detect_leaks=0:$asan_options" \
        "$python" -m pytest -q -p no:cacheprovider -k "not resident" .)

echo "== The engine's tests against the engine built with ASan + UBSan"
# The command's package from the sources, with the instrumented engine in it.
engine=$(find "$asan_build/src/engine" -maxdepth 1 -name '_engine*.so' | head -1)
package="$logs/package"
mkdir -p "$package"
cp -r src/mutflank_tools "$package/"
cp "$engine" "$package/mutflank_tools/"
(cd tests/python &&
    "${asan_env[@]}" PYTHONPATH="$asan_module:$package" \
        ASAN_OPTIONS="detect_leaks=0:$asan_options" \
        "$python" -m pytest -q -p no:cacheprovider -k "not resident" inputs commands/test_matrix_cohorts.py \
        commands/test_opportunities.py)

echo "== LeakSanitizer over every path (leaks through the module only)"
# The interpreter frees little at exit; slow unwinding gives full allocation stacks, so that
# leaks can be told apart by where they were allocated.
(cd tests/python &&
    "${asan_env[@]}" PYTHONPATH="$asan_module:$PWD" LSAN_OPTIONS=exitcode=0 \
        ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:log_path=$logs/lsan:$asan_options" \
        "$python" module/test_leaks_every_path.py)
"$python" tests/sanitize/module_findings.py lsan "$logs"/lsan.*

echo "== valgrind memcheck over every path (definite leaks through the module)"
(cd tests/python &&
    PYTHONMALLOC=malloc PYTHONPATH="$plain_module:$PWD" \
        valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite --num-callers=60 --fullpath-after= \
        --log-file="$logs/valgrind.log" \
        "$python" module/test_leaks_every_path.py)
"$python" tests/sanitize/module_findings.py valgrind "$logs/valgrind.log"
