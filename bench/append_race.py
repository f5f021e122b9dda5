#!/usr/bin/env python3
"""crv.exe against a program appending to the same file by its name, under
Wine: one cmd loop appends numbered lines with `echo >>` (which creates the
file when the name is missing), another runs crv.exe -d and -c in turn until
it has made --runs runs. Counts the runs' backups left behind, the runs that
failed, the appends that cmd reported failed, and the lines lost (appended
without an error and found in no file). Run on demand, to measure; it checks
nothing by itself.

    bench/append_race.py --exe build-win64/crv.exe [--runs 300]   (WINEPREFIX set)

Measured with 300 runs, where each run converts the file (doc/development.md).
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import winetools  # noqa: E402

APPEND = r"""@echo off
set n=0
:loop
if exist done.flag goto end
set /a n+=1
echo L%n%>>f.txt
goto loop
:end
echo %n%>count.txt
"""

CONVERT = r"""@echo off
for /L %%i in (1,1,{runs}) do (
  "{exe}" -d f.txt >>crv.log
  "{exe}" -c f.txt >>crv.log
)
echo.>done.flag
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="crv.exe")
    parser.add_argument("--runs", type=int, default=300, help="runs of crv.exe (pairs of -d, -c)")
    args = parser.parse_args()
    exe = winetools.windows_path(args.exe)
    env = winetools.wine_env(DISPLAY=None)
    with tempfile.TemporaryDirectory(prefix="crv_race_") as work:
        def write(name, text):
            with open(os.path.join(work, name), "w", newline="\r\n") as f:
                f.write(text)
        write("f.txt", "start\n")
        write("append.bat", APPEND)
        write("convert.bat", CONVERT.format(runs=args.runs // 2, exe=exe))
        logs = [open(os.path.join(work, n), "wb") for n in ("append.err", "convert.err")]
        procs = [subprocess.Popen([winetools.WINE, "cmd", "/c", bat], cwd=work, env=env,
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
                 for bat, log in zip(("append.bat", "convert.bat"), logs)]
        for proc in procs:
            proc.wait(timeout=3600)
        for log in logs:
            log.close()

        def read(name):
            with open(os.path.join(work, name), "rb") as f:
                return f.read()
        appended = int(read("count.txt").split()[0])
        append_errors = len([l for l in read("append.err").splitlines() if l.strip()])
        failed_runs = read("crv.log").count(b"convert failed")
        leftovers = sorted(glob.glob(os.path.join(work, "f.txt.crv#*")))
        found = set()
        for path in [os.path.join(work, "f.txt")] + leftovers:
            if os.path.isfile(path):
                found |= set(re.findall(rb"^L(\d+)\r?$", read(os.path.basename(path)), re.M))
        lost = appended - append_errors - len(found)
        print("runs %d, failed %d; appends %d, reported failed %d, found %d, lost %d; "
              "backups left: %d %s" % (args.runs, failed_runs, appended, append_errors, len(found),
                                       lost, len(leftovers),
                                       [os.path.basename(p) for p in leftovers]))


if __name__ == "__main__":
    main()
