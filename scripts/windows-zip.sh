#!/usr/bin/env bash
# Packs the Windows build of kelvara-log for a lab PC: the program (stripped;
# it is statically linked and runs alone), the default offset.txt and a
# readme, in BUILD/kelvara-log-windows-x86_64.zip.
#
#   scripts/windows-zip.sh BUILD_DIR
set -euo pipefail

build="${1:?usage: $0 BUILD_DIR}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
exe="$build/bin/kelvara-log.exe"
zipfile="$(cd "$build" && pwd)/kelvara-log-windows-x86_64.zip"
[ -f "$exe" ] || { echo "windows-zip: no $exe; build it first (make windows)" >&2; exit 1; }

# Runs alone: only the system's own DLLs, none of the toolchain's.
dlls="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')"
if grep -qiE 'libstdc|libgcc|winpthread' <<<"$dlls"; then
  echo "windows-zip: $exe needs the toolchain's DLLs:" $dlls >&2
  exit 1
fi

stage="$build/zip/kelvara-log"
rm -rf "$build/zip" "$zipfile"
mkdir -p "$stage"
x86_64-w64-mingw32-strip -o "$stage/kelvara-log.exe" "$exe"
cp "$repo/data/offset.txt" "$stage/offset.txt"
cp "$repo/data/windows/README.txt" "$stage/README.txt"
# No extra file attributes, so the same files give the same archive.
(cd "$build/zip" && zip -q -X -r "$zipfile" kelvara-log)
echo "windows-zip: $zipfile (imports" $dlls")"
zip -sf "$zipfile"
