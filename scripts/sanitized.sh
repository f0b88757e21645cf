#!/usr/bin/env bash
# Runs a command (the test suite) against the sanitizer build and fails when
# any AddressSanitizer, LeakSanitizer or UndefinedBehaviorSanitizer report
# appears, in the command itself or in any process it starts.
#
#   scripts/sanitized.sh .venv-asan/bin/python -m pytest ...
#
# The interpreter is not instrumented, so the runtimes are preloaded. Every
# process started below inherits the settings and writes its reports into
# one folder, which must be empty at the end.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
logs="${SANITIZER_LOGS:-build/asan/reports}"
rm -rf "$logs"
mkdir -p "$logs"
logs="$(cd "$logs" && pwd)"

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
for lib in "$asan" "$ubsan"; do
    [ -e "$lib" ] || { echo "sanitized.sh: runtime $lib not found" >&2; exit 2; }
done

export LD_PRELOAD="$asan:$ubsan${LD_PRELOAD:+:$LD_PRELOAD}"
# Every Python allocation through malloc: ASan sees each object's bounds and
# frees, and the leak checker sees pointers held inside Python objects (the
# interpreter's own small-object arenas would hide them).
export PYTHONMALLOC=malloc
# Tests whose readings the sanitizer allocator distorts skip themselves.
export QUORVI_SANITIZED=1
# halt_on_error: the first error ends the process, with exit status 99.
# Reports go to files so that none is lost in a test's captured output or a
# simulator's pseudo-terminal; each ends with the process's module map.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=99:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:print_module_map=2:log_path=$logs/asan"
# A leak report never changes a process's exit status (tests check the
# statuses of the consoles and commands they start): the reports decide.
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0:exitcode=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:log_path=$logs/ubsan"

"$@"
status=$?

# The one kind of report set aside: a leak report none of whose allocation
# stacks passes through our modules. CPython 3.11 does not free everything it
# made when it exits normally (`python3.11 -I -c "import re"` alone reports
# 13 kB; a process that imported asyncio, yaml or dask, far more), and the
# interpreter, built without frame pointers, gives such allocations stacks of
# one or two frames of its own. Our modules are built with frame pointers, so
# memory they allocate (new, malloc) shows their frames. Python objects they
# might leak are the job of the reference-count and memory-growth tests of
# the normal build.
interpreter_only() {
    grep -q "ERROR: LeakSanitizer" "$1" &&
        ! grep -q "ERROR: AddressSanitizer" "$1" &&
        ! grep -Eq "^ +#[0-9]+ .*(/quorvi/(bases/routers/link_broker|core/classregistry)[^/ ]*\.so|src/(link_broker|classregistry)/|pyclass\.hpp)" "$1"
}

failing=()
for report in "$logs"/*; do
    [ -e "$report" ] || continue
    if [[ "$(basename "$report")" == asan.* ]] && interpreter_only "$report"; then
        echo "sanitizers: set aside $(basename "$report"): $(grep -m1 '^SUMMARY' "$report")" \
             "(no stack through our modules)"
    else
        failing+=("$report")
    fi
done
if [ "${#failing[@]}" -gt 0 ]; then
    for report in "${failing[@]}"; do
        echo "==== $report"
        cat "$report"
    done
    echo "sanitizers: ${#failing[@]} report file(s) in $logs" >&2
    exit 1
fi
echo "sanitizers: no report"
exit "$status"
