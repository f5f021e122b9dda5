#!/usr/bin/env python3
"""What a run costs when it has little or nothing to convert, against
baselines measured in the same run:

  many files   a tree of small files (--files, in folders of 100, 0.2 to 8
               KB of text each), each converted by a run of its own from a
               shell loop: crv -d against dos2unix -q (where installed),
               once on files that need converting (CR LF) and once on files
               already in form (LF), on tmpfs (/dev/shm) and in --disk-dir;
               on tmpfs also `true` in the same loop, the floor of starting
               one process per file (one linked dynamically, as dos2unix is;
               crv is static); and the packaged crv (--packaged, by
               default /usr/bin/crv where a Debian package installed it)
               beside the build under test, with both per-file costs and
               dos2unix's side by side
  large file   one file already in form (--mib, LF), warm in the page cache:
               crv -d against cat file > /dev/null

Each case's fastest of --runs (median beside it), in shuffled turns, and
the ratios. Each tree run starts from a freshly written tree (on disk,
synced before the clock starts) and checks every file's bytes afterwards.
--baseline-crv times another build of crv in the same turns.

    bench/many_files.py [--crv build/crv] [--baseline-crv OTHER/crv]
                        [--packaged /usr/bin/crv]
                        [--files 10000] [--mib 1024] [--runs 3]
                        [--disk-dir /var/tmp]

One run of a tree case starts --files processes; with the defaults and a
few ms per process start this takes several minutes, fewer files and
a smaller file take less.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time

from bench import make_texts, run

# Runs `$1 $2... FILE` for each file named on standard input, stopping at
# the first failure; the program's own standard input is empty.
LOOP = 'tool=$1; shift; while IFS= read -r f; do "$tool" "$@" "$f" </dev/null || exit 1; done'


def tree_texts(count):
    """The files' relative names and their texts with CR LF and with LF line
    ends: lines of 10 to 70 bytes, 3 to 120 of them to a file."""
    rng = random.Random(2)
    words = ["int", "return", "value", "the", "a", "of", "// note", "x = y;", "{", "}", "if (ok)"]
    names, dos, unix = [], [], []
    for i in range(count):
        lines = []
        for _ in range(rng.randint(3, 120)):
            line = " ".join(rng.choice(words) for _ in range(rng.randint(2, 10)))
            lines.append(line.encode())
        names.append(os.path.join(f"d{i // 100:03}", f"f{i:05}.txt"))
        dos.append(b"".join(line + b"\r\n" for line in lines))
        unix.append(b"".join(line + b"\n" for line in lines))
    return names, dos, unix


def write_tree(root, names, texts):
    for name, text in zip(names, texts):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text)


def check_tree(root, names, texts, what):
    for name, text in zip(names, texts):
        with open(os.path.join(root, name), "rb") as f:
            if f.read() != text:
                raise SystemExit(f"{what}: wrong bytes in {name}")


class Case:
    def __init__(self, name, cmd, state=None):
        self.name, self.cmd, self.state = name, cmd, state
        self.times = []


def line(name, times, base_name, base, per=None):
    fastest, median = min(times), statistics.median(times)
    text = f"  {name:<34} fastest {fastest * 1000:9.1f} ms  median {median * 1000:9.1f} ms"
    if per:
        text += f"  {fastest * 1000 / per:6.2f} ms per file"
    if base and base_name:
        text += f"  {fastest / base:6.2f}x {base_name}"
    return text


def time_tree(root, names, texts, cases, runs, disk, rng):
    """Times each case over the tree, in shuffled turns; `texts` maps a
    case's state to the texts it writes, and "in form" to those every case
    must leave."""
    listing = "".join(os.path.join(root, name) + "\n" for name in names).encode()
    for _ in range(runs):
        rng.shuffle(cases)
        for case in cases:
            write_tree(root, names, texts[case.state])
            if disk:
                os.sync()
            start = time.perf_counter()
            proc = subprocess.run(["bash", "-c", LOOP, "loop"] + case.cmd, input=listing)
            case.times.append(time.perf_counter() - start)
            if proc.returncode != 0:
                raise SystemExit(f"{case.name}: failed ({proc.returncode})")
            check_tree(root, names, texts["in form"], case.name)
    return {case.name: case.times for case in cases}


def report_tree(title, times, count, states, others, baseline, packaged):
    print(title)
    for state in states:
        base_name = f"dos2unix ({state})" if others else None
        base = min(times[base_name]) if others else None
        for name in sorted((n for n in times if n.endswith(f"({state})")), key=lambda n: min(times[n])):
            print(line(name, times[name], base_name, base, count))
        if others:
            target = " (target <= 0.5)" if state == "in form" else ""
            print(f"    crv -d / dos2unix, {state}: {min(times[f'crv -d ({state})']) / base:.2f}{target}")
        if baseline:
            ratio = min(times[f"crv -d ({state})"]) / min(times[f"baseline crv -d ({state})"])
            target = " (target <= 1)" if state == "needs converting" else ""
            print(f"    crv -d / baseline crv -d, {state}: {ratio:.2f}{target}")
        if packaged:
            names = ["packaged crv -d", "crv -d"] + (["dos2unix"] if others else [])
            per_file = {name: min(times[f"{name} ({state})"]) * 1000 / count for name in names}
            print(f"    per file, {state}: "
                  + ", ".join(f"{name} {ms:.2f} ms" for name, ms in per_file.items()))
            print(f"    packaged / crv -d, {state}: {per_file['packaged crv -d'] / per_file['crv -d']:.2f}"
                  " (target <= 1.1)")
            if others:
                print(f"    packaged / dos2unix, {state}:"
                      f" {per_file['packaged crv -d'] / per_file['dos2unix']:.2f} (target < 1)")
    print(f"    crv -d, in form / needs converting:"
          f" {min(times['crv -d (in form)']) / min(times['crv -d (needs converting)']):.2f}")


def time_large(path, cases, runs, rng):
    """Times each case on the one file, in shuffled turns, warm."""
    subprocess.run(f"cat '{path}' > /dev/null", shell=True, check=True)
    size = os.path.getsize(path)
    for _ in range(runs):
        rng.shuffle(cases)
        for case in cases:
            took, _ = run(case.cmd)
            case.times.append(took)
            if os.path.getsize(path) != size:
                raise SystemExit(f"{case.name}: the file in form changed size")
    return {case.name: case.times for case in cases}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--crv", default="build/crv")
    ap.add_argument("--baseline-crv", help="another crv build, timed in the same turns")
    ap.add_argument("--packaged", help="the packaged crv, timed in the same turns (default:"
                    " /usr/bin/crv where dpkg lists it; 'none' for none)")
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--mib", type=int, default=1024, help="the large file's size")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--disk-dir", default="/var/tmp", help="a directory on a disk file system")
    args = ap.parse_args()
    crv = os.path.abspath(args.crv)
    base_crv = os.path.abspath(args.baseline_crv) if args.baseline_crv else None
    packaged = args.packaged
    if packaged is None and shutil.which("dpkg") and subprocess.run(
            ["dpkg", "-S", "/usr/bin/crv"], capture_output=True).returncode == 0:
        packaged = "/usr/bin/crv"
    if packaged == "none":
        packaged = None
    others = bool(shutil.which("dos2unix"))
    rng = random.Random()
    shm = tempfile.mkdtemp(prefix="crv_bench_files_", dir="/dev/shm")
    disk = tempfile.mkdtemp(prefix="crv_bench_files_", dir=args.disk_dir)
    fstype = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", disk],
                            capture_output=True, text=True).stdout.strip() or "?"
    try:
        names, dos, unix = tree_texts(args.files)
        texts = {"needs converting": dos, "in form": unix}
        states = list(texts)
        tools = [("crv -d", [crv, "-d"])]
        if base_crv:
            tools.append(("baseline crv -d", [base_crv, "-d"]))
        if packaged:
            tools.append(("packaged crv -d", [packaged, "-d"]))
        if others:
            tools.append(("dos2unix", ["dos2unix", "-q"]))
        print(f"{args.files} files of {sum(map(len, unix)) / args.files / 1024:.1f} KiB on average"
              f" (LF), one run per file from a shell loop; {args.runs} runs per case in shuffled turns;"
              f" load average {os.getloadavg()[0]:.2f} at start, {os.cpu_count()} CPUs")
        if not others:
            print("  dos2unix is not installed: crv is timed alone")
        # The trees' loops start a process per file, which dominates.
        took, _ = run(f"for i in $(seq 50); do '{shutil.which('true')}'; done")
        loops = args.runs * (2 * len(tools) * len(states) + 1)
        print(f"  a process start takes {took / 50 * 1000:.1f} ms here: at least"
              f" {took / 50 * args.files * loops:.0f} s for the trees")
        for title, root, on_disk in (("tmpfs (/dev/shm):", shm, False),
                                     (f"disk ({disk}, {fstype}):", disk, True)):
            cases = [Case(f"{tool} ({state})", cmd, state) for tool, cmd in tools for state in states]
            if not on_disk:
                # A program, not the shell's builtin.
                cases.append(Case("true, the floor (in form)", [shutil.which("true")], "in form"))
            times = time_tree(root, names, texts, cases, args.runs, on_disk, rng)
            report_tree(title, times, args.files, states, others, base_crv, packaged)
            shutil.rmtree(root)
            os.mkdir(root)

        big = os.path.join(disk, "large.txt")
        make_texts(os.devnull, big, args.mib << 20)
        os.sync()
        cases = [Case("cat > /dev/null", f"cat '{big}' > /dev/null"), Case("crv -d", [crv, "-d", big])]
        if base_crv:
            cases.append(Case("baseline crv -d", [base_crv, "-d", big]))
        times = time_large(big, cases, args.runs, rng)
        print(f"{os.path.getsize(big) >> 20} MiB file already in form (LF), warm, on disk ({fstype}),"
              f" {args.runs} runs:")
        base = min(times["cat > /dev/null"])
        for name in sorted(times, key=lambda n: min(times[n])):
            print(line(name, times[name], "cat", base))
        print(f"    crv -d / cat: {min(times['crv -d']) / base:.2f} (target <= 1.5)")
    finally:
        shutil.rmtree(shm, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)


if __name__ == "__main__":
    main()
