#!/bin/sh
# Makes quic_h3.pcap: HTTP/3 fetches from ngtcp2's example server (gtlsserver) on loopback, with the
# client's key log (throwaway keys of this capture only). Run as root; needs tcpdump and Debian's
# ngtcp2-client and ngtcp2-server.
set -e
D=$(cd "$(dirname "$0")" && pwd)
W=$(mktemp -d)
trap 'kill $SRV $DUMP 2>/dev/null; rm -rf "$W"' EXIT
mkdir -p "$W/htdocs/video" "$W/htdocs/img"
head -c 3000 /dev/urandom > "$W/htdocs/video/seg1.m4s"
head -c 2000 /dev/urandom > "$W/htdocs/img/a.jpg"
echo "#EXTM3U" > "$W/htdocs/video/index.m3u8"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$W/key.pem" -out "$W/cert.pem" \
  -days 3650 -subj /CN=video.example 2>/dev/null
tcpdump -i lo -U -s 0 -w "$W/cap.pcap" udp port 4433 2>/dev/null & DUMP=$!
gtlsserver -q -d "$W/htdocs" 127.0.0.1 4433 "$W/key.pem" "$W/cert.pem" > "$W/server.log" 2>&1 & SRV=$!
sleep 1
umask 077
H=https://video.example:4433
# 1: AES-128-GCM, a key update before the requests go out, two hosts on one connection
SSLKEYLOGFILE="$W/keys.log" gtlsclient -q --exit-on-all-streams-close --key-update=20ms --delay-stream=300ms \
  --ciphers='NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM' \
  127.0.0.1 4433 "$H/video/index.m3u8?user=7&t=abc" "$H/video/seg1.m4s" "https://img.example:4433/img/a.jpg" >/dev/null 2>&1
# 2: ChaCha20-Poly1305
SSLKEYLOGFILE="$W/keys.log" gtlsclient -q --exit-on-all-streams-close \
  --ciphers='NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+CHACHA20-POLY1305' \
  127.0.0.1 4433 "$H/img/a.jpg" "$H/video/seg1.m4s?range=0-100" >/dev/null 2>&1
# 3: AES-256-GCM
SSLKEYLOGFILE="$W/keys.log" gtlsclient -q --exit-on-all-streams-close \
  --ciphers='NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-256-GCM' \
  127.0.0.1 4433 "$H/video/index.m3u8" >/dev/null 2>&1
# 4: no key log: listed nowhere, counted as without keys
SSLKEYLOGFILE="$W/other-keys.log" gtlsclient -q --exit-on-all-streams-close \
  127.0.0.1 4433 "$H/video/secret.m4s" >/dev/null 2>&1 || true
sleep 1
kill $DUMP; wait $DUMP 2>/dev/null || true
cp "$W/cap.pcap" "$D/quic_h3.pcap"
cp "$W/keys.log" "$D/quic_h3.keys"
chmod 600 "$D/quic_h3.keys"
