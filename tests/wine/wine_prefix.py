#!/usr/bin/env python3
"""Test fixture for the Wine tests: creates a fresh Wine prefix in WINEPREFIX
(Wine's first start takes a while, so once per prefix), or ends its server.

    wine_prefix.py setup [--keep-server]   # --keep-server: server stays up
    wine_prefix.py cleanup
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools  # noqa: E402


QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    action = sys.argv[1]
    # No display: the prefix is made without any window.
    env = winetools.wine_env(DISPLAY=None)
    prefix = env["WINEPREFIX"]
    if action == "setup":
        subprocess.run(["wineserver", "-k"], env=env, **QUIET)
        shutil.rmtree(prefix, ignore_errors=True)
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
        # Every Wine process gets no standard streams of ours: the server and
        # the background processes outlive this script and would hold the
        # test runner's output pipe open.
        subprocess.run([winetools.WINE, "wineboot", "--init"], env=env, check=True, timeout=600, **QUIET)
        # Lets the boot's processes end, so that the prefix's first user
        # starts them again in its own environment (display or none).
        subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=600, **QUIET)
        if "--keep-server" in sys.argv:
            # A server that stays up saves a second per program start.
            subprocess.run(["wineserver", "-p"], env=env, check=True, **QUIET)
            # Starts Wine's background processes now: started by a test's
            # program they would inherit its pipes and keep them open.
            subprocess.run([winetools.WINE, "cmd", "/c", "exit"], env=env, check=True, timeout=600,
                           **QUIET)
        print("Wine prefix ready:", prefix)
    elif action == "cleanup":
        subprocess.run(["wineserver", "-k"], env=env, **QUIET)
    else:
        sys.exit("unknown action " + action)


if __name__ == "__main__":
    main()
