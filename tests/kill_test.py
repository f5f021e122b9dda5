#!/usr/bin/env python3
"""Kills crv with SIGKILL at several moments while it converts a large file
and checks that the bytes survive: the file's name holds the whole original
or the complete conversion at every kill, a backup left behind holds the
original, and a later run converts what the name holds.

Each run starts crv, polls until the backup appears (a second name of the
original, made just before the copy begins), waits a fraction of a clean
run's duration and kills.

    kill_test.py --crv build/crv [--mib 64]
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from common import convert

NAME = "big.txt"
# Moments of the kill after the backup appeared, as fractions of the time a
# clean conversion takes; the last ones fall after its end.
FRACTIONS = [0, 0, 0.02, 0.05, 0.1, 0.2, 0.3, 0.45, 0.6, 0.75, 0.9, 1.0, 1.5]


def make_text(mib):
    line = b"".join(b"%c" % (33 + i % 90) for i in range(58)) + b"\r\n"
    text = line * (mib * 1024 * 1024 // len(line))
    return text + b"\r\r\nend\r"


def run_once(crv, args, original, work, delay):
    """Starts crv, kills it `delay` seconds after the backup appears (None:
    lets it finish) and returns the directory's files and the elapsed time."""
    for name in os.listdir(work):
        os.unlink(os.path.join(work, name))
    path = os.path.join(work, NAME)
    with open(path, "wb") as f:
        f.write(original)
    backup = path + ".crv#001"
    start = time.monotonic()
    proc = subprocess.Popen([crv] + args + [NAME], cwd=work, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if delay is not None:
        while not os.path.lexists(backup) and proc.poll() is None:
            pass
        if delay:
            time.sleep(delay)
        proc.send_signal(signal.SIGKILL)
    proc.communicate()
    elapsed = time.monotonic() - start
    files = {}
    for name in os.listdir(work):
        with open(os.path.join(work, name), "rb") as f:
            files[name] = f.read()
    return proc.returncode, files, elapsed


def classify(files, original, converted):
    """'before', 'during' or 'after' the conversion, or None when the name
    holds neither whole, or a backup is not the original."""
    target = files.get(NAME)
    backups = [b for n, b in files.items() if n != NAME and not n.endswith(".new")]
    # The run's own `<backup>.new`: its new file, or the original's extra
    # name just after the exchange.
    news = [b for n, b in files.items() if n.endswith(".new")]
    if len(backups) > 1 or any(b != original for b in backups) or len(news) > 1 or \
            any(not (b == original or converted.startswith(b)) for b in news):
        return None
    if target == converted:
        return "after"
    if target == original:
        return "during" if backups else "before"
    return None


def kill_round(crv, args, original, converted, work, clean_time):
    """One kill at each moment of FRACTIONS; the phase each landed in, None
    where the original bytes were lost."""
    phases = []
    for fraction in FRACTIONS:
        delay = fraction * clean_time
        _, files, _ = run_once(crv, args, original, work, delay)
        phase = classify(files, original, converted)
        if phase is None:
            print("FAIL: crv %s killed %.1f ms after the backup appeared: the name holds"
                  " neither whole, or a backup is not the original (files: %s)"
                  % (args[0], delay * 1000, {n: len(b) for n, b in files.items()}))
        elif phase == "during" and "during" not in phases:
            # Killed while copying: the next run converts the original, and
            # the leftover backup only pushes its number on.
            status = subprocess.run([crv] + args + [NAME], cwd=work,
                                    stdout=subprocess.DEVNULL).returncode
            with open(os.path.join(work, NAME), "rb") as f:
                if (status, f.read()) != (0, converted):
                    print("FAIL: crv %s after a kill while copying: status %d, the name"
                          " does not hold the conversion" % (args[0], status))
                    phase = None
        phases.append(phase)
    return phases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--crv", required=True)
    parser.add_argument("--mib", type=int, default=64)
    opts = parser.parse_args()
    crv = os.path.abspath(opts.crv)
    dos = make_text(opts.mib)
    unix = convert(dos, False)
    work = tempfile.mkdtemp(prefix="crv-kill-")
    failures = 0
    try:
        for args, original in ((["-d"], dos), (["-c"], unix)):
            converted = convert(original, "-d" not in args)
            status, files, clean_time = run_once(crv, args, original, work, None)
            if status != 0 or files != {NAME: converted}:
                print("FAIL: crv %s without a kill: status %s" % (args[0], status))
                return 1
            phases = []
            # On a busy machine the poll may miss a whole conversion; a few
            # rounds make sure some kills land inside one.
            rounds = 0
            while "during" not in phases and rounds < 3:
                rounds += 1
                phases += kill_round(crv, args, original, converted, work, clean_time)
            failures += phases.count(None)
            print("crv %s on %d MiB (clean run %.0f ms): kills landed %s"
                  % (args[0], opts.mib, clean_time * 1000,
                     ", ".join("%s %d" % (p, phases.count(p))
                               for p in ("before", "during", "after"))))
            if "during" not in phases:
                print("FAIL: no kill landed during the conversion; the test proved nothing")
                failures += 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
