#!/usr/bin/env bash
# Runs a Windows test program under Wine and exits with the program's exit status.
#
#   scripts/wine-run.sh win32|win64 PROGRAM.exe [ARGS...]
#
# Environment:
#   VELMORA_WINE_ROOT     where the prefixes live (default: $PWD/build/wine); one per arch.
#   VELMORA_WINE32_MODE   auto (default), native or qemu: how 32-bit Wine is started.
#   VELMORA_WINE_DISPLAY  X display to hand to Wine; without it Wine gets none. A prefix's
#                         session serves one display at a time: a run with another one
#                         waits for the runs in progress, then restarts the session.
#   VELMORA_WINE_LOCALE   the locale the program runs in, which sets its ANSI code page:
#                         C.UTF-8 (the default: code page 1252) or another UTF-8 locale,
#                         such as zh_CN.UTF-8 (code page 936). File names stay UTF-8 on the
#                         Linux side; a locale glibc lacks is compiled below the prefixes.
#   WINEDEBUG             respected when set, otherwise -all.
set -euo pipefail

me=wine-run
usage() { echo "usage: $0 win32|win64 PROGRAM.exe [ARGS...]" >&2; exit 2; }
die() { echo "$me: $*" >&2; exit 125; }

[ $# -ge 2 ] || usage
arch=$1
shift
case $arch in win32|win64) ;; *) usage ;; esac
[ -f "$1" ] || die "no such program: $1"

# Debian 12 ships no /usr/bin/wine64, only the loader under /usr/lib/wine.
wine64=
for c in /usr/lib/wine/wine64 /usr/bin/wine64; do
  [ -x "$c" ] && { wine64=$c; break; }
done
[ -n "$wine64" ] || die "wine64 not found (install Debian's wine64)"
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver64
pe32=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -x "$wineserver" ] || die "$wineserver not found"

root=$(realpath -m -- "${VELMORA_WINE_ROOT:-$PWD/build/wine}")
export WINEPREFIX=$root/$arch
# A 32-bit wineserver cannot serve a 64-bit prefix, and the 32-bit loader would pick one
# when not told otherwise.
export WINESERVER=$wineserver
export WINEDEBUG=${WINEDEBUG--all}
unset WINEARCH WINELOADER WINELOADERNOEXEC
# Results must not depend on whatever X display the caller happens to have (a stale one, a
# desktop's); windowless programs run fine with none.
if [ -n "${VELMORA_WINE_DISPLAY:-}" ]; then export DISPLAY=$VELMORA_WINE_DISPLAY; else unset DISPLAY; fi
unset WAYLAND_DISPLAY
# Menu entries and file associations in $HOME are useless for throw-away prefixes.
export WINEDLLOVERRIDES="winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

# The stamp records the Wine build and the prefix's settings, so a Wine upgrade or a new
# setting refreshes the prefix and the syswow64 copy (the emulated 32-bit loader cannot run
# wineboot itself).
want="$("$wine64" --version) $(stat -c %Y /usr/share/wine/wine.inf 2>/dev/null || true) unmanaged,nocrashdialog,simsun"
stamp=$WINEPREFIX/.velmora-prefix
ready() { [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; }

prepare_prefix() {
  mkdir -p "$root"
  exec 9>"$root/.$arch.lock"
  flock 9
  if ! ready; then
    echo "$me: preparing $WINEPREFIX" >&2
    # 9>&- keeps the lock from being inherited by a wineserver that outlives this run.
    # mscoree/mshtml off: no Mono/Gecko installer, which would need a network.
    WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=;$WINEDLLOVERRIDES" \
      "$wine64" wineboot -i </dev/null >&2 9>&- || die "wineboot failed for $WINEPREFIX"
    # No window manager runs on the test displays: Wine would wait for one, up to 2 s for
    # every window shown or hidden, unless it manages its windows itself. With a display, a
    # crashing program would wait for a click on Wine's crash dialog.
    { "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f &&
      "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    } </dev/null >/dev/null 2>&1 9>&- || die "cannot configure $WINEPREFIX"
    # The dialog asks for SimSun by its Chinese name, which Wine does not have: without a
    # replacement its Chinese text comes out as boxes. A .reg file (UTF-16) carries the
    # name intact whatever the locale.
    fonts=$WINEPREFIX/drive_c/velmora-fonts.reg
    printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
      '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
      $'"\xe5\xae\x8b\xe4\xbd\x93"="WenQuanYi Micro Hei"' '"SimSun"="WenQuanYi Micro Hei"' |
      iconv -f UTF-8 -t UTF-16 >"$fonts"
    "$wine64" regedit /S 'C:\velmora-fonts.reg' </dev/null >/dev/null 2>&1 9>&- ||
      die "cannot configure the fonts of $WINEPREFIX"
    rm -f "$fonts"
    # The registry is only complete once the server has written it out and exited.
    "$wineserver" -w 9>&-
    if [ "$arch" = win32 ]; then
      [ -d "$pe32" ] || die "$pe32 missing (install Debian's wine32:i386)"
      cp -rf --preserve=timestamps "$pe32/." "$WINEPREFIX/drive_c/windows/syswow64/"
    fi
    echo "$want" >"$stamp.tmp"
    mv -f "$stamp.tmp" "$stamp"
  fi
  exec 9>&-
}
ready || LC_ALL=C.UTF-8 prepare_prefix

# Wine takes the ANSI code page from the locale, and the encoding of Linux file names from
# the locale glibc loads: only a locale glibc has keeps names beyond ASCII on the disk.
locale=${VELMORA_WINE_LOCALE:-C.UTF-8}
case $locale in
  *.UTF-8) ;;
  *) die "VELMORA_WINE_LOCALE must be a UTF-8 locale, such as zh_CN.UTF-8" ;;
esac
if [ "$locale" != C.UTF-8 ]; then
  export LOCPATH=$root/locales
  if [ ! -d "$LOCPATH/$locale" ]; then
    mkdir -p "$LOCPATH"
    exec 9>"$LOCPATH/.lock"
    flock 9
    if [ ! -d "$LOCPATH/$locale" ]; then
      # The sources come with Debian's locales package.
      rm -rf "$LOCPATH/$locale.tmp"
      localedef -i "${locale%.UTF-8}" -f UTF-8 "$LOCPATH/$locale.tmp" 9>&- >&2 ||
        die "cannot compile the locale $locale (install Debian's locales)"
      mv "$LOCPATH/$locale.tmp" "$LOCPATH/$locale"
    fi
    exec 9>&-
  fi
fi
unset LANG LANGUAGE
export LC_ALL=$locale

# The session helpers (explorer's desktop above all) keep the display of the run that
# started them, and a display number may name a new X server by now (its socket tells them
# apart). Every run holds a shared lock while its program runs; a run with another display
# waits for those, stops the prefix's server and records its own display. Whatever is
# started here must not inherit the lock (8>&-).
display_id=none
if [ -n "${DISPLAY:-}" ]; then
  display_id=$DISPLAY
  case $DISPLAY in
    :*) number=${DISPLAY#:}
        display_id+=" $(stat -c '%i %Y' "/tmp/.X11-unix/X${number%%.*}" 2>/dev/null || true)" ;;
  esac
fi
record=$WINEPREFIX/.velmora-display
exec 8>>"$root/.$arch.session.lock"
flock -s 8
while [ "$(cat "$record" 2>/dev/null)" != "$display_id" ]; do
  # Changing the lock's mode is not atomic, so the record is checked again each time.
  flock -x 8
  if [ "$(cat "$record" 2>/dev/null)" != "$display_id" ]; then
    "$wineserver" -k </dev/null >/dev/null 2>&1 8>&- || true
    "$wineserver" -w </dev/null >/dev/null 2>&1 8>&- || true
    printf '%s\n' "$display_id" >"$record"
  fi
  flock -s 8
done

# Wine's session helpers (services.exe, winedevice.exe, explorer ...) inherit the stderr of
# whichever process starts them and outlive it by seconds, so a test runner reading our
# stderr through a pipe would wait for them. Start server and session here with nothing
# attached. The server stays 10 s after the last program, so back-to-back tests reuse it.
# Exit status 2 means a server for this prefix is already up.
if "$wineserver" -p10 </dev/null >/dev/null 2>&1 8>&-; then
  "$wine64" cmd /c exit </dev/null >/dev/null 2>&1 8>&- || true
fi

if [ "$arch" = win64 ]; then
  run=("$wine64")
else
  mode=${VELMORA_WINE32_MODE:-auto}
  if [ "$mode" = auto ]; then
    mode=qemu
    # A binfmt entry would make the probe below succeed through emulation anyway.
    if ! grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386 &&
       "$wine32" --version >/dev/null 2>&1; then
      mode=native
    fi
  fi
  case $mode in
    native) run=("$wine32") ;;
    qemu)
      command -v qemu-i386-static >/dev/null || die "qemu-i386-static not found (install qemu-user-static)"
      # WINELOADERNOEXEC: the loader must not re-exec itself, which qemu cannot follow.
      run=(env WINELOADERNOEXEC=1 qemu-i386-static -L / "$wine32")
      ;;
    *) die "VELMORA_WINE32_MODE must be auto, native or qemu" ;;
  esac
fi

# The session lock stays with this shell for as long as the program runs, not with the
# program: whatever it leaves behind must not keep other displays waiting.
status=0
"${run[@]}" "$@" 8>&- || status=$?
exit $status
