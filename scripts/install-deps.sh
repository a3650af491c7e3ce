#!/usr/bin/env bash
# Installs every Debian package Quelvar needs to build, test and run.
# Idempotent: packages already present are left alone. Runs as root, or through sudo.
#   scripts/install-deps.sh          build, run and test
#   scripts/install-deps.sh --bench  also the programs the benchmarks compare against
#   scripts/install-deps.sh --package  also lintian, which scripts/package.sh runs on the package
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  # libraries
  libpcap-dev libssl-dev libnghttp2-dev libnghttp3-dev qt6-base-dev libgl-dev libxdo-dev
  # Qt's own dialogs in Chinese
  qt6-translations-l10n
  # tests
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth curl python3 iproute2
  # journeys through the real programs: a window manager, keys and clicks, a real capture, the
  # clipboard and selected text read back
  openbox xdotool x11-utils imagemagick tcpdump xclip
  # the same on a Wayland desktop: a compositor with Xwayland, and Qt's Wayland platform, which Qt
  # would choose by itself there
  weston xwayland qt6-wayland
  # Dorrinel records streams with it (its tests make and record a short HLS stream)
  ffmpeg
  # the downloader's HTTPS test makes a certificate for its loopback server
  openssl
  # the HTTPS journey: a browser that writes a key log, a web server speaking HTTP/2 over TLS
  chromium nginx
  # a desktop font with CJK glyphs, so that Chinese captions are readable
  fonts-noto-cjk
)
if [[ "${1:-}" == "--bench" ]]; then
  PACKAGES+=(tshark httpry hyperfine)
  # the load benchmark replays a capture over a veth pair at a fixed rate
  PACKAGES+=(tcpreplay)
fi
if [[ "${1:-}" == "--package" ]]; then
  PACKAGES+=(lintian)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=(env DEBIAN_FRONTEND=noninteractive)
if [[ $(id -u) -ne 0 ]]; then as_root=(sudo env DEBIAN_FRONTEND=noninteractive); fi
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
