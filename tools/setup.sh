#!/usr/bin/env bash
# Installs every Debian package the build and the tests need; `setup.sh bench` adds what only
# the benchmarks use. Idempotent: it asks apt only when a package is missing, and runs
# `apt-get update` once then. Works as root or through sudo.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake pkg-config clang libclang-rt-14-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # audio files (renderer; it reads MIDI files itself)
  libsndfile1-dev
  # drawing (waveform pictures, editor); the editor's font and its rasteriser for the artwork tool
  libcairo2-dev libstb-dev libx11-dev libfreetype-dev fonts-roboto-unhinted
  # the font fuzz target's cut-down copy of the editor's font
  python3-fonttools
  # the editor's X11 window; for its tests a private X server, XTest and XFixes (input, cursors),
  # xdotool, screenshots (xwd, ImageMagick) and the X utilities (xdpyinfo, xwininfo)
  libxext-dev libxtst-dev libxfixes-dev xvfb xdotool x11-apps x11-utils imagemagick
  # HTTPS: the client, and for the tests a loopback server with certificates made at test time
  libcurl4-openssl-dev openssl libssl-dev
  # vectorised logarithm and exponential with run-time CPU dispatch (grain envelopes)
  libsleef-dev
  # LV2: headers, a real host library, validators and hosts the tests drive (Ardour headless
  # through ardour7-lua)
  lv2-dev liblilv-dev lilv-utils serdi sordi lv2file jalv jackd2 jack-tools ardour
)

# Reference plug-ins the host benchmark compares against.
bench_packages=(zam-plugins)
if [[ "${1:-}" == "bench" ]]; then
  packages+=("${bench_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  as_root=(sudo)
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
