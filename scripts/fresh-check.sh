#!/usr/bin/env bash
# `make fresh-check`: shows that a newcomer's `make test` passes on a brand-new
# Debian 12. It builds a minimal bookworm root with mmdebstrap (minbase plus git,
# make and ca-certificates, nothing else), clones the committed HEAD of this
# repository into it, and runs `make test` there as root, so that
# scripts/install-deps.sh alone has to bring in everything the build, the tests
# and their peers use. Then `make package` builds the .deb there, and
# scripts/installed-check.sh installs it with apt, runs it from /usr/bin as an
# unprivileged user and removes it again. Uncommitted changes are not part of
# the check.
#
# Needs root for mmdebstrap, the mounts and chroot (it re-runs itself with sudo
# otherwise) and the network. The Debian mirror is the one this machine's own
# apt sources name. Packages this machine has already downloaded are
# hard-linked into the root's apt cache so apt need not fetch them again; apt
# still checks each one against the archive's hashes, and the root installs
# every package itself.
#
#   FRESH_CHECK_TMP=DIR       where the scratch root goes (default /var/tmp)
#   FRESH_CHECK_APT_CACHE=no  download every package instead
#
# The output of the run is kept in build-fresh/fresh-check.log, and CTest's
# full log in build-fresh/LastTest.log. Exit status: 0 when `make test` and the
# package passed in the fresh root, 1 otherwise.
set -euo pipefail

say() { printf 'fresh-check: %s\n' "$*" >&2; }

if [ "$(id -u)" -ne 0 ]; then
  say "needs root for mmdebstrap, mounts and chroot; re-running with sudo"
  exec sudo --preserve-env=FRESH_CHECK_TMP,FRESH_CHECK_APT_CACHE -- "$0" "$@"
fi

repo="$(cd "$(dirname "$0")/.." && pwd)"
suite=bookworm
started=$SECONDS

# The repository may belong to another user than root (a sudo run); reading it
# is all this script does with it.
hostgit() { git -c safe.directory='*' -C "$repo" "$@"; }
commit="$(hostgit rev-parse --verify 'HEAD^{commit}')"
if [ -n "$(hostgit status --porcelain --untracked-files=no)" ]; then
  say "note: uncommitted changes are not part of this check; it tests $commit"
fi

if ! command -v mmdebstrap >/dev/null; then
  say "installing mmdebstrap on this machine"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
fi

# --- The Debian mirror, from this machine's apt sources ---------------------
# Both formats are read: one-line *.list files and deb822 *.sources files.
# An entry counts as Debian's when it carries the main component, its suite is
# a plain Debian suite name (bookworm, bookworm-updates, stable, ...; not a
# third party's "cloud-sdk-bookworm") and it is signed by the Debian archive
# keyring or names no keyring at all. A "-security" suite gives the security
# mirror, any other the main one.
main_uri=""
security_uri=""

consider() { # TYPES URIS SUITES COMPONENTS SIGNED_BY ENABLED
  local types="$1" uris="$2" suites="$3" comps="$4" signed="$5" enabled="$6" uri s
  [[ " $types " == *" deb "* ]] || return 0
  [[ "${enabled,,}" == "no" ]] && return 0
  [[ " $comps " == *" main "* ]] || return 0
  [[ -z "$signed" || "$signed" == */debian-archive-* ]] || return 0
  for uri in $uris; do
    for s in $suites; do
      [[ "$s" =~ ^[a-z]+(-updates|-security|-backports|-proposed-updates)?$ ]] || continue
      if [[ "$s" == *-security* ]]; then
        [ -n "$security_uri" ] || security_uri="$uri"
      else
        [ -n "$main_uri" ] || main_uri="$uri"
      fi
    done
  done
}

read_list_file() { # one-line format: deb [options] URI SUITE COMPONENT...
  local line words i signed
  while IFS= read -r line || [ -n "$line" ]; do
    line="${line%%#*}"
    read -r -a words <<<"$line" || true
    [ "${#words[@]}" -ge 3 ] || continue
    signed=""
    i=1
    if [[ "${words[1]}" == "["* ]]; then
      while [ "$i" -lt "${#words[@]}" ]; do
        [[ "${words[i]}" == *signed-by=* ]] && { signed="${words[i]#*signed-by=}"; signed="${signed%]}"; }
        [[ "${words[i]}" == *"]" ]] && { i=$((i + 1)); break; }
        i=$((i + 1))
      done
    fi
    [ $((i + 2)) -lt "${#words[@]}" ] || continue
    consider "${words[0]}" "${words[i]}" "${words[i + 1]}" "${words[*]:i+2}" "$signed" yes
  done <"$1"
}

read_sources_file() { # deb822: stanzas of "Field: value" lines, blank-line separated
  local stanza
  while IFS="|" read -r -a stanza; do
    consider "${stanza[0]:-}" "${stanza[1]:-}" "${stanza[2]:-}" "${stanza[3]:-}" "${stanza[4]:-}" "${stanza[5]:-yes}"
  done < <(awk '
    function flush() {
      if (f["types"] != "") printf "%s|%s|%s|%s|%s|%s\n", f["types"], f["uris"], f["suites"], f["components"], f["signed-by"], (f["enabled"] == "" ? "yes" : f["enabled"])
      delete f; key = ""
    }
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { if (key == "signed-by" && f[key] == "") f[key] = "inline"; next }
    {
      key = tolower(substr($0, 1, index($0, ":") - 1))
      v = substr($0, index($0, ":") + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", v)
      f[key] = v
    }
    END { flush() }' "$1")
}

shopt -s nullglob
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] && read_list_file "$f"
done
for f in /etc/apt/sources.list.d/*.sources; do
  read_sources_file "$f"
done
shopt -u nullglob

if [ -z "$main_uri" ]; then
  say "no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d/"
  exit 1
fi
sources=("deb $main_uri $suite main" "deb $main_uri $suite-updates main")
if [ -n "$security_uri" ]; then
  sources+=("deb $security_uri $suite-security main")
else
  say "note: no security mirror in this machine's apt sources; the root goes without one"
fi

# --- Scratch root, and cleaning it up on every path -------------------------
scratch_base="${FRESH_CHECK_TMP:-/var/tmp}"
scratch="$(mktemp -d "$scratch_base/kelvara-fresh.XXXXXX")"
scratch="$(realpath "$scratch")"
# apt drops to its _apt user to download, which must reach the root's lists.
chmod 755 "$scratch"
case "$scratch" in
  *[[:space:]]*) say "the scratch path must not contain white space: $scratch"; rmdir "$scratch"; exit 1 ;;
esac
root="$scratch/root"
logdir="$repo/build-fresh"
mkdir -p "$logdir"
log="$logdir/fresh-check.log"
: >"$log"

# Mount points at or below the root, deepest first.
mounts_under_root() {
  awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# Processes whose root directory is the scratch root: whatever a test or a
# package left running in it holds its mounts busy.
chroot_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}

cleanup() {
  local status=$? sig pids m
  trap '' INT TERM
  if [ -d "$root" ]; then
    for sig in TERM KILL; do
      pids="$(chroot_pids)"
      [ -n "$pids" ] || break
      say "stopping processes left in the root: ${pids//$'\n'/ }"
      # shellcheck disable=SC2086
      kill -s "$sig" $pids 2>/dev/null || true
      sleep 2
    done
    for m in $(mounts_under_root); do
      # A lazy unmount detaches the mount at once even while it is busy, so
      # nothing below can reach the host's /dev, /proc or /sys through it.
      umount "$m" 2>/dev/null || umount --lazy "$m" || true
    done
  fi
  if [ -n "$(mounts_under_root)" ]; then
    say "still mounted below $root, so it is left in place:"
    mounts_under_root >&2
    status=1
  else
    # --one-file-system: never step into a mount, whatever happened above.
    rm -rf --one-file-system "$scratch"
  fi
  [ "$status" -eq 0 ] || say "failed after $((SECONDS - started)) s (log: $log)"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- The fresh root ---------------------------------------------------------
say "testing commit $commit of $repo"
say "building a fresh Debian $suite root (minbase + git, make, ca-certificates) in $root"
for s in "${sources[@]}"; do say "  apt source: $s"; done
mmdebstrap --mode=root --format=directory --variant=minbase \
  --include=git,make,ca-certificates \
  "$suite" "$root" "${sources[@]}" 2>&1 | tee -a "$log"
say "root ready after $((SECONDS - started)) s"

# What a freshly installed machine has besides its packages: name resolution,
# and no daemon started by a package installed in a chroot.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

if [ "${FRESH_CHECK_APT_CACHE:-yes}" != "no" ]; then
  host_cache="$(eval "$(apt-config shell c Dir::Cache::archives/d)"; echo "${c:-}")"
  host_cache="${host_cache%/}"
  debs=("$host_cache"/*.deb)
  if [ -e "${debs[0]}" ] && cp -l "${debs[@]}" "$root/var/cache/apt/archives/" 2>/dev/null; then
    say "linked ${#debs[@]} packages from $host_cache into the root's apt cache"
  else
    say "note: this machine's apt cache is not shared; apt downloads every package"
  fi
fi

# The kernel file systems a running Debian has. Each bind is made private at
# once, so nothing mounted below it reaches the host's own mount.
bind_private() {
  mount --bind "$1" "$root$1"
  mount --make-private "$root$1"
}
bind_private /proc
bind_private /sys
bind_private /dev
bind_private /dev/pts
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"

say "cloning $commit into /root/kelvara in the root"
git -c safe.directory='*' clone --quiet --no-checkout "$repo" "$root/root/kelvara"
if ! git -C "$root/root/kelvara" cat-file -e "$commit^{commit}" 2>/dev/null; then
  git -C "$root/root/kelvara" fetch --quiet "$repo" "$commit"
fi
git -C "$root/root/kelvara" checkout --quiet --detach "$commit"

# --- make test, as a newcomer types it --------------------------------------
say "running 'make test' in the root as root (output also in $log)"
test_started=$SECONDS
status=0
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c 'cd /root/kelvara && make test' </dev/null 2>&1 | tee -a "$log" || status=$?

say "'make test' ended after $((SECONDS - test_started)) s (install-deps, build, tests)"

testlog="$root/root/kelvara/build/Testing/Temporary/LastTest.log"
rm -f "$logdir/LastTest.log"
[ -f "$testlog" ] && cp "$testlog" "$logdir/LastTest.log"

if [ "$status" -ne 0 ]; then
  say "'make test' FAILED in the fresh root (exit $status)"
  exit 1
fi
# A test skips itself when a tool or locale it needs is missing; here that
# means install-deps.sh does not install it.
if [ ! -f "$testlog" ]; then
  say "'make test' passed but left no CTest log, so skipped tests cannot be told apart"
  exit 1
fi
if grep -q 'is not installed' "$testlog"; then
  say "'make test' passed, but tests were skipped for want of something install-deps.sh should install:"
  grep 'is not installed' "$testlog" | sort | uniq -c >&2
  exit 1
fi

# --- The package: built there, installed, run and removed --------------------
say "running 'make package' and scripts/installed-check.sh in the root"
package_started=$SECONDS
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" KELVARA_INSTALLED_CHECK=yes \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c 'cd /root/kelvara && make package && ./scripts/installed-check.sh build/kelvara_*.deb' \
  </dev/null 2>&1 | tee -a "$log" || status=$?
if [ "$status" -ne 0 ]; then
  say "the package FAILED in the fresh root (exit $status)"
  exit 1
fi
say "the package was built, installed, run and removed in $((SECONDS - package_started)) s"
say "'make test' and the package passed in a fresh Debian $suite root in $((SECONDS - started)) s"
