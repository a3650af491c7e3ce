#!/usr/bin/env python3
"""Checks the include graph between folders of the program's sources.

- No folder includes a folder that includes it back (directly or through others).
- No folder includes a higher layer: the top folders stand in LAYERS from the bottom up, and a file
  includes only its own layer and the ones below (a */ui folder counts with its top folder).
- The core (every folder except */ui, app/session and tools/Dorrinel) includes no Qt header and no */ui
  folder; app/session (the session's Qt objects and models, no widget) includes nothing of app/ui.
- app/ui/main_window.h is included inside app/ui only.

Tests, benchmarks and fuzzers sit on top of everything and are left out. Prints every breach and
exits 1 when there is one."""

import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
SKIPPED = ("tests", "bench", "fuzz", "build", "data", "docs", "scripts", ".git", ".ci")
# The layers from the bottom up. A top folder that is not listed is a breach: place it first.
LAYERS = ["common", "platform", "urls", "packets", "tls", "capture", "settings", "tools", "app"]
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)


def is_ui(folder):
    return folder.endswith("/ui") or folder == "ui" or folder.startswith("tools/Dorrinel") or is_session(folder)


# The session as the program runs it: Qt objects and models, but no widget and nothing of the window.
def is_session(folder):
    return folder == "app/session"


def layer(folder):
    top = folder.split("/", 1)[0]
    return LAYERS.index(top) if top in LAYERS else None


def sources():
    for top in sorted(os.listdir(ROOT)):
        if top in SKIPPED or top.startswith(".") or top.startswith("build") or not os.path.isdir(os.path.join(ROOT, top)):
            continue
        for dirpath, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                if name.endswith((".h", ".cpp", ".c")):
                    path = os.path.join(dirpath, name)
                    yield os.path.relpath(path, ROOT).replace(os.sep, "/")


def main():
    breaches = []
    edges = {}
    for path in sources():
        folder = os.path.dirname(path)
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for kind, target in INCLUDE.findall(text):
            if kind == "<":
                if not is_ui(folder) and re.match(r"Q[A-Za-z]+$|Qt[A-Za-z]*/", target):
                    breaches.append("%s: the core includes Qt (<%s>)" % (path, target))
                continue
            if not os.path.isfile(os.path.join(ROOT, target)):
                continue
            to = os.path.dirname(target)
            if is_session(folder) and to == "app/ui":
                breaches.append("%s: the session includes %s of the window" % (path, target))
            if target == "app/ui/main_window.h" and folder != "app/ui":
                breaches.append("%s: includes app/ui/main_window.h from outside app/ui" % path)
            if to == folder:
                continue
            low, high = layer(folder), layer(to)
            if low is None:
                breaches.append("%s: folder %s has no place in LAYERS" % (path, folder.split("/", 1)[0]))
            elif high is not None and high > low:
                breaches.append("%s: the lower layer %s includes %s of the higher layer %s"
                                % (path, folder, target, LAYERS[high]))
            if not is_ui(folder) and is_ui(to):
                breaches.append("%s: the core includes %s" % (path, target))
            edges.setdefault(folder, {}).setdefault(to, path)

    # A cycle between folders: a folder reachable from one of the folders it includes.
    def reach(start):
        seen, stack = set(), [start]
        while stack:
            for nxt in edges.get(stack.pop(), {}):
                if nxt not in seen:
                    seen.add(nxt)
                    stack.append(nxt)
        return seen

    for folder in sorted(edges):
        for to, path in sorted(edges[folder].items()):
            if folder in reach(to):
                breaches.append("%s includes %s (%s), which leads back to %s" % (folder, to, path, folder))

    for b in breaches:
        print(b)
    if breaches:
        return 1
    print("ok: %d folders, %d folder edges, no cycle, no include into a higher layer"
          % (len(edges), sum(len(v) for v in edges.values())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
