#!/usr/bin/env python3
"""The installed copy as a package holds it: `cmake --install` of the build
tree into a scratch DESTDIR with the prefix /usr must give exactly the files
below, a desktop entry and metainfo that their validators accept, icons of
the sizes their folders name, manual pages that describe every option the
programs' --help lists, and programs that run from there and tell the
project's version.

usage: install_layout.py BUILD_DIR VERSION
Exit code 77 (skipped) names a validator that is not installed."""

import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

APP_ID = "org.kelvara.Kelvara"
ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]
PROGRAMS = ["kelvara", "kelvara-log", "kelvara-sim"]
# The programs whose options CLI11 describes under --help.
CLI_PROGRAMS = ["kelvara-log", "kelvara-sim"]

EXPECTED = {
    "etc/xdg/kelvara/offset.txt",
    f"usr/share/applications/{APP_ID}.desktop",
    f"usr/share/metainfo/{APP_ID}.metainfo.xml",
    f"usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    "usr/share/doc/kelvara/copyright",
    "usr/share/doc/kelvara/changelog.gz",
    "lib/systemd/system/kelvara-log@.service",
    "etc/kelvara/kelvara-log@.conf",
    "usr/share/lintian/overrides/kelvara",
}
EXPECTED |= {f"usr/bin/{p}" for p in PROGRAMS}
EXPECTED |= {f"usr/share/man/man1/{p}.1.gz" for p in PROGRAMS}
EXPECTED |= {f"usr/share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png" for s in ICON_SIZES}

failures = []


def fail(message):
    failures.append(message)
    print("FAIL:", message)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def man_options(roff):
    """The options a manual page defines: the terms of its OPTIONS section,
    each the line before an indented paragraph."""
    section = re.search(r"^\.SH OPTIONS\n(.*?)^\.SH ", roff, re.S | re.M)
    if not section:
        return set()
    lines = section.group(1).splitlines()
    terms = [lines[i - 1] for i in range(1, len(lines)) if lines[i].startswith(".RS")]
    return {m for t in terms for m in re.findall(r"\\fB(--?[a-z][a-z-]*)\\fR", t)}


def help_options(text):
    """The options CLI11's help lists, one a line after "Options:"."""
    options = set()
    body = text.split("Options:", 1)[-1]
    for line in body.splitlines():
        m = re.match(r"\s+((?:-[a-z],)?--[a-z][a-z-]*)", line)
        if m:
            options |= set(m.group(1).split(","))
    return options


def verify_unit(dest):
    """systemd-analyze verify of the unit, in a root with the system's units: no systemd runs."""
    with tempfile.TemporaryDirectory(prefix="kelvara-unit.") as root:
        shutil.copytree("/usr/lib/systemd/system", f"{root}/usr/lib/systemd/system", symlinks=True)
        shutil.copy(f"{dest}/lib/systemd/system/kelvara-log@.service", f"{root}/usr/lib/systemd/system")
        shutil.copytree(f"{dest}/usr/bin", f"{root}/usr/bin")
        r = run(["systemd-analyze", "verify", "--man=no", f"--root={root}", "kelvara-log@ttyUSB0.service"])
        if r.returncode != 0 or r.stdout.strip() or r.stderr.strip():
            fail(f"systemd-analyze verify: exit {r.returncode}\n{r.stdout}{r.stderr}")


def main():
    build, version = sys.argv[1], sys.argv[2]
    for tool in ["desktop-file-validate", "appstreamcli", "man", "systemd-analyze"]:
        if not shutil.which(tool):
            print(f"{tool} is not installed")
            return 77

    with tempfile.TemporaryDirectory(prefix="kelvara-install.") as dest:
        env = dict(os.environ, DESTDIR=dest)
        r = run(["cmake", "--install", build, "--prefix", "/usr"], env=env)
        if r.returncode != 0:
            fail("cmake --install failed:\n" + r.stdout + r.stderr)
            return 1

        found = set()
        for root, _, files in os.walk(dest):
            for name in files:
                found.add(os.path.relpath(os.path.join(root, name), dest))
        for path in sorted(EXPECTED - found):
            fail(f"missing: /{path}")
        for path in sorted(found - EXPECTED):
            fail(f"not expected: /{path}")

        def at(path):
            return os.path.join(dest, path)

        for p in PROGRAMS:
            if not os.access(at(f"usr/bin/{p}"), os.X_OK):
                fail(f"/usr/bin/{p} is not executable")

        verify_unit(dest)

        with open(at("etc/xdg/kelvara/offset.txt")) as f:
            if [line.strip() for line in f] != ["0"] * 7:
                fail("the system's offsets file is not seven zeros")

        desktop = at(f"usr/share/applications/{APP_ID}.desktop")
        r = run(["desktop-file-validate", desktop])
        if r.returncode != 0 or r.stdout.strip():
            fail("desktop-file-validate:\n" + r.stdout + r.stderr)
        with open(desktop) as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        if entry.get("Exec", "").split()[0] not in PROGRAMS:
            fail(f"the desktop entry starts {entry.get('Exec')!r}, which the package does not install")
        if entry.get("Icon") != APP_ID:
            fail(f"the desktop entry's icon is {entry.get('Icon')!r}")

        metainfo = at(f"usr/share/metainfo/{APP_ID}.metainfo.xml")
        r = run(["appstreamcli", "validate", "--no-net", metainfo])
        if r.returncode != 0:
            fail("appstreamcli validate:\n" + r.stdout + r.stderr)
        with open(metainfo) as f:
            text = f.read()
        if f'<launchable type="desktop-id">{APP_ID}.desktop</launchable>' not in text:
            fail("the metainfo does not launch the desktop entry")
        if f'<release version="{version}"' not in text:
            fail(f"the metainfo has no release {version}")

        for s in ICON_SIZES:
            size = png_size(at(f"usr/share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png"))
            if size != (s, s):
                fail(f"the {s}x{s} icon is {size}")

        with gzip.open(at("usr/share/doc/kelvara/changelog.gz"), "rt") as f:
            first = f.readline()
        if not first.startswith(f"kelvara ({version})"):
            fail(f"the changelog begins {first!r}")

        manenv = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        for p in PROGRAMS:
            page = at(f"usr/share/man/man1/{p}.1.gz")
            with gzip.open(page, "rt") as f:
                roff = f.read()
            if not re.search(rf'^\.TH "?{re.escape(p)}"? "?1"?', roff, re.M):
                fail(f"{p}.1 does not begin as the manual page of {p} in section 1")
            for heading in ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES"]:
                if not re.search(rf'^\.SH "?{heading}"?$', roff, re.M):
                    fail(f"{p}.1 has no section {heading}")
            if version not in roff:
                fail(f"{p}.1 does not name version {version}")
            r = run(["man", "--warnings", "-l", page], env=manenv)
            if r.returncode != 0 or r.stderr.strip():
                fail(f"man {p}.1 warns:\n{r.stderr}")

        for p in CLI_PROGRAMS:
            exe = at(f"usr/bin/{p}")
            r = run([exe, "--version"])
            if r.returncode != 0 or r.stdout != f"{p} {version}\n":
                fail(f"{p} --version: exit {r.returncode}, {r.stdout!r}")
            r = run([exe, "--help"])
            listed = help_options(r.stdout)
            if r.returncode != 0 or "--version" not in listed:
                fail(f"{p} --help: exit {r.returncode}, options {sorted(listed)}")
            with gzip.open(at(f"usr/share/man/man1/{p}.1.gz"), "rt") as f:
                described = man_options(f.read())
            for option in sorted(listed - described):
                fail(f"{p}.1 does not describe {option}")
            for option in sorted(described - listed):
                fail(f"{p}.1 describes {option}, which {p} --help does not list")

    print(f"{len(failures)} failed" if failures else "the installed layout is complete")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
