#!/usr/bin/env python3
"""HTTPS read with the browser's key log, as a person meets it. A page with a video lies on a local
nginx (HTTP/2 over TLS, a certificate of the journey's own CA, on loopback). The window captures on lo;
the person chooses "嗅探 → 用浏览器记录HTTPS…", which starts the browser of the httpsBrowser setting
(here headless Chromium through a wrapper that opens the page) with SSLKEYLOGFILE set to the window's
own key file. The video's whole https address must come up as a row of the 视音频文件 view, and Ctrl+E
must download it byte for byte. The key file is 0600 in a 0700 folder of XDG_RUNTIME_DIR and is gone
once the window has quit.

Certificates: the test browser is told to accept the journey's certificate (its wrapper passes
--ignore-certificate-errors); the small downloader checks certificates as always, against a trust store
that holds only the journey's CA: the window runs in a mount namespace of its own where that store is
bound over /etc/ssl/certs. Nothing of the machine's trust store changes.

Chromium's own background traffic is switched off and every host name fails to resolve, so that the
journey's traffic stays on loopback."""

import hashlib
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SKIP, Desktop, fail, need, program_copy  # noqa: E402

BIN = sys.argv[1]
need("chromium", "nginx", "openssl", "unshare", "mount")
if os.geteuid() != 0:
    print("skipped: capturing on lo and a mount namespace need root")
    sys.exit(SKIP)

work = tempfile.mkdtemp(prefix="quelvar-https-")
os.chmod(work, 0o700)


def run(*argv):
    r = subprocess.run(argv, cwd=work, capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        fail("%s: %s" % (" ".join(argv), r.stderr.strip()))
    return r.stdout


# --- a CA of the journey's own and a certificate for 127.0.0.1 ---
run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "ca.key",
    "-out", "ca.crt", "-days", "2", "-subj", "/CN=Quelvar journey CA", "-addext", "basicConstraints=critical,CA:TRUE",
    "-addext", "keyUsage=critical,keyCertSign,cRLSign")
run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "server.key",
    "-out", "server.csr", "-subj", "/CN=127.0.0.1")
with open(os.path.join(work, "server.ext"), "w") as f:
    f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n"
            "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n")
run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
    "-out", "server.crt", "-days", "2", "-extfile", "server.ext")
certs = os.path.join(work, "certs")
os.makedirs(certs)
shutil.copy(os.path.join(work, "ca.crt"), os.path.join(certs, "ca-certificates.crt"))
shutil.copy(os.path.join(work, "ca.crt"),
            os.path.join(certs, run("openssl", "x509", "-hash", "-noout", "-in", "ca.crt").strip() + ".0"))

# --- the page and its video on nginx ---
served = os.path.join(work, "www")
os.makedirs(os.path.join(served, "media"))
body = os.urandom(400 * 1024)
with open(os.path.join(served, "media", "clip.mp4"), "wb") as f:
    f.write(body)
digest = hashlib.sha256(body).hexdigest()
with open(os.path.join(served, "index.html"), "w") as f:
    f.write('<!doctype html><title>clip</title><video src="/media/clip.mp4" preload="auto" autoplay muted></video>\n')

with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
page = "https://127.0.0.1:%d/index.html" % port
video = "https://127.0.0.1:%d/media/clip.mp4" % port
access_log = os.path.join(work, "access.log")
with open(os.path.join(work, "nginx.conf"), "w") as f:
    f.write("""daemon off;
user root;
worker_processes 1;
pid {w}/nginx.pid;
error_log {w}/error.log;
events {{ worker_connections 64; }}
http {{
  types {{ text/html html; video/mp4 mp4; }}
  access_log {w}/access.log;
  client_body_temp_path {w}/tmp-body;
  proxy_temp_path {w}/tmp-proxy;
  fastcgi_temp_path {w}/tmp-fastcgi;
  uwsgi_temp_path {w}/tmp-uwsgi;
  scgi_temp_path {w}/tmp-scgi;
  server {{
    listen 127.0.0.1:{port} ssl http2;
    ssl_certificate {w}/server.crt;
    ssl_certificate_key {w}/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root {w}/www;
  }}
}}
""".format(w=work, port=port))
nginx = subprocess.Popen(["nginx", "-p", work, "-c", os.path.join(work, "nginx.conf")],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def listening():
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return nginx.poll() is not None  # stop waiting: it ended


if not Desktop.wait_for(listening, 20) or nginx.poll() is not None:
    fail("nginx did not start (%s)" % open(os.path.join(work, "error.log")).read().strip())

# --- the browser of the setting: headless Chromium opening the page ---
browser_pid = os.path.join(work, "browser.pid")
browser_env = os.path.join(work, "browser-env.txt")
wrapper = os.path.join(work, "browser.sh")
with open(wrapper, "w") as f:
    f.write("""#!/bin/sh
echo "$SSLKEYLOGFILE" > '{env}'
echo $$ > '{pid}'
exec chromium --headless=new --no-sandbox --ignore-certificate-errors --user-data-dir='{w}/profile' \\
  --no-first-run --no-default-browser-check --disable-gpu --disable-background-networking \\
  --disable-component-update --disable-sync --disable-domain-reliability --autoplay-policy=no-user-gesture-required \\
  --host-resolver-rules='MAP * ~NOTFOUND, EXCLUDE 127.0.0.1' '{page}' > '{w}/chromium.log' 2>&1
""".format(env=browser_env, pid=browser_pid, w=work, page=page))
os.chmod(wrapper, 0o755)

folder = program_copy(BIN, ["quelvar", "Dorrinel", "setting.ini", "readme.html"])
ini = os.path.join(folder, "setting.ini")
with open(ini, "rb") as f:
    text = f.read()
text = text.replace(b"autoRun=1", b"autoRun=0").replace(
    b"[system]\r\n", b"[system]\r\nAdaptorName=lo\r\nhttpsBrowser=" + wrapper.encode() + b"\r\n", 1)
with open(ini, "wb") as f:
    f.write(text)

desk = Desktop()
key_folder = os.path.join(desk.env["XDG_RUNTIME_DIR"], "quelvar")


def saved_copies():
    found = []
    for root, _, files in os.walk(desk.home):
        for n in files:
            p = os.path.join(root, n)
            if os.path.islink(p) or not os.path.isfile(p) or n.endswith(".part"):
                continue
            if os.path.getsize(p) == len(body):
                with open(p, "rb") as f:
                    if hashlib.sha256(f.read()).hexdigest() == digest:
                        found.append(p)
    return found


def requested(path):
    try:
        with open(access_log) as f:
            return [line for line in f if ("GET %s " % path) in line]
    except FileNotFoundError:
        return []


def stop_browser():
    try:
        with open(browser_pid) as f:
            pid = int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return
    try:
        os.killpg(pid, signal.SIGTERM)  # the browser runs in a session of its own, led by the wrapper's pid
    except ProcessLookupError:
        return
    for _ in range(50):
        try:
            os.killpg(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


try:
    # The window and everything it starts see the journey's CA as the system's trust store.
    quelvar = desk.start(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                          'mount --bind "$1" /etc/ssl/certs && exec "$2"', "sh", certs,
                          os.path.join(folder, "quelvar")], cwd=desk.home)
    main = desk.wait_for(lambda: desk.windows("^Quelvar\\(Tessoran\\)$", pid=quelvar.pid), 20)
    if not main:
        fail("the main window did not come up")
    main = main[0]
    x, y, w, h = desk.geometry(main)
    desk.key("F3", window=main)  # 开始嗅探 on lo
    time.sleep(2)
    # 嗅探 → 用浏览器记录HTTPS…: the menu opens on 停止嗅探 (开始嗅探 is disabled while capturing); two
    # entries below it, after 打开抓包文件….
    desk.key("alt+c", "Down", "Down", "Return", window=main)
    if not Desktop.wait_for(lambda: os.path.exists(browser_env), 15):
        desk.screenshot(os.path.join(folder, "no-browser.png"))
        fail("the browser command did not start the browser of the setting (screenshot in %s)" % folder)
    with open(browser_env) as f:
        key_file = f.read().strip()
    if os.path.dirname(key_file) != key_folder:
        fail("the browser's SSLKEYLOGFILE is %r, not a file in %s" % (key_file, key_folder))
    for path, mode in ((key_folder, 0o700), (key_file, 0o600)):
        got = stat.S_IMODE(os.lstat(path).st_mode)
        if got != mode:
            fail("%s has mode %o, not %o" % (path, got, mode))
    if not Desktop.wait_for(lambda: requested("/media/clip.mp4"), 30):
        with open(os.path.join(work, "chromium.log"), errors="replace") as f:
            said = f.read()[-2000:]
        fail("Chromium did not fetch the video (access log: %r; Chromium said: %s)" % (requested("/"), said))
    if not any("HTTP/2.0" in line for line in requested("/media/clip.mp4")):
        fail("the video was not fetched over HTTP/2: %r" % requested("/media/clip.mp4"))
    if os.path.getsize(key_file) == 0:
        fail("the browser wrote no keys")

    # The 视音频文件 view (popup → 分类察看 → its second entry), narrowed by the quick filter to the
    # video's whole address (lo is shared: other programs' requests may be listed too); Down goes on to
    # the first row shown.
    desk.activate(main)
    desk.click(x + w // 2, y + h - 60, button=3)  # below the rows
    desk.key("Down", "Right", "Down", "Return")
    desk.key("ctrl+f")
    desk.type(video)
    time.sleep(0.5)
    desk.key("Down")
    # Chromium may ask for the video more than once (ranges): each row shown is the video.
    seen = desk.wait_for(lambda: desk.list_rows(x + w - 40, y, y + h)[0] >= 1 and desk.list_rows(x + w - 40, y, y + h),
                         30, step=0.3)
    if not seen:
        desk.screenshot(os.path.join(folder, "no-row.png"))
        fail("the 视音频文件 view showed no row of %s (screenshot in %s)" % (video, folder))
    shot = os.environ.get("QUELVAR_SCREENSHOT")
    if shot:
        # Wide enough for every panel of the status bar, the HTTPS counts among them.
        desk.xdotool("windowsize", main, "1180", "700", check=False)
        time.sleep(1)
        desk.screenshot(shot)
    desk.key("ctrl+e")
    if not desk.wait_for(saved_copies, 40):
        desk.screenshot(os.path.join(folder, "ctrl-e.png"))
        fail("Ctrl+E saved no copy of %s (screenshot in %s)" % (video, folder))
    if quelvar.poll() is not None:
        fail("the program ended")

    desk.key("ctrl+q", window=main)
    try:
        quelvar.wait(timeout=20)
    except subprocess.TimeoutExpired:
        fail("the window did not quit")
    if os.path.exists(key_file):
        fail("the key file %s stayed after the window quit" % key_file)
    print("ok: %s listed and saved as %s" % (video, ", ".join(os.path.relpath(p, desk.home) for p in saved_copies())))
finally:
    stop_browser()
    desk.close()
    nginx.terminate()
    try:
        nginx.wait(timeout=10)
    except subprocess.TimeoutExpired:
        nginx.kill()
    shutil.rmtree(work, ignore_errors=True)
