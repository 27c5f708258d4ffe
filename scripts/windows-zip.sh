#!/usr/bin/env bash
# Packs a portable copy of the Windows build for a lab PC, which keeps its
# settings beside the programs: the window and the logger (stripped; they
# are statically linked and run alone), the default offset.txt, the readme
# and the window's font with its licence, in
# BUILD/kelvara-windows-x86_64.zip. The installer is the .msi beside it.
#
#   scripts/windows-zip.sh BUILD_DIR
set -euo pipefail

build="${1:?usage: $0 BUILD_DIR}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
zipfile="$(cd "$build" && pwd)/kelvara-windows-x86_64.zip"
stage="$build/zip/kelvara"
rm -rf "$build/zip" "$zipfile"
mkdir -p "$stage"
for exe in kelvara.exe kelvara-log.exe; do
  [ -f "$build/bin/$exe" ] || { echo "windows-zip: no $build/bin/$exe; build it first (make windows)" >&2; exit 1; }
  # Runs alone: only the system's own DLLs, none of the toolchain's.
  dlls="$(x86_64-w64-mingw32-objdump -p "$build/bin/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')"
  if grep -qiE 'libstdc|libgcc|winpthread' <<<"$dlls"; then
    echo "windows-zip: $exe needs the toolchain's DLLs:" $dlls >&2
    exit 1
  fi
  echo "windows-zip: $exe imports" $dlls
  x86_64-w64-mingw32-strip -o "$stage/$exe" "$build/bin/$exe"
done
cp "$repo/data/offset.txt" "$stage/offset.txt"
cp "$repo/data/windows/README.txt" "$stage/README.txt"
cp "$build/bin/Cousine-Regular.ttf" "$stage/"
cp /usr/share/doc/fonts-croscore/copyright "$stage/Cousine-LICENSE.txt"
# No extra file attributes, so the same files give the same archive.
(cd "$build/zip" && zip -q -X -r "$zipfile" kelvara)
echo "windows-zip: $zipfile"
zip -sf "$zipfile"
