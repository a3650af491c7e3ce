#!/bin/sh
# Makes quic_chromium.pcap: headless Chromium loading a page (script, images, a video, the icon) over
# HTTP/3 from ngtcp2's example server (gtlsserver) on loopback, video.example and img.example mapped to
# 127.0.0.1, with Chromium's key log (throwaway keys of this capture only) and the server's list of the
# requests it received (from its debug output). Run as root; needs tcpdump, chromium and Debian's
# ngtcp2-server.
set -e
D=$(cd "$(dirname "$0")" && pwd)
W=$(mktemp -d)
trap 'kill $SRV $DUMP 2>/dev/null; rm -rf "$W"' EXIT
mkdir -p "$W/htdocs/img" "$W/htdocs/video"
head -c 2000 /dev/urandom > "$W/htdocs/img/a.jpg"
head -c 3000 /dev/urandom > "$W/htdocs/video/clip.mp4"
echo 'console.log(1)' > "$W/htdocs/app.js"
cat > "$W/htdocs/index.html" <<'HTML'
<html><head><script src="/app.js?v=3"></script></head><body><img src="/img/a.jpg?w=640"><img src="https://img.example:4433/img/a.jpg"><video src="/video/clip.mp4" preload="auto"></video></body></html>
HTML
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$W/key.pem" -out "$W/cert.pem" \
  -days 3650 -subj /CN=video.example -addext "subjectAltName=DNS:video.example,DNS:img.example" 2>/dev/null
SPKI=$(openssl x509 -in "$W/cert.pem" -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)
tcpdump -i lo -U -s 0 -w "$W/cap.pcap" udp port 4433 2>/dev/null & DUMP=$!
gtlsserver -d "$W/htdocs" 127.0.0.1 4433 "$W/key.pem" "$W/cert.pem" > "$W/server.log" 2>&1 & SRV=$!
sleep 1
umask 077
SSLKEYLOGFILE="$W/keys.log" timeout 60 chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$W/profile" \
  --enable-quic --origin-to-force-quic-on=video.example:4433,img.example:4433 \
  --host-resolver-rules="MAP video.example 127.0.0.1, MAP img.example 127.0.0.1" \
  --ignore-certificate-errors-spki-list="$SPKI" --virtual-time-budget=3000 \
  --dump-dom https://video.example:4433/index.html >/dev/null 2>&1
sleep 1
kill $DUMP; wait $DUMP 2>/dev/null || true
cp "$W/cap.pcap" "$D/quic_chromium.pcap"
cp "$W/keys.log" "$D/quic_chromium.keys"
chmod 600 "$D/quic_chromium.keys"
{
  echo "# The requests gtlsserver received (method, authority, path), from its debug output."
  sed -n 's/^http: stream 0x[0-9a-f]* \[\(:method\|:authority\|:path\): \(.*\)\]$/\2/p' "$W/server.log" | paste -d' ' - - -
} > "$D/quic_chromium.requests"
