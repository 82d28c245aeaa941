#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds examples/ against it with find_package(Ondrel)
# and Ondrel::ondrel alone (no OpenCV anywhere in the package or the example's links) and runs
# it: what a user of the installed library does. With a Python
# interpreter and the package folder (relative to the prefix), imports the installed module
# and matches a tiny pair with it, checks that every program is installed, then installs the
# module with pip into a venv of that interpreter (pip install --no-build-isolation, the
# module taken from this build) and imports it from there.
set -euo pipefail
build=$1 source=$2 data=$3 python=${4:-} site=${5:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for program in ondrel ondrel-match ondrel-eval; do
  [ -x "$scratch/prefix/bin/$program" ] || { echo "$program is not installed" >&2; exit 1; }
done
cmake -S "$source/examples" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null
! grep -rli opencv "$scratch/prefix/lib"*/cmake/Ondrel "$scratch/example/CMakeFiles/match_pair.dir/link.txt" ||
  { echo "the package or the example's link line names OpenCV" >&2; exit 1; }
! ldd "$scratch/example/match_pair" | grep -qi opencv || { echo "the example links OpenCV" >&2; exit 1; }
"$scratch/example/match_pair" 7 >"$scratch/example.out"
for call in match Matcher match_refined; do
  grep -qx "$call: disparity at the centre: 7" "$scratch/example.out" ||
    { cat "$scratch/example.out" >&2; echo "$call did not find the shift" >&2; exit 1; }
done
if [ -n "$python" ]; then
  check="
import numpy, ondrel, sys
assert ondrel.__file__.startswith(sys.argv[1]), ondrel.__file__
pair = numpy.zeros((8, 8, 3), numpy.uint8)
assert ondrel.match(pair, pair, 2, support_radius=1, block_radius=0).disparity.shape == (8, 8)"
  (cd "$scratch" && PYTHONPATH="$scratch/prefix/$site" "$python" -c "$check" "$scratch/prefix/$site/")
  "$python" -m venv --system-site-packages "$scratch/venv"
  ONDREL_BUILD_DIR=$build "$scratch/venv/bin/python" -m pip install -q --no-build-isolation --no-index "$source" \
    >"$scratch/pip.log" 2>&1 || { cat "$scratch/pip.log" >&2; exit 1; }
  (cd "$scratch" && "$scratch/venv/bin/python" -c "$check" "$scratch/venv/")
fi
