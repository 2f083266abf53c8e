#!/usr/bin/env bash
# Instructions per request head, counted by callgrind: the strict reader
# against the lenient walk, on a curl head and a browser head. Two runs of
# N and 2N reads each; their difference over N leaves start-up out.
#   bash bench/head_walk.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-1000}
mkdir -p build/bench
${CXX:-g++} -O3 -DNDEBUG -std=c++17 -Isrc bench/native/head_walk.cpp src/parse/*.cpp -o build/bench/head_walk
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/head_walk "$@" 2>&1 |
    sed -n 's/.*refs: *//p' | tr -d ,
}
printf '%-8s %-8s %s\n' head walk instructions
for head in short browser; do
  for walk in lenient strict; do
    one=$(count "$walk" "$head" "$N")
    two=$(count "$walk" "$head" $((2 * N)))
    printf '%-8s %-8s %d\n' "$head" "$walk" $(((two - one) / N))
  done
done
