#!/usr/bin/env bash
# Runs the test suite against the oldest NumPy korvel supports (1.24), in a
# virtual environment of its own; the normal installation is left alone.
# korvel is built as usual (against NumPy 2's headers, which also serve
# NumPy 1 at run time) and installed next to NumPy 1.24.
#
#   tools/oldest_numpy.sh [pytest args...]
#
# KORVEL_OLD_NUMPY_VENV picks the environment (default /tmp/korvel-numpy1),
# KORVEL_OLD_NUMPY the version (default 1.24.4).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${KORVEL_OLD_NUMPY_VENV:-/tmp/korvel-numpy1}
version=${KORVEL_OLD_NUMPY:-1.24.4}
py=${PYTHON:-python3}

if [ ! -x "$venv/bin/python" ]; then
    "$py" -m venv "$venv"
fi
# Every package the tests need, held to a NumPy of that version.  The batch
# extras (Dask, Arrow) are left out: they are pure Python over NumPy and the
# batch tests drive worker processes, not korvel's native code.
constraints="$venv/numpy-constraint.txt"
echo "numpy==$version" > "$constraints"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -c "$constraints" "numpy==$version" \
    'pytest>=7' 'hypothesis>=6' 'mypy>=1.5' 'soundfile>=0.12' 'matplotlib>=3.7'
"$venv/bin/python" -m pip install -q -c "$constraints" --force-reinstall --no-deps .

"$venv/bin/python" - "$version" <<'PY'
import sys, numpy, korvel.sonix
assert numpy.__version__ == sys.argv[1], numpy.__version__
print("NumPy", numpy.__version__, "with", korvel.sonix.__file__)
PY
start=$(date +%s)
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider --ignore=tests/test_batch.py "$@" || status=$?
echo "test run on NumPy $version: exit $status after $(( $(date +%s) - start )) s"
exit $status
