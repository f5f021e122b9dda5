#!/usr/bin/env python3
"""End-to-end tests of crvw, the windowed tool with GTK 3 dialogs.

With a display: the test starts its own Xvfb server (on a display number the
server picks itself), runs crvw there, waits for each dialog with xdotool and
answers it with a key. Without a display: crvw must fall back to standard
error. Every wait has a timeout; a dialog that should not appear makes crvw
block, which the timeout turns into a failure.

    gtk_test.py --crvw build/crvw --crv build/crv
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from common import (CRLF, DOS, UNIX, VirtualDisplay, convert, ink_runs, screenshot,
                    slowed_copy, usage_lines)

CRVW = None
CRV = None
WAIT = 20  # seconds allowed for any one dialog, key press or exit
SCREEN = (1024, 768)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USAGE = "\n".join(usage_lines("windowed")).encode()
ERROR = "crv エラー".encode()


def no_display_env():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="crvw_test_")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def put(self, name, data):
        with open(os.path.join(self.dir, os.fsdecode(name)), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(os.path.join(self.dir, os.fsdecode(name)), "rb") as f:
            return f.read()

    def listing(self):
        return sorted(os.listdir(os.fsencode(self.dir)))


class DialogTest(Case):
    @classmethod
    def setUpClass(cls):
        cls.xvfb = VirtualDisplay("%dx%dx24" % SCREEN, timeout=WAIT).start()
        cls.env = no_display_env()
        cls.env["DISPLAY"] = cls.xvfb.name
        cls.env["NO_AT_BRIDGE"] = "1"  # no accessibility bus in the test

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.stop()

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=WAIT)

    def visible_dialogs(self):
        found = self.xdotool("search", "--onlyvisible", "--name", "^crv")
        return found.stdout.split()

    def wait_dialog(self, gone):
        """Waits for a visible crv dialog other than `gone`; its id and title."""
        deadline = time.monotonic() + WAIT
        while gone is not None and gone in self.visible_dialogs():
            self.assertLess(time.monotonic(), deadline, "the previous dialog stays")
            time.sleep(0.05)
        found = self.xdotool("search", "--sync", "--onlyvisible", "--name", "^crv")
        wid = found.stdout.split()[0]
        return wid, self.xdotool("getwindowname", wid).stdout.rstrip(b"\n")

    def assert_on_screen(self, wid):
        shell = self.xdotool("getwindowgeometry", "--shell", wid).stdout.decode()
        geometry = dict(line.split("=") for line in shell.split())
        self.assertLessEqual(int(geometry["WIDTH"]), SCREEN[0])
        self.assertLessEqual(int(geometry["HEIGHT"]), SCREEN[1])

    def run_dialogs(self, args, answers, prefix=(), said=b"", env=None):
        """Runs crvw (after `prefix`), expecting one dialog per (title, key)
        of `answers`; a key may be a function of the dialog's window. `said`
        is crvw's own text expected on standard error."""
        proc = subprocess.Popen(list(prefix) + [CRVW] + args, cwd=self.dir, env=env or self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            wid = None
            for title, key in answers:
                wid, shown = self.wait_dialog(wid)
                self.assertEqual(shown, title.encode())
                self.assert_on_screen(wid)
                if callable(key):
                    key(wid)
                else:
                    self.xdotool("windowfocus", "--sync", wid, "key", key)
            out, err = proc.communicate(timeout=WAIT)
        finally:
            if proc.poll() is None:
                # crvw under strace is strace's child, and holds the pipes.
                with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                    for child in f.read().split():
                        os.kill(int(child), signal.SIGKILL)
                proc.kill()
                proc.communicate()
        self.assertEqual(out, b"")
        self.assertIn(said, err)
        err = err.replace(said, b"")
        # GTK may warn about its surroundings; crvw's own fallback texts,
        # complaints about the texts it was given and GTK's about the calls
        # it was given must not appear.
        self.assertNotIn(b"crv: ", err)
        self.assertNotIn(b"CRITICAL", err)
        self.assertNotIn(b"unclassed", err)
        self.assertNotIn(ERROR, err)
        self.assertNotIn(b"UTF-8", err)
        return proc.returncode

    def test_dialogs(self):
        latin1_name = b"caf\xe9.txt"
        cases = [
            # args, file bytes, dialogs answered, status, bytes afterwards
            (["f"], DOS, [("crv", "Return")], 0, CRLF),
            (["f"], DOS, [("crv", "Escape")], 0, DOS),
            (["-d", "f"], DOS, [("crv", "Return")], 0, UNIX),
            (["-d", "-p", "f"], DOS, [("crv", "Escape")], 0, DOS),
            (["-p-", "f"], DOS, [], 0, CRLF),
            (["/p-", "-d", "f"], DOS, [], 0, UNIX),
            ([os.fsdecode(latin1_name)], UNIX, [("crv", "Return")], 0, CRLF),
            # Not found: the error alone, never a confirmation before it.
            (["missing"], None, [("crv エラー", "Return")], 1, None),
            (["-p-", "missing"], None, [("crv エラー", "Escape")], 1, None),
            # A long name without blanks is broken, not left to widen the
            # dialog beyond the screen.
            (["x" * 400], None, [("crv エラー", "Return")], 1, None),
            ([], None, [("crv", "Return")], 1, None),
            (["-x", "f"], DOS, [("crv", "Escape")], 1, DOS),
        ]
        for args, before, answers, status, after in cases:
            with self.subTest(args=args, answers=answers):
                name = latin1_name if latin1_name in map(os.fsencode, args) else b"f"
                if before is not None:
                    self.put(name, before)
                self.assertEqual(self.run_dialogs(args, answers), status)
                if after is not None:
                    self.assertEqual(self.get(name), after)
                    self.assertEqual(self.listing(), [name])
                    os.unlink(os.path.join(self.dir, os.fsdecode(name)))

    def test_usage_options_line_up(self):
        shots = []

        def look(wid):
            shots.append(screenshot(self.xvfb.name, wid))
            self.xdotool("windowfocus", "--sync", wid, "key", "Return")

        self.assertEqual(self.run_dialogs([], [("crv", look)]), 1)
        # On the text's last three lines, the widest gap is the one before
        # the option's description, whose first letters differ in their ink
        # by a pixel or two at most.
        starts = []
        for runs in ink_runs(shots[0])[3:6]:
            starts.append(max((b[0] - a[1], b[0]) for a, b in zip(runs, runs[1:]))[1])
        self.assertLessEqual(max(starts) - min(starts), 2, starts)

    def test_japanese_texts_drawn_with_the_recommended_font(self):
        """The confirmation box on a desktop with DejaVu alone and with DejaVu
        and the first Japanese font the package recommends. A character no
        font holds is drawn as one box shape, so that its lines become a row
        of equally wide runs of ink; glyphs give runs of many widths."""
        with open(os.path.join(ROOT, "debian", "control")) as f:
            font = re.search(r"^Package: crvw\n(?:.+\n)*?Recommends:.*?(fonts-[\w-]+)",
                             f.read(), re.M)[1]
        listed = subprocess.run(["dpkg", "-L", font], capture_output=True, text=True).stdout
        font_dirs = sorted({os.path.dirname(p) for p in listed.split()
                            if p.endswith((".ttf", ".otf", ".ttc"))})
        self.assertTrue(font_dirs, "%s is not installed (scripts/install-test-deps.sh)" % font)
        dejavu = "/usr/share/fonts/truetype/dejavu"
        for dirs, drawn in (([dejavu], False), ([dejavu] + font_dirs, True)):
            with self.subTest(fonts=dirs), tempfile.TemporaryDirectory() as tmp:
                with open(os.path.join(tmp, "fonts.conf"), "w") as f:
                    f.write("<fontconfig>%s<cachedir>%s</cachedir></fontconfig>\n"
                            % ("".join("<dir>%s</dir>" % d for d in dirs), tmp))
                shots = []

                def look(wid):
                    shots.append(screenshot(self.xvfb.name, wid))
                    self.xdotool("windowfocus", "--sync", wid, "key", "Escape")

                self.put("f", DOS)
                env = dict(self.env, FONTCONFIG_FILE=os.path.join(tmp, "fonts.conf"))
                self.assertEqual(self.run_dialogs(["f"], [("crv", look)], env=env), 0)
                widths = [b - a for runs in ink_runs(shots[0])[:2] for a, b in runs]
                same = max(widths.count(w) for w in widths)
                self.assertEqual(same < len(widths) / 2, drawn, widths)

    def test_progress_window(self):
        data = DOS * ((12 << 20) // len(DOS))  # 96 blocks of the copy

        def moving_bar(then):
            def look(wid):
                first = screenshot(self.xvfb.name, wid)
                time.sleep(0.3)
                self.assertNotEqual(screenshot(self.xvfb.name, wid), first, "the bar stands")
                then(wid)
            return "crv", look

        def second_run(wid):
            # Gives up on the file the first run converts, with the error it
            # has (on standard error here).
            second = subprocess.run([CRVW, "-p-", "f"], cwd=self.dir, env=no_display_env(),
                                    capture_output=True, timeout=WAIT)
            self.assertEqual(second.stderr, ERROR + b": f convert failed.\n")

        def press(key):
            return lambda wid: self.xdotool("windowfocus", "--sync", wid, "key", key)

        cases = [
            # windows answered (the progress window goes before the error
            # box shows), status, file afterwards
            ([moving_bar(lambda wid: None)], 0, convert(data, True)),
            ([moving_bar(second_run)], 0, convert(data, True)),
            # Cancel, Escape and the window destroyed by another client
            # decline: no error box.
            ([moving_bar(press("Return"))], 0, data),
            ([moving_bar(press("Escape"))], 0, data),
            ([moving_bar(lambda wid: self.xdotool("windowclose", wid))], 0, data),
        ]
        for answers, status, after in cases:
            with self.subTest(answers=[title for title, _ in answers]):
                self.put("f", data)
                slowed = slowed_copy(self.dir, "f", 25)
                self.assertEqual(self.run_dialogs(["-p-", "f"], answers, slowed), status)
                self.assertEqual(self.get("f"), after)
                self.assertEqual(self.listing(), [b"f"])

    def test_display_lost_under_the_progress_window(self):
        data = DOS * ((12 << 20) // len(DOS))
        failed = ERROR + b": f convert failed.\n"

        def hangup_after(wid):
            # The session's end as an ssh connection drops: the display goes,
            # then the hangup comes while the run still reads its block.
            pid = int(self.xdotool("getwindowpid", wid).stdout)
            self.xvfb.proc.kill()
            time.sleep(0.05)
            os.kill(pid, signal.SIGHUP)

        cases = [
            # what ends the display, status, crvw's text on standard error
            (lambda wid: self.xvfb.proc.kill(), 0, b""),
            (lambda wid: self.xvfb.proc.terminate(), 0, b""),
            (lambda wid: self.xdotool("windowkill", wid), 0, b""),
            # The hangup is seen first: an interrupted run, its error box on
            # standard error since there is no display.
            (hangup_after, 1, failed),
        ]
        for end, status, said in cases:
            with self.subTest(end=cases.index((end, status, said))), \
                    VirtualDisplay("%dx%dx24" % SCREEN, timeout=WAIT) as self.xvfb:
                self.env = dict(type(self).env, DISPLAY=self.xvfb.name)
                self.put("f", data)
                # Each block's read takes 1.5 s: the run notices the display's
                # loss, or the hangup, after the read it is in.
                slowed = slowed_copy(self.dir, "f", 1500)
                self.assertEqual(self.run_dialogs(["-p-", "f"], [("crv", end)], slowed, said),
                                 status)
                self.assertEqual(self.get("f"), data)
                self.assertEqual(self.listing(), [b"f"])
        del self.env, self.xvfb

    def test_failed_conversion_shows_an_error_after_the_confirmation(self):
        self.put("f", DOS)
        os.mkdir(os.path.join(self.dir, "f.crv#001"))
        status = self.run_dialogs(["f"], [("crv", "Return"), ("crv エラー", "Return")])
        self.assertEqual(status, 1)
        self.assertEqual(self.get("f"), DOS)
        self.assertEqual(self.listing(), [b"f", b"f.crv#001"])


class NoDisplayTest(Case):
    def test_fallback_to_standard_error(self):
        declined = (b'crv: no display to ask whether to convert "f"; nothing was converted.'
                    b" -p- converts without asking.\n")
        environments = {
            "none": no_display_env(),
            "unreachable X": dict(no_display_env(), DISPLAY="unix:/nonexistent/x"),
            "unreachable Wayland": dict(no_display_env(), WAYLAND_DISPLAY="/nonexistent/w"),
        }
        cases = [
            # args, file bytes, status, standard error, bytes afterwards
            ([], None, 1, b"crv: " + USAGE + b"\n", None),
            (["-d", "-x"], None, 1, b"crv: " + USAGE + b"\n", None),
            (["missing"], None, 1, ERROR + b': "missing" is not found.\n', None),
            (["f"], DOS, 0, declined, DOS),
            (["-p", "-d", "f"], DOS, 0, declined, DOS),
            (["-p-", "f"], DOS, 0, b"", CRLF),
            (["-p-", "-d", "f"], DOS, 0, b"", UNIX),
        ]
        for label, env in environments.items():
            for args, before, status, err, after in cases:
                with self.subTest(env=label, args=args):
                    if before is not None:
                        self.put("f", before)
                    proc = subprocess.run([CRVW] + args, cwd=self.dir, env=env,
                                          stdin=subprocess.DEVNULL, capture_output=True,
                                          timeout=WAIT)
                    self.assertEqual((proc.returncode, proc.stdout, proc.stderr),
                                     (status, b"", err))
                    if after is not None:
                        self.assertEqual(self.get("f"), after)
                        self.assertEqual(self.listing(), [b"f"])

    def test_failed_conversion_is_an_error_line(self):
        self.put("f", DOS)
        os.mkdir(os.path.join(self.dir, "f.crv#001"))
        proc = subprocess.run([CRVW, "-p-", "f"], cwd=self.dir, env=no_display_env(),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT)
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr),
                         (1, b"", ERROR + b": f convert failed.\n"))
        self.assertEqual(self.get("f"), DOS)


class LinkTest(unittest.TestCase):
    def needed(self, exe):
        out = subprocess.run(["readelf", "-d", exe], stdout=subprocess.PIPE, check=True,
                             timeout=WAIT).stdout.decode()
        return {line.split("[")[1].split("]")[0] for line in out.splitlines() if "(NEEDED)" in line}

    def test_only_crvw_links_gtk(self):
        runtime = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6"}
        self.assertLessEqual(self.needed(CRV), runtime)
        self.assertIn("libgtk-3.so.0", self.needed(CRVW))


def main():
    global CRVW, CRV
    parser = argparse.ArgumentParser()
    parser.add_argument("--crvw", required=True, help="the windowed program to test")
    parser.add_argument("--crv", required=True, help="the console program, for the link check")
    args, rest = parser.parse_known_args()
    CRVW, CRV = os.path.abspath(args.crvw), os.path.abspath(args.crv)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
