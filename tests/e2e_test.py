#!/usr/bin/env python3
"""End-to-end tests of the console tool: runs the built program on temporary
files and checks the bytes on disk, the exit status and standard output.

One table serves every platform; a Platform object says how to run the
program there and what the platform's own conventions are (console line end,
text encoding, whether "/x" is always an option, what ends an answer).

    e2e_test.py --platform native --crv build/crv
    e2e_test.py --platform wine --exe build-win32/crv.exe   (WINEPREFIX set)
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine"))
import winetools  # noqa: E402

USAGE_LINES = [
    "corvane v0.01               2000.04.16 brastok",
    "-" * 56,
    "usage: crv [-d|-c] [-p] <file>",
    "  -d   delete \\r in line feed. (to unix format)",
    "  -c   add \\r in line feed. (to DOS format)  --- default",
    "  -p   message before convert",
]

DOS = b"one\r\ntwo\r\r\nthree\rfour\nlast"
UNIX = b"one\ntwo\nthree\rfour\nlast"
CRLF = b"one\r\ntwo\r\nthree\rfour\r\nlast"


class NativePlatform:
    """crv built for this machine, run directly."""

    name = "native"
    line_end = b"\n"
    encoding = "utf-8"
    slash_always_option = False
    enter = b"\n"  # what the Enter key sends
    # Signals that ask the tool to stop, as the user's interrupt does.
    interrupt_signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self, exe):
        self.exe = os.path.abspath(exe)

    def command(self, args):
        return [self.exe] + list(args)

    def run(self, args, cwd, stdin=b"", stdout=subprocess.PIPE, timeout=60):
        proc = subprocess.run(self.command(args), cwd=cwd, input=stdin,
                              stdout=stdout, stderr=subprocess.PIPE, timeout=timeout)
        return proc.returncode, proc.stdout or b"", proc.stderr

    def text(self, s):
        return s.encode(self.encoding)


class WinePlatform(NativePlatform):
    """crv.exe built for Windows, run under Wine in the WINEPREFIX of
    the environment. Wine hands the arguments over re-quoted, so only words
    without blanks or quotes go through it unchanged."""

    name = "wine"
    line_end = b"\r\n"
    encoding = "cp932"
    slash_always_option = True
    enter = b"\r\n"
    # Wine turns SIGINT into the console's Ctrl-C; a Windows program cannot
    # catch the others (they end it like TerminateProcess).
    interrupt_signals = (signal.SIGINT,)

    def command(self, args):
        return [winetools.WINE, self.exe] + list(args)

    def run(self, args, cwd, stdin=b"", stdout=subprocess.PIPE, timeout=60):
        env = dict(os.environ, WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        # Output is collected in files: a Wine background process started by
        # this run would inherit a pipe and hold it open after the run.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.command(args), cwd=cwd, input=stdin, env=env,
                                  stdout=out if stdout == subprocess.PIPE else stdout,
                                  stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()


PLATFORM = None


def usage(p):
    return p.line_end.join(p.text(l) for l in USAGE_LINES) + p.line_end


def error(p, message):
    return b"error: " + message + p.line_end


def prompt(p, name):
    return p.text("ファイル ") + name + p.text("の改行コードを正規化しまか？(y/n) : ")


class Case(unittest.TestCase):
    def setUp(self):
        self.p = PLATFORM
        self.dir = tempfile.mkdtemp(prefix="crv_e2e_")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.dir], check=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def listing(self):
        return sorted(os.listdir(self.dir))

    def run_crv(self, *args, stdin=b"", **kw):
        return self.p.run(list(args), self.dir, stdin=stdin, **kw)


class CommandLineTest(Case):
    def test_usage_cases(self):
        # Each leaves both files untouched and shows only the usage text.
        cases = [
            [],
            ["-d"],
            ["a.txt", "b.txt"],
            ["-D", "a.txt"],
            ["-", "a.txt"],
            ["-dp", "a.txt"],
            ["--d", "a.txt"],
            ["-p", "-x", "a.txt"],
            ["a.txt", "-c", "b.txt"],
        ]
        if self.p.slash_always_option:
            cases += [["/", "a.txt"], ["/tmp/a.txt"], ["/D", "a.txt"]]
        for args in cases:
            with self.subTest(args=args):
                self.put("a.txt", DOS)
                self.put("b.txt", UNIX)
                status, out, err = self.run_crv(*args)
                self.assertEqual((status, out, err), (1, usage(self.p), b""))
                self.assertEqual(self.get("a.txt"), DOS)
                self.assertEqual(self.get("b.txt"), UNIX)
                self.assertEqual(self.listing(), ["a.txt", "b.txt"])

    def test_options_choose_the_form(self):
        cases = [
            ([], DOS, CRLF),
            (["-c"], UNIX, CRLF),
            (["-d"], DOS, UNIX),
            (["-d", "-c"], DOS, CRLF),
            (["-c", "-d"], CRLF, UNIX),
            (["/d"], DOS, UNIX),
            (["/c", "/d", "/p-"], DOS, UNIX),
            (["-d", "", "-p-"], DOS, UNIX),
            (["-p", "-p-"], DOS, CRLF),
        ]
        for opts, before, after in cases:
            for where in ("before", "after"):
                with self.subTest(opts=opts, where=where):
                    self.put("f.txt", before)
                    args = opts + ["f.txt"] if where == "before" else ["f.txt"] + opts
                    self.assertEqual(self.run_crv(*args), (0, b"", b""))
                    self.assertEqual(self.get("f.txt"), after)
                    self.assertEqual(self.listing(), ["f.txt"])

    def test_not_found(self):
        os.mkdir(self.path("dir"))
        names = ["missing.txt", "dir"]
        if hasattr(os, "mkfifo") and self.p.name == "native":
            os.mkfifo(self.path("fifo"))
            os.symlink("nowhere", self.path("dangling"))
            names += ["fifo", "dangling"]
        if not self.p.slash_always_option:
            names.append("/")
        for name in names:
            with self.subTest(name=name):
                status, out, err = self.run_crv("-d", name)
                self.assertEqual((status, out, err),
                                 (1, error(self.p, b'"' + name.encode() + b'" is not found.'), b""))

    def test_names_match_literally_whatever_the_date(self):
        # No wildcards; a file last written before 1980 is still found.
        self.put("a.txt", DOS)
        for name in ("*.txt", "a.tx?"):
            with self.subTest(name=name):
                self.assertEqual(self.run_crv("-d", name),
                                 (1, error(self.p, b'"' + name.encode() + b'" is not found.'),
                                  b""))
        os.utime(self.path("a.txt"), (0, 0))
        self.assertEqual(self.run_crv("-d", "a.txt"), (0, b"", b""))
        self.assertEqual(self.get("a.txt"), UNIX)

    def test_absolute_path_is_a_file_name_where_slash_starts_paths(self):
        if self.p.slash_always_option:
            self.skipTest("on this platform every argument beginning with / is an option")
        self.put("f.txt", DOS)
        self.assertEqual(self.run_crv("-d", self.path("f.txt")), (0, b"", b""))
        self.assertEqual(self.get("f.txt"), UNIX)


class BackupTest(Case):
    def test_existing_backups_are_left_alone(self):
        self.put("f.txt", DOS)
        self.put("f.txt.crv#001", b"first")
        self.put("f.txt.crv#002", b"second")
        self.assertEqual(self.run_crv("-d", "f.txt"), (0, b"", b""))
        self.assertEqual(self.get("f.txt"), UNIX)
        self.assertEqual(self.get("f.txt.crv#001"), b"first")
        self.assertEqual(self.get("f.txt.crv#002"), b"second")
        self.assertEqual(self.listing(), ["f.txt", "f.txt.crv#001", "f.txt.crv#002"])

    def test_directory_in_the_way_of_the_backup(self):
        self.put("f.txt", DOS)
        os.mkdir(self.path("f.txt.crv#001"))
        status, out, err = self.run_crv("-d", "f.txt")
        self.assertEqual((status, out, err), (1, error(self.p, b"f.txt convert failed."), b""))
        self.assertEqual(self.get("f.txt"), DOS)
        self.assertEqual(self.listing(), ["f.txt", "f.txt.crv#001"])

    def test_empty_and_special_bytes(self):
        cases = [
            (b"", ["-d"], b""),
            (b"\r\r\r", ["-c"], b"\r\r\r"),
            (b"\x00\x1a\r\n\x1a", ["-d"], b"\x00\x1a\n\x1a"),
            (b"a\n\r", ["-c"], b"a\r\n\r"),
            (bytes(range(256)) * 3, ["-c"],
             (bytes(range(10)) + b"\r\n" + bytes(range(11, 256))) * 3),
        ]
        for before, opts, after in cases:
            with self.subTest(before=before[:20], opts=opts):
                self.put("f", before)
                self.assertEqual(self.run_crv(*opts, "f"), (0, b"", b""))
                self.assertEqual(self.get("f"), after)


class ConfirmTest(Case):
    def test_answers(self):
        e = self.p.enter
        cases = [
            (b"y" + e, True),
            (b"yes" + e, True),
            (b"y", True),
            (b"Y" + e, False),
            (b"n" + e, False),
            (b"no" + e, False),
            (e, False),
            (b"", False),
            (b" y" + e, False),
            (b"y\x1a", True),
        ]
        for answer, converts in cases:
            with self.subTest(answer=answer):
                self.put("f.txt", DOS)
                status, out, err = self.run_crv("-d", "-p", "f.txt", stdin=answer)
                self.assertEqual((status, out, err), (0, prompt(self.p, b"f.txt"), b""))
                self.assertEqual(self.get("f.txt"), UNIX if converts else DOS)
                self.assertEqual(self.listing(), ["f.txt"])

    def test_missing_file_is_reported_without_asking(self):
        status, out, _ = self.run_crv("-p", "gone.txt", stdin=b"y" + self.p.enter)
        self.assertEqual((status, out), (1, error(self.p, b'"gone.txt" is not found.')))


@unittest.skipUnless(os.name == "posix", "POSIX file modes")
class NativeOnlyTest(Case):
    def setUp(self):
        super().setUp()
        if self.p.name != "native":
            self.skipTest("native build only")

    def test_modes_are_kept(self):
        for mode in (0o600, 0o755, 0o640):
            with self.subTest(mode=oct(mode)):
                self.put("f", DOS)
                os.chmod(self.path("f"), mode)
                self.assertEqual(self.run_crv("-d", "f"), (0, b"", b""))
                self.assertEqual(os.stat(self.path("f")).st_mode & 0o7777, mode)
                self.assertEqual(self.get("f"), UNIX)


class WindowsOnlyTest(Case):
    def setUp(self):
        super().setUp()
        if self.p.name != "wine":
            self.skipTest("Windows build only")

    def test_read_only_file(self):
        # The new file has the default attributes; the backup keeps the
        # read-only one, cannot be deleted, and stays: still a success.
        self.put("f", DOS)
        os.chmod(self.path("f"), 0o444)
        self.assertEqual(self.run_crv("-d", "f"), (0, b"", b""))
        self.assertEqual(self.get("f"), UNIX)
        self.assertTrue(os.stat(self.path("f")).st_mode & 0o200, "the new file is read-only")
        self.assertEqual(self.get("f.crv#001"), DOS)
        self.assertEqual(self.listing(), ["f", "f.crv#001"])


@unittest.skipUnless(os.name == "posix", "POSIX devices, mounts and signals on the test host")
class FailureTest(Case):
    def test_output_failure_is_status_1(self):
        # Usage, not-found and the conversion-failed line all fail to print.
        self.put("f", DOS)
        os.mkdir(self.path("f.crv#001"))
        for args in ([], ["missing"], ["f"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                status, _, err = self.run_crv(*args, stdout=full)
                self.assertEqual((status, err), (1, b""))
        self.assertEqual(self.get("f"), DOS)

    def test_closed_pipe_is_an_output_failure_not_a_signal(self):
        proc = subprocess.Popen(self.p.command([]), cwd=self.dir, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        proc.stdout.close()
        self.assertEqual(proc.wait(timeout=30), 1)
        proc.stderr.close()

    def test_disk_full_restores_the_original(self):
        mnt = self.path("small")
        os.mkdir(mnt)
        if os.geteuid() != 0 or subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mnt],
                stderr=subprocess.DEVNULL).returncode != 0:
            print("\nskipped disk-full test: mounting a tmpfs needs root", file=sys.stderr)
            self.skipTest("mounting a tmpfs is not permitted here")
        try:
            # 700 KiB of short LF lines: CR LF output needs more than the
            # 300 KiB left free.
            original = b"0123456\n" * (700 * 128)
            with open(os.path.join(mnt, "f"), "wb") as f:
                f.write(original)
            status, out, _ = self.p.run(["-c", "f"], mnt)
            self.assertEqual((status, out), (1, error(self.p, b"f convert failed.")))
            with open(os.path.join(mnt, "f"), "rb") as f:
                self.assertEqual(f.read(), original)
            self.assertEqual(os.listdir(mnt), ["f"])
        finally:
            subprocess.run(["umount", mnt], check=True)

    def test_interrupt_restores_the_original(self):
        # The process is stopped as soon as its backup appears, interrupted,
        # then continued: the signal lands in the middle of the copy.
        original = b"some text in a line\r\n" * (3 << 20)
        self.put("big", original)
        for sig in self.p.interrupt_signals:
            with self.subTest(sig=sig):
                proc = subprocess.Popen(self.p.command(["-d", "big"]), cwd=self.dir,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                deadline = time.monotonic() + 30
                while not os.path.exists(self.path("big.crv#001")):
                    self.assertLess(time.monotonic(), deadline, "backup never appeared")
                    self.assertIsNone(proc.poll(), "finished before it could be interrupted")
                proc.send_signal(signal.SIGSTOP)
                proc.send_signal(sig)
                proc.send_signal(signal.SIGCONT)
                out, err = proc.communicate(timeout=60)
                self.assertEqual((proc.returncode, out, err),
                                 (1, error(self.p, b"big convert failed."), b""))
                self.assertTrue(self.get("big") == original)
                self.assertEqual(self.listing(), ["big"])


def main():
    global PLATFORM
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", default="native")
    parser.add_argument("--crv", "--exe", dest="crv", required=True,
                        help="the console program to test")
    args, rest = parser.parse_known_args()
    platforms = {"native": NativePlatform, "wine": WinePlatform}
    PLATFORM = platforms[args.platform](args.crv)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
