#!/usr/bin/env python3
"""Screenshots of crvw.exe's boxes as a Japanese user sees them: Wine in the
ja_JP.UTF-8 locale (ANSI code page 932) on a virtual display, inside a Wine
virtual desktop so that the boxes get their title bars. Run on demand, to look
at the pictures; it checks nothing by itself.

    look_japanese.py --exe build-win32/crvw.exe --out /tmp   (WINEPREFIX set)

Writes crvw-confirm.png (the confirmation box) and crvw-error.png (the
not-found error box).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools  # noqa: E402
from common import VirtualDisplay  # noqa: E402


def shoot(display, exe, args, cwd, title, path):
    env = winetools.wine_env(DISPLAY=display, LANG="ja_JP.UTF-8", LC_ALL=None)
    proc = subprocess.Popen([winetools.WINE, "explorer", "/desktop=crvlook,640x300", exe] + args,
                            cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # In a virtual desktop the box is no X window of its own: wait for the
        # desktop window, then for the box inside it to be drawn.
        wid, _ = winetools.wait_for_window(display, "crvlook", proc)
        winetools.xdotool(display, "windowfocus", "--sync", wid)
        # The empty desktop has two colours; the drawn box (text, buttons,
        # anti-aliasing) many more.
        deadline = time.monotonic() + 60
        while True:
            subprocess.run(["import", "-display", display, "-window", "root", path], check=True)
            colours = subprocess.run(["identify", "-format", "%k", path], check=True,
                                     stdout=subprocess.PIPE).stdout
            if int(colours) > 16:
                break
            if time.monotonic() > deadline:
                raise SystemExit("the box was not drawn within 60 s")
            time.sleep(0.2)
        print("%s: %s" % (title, path))
        winetools.xdotool(display, "key", "--clearmodifiers", "Escape")
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="crvw.exe")
    parser.add_argument("--out", default="/tmp")
    args = parser.parse_args()
    exe = os.path.abspath(args.exe)
    with tempfile.TemporaryDirectory() as work, VirtualDisplay("800x400x24") as x:
        with open(os.path.join(work, "メモ.txt"), "wb") as f:
            f.write(b"a\r\nb\r\n")
        shoot(x.name, exe, ["メモ.txt"], work, "confirmation",
              os.path.join(args.out, "crvw-confirm.png"))
        shoot(x.name, exe, ["無い.txt"], work, "error",
              os.path.join(args.out, "crvw-error.png"))


if __name__ == "__main__":
    main()
