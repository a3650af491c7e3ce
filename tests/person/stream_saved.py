#!/usr/bin/env python3
"""Saving a stream, as a person does it: an HLS playlist made by ffmpeg (H.264 + AAC in MPEG-TS
segments, four seconds) is served on loopback and played by ffmpeg while the window captures lo; the
playlist's row is listed; the person finds it with the quick filter, selects it and presses Ctrl+E;
the small downloader comes up and records the stream into the download folder. The saved file holds
one video and one audio stream and lasts as long as the source (within a second), by ffprobe."""

import json
import os
import subprocess
import sys
import tempfile
import shutil

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import (MAIN, Desktop, Served, end_downloaders, fail, need, need_root, program_copy,  # noqa: E402
                     quiet_settings)

BIN = sys.argv[1]
SECONDS = 4
need("ffmpeg", "ffprobe", "xdotool")
need_root("capturing on lo")


def probe(path):
    """ffprobe's streams and duration of the file: ([codec_type, ...], seconds), or None."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type:format=duration", "-of", "json",
                        path], capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        return None
    info = json.loads(r.stdout or "{}")
    try:
        return sorted(s["codec_type"] for s in info.get("streams", [])), float(info["format"]["duration"])
    except (KeyError, ValueError):
        return None


# The stream: ffmpeg's test picture and tone, in 1 s segments, as its HLS muxer writes them.
made = tempfile.mkdtemp(prefix="quelvar-hls-")
try:
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=size=320x240:rate=25:duration=%d" % SECONDS, "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=%d" % SECONDS, "-c:v", "libx264", "-preset", "ultrafast", "-g", "25",
                    "-c:a", "aac", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0", "show.m3u8"],
                   cwd=made, check=True, timeout=120, capture_output=True)
    source = probe(os.path.join(made, "show.m3u8"))
    files = {}
    for n in os.listdir(made):
        with open(os.path.join(made, n), "rb") as f:
            files[n] = f.read()
finally:
    shutil.rmtree(made, ignore_errors=True)
if source is None or source[0] != ["audio", "video"]:
    fail("ffmpeg did not make a stream of one video and one audio stream: %s" % (source,))

served = Served({}, files=files)
url = served.url("show.m3u8")
folder = program_copy(BIN, ["quelvar", "Dorrinel", "setting.ini", "readme.html"])
quiet_settings(folder)  # captures on lo, starts nothing by itself

desk = Desktop()
downloads = os.path.join(desk.home, "Downloads")
try:
    quelvar, main = desk.start_program(folder)

    def shot(name):
        return desk.shot(name + ".png")

    desk.key("F3", window=main)  # 开始嗅探, on lo

    # The person plays the stream (ffmpeg reads the playlist and its segments) until its row is there:
    # the capture may take a moment to begin.
    desk.key("ctrl+f", window=main)
    desk.type("show.m3u8")
    x, y, w, h = desk.geometry(main)

    def listed():
        subprocess.run(["ffmpeg", "-loglevel", "error", "-i", url, "-c", "copy", "-f", "null", "-"], check=True,
                       timeout=60, capture_output=True)
        desk.activate(main)
        desk.click(x + w // 2, y + h - 120)  # the list's empty part: the keyboard goes to the list
        return desk.wait_for(lambda: desk.list_rows(x + w - 40, y, y + h)[0] >= 1, 5, step=0.5)

    if not desk.wait_for(listed, 60, step=0):
        fail("the playlist's row was not listed (screenshot in %s)" % shot("no-row"))
    # list_rows leaves the first row that passes the filter selected: the playlist's.
    before = set(desk.windows("简易HTTP下载软件"))
    desk.key("ctrl+e", window=main)
    window = desk.wait_for(lambda: [v for v in desk.windows("简易HTTP下载软件") if v not in before], 20)
    if not window:
        fail("Ctrl+E brought up no downloader window (screenshot in %s)" % shot("no-downloader"))

    def saved():
        """The recording, once whole: a file of the download folder ffprobe reads as the stream."""
        for n in sorted(os.listdir(downloads)):
            p = os.path.join(downloads, n)
            if n.endswith(".part") or not os.path.isfile(p):
                continue
            seen = probe(p)
            if seen and seen[0] == ["audio", "video"] and abs(seen[1] - source[1]) <= 1.0:
                return n, seen
        return None

    recorded = desk.wait_for(saved, 90, step=1.0)
    if not recorded:
        found = {n: probe(os.path.join(downloads, n)) for n in os.listdir(downloads)}
        fail("no recording of one video and one audio stream lasting %.1f s (within 1 s) was saved; the download"
             " folder holds %s (screenshot in %s)" % (source[1], found, shot("not-saved")))
    if quelvar.poll() is not None:
        fail("the program ended")
    name, (streams, seconds) = recorded
    print("ok: %s saved from the listed playlist: %s, %.2f s (source %.2f s)"
          % (name, " + ".join(streams), seconds, source[1]))
finally:
    end_downloaders(desk)
    desk.close()
    served.close()
