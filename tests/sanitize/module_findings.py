"""Reads AddressSanitizer/LeakSanitizer logs or a valgrind memcheck log and fails on findings
that belong to the module.

The interpreter and NumPy leave memory behind at exit that they never free; only leaks whose
allocation stack passes through the module's own code (its shared object, src/lib or src/core)
count. Any sanitizer error other than a leak counts wherever it is.

Usage: module_findings.py lsan LOG...   |   module_findings.py valgrind LOG
"""

import re
import sys

MODULE_FRAME = re.compile(r"mutflank\.cpython|src/lib/|src/core/")
LSAN_LEAK = re.compile(r"^(Direct|Indirect) leak of \d+ byte")
VALGRIND_LEAK = re.compile(r"bytes in [\d,]+ blocks are (definitely|indirectly|possibly) lost")
VALGRIND_PREFIX = re.compile(r"^==\d+== ?")


def blocks(lines, starts):
    """Yields (first line, block lines) for each report block, ended by a blank line."""
    block = None
    for line in lines:
        if starts(line):
            if block:
                yield block
            block = [line]
        elif block is not None:
            if line.strip():
                block.append(line)
            else:
                yield block
                block = None
    if block:
        yield block


def lsan(paths):
    module_leaks, other_leaks, errors = [], 0, []
    for path in paths:
        with open(path, errors="replace") as log:
            lines = log.read().splitlines()
        for line in lines:
            if "ERROR: AddressSanitizer" in line or "runtime error:" in line:
                errors.append(f"{path}: {line}")
        for block in blocks(lines, LSAN_LEAK.match):
            if any(MODULE_FRAME.search(line) for line in block[1:]):
                module_leaks.append(block)
            else:
                other_leaks += 1
    print(f"LeakSanitizer: {len(module_leaks)} leak(s) from the module, "
          f"{other_leaks} elsewhere (interpreter, NumPy; ignored)")
    return module_leaks, errors


def valgrind(path):
    with open(path, errors="replace") as log:
        lines = [VALGRIND_PREFIX.sub("", line) for line in log.read().splitlines()]
    module_leaks, errors = [], []
    definite_elsewhere = 0
    for block in blocks(lines, VALGRIND_LEAK.search):
        from_module = any(MODULE_FRAME.search(line) for line in block[1:])
        if "definitely lost" in block[0]:
            if from_module:
                module_leaks.append(block)
            else:
                definite_elsewhere += 1
    for line in lines:
        if re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free", line):
            errors.append(line)
    summary = [line for line in lines if re.search(
        r"(definitely|indirectly|possibly) lost:|still reachable:|ERROR SUMMARY", line)]
    print("valgrind memcheck:")
    for line in summary:
        print("  " + line.strip())
    print(f"  definite leaks from the module: {len(module_leaks)}; "
          f"elsewhere (interpreter, NumPy; ignored): {definite_elsewhere}")
    return module_leaks, errors


def main(argv):
    if len(argv) < 3 or argv[1] not in ("lsan", "valgrind"):
        print(__doc__, file=sys.stderr)
        return 2
    leaks, errors = lsan(argv[2:]) if argv[1] == "lsan" else valgrind(argv[2])
    for block in leaks:
        print("\n".join(block), end="\n\n")
    for error in errors:
        print(error)
    return 1 if leaks or errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
