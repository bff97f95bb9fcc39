#!/usr/bin/env bash
# Builds korvel's extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into a separate virtual environment and runs
# the whole test suite there.  The normal installation is left alone.
#
#   tools/sanitize.sh [pytest args...]
#
# KORVEL_ASAN_VENV picks the environment (default /tmp/korvel-asan).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${KORVEL_ASAN_VENV:-/tmp/korvel-asan}
py=${PYTHON:-python3}

# The environment sees the interpreter's site-packages (NumPy, pytest,
# hypothesis, the build backend), but its own korvel shadows the normal one.
if [ ! -x "$venv/bin/python" ]; then
    "$py" -m venv --system-site-packages "$venv"
fi
# The build backend and NumPy's headers, in case this machine only has what
# the package's own install brought (that build ran in an isolated env).
"$venv/bin/python" -m pip install -q 'scikit-build-core>=0.9' 'numpy>=2.0' cmake ninja
"$venv/bin/python" -m pip install --no-build-isolation --no-deps -q \
    -C cmake.define.KORVEL_SANITIZE=ON -C build-dir="$venv/build" .

# The interpreter itself is not instrumented, so the ASan runtime has to be
# loaded first.  CPython keeps objects alive until exit on purpose, so leak
# detection would only report the interpreter; memory leaks are covered by
# tests/test_leaks.py instead.  PYTHONMALLOC=malloc routes Python objects
# through ASan's allocator, so a use-after-free of one is caught too.
libasan=$(${CXX:-g++} -print-file-name=libasan.so)
libubsan=$(${CXX:-g++} -print-file-name=libubsan.so)
export LD_PRELOAD="$libasan:$libubsan"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=4096:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
# Tells tests/test_leaks.py that resident memory grows by design here.
export KORVEL_SANITIZED=1

# Make sure the sanitized build is the one under test.
KORVEL_ASAN_VENV="$venv" "$venv/bin/python" - <<'PY'
import os, korvel.pulsix, korvel.sonix
for m in (korvel.sonix, korvel.pulsix):
    assert os.path.realpath(m.__file__).startswith(os.path.realpath(os.environ["KORVEL_ASAN_VENV"])), m.__file__
    print("sanitized module:", m.__file__)
PY
start=$(date +%s)
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
echo "sanitized test run: exit $status after $(( $(date +%s) - start )) s"
exit $status
