#!/usr/bin/env bash
# make bench: builds the benchmarks for Linux and both Windows DLLs, runs them (the Windows
# ones under Wine) and draws docs/performance.png. Arguments go to the Google Benchmark
# program (discovery), for example --benchmark_filter=Discovery/Velmora.
set -euo pipefail
cd "$(dirname "$0")/.."

results=build/bench-results
mkdir -p "$results"
jobs=$(nproc)
for preset in bench bench-win32 bench-win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >"$results/build-$preset.log" 2>&1 ||
    { tail -n 40 "$results/build-$preset.log"; exit 1; }
done

# On a machine shared with other work the timing threads go first where that is allowed.
ahead=()
if nice -n -20 true 2>/dev/null; then ahead=(nice -n -20); fi

"${ahead[@]}" build/bench/bin/velmora_bench "$@"
echo
"${ahead[@]}" build/bench/bin/velmora_callbench "$results/calls-linux.dat"
for arch in win32 win64; do
  echo
  "${ahead[@]}" scripts/wine-run.sh "$arch" "build/bench-$arch/bin/velmora_callbench.exe" "$results/calls-$arch.dat"
done
for arch in linux win32 win64; do
  echo
  case $arch in
    linux) "${ahead[@]}" build/bench/bin/velmora_startbench ;;
    *) "${ahead[@]}" scripts/wine-run.sh "$arch" "build/bench-$arch/bin/velmora_startbench.exe" ;;
  esac
done
gnuplot -e "results='$results'" bench/performance.gp
echo
echo "docs/performance.png drawn from $results/calls-*.dat"
