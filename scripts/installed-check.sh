#!/usr/bin/env bash
# The package as a lab machine gets it: installs the .deb with apt, runs
# kelvara-log and the window from /usr/bin as an unprivileged user with an
# empty home, removes the package again and looks for anything it left outside
# that home. `make fresh-check` runs it as root in its fresh Debian root after
# `make package`; it changes the machine it runs on (a user, the package), so
# it refuses to run anywhere but in such a root unless told to.
#
# usage: installed-check.sh PACKAGE.deb
# Exit status: 0 when every step did what it should, 1 otherwise.
set -euo pipefail

say() { printf 'installed-check: %s\n' "$*" >&2; }
fail() {
  say "FAILED: $*"
  exit 1
}

[ "$#" -eq 1 ] && [ -f "$1" ] || fail "usage: installed-check.sh PACKAGE.deb"
[ "$(id -u)" -eq 0 ] || fail "needs root: it installs a package and adds a user"
[ "${KELVARA_INSTALLED_CHECK:-}" = "yes" ] || fail "changes this machine; run it in a scratch root with KELVARA_INSTALLED_CHECK=yes"

user=kelvara-check
home=/home/$user
scratch="$(mktemp -d /var/tmp/kelvara-installed-check.XXXXXX)"
deb="$scratch/kelvara.deb"
# apt reads the file as its unprivileged _apt user.
chmod 755 "$scratch"
install -m 644 "$1" "$deb"

# --- The user: no group but its own, an empty home ---------------------------
if ! id "$user" >/dev/null 2>&1; then
  useradd --user-group --no-create-home --home-dir "$home" --shell /bin/sh "$user"
fi
rm -rf "$home"
install -d -m 700 -o "$user" -g "$user" "$home"
uid="$(id -u "$user")"
gid="$(id -g "$user")"
# A desktop session gives a logged-in user a runtime folder of its own below
# /run/user, removed again at logout; the parent is the login manager's.
runtime="/run/user/$uid"
install -d -m 755 /run/user

# Every path of the root's own file system but the user's home and this
# check's scratch folder. apt and dpkg keep their records and logs of the
# install and the removal, and the system rebuilds its caches (the linker's,
# fontconfig's, man's) when packages come and go; those are not the package's.
snapshot() {
  find / -xdev \( -path "$home" -o -path "$scratch" -o -path /var/lib/dpkg -o -path /var/lib/apt \
    -o -path /var/cache -o -path /var/log \) -prune -o -print | sort
}
snapshot >"$scratch/before"

# --- Install -----------------------------------------------------------------
say "installing $1 with apt"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log" >&2; fail "apt-get install"; }
dpkg-query -L kelvara | sort >"$scratch/owned"
conffiles="$(dpkg-query -W -f='${Conffiles}' kelvara)"
for conffile in /etc/xdg/kelvara/offset.txt /etc/kelvara/kelvara-log@.conf; do
  [[ "$conffiles" == *" $conffile "* ]] || fail "$conffile is not a configuration file: '$conffiles'"
done
[ -f /lib/systemd/system/kelvara-log@.service ] || fail "no service kelvara-log@.service"
for p in kelvara kelvara-log kelvara-sim; do
  [ "$(command -v "$p")" = "/usr/bin/$p" ] || fail "$p is not on the PATH as /usr/bin/$p"
done

install -d -m 700 -o "$user" -g "$user" "$runtime"
as_user() {
  (cd "$home" && setpriv --reuid="$uid" --regid="$gid" --init-groups -- \
    env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime" "$@")
}

# --- kelvara-log -------------------------------------------------------------
say "running kelvara-log --simulate --scans 3 as $user"
status=0
as_user /usr/bin/kelvara-log --simulate --scans 3 >"$scratch/log.out" 2>"$scratch/log.err" || status=$?
if [ "$status" -ne 0 ]; then
  cat "$scratch/log.err" >&2
  fail "kelvara-log exited $status"
fi
cat "$scratch/log.out"
# The header and three scans, each eight tab-separated fields: the second
# count and seven readings.
[ "$(wc -l <"$scratch/log.out")" -eq 4 ] || fail "kelvara-log wrote $(wc -l <"$scratch/log.out") lines, not 4"
head -1 "$scratch/log.out" | grep -q '^time	' || fail "kelvara-log's first line is not the header"
awk -F'\t' 'NR > 1 && (NF != 8 || $1 !~ /^[0-9]+$/) { bad = 1 } END { exit bad }' "$scratch/log.out" ||
  fail "kelvara-log's scan lines are not eight fields led by the second count"
[ -d "$home/.config/kelvara" ] || fail "no settings folder $home/.config/kelvara"

# Without the system's offsets file the message names every place tried.
status=0
as_user env XDG_CONFIG_DIRS=/nonexistent /usr/bin/kelvara-log --simulate --scans 1 >/dev/null 2>"$scratch/nooffsets.err" || status=$?
cat "$scratch/nooffsets.err"
[ "$status" -eq 1 ] || fail "kelvara-log without an offsets file exited $status, not 1"
for path in "$home/.config/kelvara/offset.txt" /nonexistent/kelvara/offset.txt /usr/bin/offset.txt; do
  grep -qF "\"$path\"" "$scratch/nooffsets.err" || fail "the message does not name $path"
done

# --- The window --------------------------------------------------------------
say "running kelvara --demo offscreen for 6 s as $user"
status=0
as_user env QT_QPA_PLATFORM=offscreen timeout 6 /usr/bin/kelvara --demo >"$scratch/gui.out" 2>&1 || status=$?
# timeout's 124: the window was still running when its time was up.
if [ "$status" -ne 124 ]; then
  cat "$scratch/gui.out" >&2
  fail "kelvara --demo ended by itself with $status"
fi
# The demo's run is journalled; stopped by a signal, the journal stays a
# ".part". The header and at least one scan show that the run logged.
journal="$(find "$home/.local/state/kelvara/runs" -name '*.part' 2>/dev/null | head -1)"
[ -n "$journal" ] || fail "the demo left no journal in $home/.local/state/kelvara/runs"
[ "$(wc -l <"$journal")" -ge 2 ] || fail "the demo's journal holds $(wc -l <"$journal") lines"
say "the demo journalled $(($(wc -l <"$journal") - 1)) scans in $journal"
rm -rf "$runtime"

# --- Remove, then purge ------------------------------------------------------
say "removing the package"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q kelvara >>"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log" >&2; fail "apt-get remove"; }
for conffile in /etc/xdg/kelvara/offset.txt /etc/kelvara/kelvara-log@.conf; do
  [ -f "$conffile" ] || fail "removing the package took $conffile, which only a purge takes"
done
while IFS= read -r path; do
  [ -d "$path" ] || [[ "$conffiles" == *" $path "* ]] || [ ! -e "$path" ] || fail "$path is left after the removal"
done <"$scratch/owned"
# The libraries that came in for the package go with it.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q --autoremove kelvara >>"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log" >&2; fail "apt-get purge"; }
known="$(dpkg-query -W -f='${db:Status-Abbrev}' kelvara 2>/dev/null || true)"
[ -z "$known" ] || [ "$known" = "un " ] || fail "dpkg still knows kelvara: '$known'"

snapshot >"$scratch/after"
comm -13 "$scratch/before" "$scratch/after" >"$scratch/left"
if [ -s "$scratch/left" ]; then
  say "paths that were not there before the install:"
  cat "$scratch/left" >&2
  fail "the package left something outside $home"
fi
rm -rf "$scratch"
say "installed, ran from /usr/bin as $user, removed without a trace outside $home"
