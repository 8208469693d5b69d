#!/usr/bin/env bash
# Runs fuzz targets of the linux-fuzz build, each for a bounded time.
#
#   fuzz/run.sh SECONDS [TARGET...]      (default: every target)
#
# Each run starts in build/linux-fuzz/fuzz/sandbox, reads the seed corpus fuzz/corpus/TARGET
# without writing to it, keeps what it finds in build/linux-fuzz/fuzz/corpus/TARGET, and
# leaves a crashing input in build/linux-fuzz/fuzz/artifacts/TARGET/. Exits non-zero if any
# target found a crash. VELMORA_FUZZ_BUILD names another build tree.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_FUZZ_BUILD:-$root/build/linux-fuzz}

[ $# -ge 1 ] || { echo "usage: $0 SECONDS [TARGET...]" >&2; exit 2; }
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(init_params type_name login_record export_sequence report_channel verdict_cache binary_image)

status=0
for target in "${targets[@]}"; do
  program=$build/bin/fuzz_$target
  [ -x "$program" ] || { echo "$0: $program not built (cmake --build --preset linux-fuzz)" >&2; exit 2; }
  corpus=$build/fuzz/corpus/$target
  artifacts=$build/fuzz/artifacts/$target
  mkdir -p "$corpus" "$artifacts" "$build/fuzz/sandbox"
  options=()
  # An InitParams block is 512 bytes; longer inputs would only repeat it.
  [ "$target" != init_params ] || options+=(-max_len=512)
  echo "fuzz_$target: $seconds s"
  if ! (cd "$build/fuzz/sandbox" &&
        "$program" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 "${options[@]}" \
          -artifact_prefix="$artifacts/" "$corpus" "$root/fuzz/corpus/$target"); then
    echo "fuzz_$target: FAILED, input kept in $artifacts/" >&2
    status=1
  fi
done
exit $status
