#!/usr/bin/env bash
# Installs the built tree into a scratch prefix, then builds and runs a consumer project against it
# with find_package(kivo) and with pkg-config, including a host whose own names (match, zlib's
# adler32) clash with the C core's.
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source_dir/consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/consumer"
"$scratch/consumer/consumer_c"
"$scratch/consumer/host_names"

libdir=$(ls -d "$scratch"/prefix/lib*/pkgconfig | head -1)
export PKG_CONFIG_PATH="$libdir"
flags=$(pkg-config --cflags --libs kivo)
c++ -std=c++20 "$source_dir/consumer/main.cpp" -o "$scratch/pc_consumer" $flags -Wl,-rpath,"$(dirname "$libdir")"
"$scratch/pc_consumer"

# The README's C++ example, as it stands, compiles against the installed headers.
sed -n '/^```cpp$/,/^```$/p' "$source_dir/../../README.md" | sed '1d;$d' >"$scratch/readme_example.cpp"
grep -q AFPFromSample "$scratch/readme_example.cpp"
c++ -std=c++20 -c "$scratch/readme_example.cpp" -o "$scratch/readme_example.o" $(pkg-config --cflags kivo)
