#!/usr/bin/env bash
# Builds the release presets and packs them into build/packages/ (make package):
#
#   Velmora-<version>-win32.zip, Velmora-<version>-win64.zip      (package-win32, -win64)
#   Velmora-<version>-linux-x86_64.tar.gz and the Debian packages    (package-linux)
#   libvelmora<major>.<minor>_<version>_amd64.deb, libvelmora-dev_<version>_amd64.deb,
#   velmora-tools_<version>_amd64.deb
#
# and beside each platform's packages the debug information of its stripped binaries,
# Velmora-<version>-<platform>-debug.zip or .tar.gz (the .debug files, in the package's
# folders). With arguments, only those presets.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(package-win32 package-win64 package-linux)
out=$PWD/build/packages
mkdir -p "$out"

for preset in "${presets[@]}"; do
  build=build/$preset
  log=build/$preset-build.log
  echo "packing $preset"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)" &&
         (cd "$build" && cpack -B "$out"); } >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "make-packages: $preset failed, see $log" >&2
    exit 1
  fi

  # The debug archive holds each .debug file where its binary sits in the archive, under
  # the same top folder: unpacked where the package was, each lands beside its binary.
  # What the archive holds is read from CPack's staging folder.
  name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  packed=$(find "$out/_CPack_Packages" -mindepth 3 -maxdepth 3 -type d -name "$name" \( -path '*/TGZ/*' -o -path '*/ZIP/*' \))
  debug=$build/debug-staging
  rm -rf "$debug"
  mkdir -p "$debug/$name"
  while IFS= read -r file; do
    symbols=$(find "$build/bin" -name "$(basename "$file").debug" | head -n 1)
    [ -n "$symbols" ] || continue
    mkdir -p "$debug/$name/$(dirname "$file")"
    cp "$symbols" "$debug/$name/$file.debug"
  done < <(cd "$packed" && find . -type f | sed 's|^\./||')
  rm -rf "$out/_CPack_Packages"
  if [ -d "$build/deb/debian" ]; then
    # debhelper packs the same install (cmake/VelmoraDebian.cmake); what it leaves behind
    # stays in the build tree.
    if ! (cd "$build/deb" && debian/rules clean && PACKAGES_DIR="$out" debian/rules binary) >>"$log" 2>&1; then
      tail -n 40 "$log"
      echo "make-packages: the Debian packages of $preset failed, see $log" >&2
      exit 1
    fi
  fi
  case $preset in
    *win*) archive=$out/$name-debug.zip; pack=(cf "$archive" --format=zip) ;;
    *) archive=$out/$name-debug.tar.gz; pack=(czf "$archive") ;;
  esac
  rm -f "$archive"
  (cd "$debug" && cmake -E tar "${pack[@]}" "$name")
done
ls -l "$out"
