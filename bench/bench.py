#!/usr/bin/env python3
"""Throughput and memory of crv against its floors, measured in one run.

Writes a text with CR LF line ends about every 40 bytes (and the same lines
with LF), then times, in shuffled turns, each case's fastest and median run:

  /dev/shm   cat f > g; cat f > g && rm f (the floor of an in-place rewrite);
             dd bs=128k && rm f (the same through user space, as any filter
             that reads and writes must go); crv -d; crv -c; dos2unix; unix2dos
  disk dir   cat f > g && sync g; the same && rm f (the floor of a durable
             in-place rewrite); crv -d (its fsync included)
  disk dir   crv -d and dos2unix on a 4 KB file

and prints the ratios, crv's user and system time, its peak RSS for 1 MiB
and for the large file, and the filter kernel crv picks on this processor,
with each kernel's own time in memory (crv_filter_bench next to crv).
--baseline-crv times another build of crv in the same turns.

    bench/bench.py [--crv build/crv] [--runs 7] [--mib 256] [--disk-dir DIR]
                   [--baseline-crv OTHER/crv]
"""
import argparse
import filecmp
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time


def make_texts(dos_path, unix_path, size):
    """Writes the same lines with CR LF and with LF line ends, about `size`
    bytes of them."""
    rng = random.Random(1)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta"]
    lines = [b" ".join(rng.choice(words) for _ in range(rng.randint(3, 7)))
             for _ in range(4096)]
    while len(lines) > 1 and sum(len(line) + 2 for line in lines) > size:
        lines = lines[:len(lines) // 2] if len(lines) > 64 else lines[:-1]
    dos = b"\r\n".join(lines) + b"\r\n"
    unix = b"\n".join(lines) + b"\n"
    count = max(1, size // len(dos))
    for path, chunk in ((dos_path, dos), (unix_path, unix)):
        with open(path, "wb") as f:
            for _ in range(count):
                f.write(chunk)


def run(cmd):
    """Runs cmd (a list, or a shell string); returns wall seconds and rusage."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, shell=isinstance(cmd, str))
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {cmd}")
    return took, usage


class Case:
    def __init__(self, name, source, cmd, expect=None, sync_before=False):
        self.name, self.source, self.cmd = name, source, cmd
        self.expect, self.sync_before = expect, sync_before
        self.times, self.user, self.system = [], [], []


def time_cases(cases, runs, target, out, rng):
    """Each case starts from the same state: a fresh copy of its input under
    `target`, no `out`, and, for disk cases, nothing left to write back."""
    for _ in range(runs):
        rng.shuffle(cases)
        for case in cases:
            shutil.copyfile(case.source, target)
            if os.path.exists(out):
                os.remove(out)
            if case.sync_before:
                os.sync()
            took, usage = run(case.cmd)
            case.times.append(took)
            case.user.append(usage.ru_utime)
            case.system.append(usage.ru_stime)
            if case.expect:
                assert filecmp.cmp(target, case.expect, shallow=False), f"{case.name}: wrong bytes"
    return cases


def report(title, cases, base_name):
    by_name = {c.name: c for c in cases}
    base = min(by_name[base_name].times)
    print(title)
    for c in sorted(cases, key=lambda c: min(c.times)):
        fastest, median = min(c.times), statistics.median(c.times)
        line = (f"  {c.name:<22} fastest {fastest * 1000:8.1f} ms  median {median * 1000:8.1f} ms"
                f"  {fastest / base:6.2f}x {base_name}")
        if c.name.startswith("crv"):
            line += (f"  (user {statistics.median(c.user) * 1000:.0f} ms,"
                     f" system {statistics.median(c.system) * 1000:.0f} ms, medians)")
        print(line)
    return {c.name: min(c.times) for c in cases}


def peak_rss_kib(crv, path):
    # GNU time, a small process, starts crv: a child forked from Python would
    # count Python's own pages in its peak.
    out = subprocess.run(["/usr/bin/time", "-f", "%M", crv, "-d", path],
                         stderr=subprocess.PIPE, check=True).stderr
    return int(out.decode().strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--crv", default="build/crv")
    ap.add_argument("--baseline-crv", help="another crv build, timed in the same turns")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--disk-dir", default="/var/tmp", help="a directory on a disk file system")
    args = ap.parse_args()
    crv = os.path.abspath(args.crv)
    base_crv = os.path.abspath(args.baseline_crv) if args.baseline_crv else None
    rng = random.Random()
    size = args.mib << 20
    shm = tempfile.mkdtemp(prefix="crv_bench_", dir="/dev/shm")
    disk = tempfile.mkdtemp(prefix="crv_bench_", dir=args.disk_dir)
    fstype = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,OPTIONS", "-T", disk],
                            capture_output=True, text=True).stdout.strip() or "?"
    try:
        print(f"{args.mib} MiB of text, CR LF about every 40 bytes; {args.runs} runs per case in"
              f" shuffled turns; load average {os.getloadavg()[0]:.2f} at start, {os.cpu_count()} CPUs")
        bench = os.path.join(os.path.dirname(crv), "crv_filter_bench")
        if os.path.exists(bench):
            subprocess.run([bench, str(args.mib), "5"], check=True)

        dos, unix = os.path.join(shm, "dos.txt"), os.path.join(shm, "unix.txt")
        target, out = os.path.join(shm, "f.txt"), os.path.join(shm, "g.txt")
        make_texts(dos, unix, size)
        cases = [
            Case("cat", dos, f"cat '{target}' > '{out}'"),
            Case("cat + rm", dos, f"cat '{target}' > '{out}' && rm '{target}'"),
            Case("dd + rm", dos, f"dd if='{target}' of='{out}' bs=128k status=none && rm '{target}'"),
            Case("crv -d", dos, [crv, "-d", target], unix),
            Case("crv -c", unix, [crv, "-c", target], dos),
            Case("dos2unix", dos, ["dos2unix", "-q", target], unix),
            Case("unix2dos", unix, ["unix2dos", "-q", target], dos),
        ]
        if base_crv:
            cases += [Case("baseline crv -d", dos, [base_crv, "-d", target], unix),
                      Case("baseline crv -c", unix, [base_crv, "-c", target], dos)]
        t = report("tmpfs (/dev/shm):", time_cases(cases, args.runs, target, out, rng),
                   "cat")
        print(f"  crv -d / cat {t['crv -d'] / t['cat']:.2f} (target <= 1.3),"
              f" crv -c / cat {t['crv -c'] / t['cat']:.2f} (target <= 1.4)")
        print(f"  crv -d / (dd + rm) {t['crv -d'] / t['dd + rm']:.2f},"
              f" crv -c / (dd + rm) {t['crv -c'] / t['dd + rm']:.2f}")
        print(f"  dos2unix / crv -d {t['dos2unix'] / t['crv -d']:.1f},"
              f" unix2dos / crv -c {t['unix2dos'] / t['crv -c']:.1f} (target >= 10)")

        small = os.path.join(shm, "small.txt")
        make_texts(small, os.path.join(shm, "small-unix.txt"), 1 << 20)
        shutil.copyfile(dos, target)
        print(f"  peak RSS of crv -d: {peak_rss_kib(crv, small)} KiB for 1 MiB,"
              f" {peak_rss_kib(crv, target)} KiB for {args.mib} MiB (target <= 2048, the same)")
        for name in os.listdir(shm):
            os.remove(os.path.join(shm, name))

        ddos, dunix = os.path.join(disk, "dos.txt"), os.path.join(disk, "unix.txt")
        dtarget, dout = os.path.join(disk, "f.txt"), os.path.join(disk, "g.txt")
        make_texts(ddos, dunix, size)
        cases = [
            Case("cat + sync", ddos, f"cat '{dtarget}' > '{dout}' && sync '{dout}'", sync_before=True),
            Case("cat + sync + rm", ddos, f"cat '{dtarget}' > '{dout}' && sync '{dout}' && rm '{dtarget}'",
                 sync_before=True),
            Case("crv -d", ddos, [crv, "-d", dtarget], dunix, sync_before=True),
        ]
        if base_crv:
            cases.append(Case("baseline crv -d", ddos, [base_crv, "-d", dtarget], dunix,
                              sync_before=True))
        t = report(f"disk ({disk}, {fstype}):",
                   time_cases(cases, args.runs, dtarget, dout, rng), "cat + sync")
        print(f"  crv -d / (cat + sync) {t['crv -d'] / t['cat + sync']:.2f} (target <= 1.1),"
              f" crv -d / (cat + sync + rm) {t['crv -d'] / t['cat + sync + rm']:.2f}")

        make_texts(ddos, dunix, 4096)
        cases = [Case("crv -d", ddos, [crv, "-d", dtarget], dunix),
                 Case("dos2unix", ddos, ["dos2unix", "-q", dtarget], dunix)]
        if base_crv:
            cases.append(Case("baseline crv -d", ddos, [base_crv, "-d", dtarget], dunix))
        report(f"4 KB file on disk ({fstype}), {10 * args.runs} runs:",
               time_cases(cases, 10 * args.runs, dtarget, dout, rng), "crv -d")
    finally:
        shutil.rmtree(shm)
        shutil.rmtree(disk)


if __name__ == "__main__":
    main()
