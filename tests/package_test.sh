#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds examples/ against it with find_package(Ondrel)
# and runs the example on a pair: what a user of the installed library does.
set -euo pipefail
build=$1 source=$2 data=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source/examples" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null
"$scratch/example/match_pair" "$data/Tsukuba_L.png" "$data/Tsukuba_R.png" 15 | grep -q "disparity at the centre"
