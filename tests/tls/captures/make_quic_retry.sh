#!/bin/sh
# Makes quic_retry.pcap: HTTP/3 fetches from ngtcp2's example server (gtlsserver) on loopback, which
# first asks for address validation (Retry), with the client's key log (throwaway keys of this capture
# only). Run as root; needs tcpdump and Debian's ngtcp2-client and ngtcp2-server.
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
gtlsserver -q -V -d "$W/htdocs" 127.0.0.1 4433 "$W/key.pem" "$W/cert.pem" > "$W/server.log" 2>&1 & SRV=$!
sleep 1
umask 077
H=https://video.example:4433
# The server asks for address validation (Retry): the client's second Initial carries a token and a
# new destination connection ID, from which both sides' Initial keys then come.
SSLKEYLOGFILE="$W/keys.log" gtlsclient -q --exit-on-all-streams-close \
  127.0.0.1 4433 "$H/video/seg1.m4s?retry=1" "$H/img/a.jpg" >/dev/null 2>&1
sleep 1
kill $DUMP; wait $DUMP 2>/dev/null || true
cp "$W/cap.pcap" "$D/quic_retry.pcap"
cp "$W/keys.log" "$D/quic_retry.keys"
chmod 600 "$D/quic_retry.keys"
