#!/usr/bin/env python3
"""Runs on many files at once: `xargs -P` over a folder of files, one crv run
per file, for each program given, in shuffled turns; prints each program's
fastest time and its ratio to the first (the baseline).

    bench/parallel_runs.py --crv OLD_CRV --crv build/crv [--files 400] [--jobs 4]

The runs of one turn share one folder, as `find . -name '*.txt' | xargs -P`
would: they must not wait for each other there.
"""
import argparse
import os
import random
import shutil
import subprocess
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--crv", action="append", required=True,
                        help="a program to time; the first is the baseline")
    parser.add_argument("--files", type=int, default=400)
    parser.add_argument("--size", type=int, default=64 * 1024, help="bytes per file")
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--turns", type=int, default=5)
    opts = parser.parse_args()
    text = b"".join(b"line %d of a file\r\n" % i for i in range(opts.size // 20))
    best = {crv: float("inf") for crv in opts.crv}
    work = tempfile.mkdtemp(prefix="crv-parallel-")
    try:
        for _ in range(opts.turns):
            order = list(opts.crv)
            random.shuffle(order)
            for crv in order:
                folder = os.path.join(work, "d")
                shutil.rmtree(folder, ignore_errors=True)
                os.mkdir(folder)
                names = ["f%04d.txt" % i for i in range(opts.files)]
                for name in names:
                    with open(os.path.join(folder, name), "wb") as f:
                        f.write(text)
                start = time.perf_counter()
                subprocess.run(["xargs", "-0", "-n", "1", "-P", str(opts.jobs),
                                os.path.abspath(crv), "-d"], cwd=folder, check=True,
                               input=b"\0".join(n.encode() for n in names))
                best[crv] = min(best[crv], time.perf_counter() - start)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    base = best[opts.crv[0]]
    print("%d files of %d KiB, xargs -P %d, fastest of %d turns" % (
        opts.files, opts.size // 1024, opts.jobs, opts.turns))
    for crv in opts.crv:
        print("  %-40s %7.3f s  %5.2fx the baseline" % (crv, best[crv], best[crv] / base))


if __name__ == "__main__":
    main()
