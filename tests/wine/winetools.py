"""Running the Windows programs under Wine for the tests: the environment,
Windows paths, and waiting for windows on a virtual X display (one from
tests/common.py)."""
import os
import subprocess
import sys
import time

# The scripts here import common, which is one directory up.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# The Wine loader. Debian's `wine` runs the 32-bit loader whenever wine32 is
# installed, even for a 64-bit prefix on a host that cannot execute it, so a
# 64-bit prefix (WINEARCH=win64) is served by the 64-bit loader by name.
WINE = "/usr/lib/wine/wine64" if os.environ.get("WINEARCH") == "win64" else "wine"


def wine_env(**extra):
    """The environment for a Wine run in the test prefix named by WINEPREFIX,
    without Wine's debug output or its Mono and Gecko installers."""
    env = dict(os.environ)
    if not env.get("WINEPREFIX"):
        raise SystemExit("WINEPREFIX must name the test prefix")
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def windows_path(path):
    """The name of a Unix path on Wine's drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def xdotool(display, *args, timeout=20):
    proc = subprocess.run(["xdotool"] + list(args), env=dict(os.environ, DISPLAY=display),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
    return proc.returncode, proc.stdout.decode("utf-8", "replace")


def visible_windows(display, name_pattern):
    """(id, name) of the visible windows whose name matches the regular
    expression."""
    status, out = xdotool(display, "search", "--onlyvisible", "--name", name_pattern)
    windows = []
    for wid in out.split() if status == 0 else []:
        status, name = xdotool(display, "getwindowname", wid)
        if status == 0:
            windows.append((wid, name.rstrip("\n")))
    return windows


def wait_for_window(display, name_pattern, proc, ignore=(), timeout=60):
    """Waits until a visible window matching `name_pattern`, other than those
    in `ignore`, shows, and returns (id, name). Fails when `proc` ends or the
    time runs out first."""
    deadline = time.monotonic() + timeout
    while True:
        windows = [w for w in visible_windows(display, name_pattern) if w[0] not in ignore]
        if windows:
            return windows[0]
        if proc.poll() is not None:
            raise AssertionError("the program ended with status %d before a window showed"
                                 % proc.returncode)
        if time.monotonic() > deadline:
            raise AssertionError("no window within %d s" % timeout)
        time.sleep(0.1)


def press(display, wid, key):
    """Gives the window the keyboard focus and presses `key` there."""
    xdotool(display, "windowfocus", "--sync", wid)
    xdotool(display, "key", "--clearmodifiers", key)


def wait_for_exit(display, name_pattern, proc, ignore=(), timeout=60):
    """Waits for `proc` to end and returns its status. Fails when a window
    matching `name_pattern`, other than those in `ignore`, shows meanwhile (a
    box nobody expected) or the time runs out."""
    deadline = time.monotonic() + timeout
    while proc.poll() is None:
        windows = [w for w in visible_windows(display, name_pattern) if w[0] not in ignore]
        if windows:
            raise AssertionError("unexpected window %r" % windows[0][1])
        if time.monotonic() > deadline:
            raise AssertionError("the program did not end within %d s" % timeout)
        time.sleep(0.1)
    return proc.returncode
