#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 tree (made with debootstrap) and checks it there
# as a user would meet it. Needs root (chroot, mounts). Not part of CI: it fetches Debian packages.
#   debootstrap --variant=minbase bookworm ROOTFS <mirror>   (once; the tree is copied, never changed)
#   scripts/check-install.sh ROOTFS build-pkg/quelvar_1.0_amd64.deb
# Checks: apt installs the package with its dependencies; the capture question answered "yes" gives the
# helper alone its capabilities and the group; quelvar-scan of a user in the group captures on lo through
# the helper, a user outside it is told what to do; the desktop entry's command starts the window, which
# captures on lo through the helper while it holds no capability itself.
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 ROOTFS DEB" >&2; exit 2; }
pristine=$(realpath "$1")
deb=$(realpath "$2")
root=$(mktemp -d /tmp/quelvar-root.XXXXXX)
server_pid=

cleanup() {
  set +e
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null
  for m in dev/pts dev proc sys; do umount -l "$root/$m" 2>/dev/null; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

step() { printf '\n=== %s ===\n' "$*"; }
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "a fresh copy of $pristine"
cp -a "$pristine/." "$root/"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"

step "apt install ./$(basename "$deb"), members of the group quelvar may capture"
in_root apt-get update -q >/dev/null
echo "quelvar quelvar/capture-group boolean true" | in_root debconf-set-selections
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" \
  | tail -n 3
in_root quelvar --version
in_root quelvar-scan --version
in_root /usr/libexec/quelvar/quelvar-capture --version
in_root stat -c '%A %U:%G %n' /usr/libexec/quelvar/quelvar-capture /usr/bin/quelvar /usr/bin/quelvar-scan
in_root getcap /usr/libexec/quelvar/quelvar-capture /usr/bin/quelvar /usr/bin/quelvar-scan
[[ $(in_root getcap /usr/libexec/quelvar/quelvar-capture) == *cap_net_admin,cap_net_raw=eip* ]]
[[ -z $(in_root getcap /usr/bin/quelvar /usr/bin/quelvar-scan) ]]

step "users: alice in the group quelvar, bob not"
in_root useradd -m alice
in_root useradd -m bob
in_root usermod -a -G quelvar alice
in_root id alice

step "a web server on 127.0.0.1 and a request to it while alice captures on lo"
port=$((20000 + RANDOM % 20000))
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$root/tmp" >/dev/null 2>&1 &
server_pid=$!
sleep 1
request() {  # from outside the tree: only the capture runs there
  curl -s -m 5 -o /dev/null "http://127.0.0.1:$port/clip$1.flv" || true
}
( sleep 1.5; request 1 ) &
req=$!
timeout 30 chroot --userspec=alice:alice --groups=alice,quelvar "$root" /usr/bin/env -i PATH=/usr/bin:/bin \
  HOME=/home/alice quelvar-scan --interface lo --seconds 4 --local 127.0.0.1 > "$root/tmp/alice.txt"
wait "$req"
cat "$root/tmp/alice.txt"
grep -q "http://127.0.0.1:$port/clip1.flv" "$root/tmp/alice.txt"

step "bob, outside the group"
if timeout 30 chroot --userspec=bob:bob "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/home/bob \
  quelvar-scan --interface lo --seconds 2 2> "$root/tmp/bob.txt"; then
  echo "bob could capture" >&2
  exit 1
fi
cat "$root/tmp/bob.txt"
grep -q "usermod -a -G quelvar" "$root/tmp/bob.txt"

step "the desktop entry starts the window; it captures on lo through the helper"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends xvfb xauth x11-utils \
  | tail -n 1
exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/quelvar.desktop" | sed 's/ %[fFuU]//')
echo "Exec: $exec_line"
# The user's settings: the shipped file with the loopback adapter chosen (sniffing starts by itself).
in_root install -d -o alice -g alice /home/alice/.config/quelvar
sed 's/^\[system\]\r\?$/[system]\r\nAdaptorName=lo\r/' "$root/usr/share/quelvar/setting.ini" > "$root/home/alice/.config/quelvar/setting.ini"
in_root chown alice:alice /home/alice/.config/quelvar/setting.ini
timeout 60 chroot --userspec=alice:alice --groups=alice,quelvar "$root" /usr/bin/env -i PATH=/usr/bin:/bin \
  HOME=/home/alice USER=alice xvfb-run -a -s "-screen 0 1024x768x24" \
  sh -c "$exec_line & p=\$!; sleep 5; xwininfo -root -tree | grep -i quelvar; sleep 8; kill \$p; wait" \
  > "$root/tmp/window.txt" 2>&1 &
runner=$!
sleep 6
request 2
window_pid=$(pgrep -n -x quelvar -U "$(in_root id -u alice)" || true)
helper_pid=$(pgrep -n -x quelvar-capture -U "$(in_root id -u alice)" || true)
echo "window pid ${window_pid:-none}, helper pid ${helper_pid:-none}"
[[ -n $window_pid && -n $helper_pid ]]
echo "window:  $(getpcaps "$window_pid" 2>&1)"
grep -E '^Cap(Prm|Eff)' "/proc/$window_pid/status" | sed 's/^/window:  /'
echo "helper:  $(tr '\0' ' ' < "/proc/$helper_pid/cmdline")(parent $(awk '{print $4}' "/proc/$helper_pid/stat"))"
echo "helper:  $(getpcaps "$helper_pid" 2>&1)"
[[ $(grep '^CapEff' "/proc/$window_pid/status") == *0000000000000000 ]]
wait "$runner" || true
cat "$root/tmp/window.txt"
grep -qi quelvar "$root/tmp/window.txt"

step "all install checks passed"
