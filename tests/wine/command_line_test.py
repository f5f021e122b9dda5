#!/usr/bin/env python3
"""crv.exe under Wine: how the raw command line is split into arguments.

`wine prog args` hands the program a command line that Wine re-quoted with
backslash escapes, so each raw line here is written into a batch file and run
by `wine cmd /c`, which passes the line through as written. Also: file names
outside ASCII, in a Japanese and an English locale.

    command_line_test.py --exe build-win32/crv.exe      (WINEPREFIX set)
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))
import e2e_test  # noqa: E402
import winetools  # noqa: E402

EXE = None
LF = b"x\ny\n"
CRLF = b"x\r\ny\r\n"


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="crv_cmdline_")
        self.p = e2e_test.WinePlatform(EXE)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_wine(self, argv, lang=None):
        env = winetools.wine_env(DISPLAY=None, LANG=lang, LC_ALL=None)
        with tempfile.TemporaryFile() as out:
            status = subprocess.run([winetools.WINE] + argv, cwd=self.dir, env=env,
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, timeout=60).returncode
            out.seek(0)
            return status, out.read()

    def run_line(self, tail):
        """Runs crv.exe with the raw command line `"<exe>" <tail>`."""
        with open(os.path.join(self.dir, "run.bat"), "wb") as f:
            f.write(b'@"' + winetools.windows_path(EXE).encode() + b'" ' + tail + b"\r\n")
        try:
            return self.run_wine(["cmd", "/c", "run.bat"])
        finally:
            os.remove(os.path.join(self.dir, "run.bat"))

    def files(self):
        found = {}
        for top, _, names in os.walk(self.dir):
            for name in names:
                path = os.path.join(top, name)
                with open(path, "rb") as f:
                    found[os.path.relpath(path, self.dir)] = f.read()
        return found

    def test_raw_command_lines(self):
        usage = e2e_test.usage(self.p)
        # Each case: the command line after the program's name; the files
        # before; the status and output; the files after (unchanged when
        # None).
        cases = [
            (b'-c "a b.txt"', {"a b.txt": LF}, 0, b"", {"a b.txt": CRLF}),
            (b'-c "a b".txt', {"a b.txt": LF}, 0, b"", {"a b.txt": CRLF}),
            (b'-c a" "b.txt', {"a b.txt": LF}, 0, b"", {"a b.txt": CRLF}),
            (b'"" -c "" "a b.txt" ""', {"a b.txt": LF}, 0, b"", {"a b.txt": CRLF}),
            (b'-c ""a.txt', {"a.txt": LF}, 0, b"", {"a.txt": CRLF}),
            (b'-c a.txt""', {"a.txt": LF}, 0, b"", {"a.txt": CRLF}),
            # No escape character: the C runtime would read \" as a quote.
            (b'-c sub\\"a b.txt"', {"sub/a b.txt": LF}, 0, b"", {"sub/a b.txt": CRLF}),
            (b'-c "sub\\" a.txt', {"sub/x": LF, "a.txt": LF}, 1, usage, None),
            # A lone quote at the end makes an empty word, which ends the
            # list; an unclosed quote runs to the end of the line.
            (b'-c a.txt "', {"a.txt": LF}, 0, b"", {"a.txt": CRLF}),
            (b'-c a.txt " b.txt', {"a.txt": LF}, 1, usage, None),
            (b'-c "a.txt', {"a.txt": LF}, 0, b"", {"a.txt": CRLF}),
            (b'-c\ta.txt', {"a.txt": LF}, 0, b"", {"a.txt": CRLF}),
            (b'/d /p- a.txt', {"a.txt": CRLF}, 0, b"", {"a.txt": LF}),
            (b'/c a.txt b.txt', {"a.txt": LF, "b.txt": LF}, 1, usage, None),
            (b'/c /tmp/a.txt', {"a.txt": LF}, 1, usage, None),
            (b'-c "a.txt"x', {"a.txt": LF}, 1,
             e2e_test.error(self.p, b'"a.txtx" is not found.'), None),
        ]
        for tail, before, status, out, after in cases:
            with self.subTest(tail=tail):
                shutil.rmtree(self.dir)
                os.mkdir(self.dir)
                for name, data in before.items():
                    os.makedirs(os.path.dirname(os.path.join(self.dir, name)), exist_ok=True)
                    with open(os.path.join(self.dir, name), "wb") as f:
                        f.write(data)
                self.assertEqual(self.run_line(tail), (status, out))
                self.assertEqual(self.files(), after or before)

    def test_names_outside_ascii(self):
        # Any name converts whatever the system's code page: the program
        # takes it in UTF-16. Redirected output names it in the ANSI code
        # page (932 in a Japanese locale, 1252 in an English one) where it
        # fits there, as the program always did, and in UTF-8 where it does
        # not. Each case: locale, name, the encoding the messages use for it.
        cases = [
            ("ja_JP.UTF-8", "日本語のメモ.txt", "cp932"),
            ("C.UTF-8", "naïve.txt", "cp1252"),
            ("C.UTF-8", "тест.txt", "utf-8"),
            ("C.UTF-8", "日本語.txt", "utf-8"),
        ]
        for lang, name, encoding in cases:
            with self.subTest(lang=lang, name=name):
                path = os.path.join(self.dir, name)
                with open(path, "wb") as f:
                    f.write(LF)
                self.assertEqual(self.run_wine([EXE, name], lang=lang), (0, b""))
                self.assertEqual(self.files(), {name: CRLF})
                shown = name.encode(encoding)
                self.assertEqual(self.run_wine([EXE, "x" + name], lang=lang),
                                 (1, e2e_test.error(self.p, b'"x' + shown + b'" is not found.')))
                os.mkdir(path + ".crv#001")
                self.assertEqual(self.run_wine([EXE, "-d", name], lang=lang),
                                 (1, e2e_test.error(self.p, shown + b" convert failed.")))
                os.rmdir(path + ".crv#001")
                self.assertEqual(self.files(), {name: CRLF})
                os.remove(path)


def main():
    global EXE
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="crv.exe")
    args, rest = parser.parse_known_args()
    EXE = os.path.abspath(args.exe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
