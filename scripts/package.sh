#!/usr/bin/env bash
# Builds the Debian package quelvar_<version>_<arch>.deb with CPack, in build-pkg/ (a release build
# without tests), lists what it installs and runs lintian on it (its findings are printed).
#   scripts/package.sh            build the package
# Install it with: sudo apt install ./build-pkg/quelvar_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --package

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELVAR_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "${launcher[@]}" >/dev/null
cmake --build build-pkg -j"${JOBS:-2}"
rm -f build-pkg/quelvar_*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(ls build-pkg/quelvar_*.deb)
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb"
lintian --info "$deb" || true
echo "$deb"
