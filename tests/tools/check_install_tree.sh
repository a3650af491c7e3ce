#!/usr/bin/env bash
# Installs the build into a scratch prefix (cmake --install) and runs the installed programs there: each
# answers --help and --version, quelvar-scan finds the shipped setting.ini of the installation (no warning,
# the shipped file types apply), and the tree holds what the desktop needs.
# usage: check_install_tree.sh BUILD_DIR CAPTURE
set -euo pipefail
build=$1 capture=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "FAIL: $*"; exit 1; }

for f in bin/quelvar-scan libexec/quelvar/quelvar-capture share/quelvar/setting.ini share/quelvar/readme.html \
         share/applications/quelvar.desktop share/icons/hicolor/scalable/apps/quelvar.svg \
         share/metainfo/example.quelvar.Quelvar.metainfo.xml share/man/man1/quelvar-scan.1.gz \
         share/man/man8/quelvar-capture.8.gz share/doc/quelvar/copyright share/doc/quelvar/changelog.gz; do
  [[ -e $prefix/$f ]] || fail "$f is not installed"
done
for p in bin/quelvar-scan libexec/quelvar/quelvar-capture bin/quelvar; do
  [[ -x $prefix/$p ]] || continue
  "$prefix/$p" --version | grep -q "^$(basename "$p") [0-9]" || fail "$p --version"
  "$prefix/$p" --help | grep -q "usage:" || fail "$p --help"
done

# The package's changelog names the version the programs report; the copyright file is machine-readable.
version=$("$prefix/bin/quelvar-scan" --version | cut -d' ' -f2)
[[ $(gzip -dc "$prefix/share/doc/quelvar/changelog.gz" | head -n1) == "quelvar ($version) "* ]] ||
  fail "changelog.gz does not start with version $version"
head -n1 "$prefix/share/doc/quelvar/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "copyright is not in the machine-readable format"

# The shipped file lists pictures (.jpg, .png) that an empty table would call undefined.
out=$(XDG_CONFIG_HOME="$prefix/cfg" "$prefix/bin/quelvar-scan" --read "$capture" 2>"$prefix/err")
[[ ! -s $prefix/err ]] || fail "quelvar-scan warned: $(cat "$prefix/err")"
grep -q $'^图片文件\t' <<<"$out" || fail "shipped file types not used: $out"
[[ ! -e $prefix/cfg ]] || fail "quelvar-scan made a settings folder"
echo "1 passed, 0 failed"
