#!/usr/bin/env bash
# Makes the HTTPS captures of this folder on a Linux machine, as root: two network namespaces joined by a
# veth pair, nginx with a self-signed certificate in one (HTTP/1.1 and HTTP/2, TLS 1.2 and 1.3), curl and
# headless Chromium with SSLKEYLOGFILE in the other, tcpdump on the client's side (on the server's side
# for the lossy path, so that the capture holds the client's segments as the server gets them).
# Each capture NAME.pcap comes with NAME.keys (the throwaway keys of that capture only, mode 0600) and
# NAME.access.log (nginx: "$scheme://$host$request_uri $server_addr:$server_port" per request).
# Documentation addresses only: 198.51.100.0/24, 2001:db8::/32.
# Needs: iproute2 tcpdump curl openssl nginx chromium ethtool ffmpeg.
#   tests/tools/captures/make_https_captures.sh [OUT_DIR [NAME...]]
# OUT_DIR defaults to a new folder under /tmp; NAMEs (https_curl_tls13, https_curl_tls12, https_chromium_h2,
# https_chromium_stream, https_lossy) make only those captures, so that the others stay as they are.
set -euo pipefail
all=(https_curl_tls13 https_curl_tls12 https_chromium_h2 https_chromium_stream https_lossy)
out=${1:-$(mktemp -d)}
shift $(($# > 0 ? 1 : 0))
wanted=("$@")
[[ ${#wanted[@]} -gt 0 ]] || wanted=("${all[@]}")
for n in "${wanted[@]}"; do
  [[ " ${all[*]} " == *" $n "* ]] || { echo "no capture named $n (${all[*]})" >&2; exit 2; }
done
wants() { [[ " ${wanted[*]} " == *" $1 "* ]]; }
mkdir -p "$out"
work=$(mktemp -d)
chmod 755 "$work"
A=(ip netns exec qvh-client)
B=(ip netns exec qvh-server)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [[ -f $work/nginx.pid ]] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  ip netns del qvh-client 2>/dev/null || true
  ip netns del qvh-server 2>/dev/null || true
  rm -rf /etc/netns/qvh-client "$work"
}
trap cleanup EXIT

ip netns add qvh-client
ip netns add qvh-server
ip link add qvh0 type veth peer name qvh1
ip link set qvh0 netns qvh-client
ip link set qvh1 netns qvh-server
"${A[@]}" ip link set lo up
"${B[@]}" ip link set lo up
"${A[@]}" ip addr add 198.51.100.1/24 dev qvh0
"${B[@]}" ip addr add 198.51.100.2/24 dev qvh1
"${A[@]}" ip addr add 2001:db8::1/64 dev qvh0 nodad
"${B[@]}" ip addr add 2001:db8::2/64 dev qvh1 nodad
"${A[@]}" ip link set qvh0 up
"${B[@]}" ip link set qvh1 up
"${A[@]}" ethtool -K qvh0 tso off gso off gro off >/dev/null
"${B[@]}" ethtool -K qvh1 tso off gso off gro off >/dev/null
mkdir -p /etc/netns/qvh-client
printf '198.51.100.2 video.example img.example\n2001:db8::2 v6.example\n' >/etc/netns/qvh-client/hosts

# The site: a page with a picture, a script fetch and a video; an HLS playlist and its segments.
www=$work/www
mkdir -p "$www/img" "$www/video" "$www/hls" "$www/music"
cat >"$www/index.html" <<'HTML'
<!doctype html><html><head><title>clips</title><link rel="icon" href="data:,"></head><body>
<img src="/img/cover.jpg?w=320&h=180">
<video src="/video/clip.mp4" preload="auto" muted autoplay></video>
<script>fetch('/hls/index.m3u8?token=a1b2').then(r => r.text()).then(() => fetch('/hls/seg-00001.ts'));</script>
</body></html>
HTML
head -c 3000 /dev/urandom >"$www/img/cover.jpg"
head -c 20000 /dev/urandom >"$www/video/clip.mp4"
printf '#EXTM3U\n#EXTINF:4,\nseg-00001.ts\n' >"$www/hls/index.m3u8"
head -c 4000 /dev/urandom >"$www/hls/seg-00001.ts"
head -c 4000 /dev/urandom >"$www/hls/seg-00002.ts"
echo mp3 >"$www/music/a.mp3"
# A video page as a site with an HLS player makes it: a poster and thumbnails, a playlist (with a token in
# its query) and its 40 segments of an ffmpeg-made stream (2 s and 43 to 52 KB each), fetched one after
# another with fetch(), then a position report with a query string.
if wants https_chromium_stream; then
  mkdir -p "$www/stream/hls" "$www/stream/thumbs"
  ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=320x180:rate=25 \
    -f lavfi -i sine=frequency=440:sample_rate=44100 -t 80 -c:v libx264 -preset veryfast -g 50 -sc_threshold 0 \
    -b:v 120k -minrate 120k -maxrate 120k -bufsize 120k -x264-params nal-hrd=cbr -c:a aac -b:a 32k \
    -f hls -hls_time 2 -hls_list_size 0 -hls_segment_filename "$www/stream/hls/seg-%03d.ts" \
    "$www/stream/hls/playlist.m3u8"
  ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=640x360 -frames:v 1 "$www/stream/poster.jpg"
  for i in 1 2 3; do
    ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "testsrc2=size=160x90,hue=h=$((i * 90))" -frames:v 1 \
      "$www/stream/thumbs/next-$i.jpg"
  done
  ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=96x96 -frames:v 1 "$www/stream/thumbs/channel.png"
  echo '{"ok":true}' >"$www/stream/progress.json"
  cat >"$www/stream/watch.html" <<'HTML'
<!doctype html><html><head><title>watch</title><link rel="icon" href="data:,"></head><body>
<img src="/stream/poster.jpg"><img src="/stream/thumbs/channel.png">
<img src="/stream/thumbs/next-1.jpg"><img src="/stream/thumbs/next-2.jpg"><img src="/stream/thumbs/next-3.jpg">
<script>
(async () => {
  const list = new URL('/stream/hls/playlist.m3u8?token=c3d4e5&quality=360p', location.href);
  const text = await (await fetch(list)).text();
  const segments = text.split('\n').filter(l => l && !l.startsWith('#'));
  for (const s of segments) await (await fetch(new URL(s, list))).arrayBuffer();
  await fetch('/stream/progress.json?video=clip&pos=80&of=' + segments.length);
  document.title = 'watched ' + segments.length;
})();
</script>
</body></html>
HTML
fi
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=video.example \
  -addext "subjectAltName=DNS:video.example,DNS:img.example,DNS:v6.example" \
  -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 2>/dev/null

cat >"$work/nginx.conf" <<NGINX
user root;
daemon on;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  log_format urls '\$scheme://\$host\$request_uri \$server_addr:\$server_port';
  types { text/html html; image/jpeg jpg; image/png png; video/mp4 mp4; video/mp2t ts;
          application/vnd.apple.mpegurl m3u8; application/json json; }
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  ssl_certificate $work/cert.pem;
  ssl_certificate_key $work/key.pem;
  ssl_session_tickets off;
  ssl_session_cache off;
  root $www;
  # TLS 1.2 and 1.3, HTTP/2 and HTTP/1.1 (the client chooses by ALPN).
  server {
    listen 443 ssl http2; listen [::]:443 ssl http2;
    ssl_protocols TLSv1.2 TLSv1.3;
    access_log $work/access.log urls;
  }
  # TLS 1.2 with the client's choice of suite (encrypt-then-MAC on, OpenSSL's default).
  server {
    listen 8443 ssl http2;
    ssl_protocols TLSv1.2;
    ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-SHA384:ECDHE-ECDSA-AES128-SHA;
    access_log $work/access.log urls;
  }
  # TLS 1.2 CBC without encrypt-then-MAC.
  server {
    listen 9443 ssl;
    ssl_protocols TLSv1.2;
    ssl_ciphers ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384;
    ssl_conf_command Options -EncryptThenMac;
    access_log $work/access.log urls;
  }
}
NGINX
mkdir -p "$work/tmp"
"${B[@]}" nginx -c "$work/nginx.conf"
sleep 1

C=(curl -sk -m 5 -o /dev/null)
# capture NAME IFACE NETNS_OF_TCPDUMP -- CLIENT COMMAND... (run with SSLKEYLOGFILE=NAME.keys)
capture() {
  local name=$1 iface=$2 ns=$3
  shift 4
  wants "$name" || return 0
  : >"$work/access.log"
  "${B[@]}" nginx -c "$work/nginx.conf" -s reopen
  install -m 600 /dev/null "$out/$name.keys"
  ip netns exec "$ns" tcpdump -U -s 0 -B 16384 -i "$iface" tcp -w "$out/$name.pcap" 2>/dev/null &
  local tp=$!
  sleep 1.5
  SSLKEYLOGFILE=$out/$name.keys "$@" >/dev/null 2>&1 || true
  sleep 1
  kill -INT "$tp"
  wait "$tp" || true
  sleep 0.5
  cp "$work/access.log" "$out/$name.access.log"
}

# curl, TLS 1.3 with each of the three suites, HTTP/2 and HTTP/1.1, IPv4 and IPv6; one connection
# made without SSLKEYLOGFILE (its request has the query "nokey"): no path may come from it.
capture https_curl_tls13 qvh0 qvh-client -- bash -c "
  ${A[*]} ${C[*]} --http2 --tls13-ciphers TLS_AES_128_GCM_SHA256 'https://video.example/video/clip.mp4?quality=hd&t=12' https://video.example/img/cover.jpg
  ${A[*]} ${C[*]} --http1.1 --tls13-ciphers TLS_AES_256_GCM_SHA384 -H 'Cookie: session=abc' -e https://video.example/ https://video.example/hls/index.m3u8 https://video.example/hls/seg-00001.ts
  ${A[*]} ${C[*]} --http2 --tls13-ciphers TLS_CHACHA20_POLY1305_SHA256 https://v6.example/music/a.mp3
  ${A[*]} ${C[*]} --http1.1 -X POST -d 'name=value' https://img.example/img/cover.jpg?post=1
  env -u SSLKEYLOGFILE ${A[*]} ${C[*]} --http2 'https://video.example/hls/seg-00002.ts?nokey'"

# curl, TLS 1.2: AES-GCM, ChaCha20-Poly1305, CBC with encrypt-then-MAC (SHA-384, SHA-1) and without.
capture https_curl_tls12 qvh0 qvh-client -- bash -c "
  ${A[*]} ${C[*]} --http1.1 --ciphers ECDHE-ECDSA-AES128-GCM-SHA256 https://video.example:8443/video/clip.mp4 https://video.example:8443/music/a.mp3
  ${A[*]} ${C[*]} --http2 --ciphers ECDHE-ECDSA-CHACHA20-POLY1305 https://video.example:8443/img/cover.jpg?chacha https://video.example:8443/hls/index.m3u8
  ${A[*]} ${C[*]} --http1.1 --ciphers ECDHE-ECDSA-AES256-SHA384 https://video.example:8443/hls/seg-00001.ts?etm=sha384
  ${A[*]} ${C[*]} --http1.1 --ciphers ECDHE-ECDSA-AES128-SHA https://video.example:8443/hls/seg-00002.ts?etm=sha1
  ${A[*]} ${C[*]} --http1.1 --ciphers ECDHE-ECDSA-AES128-SHA https://video.example:9443/music/a.mp3?noetm=sha1 https://video.example:9443/img/cover.jpg
  ${A[*]} ${C[*]} --http1.1 --ciphers ECDHE-ECDSA-AES256-SHA384 https://video.example:9443/video/clip.mp4?noetm=sha384"

# Headless Chromium loading the page (HTTP/2, TLS 1.3): its picture, video, script fetches.
mkdir -p "$work/profile"
capture https_chromium_h2 qvh0 qvh-client -- "${A[@]}" timeout 20 chromium --headless=new --no-sandbox \
  --ignore-certificate-errors --user-data-dir="$work/profile" --no-first-run --disable-gpu \
  --autoplay-policy=no-user-gesture-required --virtual-time-budget=4000 --dump-dom https://video.example/index.html

# Headless Chromium watching the stream page (HTTP/2, TLS 1.3, a profile of its own): one connection carries
# the page, its pictures, the playlist and every segment. The certificate is trusted by its key, as a
# browser trusts a real site's, rather than its errors ignored. Virtual time stands still while a fetch is
# under way, so the budget does not cut the transfers short.
mkdir -p "$work/profile-stream"
spki=$(openssl x509 -in "$work/cert.pem" -pubkey -noout | openssl pkey -pubin -outform der |
  openssl dgst -sha256 -binary | base64)
capture https_chromium_stream qvh0 qvh-client -- "${A[@]}" timeout 60 chromium --headless=new --no-sandbox \
  --ignore-certificate-errors-spki-list="$spki" --user-data-dir="$work/profile-stream" --no-first-run --disable-gpu \
  --virtual-time-budget=20000 --dump-dom https://video.example/stream/watch.html
if wants https_chromium_stream && [[ $(wc -l <"$out/https_chromium_stream.access.log") -ne 48 ]]; then
  echo "https_chromium_stream: $(wc -l <"$out/https_chromium_stream.access.log") requests, not 48" >&2
  exit 1
fi

if wants https_lossy; then
# A lossy, reordering path for the client's segments (this kernel has no netem): a tun device in each
# namespace, joined by a relay that drops one packet in twelve and holds one in four back behind the
# next. Long requests (a large cookie) span segments; tcpdump runs on the server's side.
"${A[@]}" ip tuntap add mode tun name qvht0
"${B[@]}" ip tuntap add mode tun name qvht1
python3 - <<'PY' & pids+=($!)
import ctypes, fcntl, os, random, select, struct, time
libc = ctypes.CDLL(None, use_errno=True)
def open_tun(ns, name):
    fd = os.open('/run/netns/' + ns, os.O_RDONLY)
    if libc.setns(fd, 0x40000000) != 0: raise OSError(ctypes.get_errno(), 'setns')
    t = os.open('/dev/net/tun', os.O_RDWR)
    fcntl.ioctl(t, 0x400454ca, struct.pack('16sH', name.encode(), 0x0001 | 0x1000))  # IFF_TUN | IFF_NO_PI
    return t
a, b = open_tun('qvh-client', 'qvht0'), open_tun('qvh-server', 'qvht1')
rng = random.Random(20)
held = None  # (packet, since)
while True:
    ready = select.select([a, b], [], [], 0.02)[0]
    if held and (not ready or time.monotonic() - held[1] > 0.02):
        os.write(b, held[0]); held = None
    for fd in ready:
        packet = os.read(fd, 65535)
        try:
            if fd == b:
                os.write(a, packet)
                continue
            if rng.random() < 1 / 12: continue
            if held is None and rng.random() < 0.25:
                held = (packet, time.monotonic())
                continue
            os.write(b, packet)
            if held:
                os.write(b, held[0]); held = None
        except OSError:
            pass
PY
sleep 1
"${A[@]}" ip addr add 192.0.2.1 peer 192.0.2.2 dev qvht0
"${B[@]}" ip addr add 192.0.2.2 peer 192.0.2.1 dev qvht1
"${A[@]}" ip link set qvht0 mtu 700 up
"${B[@]}" ip link set qvht1 mtu 700 up
sleep 1
cookie=$(python3 -c "print('k=' + 'x9' * 1800)")
R="--resolve video.example:443:192.0.2.2"
capture https_lossy qvht1 qvh-server -- bash -c "
  for i in 1 2 3 4 5 6; do ${A[*]} ${C[*]} $R --http1.1 -H 'Cookie: $cookie' \"https://video.example/hls/seg-0000\$i.ts?n=\$i\"; done
  ${A[*]} ${C[*]} $R --http2 -H 'Cookie: $cookie' https://video.example/video/clip.mp4?lossy https://video.example/img/cover.jpg?lossy https://video.example/hls/index.m3u8?lossy"
fi  # https_lossy
echo "captures in $out"
