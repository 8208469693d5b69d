#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need. Idempotent: when everything is
# already there it only checks and returns.
set -euo pipefail

native=(cmake g++ make googletest libgtest-dev valgrind fp-compiler)
# The sanitizer builds use GCC's runtimes; the fuzz targets need clang and its runtimes.
native+=(clang-14 libclang-rt-14-dev)
# The benchmarks (make bench).
native+=(libbenchmark-dev)
# The dialog's names are Chinese: Wine draws them with a font that has the glyphs
# (fonts-wqy-microhei).
# Packages (make package): Debian's package tools, and pkg-config for the packages' test.
native+=(dpkg-dev pkg-config)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 qemu-user-static
         xvfb xauth llvm lld fonts-wqy-microhei)
# The sources of the locales the Windows tests also run in (zh_CN.UTF-8: code page 936),
# compiled by scripts/wine-run.sh.
windows+=(locales)
# The Free Pascal cross-compiler for i386-win32 is built from these sources and the
# installed compiler's message file and fpcmake (scripts/build-fpc-win32.sh).
windows+=(fpc-source-3.2.2 fp-utils-3.2.2)
# make package and make test: the Debian packages are made with debhelper and checked with
# lintian, which reads manual pages with man-db.
packaging=(debhelper lintian man-db)
# make bench only: it draws docs/performance.png.
plots=(gnuplot-nox)

want=("${native[@]}")
case "${1:-all}" in
  native) ;;
  all) want+=("${windows[@]}" "${packaging[@]}") ;;
  bench) want+=("${windows[@]}" "${plots[@]}") ;;
  *) echo "usage: $0 [native|all|bench]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
