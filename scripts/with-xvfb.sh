#!/usr/bin/env bash
# Runs a command under a private Xvfb and exits with the command's exit status.
#
#   scripts/with-xvfb.sh COMMAND [ARGS...]
#
# The server takes a free display number itself (-displayfd), which the command finds in
# VELMORA_WINE_DISPLAY (for wine-run.sh) and DISPLAY; it is stopped when the command ends.
set -euo pipefail

me=with-xvfb
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
die() { echo "$me: $*" >&2; exit 125; }
command -v Xvfb >/dev/null || die "Xvfb not found (install Debian's xvfb)"

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-xvfb.XXXXXX")
xvfb=
cleanup() {
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkfifo "$work/display"
# The server's output goes to a file so that nothing holds the caller's pipes open.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" \
  </dev/null >"$work/xvfb.log" 2>&1 &
xvfb=$!
number=
# The number is written once the server accepts connections; EOF means it failed to start.
read -r -t 30 number <"$work/display" || true
[ -n "$number" ] || { cat "$work/xvfb.log" >&2; die "Xvfb did not start"; }

export VELMORA_WINE_DISPLAY=:$number DISPLAY=:$number
status=0
"$@" || status=$?
exit $status
