#!/usr/bin/env bash
# Installs every Debian package Kelvara needs to build, test, benchmark and run.
# Idempotent: packages already present are skipped, and apt is not touched at all
# when nothing is missing.
set -euo pipefail

packages=(
  # The build: compiler, CMake and Ninja, GoogleTest, Google Benchmark and
  # libmodbus (the benchmarks' reference master), Qt 6.
  build-essential cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev
  # The core: udev's library lists the serial ports; CLI11 parses options.
  libudev-dev libcli11-dev
  # kelvara-log's metrics endpoint: libmicrohttpd, whose Debian package links
  # as one plain C library (cpp-httplib's drags OpenSSL, zlib and brotli
  # flags into every file that includes it); and libsystemd for sd_notify,
  # which tells systemd when the logger is ready and feeds its watchdog.
  libmicrohttpd-dev libsystemd-dev
  qt6-base-dev libgl-dev
  # The window: Qt's xcb platform plugin for a display (the tests use the
  # offscreen one, part of Qt's GUI library) and its fixed-width font Cousine,
  # which Qt finds through fontconfig.
  qt6-qpa-plugins fontconfig fonts-croscore
  # The window's chart: QCustomPlot, built for Qt 6 (CMake package QCustomPlotQt6).
  libqcustomplot-dev
  # Time zones: the clock field is tested in zones with daylight saving.
  tzdata
  # The window's operator test runs it under Xvfb with a window manager
  # (openbox), driven with xdotool.
  xvfb xauth openbox xdotool
  # Test peers: mbpoll, a master built on libmodbus; socat for a pty pair;
  # pymodbus's serial server, which imports pyserial and serial_asyncio.
  mbpoll socat python3 python3-pymodbus python3-serial python3-serial-asyncio
  # The metrics checked by Prometheus's own tools: promtool lints a page, and
  # a Prometheus server scrapes a simulated run. systemd-analyze verifies the
  # logger's unit file.
  prometheus systemd
  # The fuzzers: clang with libFuzzer and the sanitizer runtimes.
  clang libclang-rt-14-dev
  # The comma-decimal locale generated below.
  locales
  # The installed copy and its package: scdoc writes the manual pages and
  # rsvg-convert the icon's bitmaps; the install test validates the desktop
  # entry, the metainfo and the manual pages; CPack finds the package's
  # dependencies with file and dpkg-shlibdeps; lintian judges the package.
  scdoc librsvg2-bin desktop-file-utils appstream man-db file dpkg-dev lintian
  # The Windows build (make windows): MinGW-w64 for 64-bit Windows in its
  # POSIX-threads flavour (std::thread), GoogleTest's sources to build the
  # tests with it, zip for the package; and Wine to run the tests and
  # kelvara-log.exe headless (make windows-test).
  g++-mingw-w64-x86-64-posix googletest zip wine64
  # The Windows installer: wixl makes the .msi, msitools' msiinfo reads its
  # tables back; ImageMagick packs the window's icon from the SVG's bitmaps.
  wixl msitools imagemagick
  # The Windows window under Wine: its tests and the operator's run on Xvfb,
  # the run under a window manager (openbox), driven with xdotool and
  # photographed with ImageMagick's import.
  openbox xdotool
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A comma-decimal locale, so the tests can prove that readings and offsets follow
# the locale captured at start-up.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  echo "install-deps: generating de_DE.UTF-8"
  $SUDO sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
