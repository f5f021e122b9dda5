#!/usr/bin/env python3
"""Converts every regular file under a tree (by default /usr/include) with
crv and with unix2dos/dos2unix (Debian: dos2unix), and reports the files
whose bytes differ: text that nobody here wrote, converted both ways.

Each file, copied to a temporary folder, goes through crv -c and unix2dos,
then their outputs through crv -d and dos2unix. The others skip a file they
take for binary and leave it as it is; crv leaves a file that is not text as
it is too (it fails where it would change it). Both keep a UTF-8 byte-order
mark (dos2unix -k).

    bench/compare_dos2unix.py [--crv build/crv] [--tree /usr/include]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def files_under(tree):
    for folder, _, names in os.walk(tree):
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                yield path


def convert_all(tool, paths):
    """Runs `tool` (unix2dos or dos2unix) on the paths, many per run."""
    for i in range(0, len(paths), 500):
        subprocess.run([tool, "-q", "-k"] + paths[i:i + 500], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--crv", default="build/crv")
    ap.add_argument("--tree", default="/usr/include")
    args = ap.parse_args()
    crv = os.path.abspath(args.crv)
    sources = list(files_under(args.tree))
    work = tempfile.mkdtemp(prefix="crv_compare_", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        ours = [os.path.join(work, f"{i}.crv") for i in range(len(sources))]
        theirs = [os.path.join(work, f"{i}.other") for i in range(len(sources))]
        for src, a, b in zip(sources, ours, theirs):
            shutil.copyfile(src, a)
            shutil.copyfile(src, b)
        differ, refused, changed = [], 0, {"-c": 0, "-d": 0}
        for option, tool in (("-c", "unix2dos"), ("-d", "dos2unix")):
            for path in ours:
                refused += subprocess.run([crv, option, path], stdout=subprocess.DEVNULL).returncode != 0
            convert_all(tool, theirs)
            for src, a, b in zip(sources, ours, theirs):
                with open(a, "rb") as fa, open(b, "rb") as fb, open(src, "rb") as fs:
                    out = fa.read()
                    if out != fb.read():
                        differ.append((option, src))
                    changed[option] += out != fs.read()
        print(f"{len(sources)} files under {args.tree}, converted with crv -c then -d and with "
              f"unix2dos then dos2unix: {len(differ)} differ; crv refused {refused} runs "
              f"(files that are not text); {changed['-c']} files changed by -c, "
              f"{changed['-d']} differ from the original after -d")
        for option, src in differ:
            print(f"  differs after crv {option}: {src}")
        return 1 if differ else 0
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
