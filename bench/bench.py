#!/usr/bin/env python3
"""Throughput and memory of crv against cat, measured in one run.

Generates a 256 MiB text with CR LF line ends every ~40 bytes on /dev/shm,
then prints the median wall time of
  - crv -d on a fresh copy of the CR LF text,
  - crv -c on a fresh copy of the LF text,
  - cat f > g on the same CR LF text,
their ratios to cat, and the peak RSS (GNU time) of crv -d on a 1 MiB and a
256 MiB file.

    bench/bench.py [--crv build/crv] [--runs 7] [--mib 256]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time


def make_texts(dos_path, unix_path, mib):
    """Writes the same lines with CR LF and with LF line ends."""
    rng = random.Random(1)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta"]
    lines = [b" ".join(rng.choice(words) for _ in range(rng.randint(3, 7)))
             for _ in range(4096)]
    dos = b"\r\n".join(lines) + b"\r\n"
    unix = b"\n".join(lines) + b"\n"
    count = ((mib << 20) + len(dos) - 1) // len(dos)
    for path, chunk in ((dos_path, dos), (unix_path, unix)):
        if path:
            with open(path, "wb") as f:
                for _ in range(count):
                    f.write(chunk)


def timed(cmd, shell=False):
    start = time.perf_counter()
    subprocess.run(cmd, shell=shell, check=True)
    return time.perf_counter() - start


def peak_rss_kib(crv, path):
    out = subprocess.run(["/usr/bin/time", "-f", "%M", crv, "-d", path],
                         stderr=subprocess.PIPE, check=True).stderr
    return int(out.decode().strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--crv", default="build/crv")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--mib", type=int, default=256)
    args = ap.parse_args()
    crv = os.path.abspath(args.crv)
    work = tempfile.mkdtemp(prefix="crv_bench_", dir="/dev/shm")
    try:
        dos, unix = os.path.join(work, "dos.txt"), os.path.join(work, "unix.txt")
        target, out = os.path.join(work, "target.txt"), os.path.join(work, "out.txt")
        make_texts(dos, unix, args.mib)

        # Every timed command starts from the same state: a freshly written
        # input file and no output file. The three commands take turns, so
        # that a disturbance on the machine falls on all of them alike.
        commands = {
            "cat": (dos, f"cat '{target}' > '{out}'", True),
            "crv -d": (dos, [crv, "-d", target], False),
            "crv -c": (unix, [crv, "-c", target], False),
        }
        times = {name: [] for name in commands}
        for _ in range(args.runs):
            for name, (src, cmd, shell) in commands.items():
                shutil.copyfile(src, target)
                if os.path.exists(out):
                    os.remove(out)
                times[name].append(timed(cmd, shell))
                if name != "cat":
                    expected = unix if name == "crv -d" else dos
                    with open(target, "rb") as f, open(expected, "rb") as g:
                        assert f.read() == g.read(), f"{name} gave wrong bytes"
        t_cat, t_d, t_c = (statistics.median(times[n]) for n in ("cat", "crv -d", "crv -c"))

        print(f"{args.mib} MiB, median of {args.runs} runs")
        print(f"  cat f > g : {t_cat * 1000:8.1f} ms")
        print(f"  crv -d    : {t_d * 1000:8.1f} ms  ratio {t_d / t_cat:.2f}x cat (target <= 1.3)")
        print(f"  crv -c    : {t_c * 1000:8.1f} ms  ratio {t_c / t_cat:.2f}x cat (target <= 1.6)")

        small = os.path.join(work, "small.txt")
        make_texts(small, None, 1)
        shutil.copyfile(dos, target)
        rss_small, rss_big = peak_rss_kib(crv, small), peak_rss_kib(crv, target)
        print(f"  peak RSS  : {rss_small} KiB for 1 MiB, {rss_big} KiB for {args.mib} MiB"
              f" (target <= 2048 KiB, same for both)")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
