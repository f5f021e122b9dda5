#!/usr/bin/env python3
"""Throughput and memory of crv against its floors, measured in one run.

Writes a text with CR LF line ends about every 40 bytes (and the same lines
with LF), then times, in shuffled turns, each case's fastest and median run:

  /dev/shm   cat f > g; cat f > g && rm f (the floor of an in-place rewrite);
             dd bs=128k && rm f (the same through user space, as any filter
             that reads and writes must go); crv -d; crv -c; dos2unix; unix2dos
  disk dir   cat f > g && sync g; the same && rm f (the floor of a durable
             in-place rewrite); crv -d and crv -c (their fsync included)
  disk dir   crv -d and dos2unix on a 4 KB file

Where an X display is set (DISPLAY) and crvw stands next to crv, `crvw -p- -d`
runs among the tmpfs cases, with its progress window on that display for
files that take longer than half a second (--mib 2048 on a fast machine).

and prints the ratios, crv's user and system time, its peak RSS for 1 MiB
and for the large file, and the filter kernel crv picks on this processor,
with each kernel's own time in memory (crv_filter_bench next to crv).
--baseline-crv times another build of crv in the same turns.

Where Wine is installed, the Windows build is measured too: its
crv_filter_bench.exe beside the native kernel times, and `crv.exe -d` under
Wine among the tmpfs cases (--baseline-wine-crv adds another crv.exe). The
build is --wine-build, by default build-win32 (the 32-bit programs) where
this host runs 32-bit programs, else build-win64.

    bench/bench.py [--crv build/crv] [--runs 7] [--mib 256] [--disk-dir DIR]
                   [--baseline-crv OTHER/crv] [--wine-build DIR]
                   [--baseline-wine-crv OTHER/crv.exe]
"""
import argparse
import filecmp
import os
import random
import re
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


def run(cmd, env=None):
    """Runs cmd (a list, or a shell string); returns wall seconds and rusage."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, shell=isinstance(cmd, str), env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {cmd}")
    return took, usage


class Case:
    def __init__(self, name, source, cmd, expect=None, sync_before=False, env=None):
        self.name, self.source, self.cmd, self.env = name, source, cmd, env
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
            took, usage = run(case.cmd, case.env)
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


KERNEL_LINE = re.compile(r"^\s+(\S+)\s+(?:drop CRs\s+([\d.]+) ms\s+add CRs\s+([\d.]+) ms|not run)")


def kernel_times(cmd):
    """Runs a crv_filter_bench; returns the kernel crv picks and, per kernel,
    (drop ms, add ms), or None for a kernel this processor lacks."""
    # Through a file: processes Wine starts would keep a pipe open.
    with tempfile.TemporaryFile("w+") as f:
        subprocess.run(cmd, check=True, stdout=f)
        f.seek(0)
        out = f.read()
    times = {}
    for line in out.splitlines():
        m = KERNEL_LINE.match(line)
        if m:
            times[m[1]] = (float(m[2]), float(m[3])) if m[2] else None
    return out.splitlines()[0], times


def print_kernel_times(columns, runs):
    """One line per kernel, each build's drop / add times side by side."""
    print(f"filter kernels in memory, drop CRs / add CRs (fastest of {runs}):")
    print("  " + f"{'':<12}" + "".join(f"{title:>26}" for title, _ in columns))
    for kernel in columns[0][1]:
        cells = []
        for _, times in columns:
            t = times.get(kernel)
            cells.append(f"{t[0]:9.1f} / {t[1]:6.1f} ms" if t else "not run")
        print(f"  {kernel:<12}" + "".join(f"{c:>26}" for c in cells))


class Wine:
    """A Windows build run under Wine in a private prefix, whose server stays
    up while the benchmark runs."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        with open(os.path.join(self.build, "crv.exe"), "rb") as f:
            head = f.read(1024)
        machine = int.from_bytes(head[int.from_bytes(head[60:64], "little") + 4:][:2], "little")
        self.arch = {0x14C: "i686", 0x8664: "x86_64"}[machine]
        # Debian's `wine` takes the 32-bit loader when wine32 is installed.
        self.loader = "/usr/lib/wine/wine64" if self.arch == "x86_64" else "wine"
        self.prefix = tempfile.mkdtemp(prefix="crv_bench_wine_")
        os.environ.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                          WINEARCH="win64" if self.arch == "x86_64" else "win32")
        os.environ.pop("DISPLAY", None)
        subprocess.run([self.loader, "wineboot", "--init"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], check=True)
        subprocess.run(["wineserver", "-p"], check=True)

    def cmd(self, exe, *args):
        return [self.loader, exe] + [("Z:" + a.replace("/", "\\")) if a.startswith("/") else a
                                     for a in args]

    def close(self):
        subprocess.run(["wineserver", "-k"])
        shutil.rmtree(self.prefix, ignore_errors=True)


def default_wine_build():
    """The Windows build to run under Wine, or None without Wine."""
    if not shutil.which("wine"):
        return None
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    runs_i386 = subprocess.run([os.path.join(top, "scripts", "host-runs-i386.sh")]).returncode == 0
    for build in (["build-win32"] if runs_i386 else []) + ["build-win64"]:
        if os.path.exists(os.path.join(top, build, "crv.exe")):
            return os.path.join(top, build)
    return None


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
    ap.add_argument("--wine-build", help="a Windows build folder to run under Wine")
    ap.add_argument("--baseline-wine-crv", help="another crv.exe, timed under Wine in the same turns")
    args = ap.parse_args()
    crv = os.path.abspath(args.crv)
    base_crv = os.path.abspath(args.baseline_crv) if args.baseline_crv else None
    rng = random.Random()
    size = args.mib << 20
    shm = tempfile.mkdtemp(prefix="crv_bench_", dir="/dev/shm")
    disk = tempfile.mkdtemp(prefix="crv_bench_", dir=args.disk_dir)
    fstype = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,OPTIONS", "-T", disk],
                            capture_output=True, text=True).stdout.strip() or "?"
    wine_build = args.wine_build or default_wine_build()
    # Taken before Wine's set-up, which clears DISPLAY for its own runs.
    display = os.environ.get("DISPLAY")
    crvw = os.path.join(os.path.dirname(crv), "crvw")
    wine = None
    try:
        print(f"{args.mib} MiB of text, CR LF about every 40 bytes; {args.runs} runs per case in"
              f" shuffled turns; load average {os.getloadavg()[0]:.2f} at start, {os.cpu_count()} CPUs")
        benches = []
        bench = os.path.join(os.path.dirname(crv), "crv_filter_bench")
        if os.path.exists(bench):
            benches.append(("native", [bench, str(args.mib), "5"]))
        if wine_build:
            wine = Wine(wine_build)
            print(f"Wine: the {wine.arch} Windows build in {wine.build}")
            benches.append((f"Wine, {wine.arch}",
                            wine.cmd(os.path.join(wine.build, "crv_filter_bench.exe"), str(args.mib), "5")))
        # The builds take turns, three times, and each kernel's fastest counts:
        # one build's run alone would meet a passing load on a shared machine.
        columns, picks = {title: {} for title, _ in benches}, {}
        turns = 3 if len(benches) > 1 else 1
        for _ in range(turns):
            for title, cmd in benches:
                picks[title], times = kernel_times(cmd)
                for kernel, t in times.items():
                    old = columns[title].get(kernel, t)
                    columns[title][kernel] = t and (min(t[0], old[0]), min(t[1], old[1]))
        for title, line in picks.items():
            print(f"{title}: {line}")
        if benches:
            print_kernel_times(list(columns.items()), 5 * turns)
        if wine and times.get("portable"):
            native, times = columns.get("native", {}), columns[benches[-1][0]]
            ran = {k: t for k, t in times.items() if t}
            best = min(ran, key=lambda k: sum(ran[k]))
            print(f"  under Wine: {best} {sum(times['portable']) / sum(ran[best]):.1f} times as fast as"
                  f" portable (target >= 5)", end="")
            if native.get("sse2") and times.get("sse2"):
                print(f"; sse2 {sum(times['sse2']) / sum(native['sse2']):.2f} times native sse2"
                      f" (target <= 1.5)", end="")
            print()

        dos, unix = os.path.join(shm, "dos.txt"), os.path.join(shm, "unix.txt")
        target, out = os.path.join(shm, "f.txt"), os.path.join(shm, "g.txt")
        make_texts(dos, unix, size)
        cases = [
            Case("cat", dos, f"cat '{target}' > '{out}'"),
            Case("cat + rm", dos, f"cat '{target}' > '{out}' && rm '{target}'"),
            Case("dd + rm", dos, f"dd if='{target}' of='{out}' bs=128k status=none && rm '{target}'"),
            Case("crv -d", dos, [crv, "-d", target], unix),
            Case("crv -c", unix, [crv, "-c", target], dos),
        ]
        # The other tool is compared where it is installed (Debian: dos2unix).
        others = bool(shutil.which("dos2unix"))
        if others:
            cases += [Case("dos2unix", dos, ["dos2unix", "-q", target], unix),
                      Case("unix2dos", unix, ["unix2dos", "-q", target], dos)]
        if display and os.path.exists(crvw):
            cases.append(Case("crvw -p- -d", dos, [crvw, "-p-", "-d", target], unix,
                              env=dict(os.environ, DISPLAY=display)))
        if base_crv:
            cases += [Case("baseline crv -d", dos, [base_crv, "-d", target], unix),
                      Case("baseline crv -c", unix, [base_crv, "-c", target], dos)]
        if wine:
            cases.append(Case("Wine crv.exe -d", dos,
                              wine.cmd(os.path.join(wine.build, "crv.exe"), "-d", target), unix))
            if args.baseline_wine_crv:
                cases.append(Case("Wine baseline crv.exe -d", dos,
                                  wine.cmd(os.path.abspath(args.baseline_wine_crv), "-d", target), unix))
        t = report("tmpfs (/dev/shm):", time_cases(cases, args.runs, target, out, rng),
                   "cat")
        if wine:
            print(f"  Wine crv.exe -d / crv -d {t['Wine crv.exe -d'] / t['crv -d']:.2f}", end="")
            if args.baseline_wine_crv:
                print(f", Wine baseline crv.exe -d - Wine crv.exe -d"
                      f" {(t['Wine baseline crv.exe -d'] - t['Wine crv.exe -d']) * 1000:.1f} ms", end="")
            print()
        if "crvw -p- -d" in t:
            print(f"  crvw -p- -d / crv -d {t['crvw -p- -d'] / t['crv -d']:.3f} (target <= 1.02)")
        print(f"  crv -d / cat {t['crv -d'] / t['cat']:.2f} (target <= 1.3),"
              f" crv -c / cat {t['crv -c'] / t['cat']:.2f} (target <= 1.4)")
        print(f"  crv -d / (dd + rm) {t['crv -d'] / t['dd + rm']:.2f},"
              f" crv -c / (dd + rm) {t['crv -c'] / t['dd + rm']:.2f}")
        if others:
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
            Case("crv -c", dunix, [crv, "-c", dtarget], ddos, sync_before=True),
        ]
        if base_crv:
            cases += [Case("baseline crv -d", ddos, [base_crv, "-d", dtarget], dunix, sync_before=True),
                      Case("baseline crv -c", dunix, [base_crv, "-c", dtarget], ddos, sync_before=True)]
        t = report(f"disk ({disk}, {fstype}):",
                   time_cases(cases, args.runs, dtarget, dout, rng), "cat + sync")
        print(f"  crv -d / (cat + sync) {t['crv -d'] / t['cat + sync']:.2f} (target <= 1.1),"
              f" crv -d / (cat + sync + rm) {t['crv -d'] / t['cat + sync + rm']:.2f}")

        make_texts(ddos, dunix, 4096)
        cases = [Case("crv -d", ddos, [crv, "-d", dtarget], dunix)]
        if others:
            cases.append(Case("dos2unix", ddos, ["dos2unix", "-q", dtarget], dunix))
        if base_crv:
            cases.append(Case("baseline crv -d", ddos, [base_crv, "-d", dtarget], dunix))
        report(f"4 KB file on disk ({fstype}), {10 * args.runs} runs:",
               time_cases(cases, 10 * args.runs, dtarget, dout, rng), "crv -d")
    finally:
        shutil.rmtree(shm)
        shutil.rmtree(disk)
        if wine:
            wine.close()


if __name__ == "__main__":
    main()
