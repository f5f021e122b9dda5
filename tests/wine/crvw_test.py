#!/usr/bin/env python3
"""crvw.exe, the windowed program, under Wine: on a virtual X display, its
message boxes are answered with xdotool; without a display, no box can appear
and the program must take that as "no".

    crvw_test.py --exe build-win32/crvw.exe               (WINEPREFIX set)
    crvw_test.py --exe build-win32/crvw.exe --no-display

The boxes are shown in a Japanese locale (Wine's ANSI code page 932) and in
an English one (1252): both read the same, the error box's title "crv エラー",
and their texts, taken from Wine's trace of each box, are the ones below.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools  # noqa: E402
from common import VirtualDisplay, screenshot, slowed_copy, usage_lines  # noqa: E402

EXE = None
DOS = b"one\r\ntwo\r\r\nlast\r"
UNIX = b"one\ntwo\nlast\r"
JAPANESE = "ja_JP.UTF-8"
ENGLISH = "C.UTF-8"
ERROR_TITLE = "crv エラー"
ANY_BOX = "^crv"
USAGE = "\n".join(usage_lines("windowed"))
# Decided before the test classes are made, so that their skips see it.
NO_DISPLAY = "--no-display" in sys.argv


def confirmation(name):
    return f"ファイル {name} の改行コードを正規化します。\nよろしいですか？"


def box_texts(trace, expected):
    """The texts of the boxes shown, from Wine's msgbox trace (its escapes
    undone). Wine cuts a long text short, with "..." after it: that of the
    expected text is compared then."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
    texts = []
    for text, cut in re.findall(r'trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"(\.\.\.)?',
                                trace):
        text = re.sub(r"\\([0-9a-f]{4}|.)", lambda m: escapes.get(m[1]) or chr(int(m[1], 16)),
                      text)
        if cut and len(texts) < len(expected) and expected[len(texts)].startswith(text):
            text = expected[len(texts)]
        texts.append(text)
    return texts


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

    def start(self, args, lang=JAPANESE, prefix=()):
        env = winetools.wine_env(DISPLAY=self.display, LANG=lang, LC_ALL=None)
        env["WINEDEBUG"] = "-all,trace+msgbox"
        # Output goes to files, not pipes: Wine's own background processes,
        # started by the first program, inherit them and would hold a pipe
        # open. Standard error gets Wine's trace of the boxes.
        self.output, self.trace = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        return subprocess.Popen(list(prefix) + [winetools.WINE, EXE] + list(args), cwd=self.dir,
                                env=env, stdin=subprocess.DEVNULL, stdout=self.output,
                                stderr=self.trace)

    def finish(self, proc, ignore=(), texts=()):
        """The exit status and the texts of the boxes shown (`texts`: those
        expected)."""
        if self.display is None:
            status = proc.wait(timeout=120)
        else:
            status = winetools.wait_for_exit(self.display, ANY_BOX, proc, ignore=ignore)
        self.output.seek(0)
        self.trace.seek(0)
        self.assertEqual(self.output.read(), b"", "the windowed program wrote something")
        trace = self.trace.read().decode("ascii")
        self.assertEqual([l for l in trace.splitlines() if ":msgbox:" not in l], [],
                         "the windowed program wrote something")
        self.output.close()
        self.trace.close()
        return status, box_texts(trace, texts)


@unittest.skipIf(NO_DISPLAY, "needs a display")
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
        # Each case: arguments, the file's name; the boxes that must show, in
        # order, as (title, text, key that answers it); the exit status; the
        # file afterwards. A box not listed, or a missing one, fails the
        # case. Every case runs in a Japanese and in an English locale.
        f, name = "f.txt", "тест.txt"
        cases = [
            ("confirmed", ["-d", f], f, [("crv", confirmation(f), "Return")], 0, UNIX),
            ("declined", ["-d", f], f, [("crv", confirmation(f), "Escape")], 0, DOS),
            ("cancel by keyboard", ["-d", f], f, [("crv", confirmation(f), "Tab Return")], 0,
             DOS),
            ("-p keeps asking", ["-p", "/d", f], f, [("crv", confirmation(f), "Return")], 0, UNIX),
            ("-p- asks nothing", ["-p-", "-d", f], f, [], 0, UNIX),
            ("any name", ["-d", name], name, [("crv", confirmation(name), "Return")], 0, UNIX),
            ("missing file", ["-d", "gone.txt"], f,
             [(ERROR_TITLE, '"gone.txt" is not found.', "Return")], 1, DOS),
            ("no arguments", [], f, [("crv", USAGE, "Return")], 1, DOS),
            ("bad option", ["-x", f], f, [("crv", USAGE, "Return")], 1, DOS),
            ("conversion fails", ["-d", name, "-p"], name,
             [("crv", confirmation(name), "Return"),
              (ERROR_TITLE, name + " convert failed.", "Return")], 1, DOS),
        ]
        for lang in (JAPANESE, ENGLISH):
            for label, args, file, boxes, status, after in cases:
                with self.subTest(label, lang=lang):
                    shutil.rmtree(self.dir)
                    os.mkdir(self.dir)
                    self.put(file, DOS)
                    blocker = os.path.join(self.dir, file + ".crv#001")
                    if label == "conversion fails":
                        os.mkdir(blocker)
                    proc = self.start(args, lang)
                    seen = set()
                    try:
                        for title, _, keys in boxes:
                            wid, shown = winetools.wait_for_window(self.display, ANY_BOX, proc,
                                                                   ignore=seen)
                            seen.add(wid)
                            self.assertEqual(shown, title)
                            for key in keys.split():
                                winetools.press(self.display, wid, key)
                        texts = [text for _, text, _ in boxes]
                        self.assertEqual(self.finish(proc, ignore=seen, texts=texts),
                                         (status, texts))
                    finally:
                        if proc.poll() is None:
                            proc.kill()
                            proc.wait()
                    self.assertEqual(self.get(file), after)
                    if os.path.isdir(blocker):
                        os.rmdir(blocker)
                    self.assertEqual(os.listdir(self.dir), [file])

    def test_progress_window(self):
        # A copy slowed down by strace: each of its 96 blocks takes 25 ms.
        # Each case: what happens once the bar moved: nothing, a key pressed
        # in the window (Return is Cancel, Alt+F4 closes it), or a message
        # another program sends it as the system does (the session ends, the
        # window is destroyed); the file afterwards. Declining in any of
        # these ways leaves the file as it was, with no error box and status
        # 0, as declining the question does.
        n = (12 << 20) // len(DOS)
        helper = os.path.join(os.path.dirname(EXE), "tests", "windows", "crv_test_helper.exe")
        cases = [("", UNIX * n), ("key Return", DOS * n), ("key Escape", DOS * n),
                 ("key alt+F4", DOS * n), ("send endsession", DOS * n),
                 ("send destroy", DOS * n)]
        for how, after in cases:
            with self.subTest(how):
                if how.startswith("send") and not os.path.exists(helper):
                    self.skipTest("no crv_test_helper.exe beside the program")
                self.put("f.txt", DOS * n)
                proc = self.start(["-p-", "-d", "f.txt"], prefix=slowed_copy(self.dir, "f.txt", 25))
                try:
                    wid, name = winetools.wait_for_window(self.display, ANY_BOX, proc)
                    first = screenshot(self.display, wid)
                    time.sleep(0.3)
                    self.assertEqual((name, screenshot(self.display, wid) != first), ("crv", True))
                    if how.startswith("key"):
                        winetools.press(self.display, wid, how.split()[1])
                    elif how.startswith("send"):
                        subprocess.run([winetools.WINE, helper, "send", "crv", how.split()[1]],
                                       env=winetools.wine_env(DISPLAY=self.display), check=True,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       timeout=60)
                    self.assertEqual(self.finish(proc, ignore={wid})[0], 0)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertEqual(self.get("f.txt"), after)
                self.assertEqual(os.listdir(self.dir), ["f.txt"])


@unittest.skipUnless(NO_DISPLAY, "runs without a display")
class NoDisplayTest(Case):
    # Without a display MessageBoxW fails; a confirmation that cannot be
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
                self.assertEqual(self.finish(self.start(args))[0], status)
                self.assertEqual(self.get("f.txt"), after)
                self.assertEqual(os.listdir(self.dir), ["f.txt"])


def main():
    global EXE
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="crvw.exe")
    parser.add_argument("--no-display", action="store_true")
    args, rest = parser.parse_known_args()
    EXE = os.path.abspath(args.exe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
