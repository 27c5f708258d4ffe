#!/usr/bin/env bash
# The Windows installer, checked and then used as a user would under Wine:
#
# 1. Its tables, read with msiinfo: the files, the Start menu entry, the
#    entry in the list of installed programs (icon, version, help link), the
#    fixed upgrade code with the rows that replace an older version, and a
#    package that needs no administrator.
# 2. In a scratch Wine prefix: `msiexec /i` quietly, the installed
#    kelvara-log.exe --simulate --scans 3 prints its header and three lines,
#    a package one version newer replaces it, and `msiexec /x` leaves nothing
#    of it behind, under Program Files or the user's programs.
#
#   scripts/windows-msi-test.sh MSI
set -euo pipefail

say() { printf 'windows-msi-test: %s\n' "$*" >&2; }
fail() {
  say "$*"
  exit 1
}

[ "$#" -eq 1 ] || { say "usage: $0 MSI"; exit 2; }
msi="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
[ -f "$msi" ] || fail "no $msi; build it first (make windows)"
here="$(cd "$(dirname "$0")" && pwd)"
upgrade_code="{05513E40-31A0-4C4E-A5EC-A02D95E26148}"

# --- 1. The tables ----------------------------------------------------------
scratch="$(mktemp -d /tmp/kelvara-msi.XXXXXX)"
cleanup() {
  local status=$?
  for server in wineserver /usr/lib/wine/wineserver; do
    if command -v "$server" >/dev/null 2>&1; then
      WINEPREFIX="$scratch/wine" "$server" -k 2>/dev/null || true
      break
    fi
  done
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT
# Run where it may leave files: exporting a table of streams (Icon) writes
# them out beside it.
table() { (cd "$scratch" && msiinfo export "$msi" "$1") | tail -n +4 | tr -d '\r'; }
has_row() { # TABLE REGEX: a row of the table matches
  table "$1" | grep -qE "$2" || fail "table $1 has no row matching: $2"
}
version="$(table Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }')"
[ -n "$version" ] || fail "no ProductVersion"
for f in kelvara.exe kelvara-log.exe offset.txt README.txt Cousine-Regular.ttf; do
  has_row File $'\t'"$f"$'\t'
done
has_row Shortcut $'^[^\t]+\tProgramMenuFolder\tKelvara\t[^\t]+\t\\[INSTALLDIR\\]kelvara\\.exe\t'
has_row Property $'^ARPPRODUCTICON\tkelvara\\.ico$'
has_row Icon $'^kelvara\\.ico\t'
has_row CustomAction $'^SetHelpLink\t[0-9]+\tARPHELPLINK\t\\[INSTALLDIR\\]README\\.txt'
has_row Property $'^UpgradeCode\t'"$upgrade_code"'$'
# Older versions are found and removed; a newer one is not replaced.
has_row Upgrade "^$upgrade_code"$'\t\t'"$version"$'\t\t[0-9]+\t\tWIX_UPGRADE_DETECTED$'
has_row Upgrade "^$upgrade_code"$'\t'"$version"$'\t\t\t[0-9]+\t\tWIX_DOWNGRADE_DETECTED$'
has_row InstallExecuteSequence $'^RemoveExistingProducts\t'
has_row Directory $'^INSTALLDIR\tUserPrograms\tKelvara$'
has_row Directory $'^UserPrograms\tLocalAppDataFolder\tPrograms$'
# Word count: compressed (2), and no elevated privileges needed (8).
source_bits="$(msiinfo suminfo "$msi" | sed -n 's/^Source: \([0-9]*\).*/\1/p')"
[ $((source_bits & 8)) -ne 0 ] || fail "the package asks for an administrator (word count $source_bits)"
say "tables: the files, the Start menu entry, ARP icon and help link, upgrade code, per user ($version)"

# --- 2. Installed, upgraded and removed under Wine --------------------------
export WINEPREFIX="$scratch/wine"
wine() { "$here/wine-run.sh" "$@"; }
msiexec() {
  say "msiexec $*"
  wine msiexec "$@" /qn /l*v 'C:\msi.log' || {
    iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/msi.log" 2>/dev/null | tail -n 30 >&2 || true
    fail "msiexec $* failed"
  }
}

# A package one version newer, as the next release would be: the same
# upgrade code, a product code and version of its own.
wxs="$(dirname "$msi")/packaging/windows/kelvara.wxs"
stage="$(dirname "$msi")/packaging/windows/stage"
IFS=. read -r major minor patch <<<"$version"
next="$major.$minor.$((patch + 1))"
sed "s/Version=\"$version\"/Version=\"$next\"/" "$wxs" >"$scratch/next.wxs"
(cd "$stage" && wixl --arch x64 -o "$scratch/next.msi" "$scratch/next.wxs") 2>/dev/null ||
  fail "wixl could not make the newer package"

wine cmd /c exit >/dev/null 2>&1 || true
cp "$msi" "$WINEPREFIX/drive_c/kelvara.msi"
cp "$scratch/next.msi" "$WINEPREFIX/drive_c/next.msi"
msiexec /i 'C:\kelvara.msi'
installed="$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local/Programs/Kelvara 2>/dev/null | head -n1)"
[ -n "$installed" ] || fail "nothing installed under the user's programs"
for f in kelvara.exe kelvara-log.exe offset.txt README.txt Cousine-Regular.ttf; do
  [ -f "$installed/$f" ] || fail "not installed: $f"
done
ls "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Kelvara.lnk >/dev/null 2>&1 ||
  fail "no Start menu entry"
arp="$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')"
for value in "DisplayName.*Kelvara" "DisplayVersion.*$version" "HelpLink.*README.txt"; do
  grep -qE "$value" <<<"$arp" || fail "the list of installed programs has no $value"
done
# The list shows an installed package's icon from where the installer keeps
# it for the user.
icon="$(wine reg query 'HKCU\Software\Microsoft\Installer\Products' /s 2>/dev/null | tr -d '\r' |
  sed -n 's/^ *ProductIcon *REG_SZ *//p' | head -n1)"
[ -n "$icon" ] && [ -s "$(wine winepath -u "$icon" 2>/dev/null)" ] || fail "no product icon for the programs list"
say "installed into ${installed#"$WINEPREFIX"/drive_c/}, with its Start menu entry and its entry in the programs list"

say "installed kelvara-log.exe --simulate --scans 3"
out="$(wine "$installed/kelvara-log.exe" --simulate --scans 3 2>"$scratch/log.err" | tr -d '\r')" ||
  { cat "$scratch/log.err" >&2; fail "the installed logger failed"; }
sed 's/^/  | /' <<<"$out" >&2
awk -F'\t' 'NR == 1 { ok = $0 == "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A"; next }
  NF != 8 || $1 !~ /^[0-9][0-9][0-9][0-9]$/ { ok = 0 }
  END { exit !(ok && NR == 4) }' <<<"$out" || fail "not a header and three lines"

msiexec /i 'C:\next.msi'
arp="$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')"
[ "$(grep -cE 'DisplayName.*Kelvara' <<<"$arp")" -eq 1 ] || fail "two Kelvara entries after the upgrade"
grep -qE "DisplayVersion.*$next" <<<"$arp" || fail "the upgrade did not bring $next"
say "$next replaced $version"

# What the programs keep for the user is the user's, and stays.
profile="$(dirname "$(dirname "$(dirname "$(dirname "$installed")")")")"
kept=("$profile/AppData/Roaming/kelvara/kelvara.ini" "$profile/AppData/Local/kelvara/runs/run.csv")
for f in "${kept[@]}"; do
  mkdir -p "$(dirname "$f")"
  echo kept >"$f"
done
msiexec /x 'C:\next.msi'
for f in "${kept[@]}"; do [ -f "$f" ] || fail "the uninstall removed ${f#"$profile"/}"; done
left="$(find "$WINEPREFIX/drive_c" -iname '*kelvara*' ! -name '*.msi' 2>/dev/null |
  grep -vE '/msi\.log$|/AppData/(Roaming|Local)/kelvara(/|$)' || true)"
[ -z "$left" ] || fail "left after uninstall: $left"
for dir in "$WINEPREFIX/drive_c/Program Files" "$WINEPREFIX/drive_c/Program Files (x86)"; do
  [ ! -e "$dir/Kelvara" ] || fail "left: $dir/Kelvara"
done
say "uninstalled: nothing of Kelvara left on the drive but the user's settings and journals"
