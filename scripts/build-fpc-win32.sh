#!/usr/bin/env bash
# Builds a Free Pascal cross-compiler for i386-win32 and its run-time library from Debian's
# fpc-source-3.2.2 into PREFIX (default build/fpc-win32), once: a finished prefix is reused.
# Afterwards PREFIX/bin/ppcross386 is the compiler and PREFIX/rtl the run-time library's
# units: compile with `-n -Twin32 -Pi386 -FuPREFIX/rtl`. FPC's internal linker makes the
# imports from the `external` declarations; no mingw is involved.
#
#   scripts/build-fpc-win32.sh [PREFIX]
#
# The packaged sources lack what a source release carries besides the code: the Makefiles
# (made here with fpcmake), the compiler's message file and rtl/i386/makefile.cpu.
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=$(realpath -m "${1:-build/fpc-win32}")
compiler=$prefix/bin/ppcross386
[ -f "$prefix/done" ] && exit 0

version=3.2.2
source=/usr/share/fpcsrc/$version
messages=/usr/lib/x86_64-linux-gnu/fpc/$version/msg/errore.msg
for needed in "$source/compiler" "$source/rtl" "$messages"; do
  [ -e "$needed" ] || { echo "missing $needed (fpc-source-$version, fp-compiler-$version)" >&2; exit 1; }
done

work=$prefix/src
log=$prefix/build.log
# Only what this script makes goes: PREFIX may hold other things.
rm -rf "$work" "$log" "$prefix/bin" "$prefix/lib" "$prefix/rtl"
mkdir -p "$work"
cp -r "$source/compiler" "$source/rtl" "$work/"
mkdir -p "$work/compiler/msg"
cp "$messages" "$work/compiler/msg/"
printf '%s\n' 'CPUNAMES=i386 math set setjump strings' 'CPUINCNAMES=$(addsuffix .inc,$(CPUNAMES))' \
  >"$work/rtl/i386/makefile.cpu"

{
  (cd "$work/compiler" && fpcmake -Tall -r Makefile.fpc)
  (cd "$work/rtl" && fpcmake -Tall -r Makefile.fpc)
  make -C "$work/compiler" compiler CPU_TARGET=x86_64 OS_TARGET=linux PPC_TARGET=i386 EXENAME=ppcross386
  make -C "$work/compiler" install CPU_TARGET=x86_64 OS_TARGET=linux PPC_TARGET=i386 EXENAME=ppcross386 \
    CROSSINSTALL=1 INSTALL_PREFIX="$prefix"
  make -C "$work/rtl" all CPU_TARGET=i386 OS_TARGET=win32 FPC="$work/compiler/ppcross386"
  make -C "$work/rtl" install CPU_TARGET=i386 OS_TARGET=win32 FPC="$work/compiler/ppcross386" \
    CROSSINSTALL=1 INSTALL_PREFIX="$prefix"
} >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "building the cross-compiler failed, see $log" >&2; exit 1; }

# The installs put both under lib/<multiarch>/fpc/<version>; fixed paths for callers.
installed=$(find "$prefix/lib" -name ppcross386 -type f | head -n 1)
rtl=$(find "$prefix/lib" -type d -path '*/units/i386-win32/rtl' | head -n 1)
[ -n "$installed" ] && [ -n "$rtl" ] || { echo "compiler or units missing under $prefix" >&2; exit 1; }
mkdir -p "$prefix/bin"
ln -sf "$installed" "$compiler"
ln -sfn "$rtl" "$prefix/rtl"
rm -rf "$work"
touch "$prefix/done"
