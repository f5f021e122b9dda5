#!/usr/bin/env python3
"""crvw.exe, the windowed program, under Wine: on a virtual X display, its
message boxes are answered with xdotool; without a display, no box can appear
and the program must take that as "no".

    crvw_test.py --exe build-win32/crvw.exe               (WINEPREFIX set)
    crvw_test.py --exe build-win32/crvw.exe --no-display

The boxes are shown in a Japanese locale (Wine's ANSI code page 932), so the
error box's title reads "crv エラー".
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools  # noqa: E402
from common import VirtualDisplay, screenshot, slowed_copy  # noqa: E402

EXE = None
DOS = b"one\r\ntwo\r\r\nlast\r"
UNIX = b"one\ntwo\nlast\r"
JAPANESE = "ja_JP.UTF-8"
ERROR_TITLE = "crv エラー"
ANY_BOX = "^crv"


class Case(unittest.TestCase):
    display = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="crvw_test_")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def put(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def start(self, args, prefix=()):
        env = winetools.wine_env(DISPLAY=self.display, LANG=JAPANESE, LC_ALL=None)
        # Output goes to a file, not a pipe: Wine's own background processes,
        # started by the first program, inherit it and would hold a pipe open.
        self.output = tempfile.TemporaryFile()
        return subprocess.Popen(list(prefix) + [winetools.WINE, EXE] + list(args), cwd=self.dir,
                                env=env, stdin=subprocess.DEVNULL, stdout=self.output,
                                stderr=self.output)

    def finish(self, proc, ignore=()):
        status = winetools.wait_for_exit(self.display, ANY_BOX, proc, ignore=ignore)
        self.output.seek(0)
        self.assertEqual(self.output.read(), b"", "the windowed program wrote something")
        self.output.close()
        return status


@unittest.skipIf(os.environ.get("CRVW_TEST_NO_DISPLAY"), "needs a display")
class BoxTest(Case):
    @classmethod
    def setUpClass(cls):
        cls.screen = VirtualDisplay().start()
        cls.display = cls.screen.name
        # One server (and desktop process on this display) for all cases,
        # rather than a new one for each run.
        cls.env = winetools.wine_env(DISPLAY=cls.display)
        subprocess.run(["wineserver", "-p"], env=cls.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.screen.stop()

    def test_boxes(self):
        # Each case: arguments; the boxes that must show, in order, as
        # (title, key that answers it); the exit status; the file afterwards.
        # A box not listed, or a missing one, fails the case.
        cases = [
            ("confirmed", ["-d", "f.txt"], [("crv", "Return")], 0, UNIX),
            ("declined", ["-d", "f.txt"], [("crv", "Escape")], 0, DOS),
            ("cancel by keyboard", ["-d", "f.txt"], [("crv", "Tab Return")], 0, DOS),
            ("-p keeps asking", ["-p", "/d", "f.txt"], [("crv", "Return")], 0, UNIX),
            ("-p- asks nothing", ["-p-", "-d", "f.txt"], [], 0, UNIX),
            ("missing file", ["-d", "gone.txt"], [(ERROR_TITLE, "Return")], 1, DOS),
            ("no arguments", [], [("crv", "Return")], 1, DOS),
            ("bad option", ["-x", "f.txt"], [("crv", "Return")], 1, DOS),
            ("conversion fails", ["-d", "f.txt", "-p"],
             [("crv", "Return"), (ERROR_TITLE, "Return")], 1, DOS),
        ]
        for label, args, boxes, status, after in cases:
            with self.subTest(label):
                self.put("f.txt", DOS)
                blocker = os.path.join(self.dir, "f.txt.crv#001")
                if label == "conversion fails":
                    os.mkdir(blocker)
                proc = self.start(args)
                seen = set()
                try:
                    for title, keys in boxes:
                        wid, name = winetools.wait_for_window(self.display, ANY_BOX, proc,
                                                              ignore=seen)
                        seen.add(wid)
                        self.assertEqual(name, title)
                        for key in keys.split():
                            winetools.press(self.display, wid, key)
                    self.assertEqual(self.finish(proc, ignore=seen), status)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertEqual(self.get("f.txt"), after)
                if os.path.isdir(blocker):
                    os.rmdir(blocker)
                self.assertEqual(os.listdir(self.dir), ["f.txt"])

    def test_progress_window(self):
        # A copy slowed down by strace: each of its 96 blocks takes 25 ms.
        # Each case: the key pressed in the progress window once its bar
        # moved ("": none; else the error box follows), status, file afterwards.
        n = (12 << 20) // len(DOS)
        for key, status, after in [("", 0, UNIX * n), ("Return", 1, DOS * n),
                                   ("Escape", 1, DOS * n)]:
            with self.subTest(key=key):
                self.put("f.txt", DOS * n)
                proc = self.start(["-p-", "-d", "f.txt"], slowed_copy(self.dir, "f.txt", 25))
                try:
                    wid, name = winetools.wait_for_window(self.display, ANY_BOX, proc)
                    first = screenshot(self.display, wid)
                    time.sleep(0.3)
                    self.assertEqual((name, screenshot(self.display, wid) != first), ("crv", True))
                    seen = {wid}
                    if key:
                        winetools.press(self.display, wid, key)
                        box, name = winetools.wait_for_window(self.display, ANY_BOX, proc,
                                                              ignore=seen)
                        self.assertEqual(name, ERROR_TITLE)
                        self.assertNotIn((wid, "crv"), winetools.visible_windows(self.display,
                                                                                 ANY_BOX))
                        seen.add(box)
                        winetools.press(self.display, box, "Return")
                    self.assertEqual(self.finish(proc, ignore=seen), status)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertEqual(self.get("f.txt"), after)
                self.assertEqual(os.listdir(self.dir), ["f.txt"])


@unittest.skipUnless(os.environ.get("CRVW_TEST_NO_DISPLAY"), "runs without a display")
class NoDisplayTest(Case):
    # Without a display MessageBoxA fails; a confirmation that cannot be
    # shown is no consent.
    def test_without_display(self):
        cases = [
            (["-d", "f.txt"], 0, DOS),
            (["-p-", "-d", "f.txt"], 0, UNIX),
            (["gone.txt"], 1, DOS),
            ([], 1, DOS),
        ]
        for args, status, after in cases:
            with self.subTest(args=args):
                self.put("f.txt", DOS)
                self.assertEqual(self.finish(self.start(args)), status)
                self.assertEqual(self.get("f.txt"), after)
                self.assertEqual(os.listdir(self.dir), ["f.txt"])


def main():
    global EXE
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="crvw.exe")
    parser.add_argument("--no-display", action="store_true")
    args, rest = parser.parse_known_args()
    EXE = os.path.abspath(args.exe)
    if args.no_display:
        os.environ["CRVW_TEST_NO_DISPLAY"] = "1"
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
