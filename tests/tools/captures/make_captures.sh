#!/usr/bin/env bash
# Makes the capture files of this folder on a Linux machine, as root: two network namespaces joined by
# a veth pair (and by two tun devices with a small relay, for raw IP), a local HTTP, TLS and QUIC
# server in one, real clients (curl, ngtcp2's gtlsclient) in the other, tcpdump on the client's side.
# Documentation addresses only: 198.51.100.0/24, 192.0.2.0/24, 2001:db8::/32.
# Needs: iproute2 tcpdump curl openssl python3 ethtool ngtcp2-client ngtcp2-server.
#   tests/tools/captures/make_captures.sh [OUT_DIR]      (default: a new folder under /tmp)
set -euo pipefail
out=${1:-$(mktemp -d)}
mkdir -p "$out"
work=$(mktemp -d)
A=(ip netns exec qv-client)
B=(ip netns exec qv-server)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  ip netns del qv-client 2>/dev/null || true
  ip netns del qv-server 2>/dev/null || true
  rm -rf /etc/netns/qv-client "$work"
}
trap cleanup EXIT

ip netns add qv-client
ip netns add qv-server
ip link add qv0 type veth peer name qv1
ip link set qv0 netns qv-client
ip link set qv1 netns qv-server
"${A[@]}" ip link set lo up
"${B[@]}" ip link set lo up
"${A[@]}" ip addr add 198.51.100.1/24 dev qv0
"${B[@]}" ip addr add 198.51.100.2/24 dev qv1
"${A[@]}" ip addr add 2001:db8::1/64 dev qv0 nodad
"${B[@]}" ip addr add 2001:db8::2/64 dev qv1 nodad
"${A[@]}" ip link set qv0 up
"${B[@]}" ip link set qv1 up
# Real segments on the wire: no segmentation offload, so tcpdump sees what the peer receives.
"${A[@]}" ethtool -K qv0 tso off gso off gro off >/dev/null
"${B[@]}" ethtool -K qv1 tso off gso off gro off >/dev/null
mkdir -p /etc/netns/qv-client
echo "198.51.100.2 video.example" >/etc/netns/qv-client/hosts

# Servers.
mkdir -p "$work/www/music" "$work/www/seg"
echo mp3 >"$work/www/music/a.mp3"
echo song >"$work/www/music/你好.mp3"
echo seg >"$work/www/seg/v1.m4s"
echo seg >"$work/www/seg/chunk-00042.m4s"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=video.example \
  -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 2>/dev/null
(cd "$work/www" && exec "${B[@]}" python3 -m http.server --bind :: 80 >/dev/null 2>&1) & pids+=($!)
(cd "$work" && exec "${B[@]}" openssl s_server -accept 443 -cert cert.pem -key key.pem -www -quiet >/dev/null 2>&1) & pids+=($!)
(cd "$work" && exec "${B[@]}" openssl s_server -accept 8443 -cert cert.pem -key key.pem -www -quiet >/dev/null 2>&1) & pids+=($!)
"${B[@]}" gtlsserver -q 198.51.100.2 4433 "$work/key.pem" "$work/cert.pem" >/dev/null 2>&1 & pids+=($!)
sleep 2

# capture NAME IFACE TCPDUMP_ARGS... -- CLIENT COMMAND...
capture() {
  local name=$1 iface=$2
  shift 2
  local args=()
  while [[ $1 != -- ]]; do args+=("$1"); shift; done
  shift
  "${A[@]}" tcpdump -U -s 0 -i "$iface" "${args[@]}" -w "$out/$name.pcap" 2>/dev/null &
  local tp=$!
  sleep 1.5
  "$@" >/dev/null 2>&1 || true
  sleep 1
  kill -INT "$tp"
  wait "$tp" || true
}

# The first frame is the server's ARP request for the client (a cold neighbour cache).
"${A[@]}" ip neigh flush all
"${B[@]}" ip neigh flush all
capture arp_first_http qv0 arp or tcp -- bash -c \
  "${B[*]} curl -s -m 1 http://198.51.100.1:9/; ${A[*]} curl -s -m 3 http://198.51.100.2/music/a.mp3"
capture any_sll any -y LINUX_SLL tcp -- "${A[@]}" curl -s -m 3 http://198.51.100.2/music/a.mp3
capture any_sll2 any -y LINUX_SLL2 tcp -- "${A[@]}" curl -s -m 3 http://198.51.100.2/music/a.mp3
capture ipv6_http qv0 tcp -- "${A[@]}" curl -s -m 3 -g 'http://[2001:db8::2]/music/a.mp3'
capture tls_sni qv0 tcp -- bash -c "${A[*]} curl -sk -m 3 https://video.example/; ${A[*]} curl -sk -m 3 https://video.example:8443/"
capture utf8_names qv0 tcp -- bash -c \
  "${A[*]} curl -s -m 3 'http://198.51.100.2/music/%E4%BD%A0%E5%A5%BD.mp3'; ${A[*]} curl -s -m 3 http://198.51.100.2/seg/chunk-00042.m4s"
capture quic_initial qv0 udp -- "${A[@]}" timeout 5 gtlsclient --exit-on-first-stream-close video.example 4433 https://video.example/
# Small MTUs split the ClientHello (its name in the second segment) and a long signed request line.
"${A[@]}" ip link set qv0 mtu 160
capture tls_sni_two_segments qv0 tcp -- "${A[@]}" curl -sk -m 3 https://video.example/
"${A[@]}" ip link set qv0 mtu 300
token=$(python3 -c "print('a1b2c3d4' * 50)")
capture split_request qv0 tcp -- "${A[@]}" curl -s -m 3 "http://198.51.100.2/seg/v1.m4s?X-Amz-Signature=$token"
"${A[@]}" ip link set qv0 mtu 1500

# Raw IP: a tun device in each namespace, joined by a relay (this kernel has no ipip, gre or
# wireguard devices).
"${A[@]}" ip tuntap add mode tun name qvt0
"${B[@]}" ip tuntap add mode tun name qvt1
python3 - <<'PY' & pids+=($!)
import ctypes, fcntl, os, select, struct
libc = ctypes.CDLL(None, use_errno=True)
def open_tun(ns, name):
    fd = os.open('/run/netns/' + ns, os.O_RDONLY)
    if libc.setns(fd, 0x40000000) != 0: raise OSError(ctypes.get_errno(), 'setns')
    t = os.open('/dev/net/tun', os.O_RDWR)
    fcntl.ioctl(t, 0x400454ca, struct.pack('16sH', name.encode(), 0x0001 | 0x1000))  # IFF_TUN | IFF_NO_PI
    return t
a, b = open_tun('qv-client', 'qvt0'), open_tun('qv-server', 'qvt1')
peer = {a: b, b: a}
while True:
    for fd in select.select([a, b], [], [])[0]:
        packet = os.read(fd, 65535)
        try:
            os.write(peer[fd], packet)
        except OSError:
            pass
PY
sleep 1
"${A[@]}" ip addr add 192.0.2.1 peer 192.0.2.2 dev qvt0
"${B[@]}" ip addr add 192.0.2.2 peer 192.0.2.1 dev qvt1
"${A[@]}" ip -6 addr add 2001:db8:1::1/128 dev qvt0 nodad
"${B[@]}" ip -6 addr add 2001:db8:1::2/128 dev qvt1 nodad
"${A[@]}" ip link set qvt0 up
"${B[@]}" ip link set qvt1 up
"${A[@]}" ip -6 route add 2001:db8:1::2 dev qvt0
"${B[@]}" ip -6 route add 2001:db8:1::1 dev qvt1
sleep 1
capture tun_raw_ip qvt0 tcp -- bash -c \
  "${A[*]} curl -s -m 3 http://192.0.2.2/music/a.mp3; ${A[*]} curl -s -m 3 -g 'http://[2001:db8:1::2]/music/a.mp3'"
echo "captures in $out"
