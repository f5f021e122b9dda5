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
import re
import resource
import shutil
import signal
import subprocess
import sys
import struct
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine"))
import winetools  # noqa: E402
from common import CRLF, DOS, UNIX, convert, usage_lines  # noqa: E402

USAGE_LINES = usage_lines("console")
# Japanese text in Shift_JIS: bytes above 0x7f, some of whose second bytes
# are ASCII letters and signs, and no NUL.
SHIFT_JIS_CRLF = "日本語の文章\r\n表示と能力\r\n".encode("shift_jis")
UTF16LE_BOM = b"\xff\xfe" + "one\r\ntwo\r\n".encode("utf-16-le")


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

    def run(self, args, cwd, stdin=b"", stdout=subprocess.PIPE, timeout=60, preexec_fn=None):
        proc = subprocess.run(self.command(args), cwd=cwd, input=stdin, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=timeout, preexec_fn=preexec_fn)
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

    def run(self, args, cwd, stdin=b"", stdout=subprocess.PIPE, timeout=60, preexec_fn=None):
        env = dict(os.environ, WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        # Output is collected in files: a Wine background process started by
        # this run would inherit a pipe and hold it open after the run.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.command(args), cwd=cwd, input=stdin, env=env,
                                  stdout=out if stdout == subprocess.PIPE else stdout,
                                  stderr=err, timeout=timeout, preexec_fn=preexec_fn)
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


# x86-64 numbers of the system calls a test holds a run in; strace turns the
# number of a call it fails into -1.
SYSCALL_NUMBERS = {74: "fsync", 316: "renameat2", 1: "write", 257: "openat", -1: "failed"}


def syscall_held(strace_proc):
    """The system call the program that strace runs is stopped in (by a
    delay_enter or delay_exit injection), or None."""
    try:
        with open("/proc/%d/task/%d/children" % (strace_proc.pid, strace_proc.pid)) as f:
            child = int(f.read().split()[0])
        with open("/proc/%d/status" % child) as f:
            if "(tracing stop)" not in f.read():
                return None
        with open("/proc/%d/syscall" % child) as f:
            return SYSCALL_NUMBERS.get(int(f.read().split()[0]))
    except (OSError, IndexError, ValueError):
        return None


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
            # Already in form: the file is left as it is, with its hard link.
            (["-d"], UNIX, UNIX),
            (["-c"], CRLF, CRLF),
        ]
        for opts, before, after in cases:
            for where in ("before", "after"):
                with self.subTest(opts=opts, where=where):
                    self.put("f.txt", before)
                    in_form = before == after
                    if in_form:
                        os.utime(self.path("f.txt"), ns=(10**18, 10**18))
                        os.link(self.path("f.txt"), self.path("g"))
                    st = os.stat(self.path("f.txt"))
                    args = opts + ["f.txt"] if where == "before" else ["f.txt"] + opts
                    self.assertEqual(self.run_crv(*args), (0, b"", b""))
                    self.assertEqual(self.get("f.txt"), after)
                    if in_form:
                        now = os.stat(self.path("f.txt"))
                        self.assertEqual((now.st_ino, now.st_mtime_ns, now.st_nlink),
                                         (st.st_ino, st.st_mtime_ns, 2))
                        os.unlink(self.path("g"))
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
        if self.p.name == "wine":
            # Device names, which every backup name made from them is too.
            names += ["NUL", "CON", "COM1", "nul.txt"]
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
        # Backups of earlier runs, and what a killed run leaves (its new file
        # under the backup's name plus ".new", with the backup or alone once
        # that was deleted by hand), only push the number on.
        cases = [
            {"f.txt.crv#001": b"first", "f.txt.crv#002": b"second"},
            {"f.txt.crv#001.new": b"partial"},
            {"f.txt.crv#001": b"first", "f.txt.crv#001.new": b"partial"},
        ]
        for leftovers in cases:
            with self.subTest(leftovers=sorted(leftovers)):
                subprocess.run(["rm", "-rf", self.dir], check=True)
                os.mkdir(self.dir)
                self.put("f.txt", DOS)
                for name, data in leftovers.items():
                    self.put(name, data)
                self.assertEqual(self.run_crv("-d", "f.txt"), (0, b"", b""))
                self.assertEqual(self.get("f.txt"), UNIX)
                self.assertEqual({n: self.get(n) for n in self.listing() if n != "f.txt"},
                                 leftovers)

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
            (b"\x01\x1a\r\n\x1a", ["-d"], b"\x01\x1a\n\x1a"),
            (b"a\n\r", ["-c"], b"a\r\n\r"),
            (bytes(range(1, 256)) * 3, ["-c"],
             (bytes(range(1, 10)) + b"\r\n" + bytes(range(11, 256))) * 3),
            # A UTF-8 byte-order mark is text, kept; so are byte encodings
            # without NUL.
            (b"\xef\xbb\xbfone\r\ntwo\r\n", ["-d"], b"\xef\xbb\xbfone\ntwo\n"),
            (SHIFT_JIS_CRLF, ["-d"], SHIFT_JIS_CRLF.replace(b"\r\n", b"\n")),
            (SHIFT_JIS_CRLF.replace(b"\r\n", b"\n"), ["-c"], SHIFT_JIS_CRLF),
            # Already in form: left as it is, whatever it holds.
            (UTF16LE_BOM, ["-d"], UTF16LE_BOM),
            (b"\x00\r\n", ["-c"], b"\x00\r\n"),
        ]
        for before, opts, after in cases:
            with self.subTest(before=before[:20], opts=opts):
                self.put("f", before)
                self.assertEqual(self.run_crv(*opts, "f"), (0, b"", b""))
                self.assertEqual(self.get("f"), after)


def png():
    """A small PNG picture, 2 by 2 pixels."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\x00" + b"\xff\x00\x00" * 2 for _ in range(2))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class NotTextTest(Case):
    def test_not_text_is_never_converted(self):
        # Each would change under its option, and fails with the file as it
        # was: bytes, identity and dates, and nothing beside it.
        with open("/bin/true", "rb") as f:
            elf = f.read()
        text = "one\r\ntwo\r\n"
        big = bytearray(b"a line of text\r\n" * ((10 << 20) // 16))
        big[-100] = 0
        cases = [
            ("ELF program", elf, ["-c"]),
            ("PNG picture", png(), ["-d"]),
            ("PNG picture", png(), ["-c"]),
            ("UTF-16LE with BOM", UTF16LE_BOM, ["-c"]),
            ("UTF-16BE with BOM", b"\xfe\xff" + text.encode("utf-16-be"), ["-c"]),
            ("UTF-16LE without BOM", text.encode("utf-16-le"), ["-c"]),
            ("UTF-32LE with BOM", b"\xff\xfe\x00\x00" + text.encode("utf-32-le"), ["-c"]),
            ("UTF-16LE BOM, no NUL", b"\xff\xfe\x01\x30\x0a\x30", ["-c"]),
            ("10 MiB text, a NUL near its end", bytes(big), ["-d"]),
        ]
        for what, data, opts in cases:
            with self.subTest(what, opts=opts):
                self.assertNotEqual(convert(data, opts == ["-c"]), data)
                self.put("f", data)
                os.utime(self.path("f"), ns=(10**18, 10**18))
                before = os.stat(self.path("f"))
                self.assertEqual(self.run_crv(*opts, "f"),
                                 (1, error(self.p, b"f convert failed."), b""))
                after = os.stat(self.path("f"))
                self.assertTrue(self.get("f") == data)
                self.assertEqual((after.st_ino, after.st_mtime_ns), (before.st_ino, 10**18))
                self.assertEqual(self.listing(), ["f"])


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

    # Runs as root and as an ordinary user (nobody, owning the directory and
    # its files); other users probe the access a file really gives.
    AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    NAMED, GROUPMATE, STRANGER = 4243, 4244, 4245

    def runners(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to act as other users")
        os.chmod(self.dir, 0o755)
        return [("root", [], 0), ("nobody", self.AS_NOBODY, 65534)]

    def clear(self, uid):
        subprocess.run(["rm", "-rf"] + [self.path(n) for n in self.listing()], check=True)
        os.chown(self.dir, uid, uid)

    def crv_as(self, prefix, *args):
        proc = subprocess.run(prefix + [self.p.exe] + list(args), cwd=self.dir,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return proc.returncode, proc.stdout, proc.stderr

    def access(self, name):
        """What NAMED, GROUPMATE (in the file's group) and STRANGER may do."""
        gid = os.stat(self.path(name)).st_gid
        probe = 'test -r "$1" && printf r || printf -; test -w "$1" && printf w || printf -'
        return tuple(subprocess.run(
            ["setpriv", "--reuid=%d" % uid, "--regid=%d" % g, "--clear-groups", "sh", "-c",
             probe, "-", self.path(name)], stdout=subprocess.PIPE, check=True).stdout.decode()
            for uid, g in ((self.NAMED, 4243), (self.GROUPMATE, gid), (self.STRANGER, 4245)))

    def facts(self, name):
        path = self.path(name)
        acl = subprocess.run(["getfacl", "-cpn", path], stdout=subprocess.PIPE, check=True).stdout
        attrs = {a: os.getxattr(path, a) for a in os.listxattr(path)
                 if not a.startswith("system.")}
        return os.stat(path).st_mode & 0o7777, acl, attrs, self.access(name)

    def test_access_control_and_attributes_travel(self):
        # (directory's default ACL, mode, file's ACL, access before and after)
        cases = [
            (None, 0o600, "u:%d:rw,g::---" % self.NAMED, ("rw", "--", "--")),
            ("u:%d:rw" % self.NAMED, 0o660, None, ("--", "rw", "--")),
        ]
        for who, prefix, uid in self.runners():
            for default, mode, acl, access in cases:
                with self.subTest(who=who, default=default, acl=acl):
                    self.clear(uid)
                    subprocess.run(["setfacl", "-b" if default is None else "-dm",
                                    default or "", self.dir], check=True)
                    self.put("f", DOS)
                    os.chown(self.path("f"), uid, uid)
                    # chmod sets an ACL's mask: it comes before the ACL, or
                    # after the inherited one is removed.
                    f, chmod = self.path("f"), ["chmod", "%o" % mode, self.path("f")]
                    for step in ([chmod, ["setfacl", "-m", acl, f]] if acl else
                                 [["setfacl", "-b", f], chmod]):
                        subprocess.run(step, check=True)
                    attrs = {"user.origin": b"x"}
                    if who == "root":
                        attrs["trusted.note"] = b"y"
                    for a, v in attrs.items():
                        os.setxattr(self.path("f"), a, v)
                    before = self.facts("f")
                    self.assertEqual((before[2], before[3]), (attrs, access))
                    self.assertEqual(self.crv_as(prefix, "-d", "f"), (0, b"", b""))
                    self.assertEqual(self.facts("f"), before)
                    self.assertEqual((self.get("f"), self.listing()), (UNIX, ["f"]))

    def test_owner_and_group_kept_or_refused(self):
        # (runner's uid and groups, the file's owner, group and mode, the
        # folder's, whether it converts). A run that could not give the new
        # file the original's owner and group changes nothing; root always
        # converts, keeping them. Another user's file in a folder the runner
        # may write; another user's file in a shared set-group-ID folder; the
        # runner's file in a group that the runner is not in.
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to act as other users")
        alice, bob, share, deny = 4246, 4247, 4250, 4251
        cases = [
            ((alice, []), (0, 0, 0o644), (0, 0, 0o777), False),
            ((alice, [share]), (bob, share, 0o664), (0, share, 0o2775), False),
            ((alice, []), (alice, deny, 0o604), (alice, alice, 0o755), False),
            ((alice, [share]), (alice, share, 0o664), (0, share, 0o2775), True),
            ((alice, [share]), (alice, share, 0o640), (alice, alice, 0o755), True),
        ]
        cases += [((0, []), file, folder, True) for _, file, folder, converted in cases
                  if not converted]
        os.chmod(self.dir, 0o755)
        for (uid, groups), (fu, fg, fmode), (du, dg, dmode), converted in cases:
            with self.subTest(uid=uid, file=(fu, fg, oct(fmode)), folder=(du, dg, oct(dmode))):
                subprocess.run(["rm", "-rf", self.path("w")], check=True)
                os.mkdir(self.path("w"))
                os.chown(self.path("w"), du, dg)
                os.chmod(self.path("w"), dmode)
                self.put("w/f", DOS)
                os.chown(self.path("w/f"), fu, fg)
                os.chmod(self.path("w/f"), fmode)
                before = os.stat(self.path("w/f"))
                proc = subprocess.run(
                    ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid,
                     "--groups=" + ",".join(str(g) for g in groups or [uid]),
                     self.p.exe, "-d", "f"], cwd=self.path("w"), stdout=subprocess.PIPE)
                after = os.stat(self.path("w/f"))
                self.assertEqual((proc.returncode, proc.stdout), (0, b"") if converted else
                                 (1, error(self.p, b"f convert failed.")))
                self.assertEqual((self.get("w/f"), os.listdir(self.path("w"))),
                                 (UNIX if converted else DOS, ["f"]))
                self.assertEqual((after.st_uid, after.st_gid, after.st_mode & 0o7777),
                                 (fu, fg, fmode))
                self.assertEqual(after.st_ino == before.st_ino, not converted)

    def test_links_convert_at_their_target(self):
        # (name given, links to make, the file it stands for; a directory in
        # the way of the target's backup makes the run fail)
        cases = [
            ("link.txt", [("link.txt", "t.txt")], "t.txt", False),
            ("l2", [("l1", "sub/t.txt"), ("l2", "l1")], "sub/t.txt", False),
            ("sub/up", [("sub/up", "../t.txt")], "t.txt", False),
            ("abs", [("abs", "@/t.txt")], "t.txt", False),
            ("link.txt", [("link.txt", "t.txt")], "t.txt", True),
        ]
        for who, prefix, uid in self.runners():
            for name, links, target, blocked in cases:
                with self.subTest(who=who, name=name, blocked=blocked):
                    self.clear(uid)
                    os.mkdir(self.path("sub"))
                    self.put(target, DOS)
                    for link, to in links:
                        os.symlink(to.replace("@", self.dir), self.path(link))
                    if blocked:
                        os.mkdir(self.path(target + ".crv#001"))
                    subprocess.run(["chown", "-hR", "%d:%d" % (uid, uid), self.dir], check=True)
                    before = sorted(os.listdir(self.path("sub"))) + self.listing()
                    status, out, _ = self.crv_as(prefix, "-d", name)
                    failed = error(self.p, name.encode() + b" convert failed.")
                    self.assertEqual((status, out), (1, failed) if blocked else (0, b""))
                    self.assertEqual(self.get(target), DOS if blocked else UNIX)
                    self.assertEqual(sorted(os.listdir(self.path("sub"))) + self.listing(), before)
                    for link, to in links:
                        self.assertEqual(os.readlink(self.path(link)), to.replace("@", self.dir))

    def test_shared_and_write_only_directories(self):
        # (who runs, the folder's mode and owner, the link's owner or None for
        # the file itself, whether the file is converted). In a sticky folder
        # that everyone may write, a link is followed only when it belongs to
        # the runner or to the folder's owner; a folder its owner may write
        # but not read still gets its new entry made durable.
        S = self.STRANGER
        cases = [
            ("root", 0o1777, 0, S, False),
            ("root", 0o1777, 0, 0, True),
            ("root", 0o1777, S, S, True),
            ("root", 0o0777, 0, S, True),
            ("nobody", 0o1777, 0, S, False),
            ("nobody", 0o0300, 65534, None, True),
        ]
        runners = dict((who, (prefix, uid)) for who, prefix, uid in self.runners())
        for who, mode, owner, link_owner, converted in cases:
            with self.subTest(who=who, mode=oct(mode), link_owner=link_owner):
                prefix, uid = runners[who]
                self.clear(0)
                os.mkdir(self.path("w"))
                self.put("w/t.txt", DOS)
                os.chown(self.path("w/t.txt"), uid, uid)
                name = "w/t.txt"
                if link_owner is not None:
                    os.symlink("t.txt", self.path("w/l"))
                    os.lchown(self.path("w/l"), link_owner, link_owner)
                    name = "w/l"
                os.chown(self.path("w"), owner, owner)
                os.chmod(self.path("w"), mode)
                status, out, _ = self.crv_as(prefix, "-d", name)
                os.chmod(self.path("w"), 0o755)
                want = (0, b"") if converted else (1, error(self.p, b'"w/l" is not found.'))
                self.assertEqual((status, out), want)
                self.assertEqual((self.get("w/t.txt"), sorted(os.listdir(self.path("w")))),
                                 (UNIX if converted else DOS, sorted(["t.txt"] + ["l"] * (
                                     link_owner is not None))))

    def test_link_to_a_folder_in_a_shared_folder(self):
        # A stranger's link to root's folder, planted in a sticky folder that
        # everyone may write, is not followed in any part of the path,
        # whatever the system's own setting (turned off here where it can be).
        if os.geteuid() != 0:
            self.skipTest("needs root")
        setting = "/proc/sys/fs/protected_symlinks"
        with open(setting) as f:
            before = f.read()
        try:
            with open(setting, "w") as f:
                f.write("0")
        except OSError:
            pass
        try:
            os.makedirs(self.path("private"))
            os.mkdir(self.path("w"))
            self.put("private/conf.txt", DOS)
            os.symlink(self.path("private"), self.path("w/evil"))
            os.lchown(self.path("w/evil"), self.STRANGER, self.STRANGER)
            os.chmod(self.path("w"), 0o1777)
            self.assertEqual(self.run_crv("-d", "w/evil/conf.txt")[:2],
                             (1, error(self.p, b'"w/evil/conf.txt" is not found.')))
            self.assertEqual(self.get("private/conf.txt"), DOS)
        finally:
            try:
                with open(setting, "w") as f:
                    f.write(before)
            except OSError:
                pass

    def test_other_programs_and_locks(self):
        # (what another program does, whether the run converts). A program
        # that has the file open for writing, or mapped writable, keeps it:
        # the run fails unchanged and what the program writes later lands in
        # the file under its name. Locks that anyone may take on the folder,
        # or that the file system refuses on a read-only descriptor (NFS),
        # never fail a run.
        import mmap

        def appender():
            fd = os.open(self.path("f"), os.O_WRONLY | os.O_APPEND)
            return lambda: (os.write(fd, b"later\n"), os.close(fd))

        def mapping():
            fd = os.open(self.path("f"), os.O_RDWR)
            m = mmap.mmap(fd, 0, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
            os.close(fd)

            def write():
                m[0:1] = b"O"
                m.close()
            return write

        def folder_locked():
            proc = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", "flock", self.dir, "sleep", "30"])
            time.sleep(0.3)
            return lambda: (proc.kill(), proc.wait())

        def shared_lock():
            proc = subprocess.Popen(["flock", "-s", self.path("f"), "sleep", "30"])
            time.sleep(0.3)
            return lambda: (proc.kill(), proc.wait())

        strace = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=flock:error=EBADF"]
        cases = [
            ("a descriptor open for appending", appender, [], DOS + b"later\n"),
            ("a writable shared mapping", mapping, [], b"O" + DOS[1:]),
            ("the folder locked by another user", folder_locked, [], UNIX),
            ("every lock refused for the descriptor's mode", lambda: lambda: None, strace, UNIX),
            # A file in form is left as it is, its access time too.
            ("a shared lock on a file in form", shared_lock, [], UNIX),
        ]
        for what, hold, prefix, after in cases:
            with self.subTest(what):
                self.put("f", UNIX if "in form" in what else DOS)
                os.utime(self.path("f"), (1, os.stat(self.path("f")).st_mtime))
                os.chmod(self.dir, 0o755)
                release = hold()
                proc = subprocess.run(prefix + [self.p.exe, "-d", "f"], cwd=self.dir,
                                      stdout=subprocess.PIPE)
                release()
                converted = after == UNIX
                self.assertEqual((proc.returncode, proc.stdout),
                                 (0, b"") if converted else (1, error(self.p, b"f convert failed.")))
                if "in form" in what:
                    self.assertEqual(os.stat(self.path("f")).st_atime, 1)
                self.assertEqual((self.get("f"), self.listing()), (after, ["f"]))

    def test_user_space_file_system(self):
        # bindfs with its default attribute cache, which answers a stat of a
        # file just renamed with its former change time.
        if os.geteuid() != 0 or shutil.which("bindfs") is None or not os.path.exists("/dev/fuse"):
            self.skipTest("needs root, bindfs and /dev/fuse")
        os.mkdir(self.path("src"))
        os.mkdir(self.path("mnt"))
        self.put("src/f", DOS)
        subprocess.run(["bindfs", self.path("src"), self.path("mnt")], check=True)
        try:
            self.assertEqual(self.p.run(["-d", "f"], self.path("mnt"))[:2], (0, b""))
        finally:
            subprocess.run(["umount", self.path("mnt")], check=True)
        self.assertEqual((self.get("src/f"), os.listdir(self.path("src"))), (UNIX, ["f"]))

    def test_a_refused_run_leaves_the_name_alone(self):
        # Where the file cannot be replaced as it must be, the run is refused
        # before anything changes: strace holds it after every call that
        # could change a name while a watcher looks at the name, which must
        # hold the original file at every moment, and lines its owner
        # appends meanwhile all stay; no backup or new file is left.
        if os.geteuid() != 0 or shutil.which("strace") is None:
            self.skipTest("needs root (to mount, to act as other users) and strace")
        os.chmod(self.dir, 0o755)
        owner, group = self.NAMED, self.GROUPMATE
        as_user = lambda uid: ["setpriv", "--reuid=%d" % uid, "--regid=%d" % group,
                               "--clear-groups"]

        def fuse_group_member():
            # Another user's file that the group may write, on a user-space
            # file system: the new file could not keep its owner.
            if not shutil.which("bindfs") or not os.path.exists("/dev/fuse"):
                self.skipTest("needs bindfs and /dev/fuse")
            os.mkdir(self.path("src"))
            os.mkdir(self.path("mnt"))
            os.chown(self.path("src"), owner, group)
            os.chmod(self.path("src"), 0o775)
            subprocess.run(["bindfs", "-o", "allow_other", self.path("src"), self.path("mnt")],
                           check=True)
            return "src", "mnt", as_user(group), lambda: subprocess.run(
                ["umount", self.path("mnt")], check=True)

        def no_free_inode():
            os.mkdir(self.path("small"))
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=8", "tmpfs",
                            self.path("small")], check=True)
            return "small", "small", [], lambda: subprocess.run(
                ["umount", self.path("small")], check=True)

        def append_only_folder():
            # Where this folder's file system keeps no such attribute, a
            # small ext4 image mounted through a loop device does.
            ao = self.path("ao")
            os.mkdir(ao)
            undo = [["chattr", "-a", ao]]
            if not self.chattr_a(ao):
                image = self.path("ao.img")
                with open(image, "wb") as f:
                    f.truncate(8 << 20)
                made = subprocess.run(["mkfs.ext4", "-q", image], stderr=subprocess.DEVNULL)
                if made.returncode or subprocess.run(
                        ["mount", "-o", "loop", image, ao], stderr=subprocess.DEVNULL).returncode:
                    self.skipTest("no append-only attribute here, and no loop device for ext4")
                undo.append(["umount", ao])
                if not self.chattr_a(ao):
                    subprocess.run(["umount", ao])
                    self.skipTest("chattr +a refused, on ext4 too")
            return "ao", "ao", [], lambda: [subprocess.run(c) for c in undo]

        cases = [("a group member on FUSE", fuse_group_member),
                 ("no free inode", no_free_inode),
                 ("an append-only folder", append_only_folder)]
        hold = ["strace", "-f", "-qq", "-o", os.devnull, "-e",
                "inject=openat,linkat,renameat,renameat2,unlinkat:delay_exit=30000"]
        for what, setup in cases:
            with self.subTest(what):
                self.clear(0)
                os.chmod(self.dir, 0o755)
                store, folder, prefix, undo = setup()
                try:
                    path = self.path(store + "/f")
                    self.put(store + "/f", DOS)
                    os.chown(path, owner, group)
                    os.chmod(path, 0o664)
                    if what == "no free inode":
                        for i in range(16):
                            try:
                                self.put("small/fill%d" % i, b"")
                            except OSError:
                                break
                    if what == "an append-only folder":
                        subprocess.run(["chattr", "+a", self.path("ao")], check=True)
                    ino, seen, stop = os.stat(path).st_ino, set(), self.path("stop")

                    def watch():
                        while not os.path.exists(stop):
                            try:
                                seen.add(os.stat(path).st_ino)
                            except FileNotFoundError:
                                seen.add(None)

                    watcher = threading.Thread(target=watch)
                    watcher.start()
                    appender = subprocess.Popen(as_user(owner) + [
                        "sh", "-c", 'i=0; until [ -e "$1" ]; do echo "line $i" >> f; '
                        'i=$((i+1)); sleep 0.01; done; echo $i', "sh", stop],
                        cwd=self.path(folder), stdout=subprocess.PIPE)
                    runs = [subprocess.run(hold + prefix + [self.p.exe, "-d", "f"],
                                           cwd=self.path(folder), stdout=subprocess.PIPE)
                            for _ in range(2)]
                    self.put("stop", b"")
                    lines = int(appender.communicate()[0])
                    watcher.join()
                    os.unlink(stop)
                    self.assertEqual([(r.returncode, r.stdout) for r in runs],
                                     [(1, error(self.p, b"f convert failed."))] * 2)
                    self.assertEqual(seen, {ino})
                    self.assertEqual(self.get(store + "/f"),
                                     DOS + b"".join(b"line %d\n" % i for i in range(lines)))
                    self.assertEqual([n for n in os.listdir(self.path(store))
                                      if not n.startswith("fill") and n != "lost+found"], ["f"])
                finally:
                    undo()

    @staticmethod
    def chattr_a(folder):
        """Whether `folder` can be made append-only; it is left as it was."""
        if subprocess.run(["chattr", "+a", folder], stderr=subprocess.DEVNULL).returncode:
            return False
        subprocess.run(["chattr", "-a", folder], check=True)
        return True

    def test_working_directory_deeper_than_a_path_allows(self):
        # 25 levels of 200 bytes: no absolute name of these files would fit
        # in PATH_MAX, so crv must keep the names relative, links too.
        script = ('for i in $(seq 25); do mkdir %s && cd %s || exit 9; done; '
                  'printf "a\\r\\n" > f; printf "b\\r\\n" > t; ln -s t l; '
                  '"$0" -d f && "$0" -d l && test -L l && cat f t' % ("d" * 200, "d" * 200))
        proc = subprocess.run(["bash", "-c", script, self.p.exe], cwd=self.dir,
                              stdout=subprocess.PIPE)
        self.assertEqual((proc.returncode, proc.stdout), (0, b"a\nb\n"))

    def test_other_names_of_a_hard_link_keep_the_former_bytes(self):
        self.put("f", DOS)
        os.link(self.path("f"), self.path("g"))
        self.assertEqual(self.run_crv("-d", "f"), (0, b"", b""))
        self.assertEqual((self.get("f"), self.get("g")), (UNIX, DOS))

    def test_a_name_taken_meanwhile_is_left_alone(self):
        # crv is held by strace (at the exchange; at the commit of a
        # conversion made to fail) while another file takes the name: the
        # name keeps it, and the backup, now the original's only name, stays.
        def plant_link():
            os.symlink("other", self.path("new"))
            os.replace(self.path("new"), self.path("f"))

        def plant_file():
            os.unlink(self.path("f"))
            self.put("f", b"theirs")

        cases = [
            ("renameat2:delay_enter=2000000:when=1", "renameat2", plant_link),
            ("fsync:error=EIO:delay_enter=2000000:when=1", "failed", plant_file),
        ]
        for who, prefix, uid in self.runners():
            for hold, held_in, plant in cases:
                with self.subTest(who=who, hold=hold):
                    self.clear(uid)
                    self.put("f", DOS)
                    self.put("other", b"precious")
                    os.chown(self.path("f"), uid, uid)
                    proc = subprocess.Popen(
                        ["strace", "-qq", "-o", os.devnull, "-e", "inject=" + hold] + prefix +
                        [self.p.exe, "-d", "f"], cwd=self.dir, stdout=subprocess.PIPE)
                    deadline = time.monotonic() + 30
                    while syscall_held(proc) != held_in:
                        self.assertLess(time.monotonic(), deadline, "crv was never held")
                        self.assertIsNone(proc.poll(), "crv was never held")
                    plant()
                    planted = [n for n in self.listing() if not n.endswith(".new")]
                    out, _ = proc.communicate(timeout=60)
                    self.assertEqual((proc.returncode, out), (1, error(self.p, b"f convert failed.")))
                    self.assertEqual((self.get("other"), self.get("f.crv#001"), self.listing()),
                                     (b"precious", DOS, planted))
                    self.assertEqual(self.get("f"), b"precious" if plant is plant_link else b"theirs")


# Mixed line ends and CR runs, so that both conversions differ from it; large
# enough for several reads and writes of the copy.
MIXED = b"".join(b"line %d\r\n" % i + (b"unix\n" if i % 3 else b"\r\r\n") for i in range(60000))


class CollisionTest(Case):
    """Runs that meet on one file, and other programs that write it or move
    its directory meanwhile: no byte is lost, a run that reports success has
    its conversion under the name, and no backup is left behind."""

    def backups(self, folder=None):
        return [n for n in os.listdir(folder or self.dir) if ".crv#" in n]

    def test_runs_at_once(self):
        native = self.p.name == "native"
        rounds, runs = (40, 6) if native else (3, 4)
        conv = {"-d": convert(MIXED, False), "-c": convert(MIXED, True)}
        for r in range(rounds):
            with self.subTest(round=r):
                subprocess.run(["rm", "-rf", self.dir], check=True)
                os.mkdir(self.dir)
                self.put("f", MIXED)
                names = ["f"]
                if native:
                    os.symlink("f", self.path("l"))
                    names.append("l")
                # Every other round all runs ask for the same form.
                modes = ["-d", "-c"] if r % 2 else ["-d"]
                procs = [(modes[i % len(modes)],
                          subprocess.Popen(self.p.command([modes[i % len(modes)],
                                                           names[i % len(names)]]),
                                           cwd=self.dir, stdout=subprocess.DEVNULL))
                         for i in range(runs)]
                done = [(m, p.wait(timeout=120)) for m, p in procs]
                final = self.get("f")
                self.assertEqual(self.backups(), [])
                self.assertTrue(final in (MIXED, conv["-d"], conv["-c"]), "bytes lost")
                won = {m for m, status in done if status == 0}
                self.assertLessEqual({status for _, status in done}, {0, 1})
                if len(won) == 1:
                    self.assertTrue(final == conv[next(iter(won))], "a success without its result")
                if not won:
                    self.assertTrue(final == MIXED)

    def test_a_run_held_while_others_act(self):
        # Run A (crv -d att/d/f) is stopped by strace after one of its calls,
        # another process acts, then A goes on. Every call A makes is tried.
        if self.p.name != "native" or shutil.which("strace") is None:
            self.skipTest("native build with strace only")
        home = self.path("att/d")
        others = self.path("others")  # where a swapped-in link leads

        def reset():
            subprocess.run(["rm", "-rf", self.dir], check=True)
            os.makedirs(home)
            os.mkdir(others)
            self.put("others/f.crv#001", b"theirs")
            self.put("att/d/f", MIXED)
            os.symlink("f", os.path.join(home, "l"))

        def crv_c(name, interrupt=False):
            def act():
                before = self.tree()
                status = subprocess.run(self.p.command(["-c", name]), cwd=home,
                                        stdout=subprocess.DEVNULL).returncode
                after = self.tree()
                converted_later[:] = [status == 0]
                if status == 0:
                    # Only a run that found no other run going on may succeed.
                    self.assertFalse(any(n.startswith("att/d/f.crv#") for n in before), "ran beside A")
                    self.assertTrue(after == {**before, "att/d/f": convert(before["att/d/f"], True)},
                                    "a success without its result")
                else:
                    self.assertTrue(after == before, "a failed run changed the disk")
                if interrupt:
                    os.kill(held[0], signal.SIGINT)
            return act

        converted_later = [False]  # whether B converted while A was held
        appended = b"appended by another program\r\n"
        writer = []  # the program that appends, and whether it could open

        held = []  # A's process

        def append_to(name, interrupt=False):
            # A program opens the name for appending, as a log writer or the
            # shell's >> does: while A holds the file its open waits, so A
            # goes on meanwhile.
            def write():
                try:
                    fd = os.open(self.path(name), os.O_WRONLY | os.O_APPEND)
                except FileNotFoundError:
                    return
                os.write(fd, appended)
                os.close(fd)
                writer.append("appended")

            def act():
                writer[:] = [threading.Thread(target=write)]
                writer[0].start()
                writer[0].join(0.2)
                if interrupt:
                    os.kill(held[0], signal.SIGINT)
            return act

        readings = []

        def read_as_another_user(stop=None):
            # One who may read the file reads it whole while A is held: the
            # original, or A's complete output once A ends; also when A is
            # then stopped by a signal and fails.
            def read():
                readings.append(subprocess.run(
                    ["setpriv", "--reuid=4245", "--regid=4245", "--clear-groups", "cat",
                     self.path("att/d/f")], stdout=subprocess.PIPE, stderr=subprocess.PIPE))

            def act():
                os.chmod(self.dir, 0o755)
                writer[:] = [threading.Thread(target=read)]
                writer[0].start()
                writer[0].join(0.2)
                if stop:
                    os.kill(held[0], stop)
            return act

        def swap():
            os.rename(self.path("att/d"), self.path("att/d.old"))
            os.symlink(others, self.path("att/d"))

        trace = self.path("trace")
        reset()
        subprocess.run(["strace", "-qq", "-o", trace, self.p.exe, "-d", "att/d/f"],
                       cwd=self.dir, check=True)
        with open(trace) as f:
            calls = [line.split("(")[0] for line in f if re.match(
                r"(openat|flock|linkat|renameat2|read|write|fsync|newfstatat|unlinkat)\(", line)
                and not line.startswith(("write(1,", "read(0,"))]
        points = [(c, calls[:i + 1].count(c)) for i, c in enumerate(calls)]
        actions = [("crv -c f", crv_c("f")), ("crv -c l", crv_c("l")),
                   ("crv -c f, then Ctrl-C", crv_c("f", interrupt=True)),
                   ("append", append_to("att/d/f")),
                   ("append to the backup", append_to("att/d/f.crv#001")),
                   ("append, then Ctrl-C", append_to("att/d/f", interrupt=True)),
                   ("another user reads", read_as_another_user()),
                   ("another user reads, then SIGTERM", read_as_another_user(signal.SIGTERM)),
                   ("swap the directory", swap)]
        # Actions tried only where A is held in these calls (the copy, the commit).
        only_at = {"another user reads, then SIGTERM": ("write", "fsync", "linkat", "renameat2")}
        # The outcomes that one moment decides (the run's status, the name's
        # bytes): a writer that opens the original just before the exchange
        # (the new file's link as `<backup>.new`) waits on the original's
        # lease, which sends the original back under the name with its line;
        # one that opens the name just after the exchange writes into the
        # conversion.
        exact = {("linkat", 2, "append"): (1, MIXED + appended),
                 ("renameat2", 1, "append"): (0, convert(MIXED, False) + appended)}
        for (call, when), (what, act) in [(p, a) for p in points for a in actions
                                          if a[0] not in only_at or p[0] in only_at[a[0]]]:
            with self.subTest(held_after="%s #%d" % (call, when), meanwhile=what):
                reset()
                converted_later[:] = [False]
                writer[:] = readings[:] = []
                proc = subprocess.Popen(
                    ["strace", "-qq", "-o", trace, "-e",
                     "inject=%s:signal=SIGSTOP:when=%d" % (call, when),
                     self.p.exe, "-d", "att/d/f"], cwd=self.dir, stdout=subprocess.PIPE)
                deadline = time.monotonic() + 30
                while True:
                    if os.path.exists(trace):
                        with open(trace) as f:
                            if "stopped by SIGSTOP" in f.read():
                                break
                    self.assertLess(time.monotonic(), deadline, "A was never held")
                    self.assertIsNone(proc.poll(), "A was never held")
                    time.sleep(0.01)
                with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                    held[:] = [int(f.read())]
                try:
                    act()
                finally:
                    os.kill(held[0], signal.SIGCONT)
                    proc.communicate(timeout=60)
                    if writer:
                        writer[0].join(60)
                for r in readings:
                    self.assertTrue(r.returncode == 0 and r.stdout in (MIXED, convert(MIXED, False)),
                                    "another user read %d bytes, %r" % (len(r.stdout), r.stderr))
                folder = self.path("att/d.old" if what.startswith("swap") else "att/d")
                final = self.tree()
                self.assertTrue(final["others/f.crv#001"] == b"theirs")
                self.assertEqual([n for n in final if n.startswith("others/")],
                                 ["others/f.crv#001"], "a step landed in another directory")
                data = final[os.path.relpath(folder, self.dir) + "/f"]
                # (Large bytes compared with assertTrue: a failing assertEqual
                # would spend minutes on their difference.)
                if (call, when, what) in exact:
                    status, want = exact[call, when, what]
                    self.assertTrue((proc.returncode, data) == (status, want),
                                    "status %d, %d bytes under the name" % (proc.returncode,
                                                                            len(data)))
                if what == "append to the backup" and proc.returncode == 0 and writer[1:]:
                    # The backup was opened after the exchange, when it named
                    # the original alone: it stays, with the line.
                    kept = [final["att/d/" + n] for n in self.backups(folder)]
                    self.assertTrue((data, kept) == (convert(MIXED, False), [MIXED + appended]),
                                    "%d bytes under the name, backups %s" % (
                                        len(data), [len(k) for k in kept]))
                    continue
                if self.backups(folder) and what.endswith("Ctrl-C") and writer[1:]:
                    # Interrupted while a program waited for the new file: the
                    # original is back under the name, and the new file, into
                    # which the program wrote, is kept under the backup's name.
                    self.assertTrue(data == MIXED and proc.returncode != 0)
                    kept = [final["att/d/" + n] for n in self.backups(folder)]
                    self.assertTrue(len(kept) == 1 and kept[0].endswith(appended))
                    continue
                self.assertEqual(self.backups(folder), [], "a backup was left")
                if writer[1:]:
                    # The line comes after the bytes it was appended to: the
                    # original's, or A's complete output.
                    self.assertTrue(data in (MIXED + appended, convert(MIXED, False) + appended,
                                             convert(MIXED + appended, False)),
                                    "the appended line was lost")
                    if what == "append to the backup":
                        self.assertNotEqual(proc.returncode, 0, "A converted under a writer")
                else:
                    self.assertTrue(data in (MIXED, convert(MIXED, False), convert(MIXED, True)),
                                    "bytes lost")
                if proc.returncode == 0 and not converted_later[0]:
                    # A's result, and after it the line appended meanwhile.
                    ours = data[:-len(appended)] if writer[1:] else data
                    self.assertTrue(ours == convert(ours, False), "A succeeded without its result")

    def tree(self):
        """Every file below the test's folder (links left out), by its
        relative name."""
        files = {}
        for top, _, names in os.walk(self.dir):
            for n in names:
                path = os.path.join(top, n)
                if not os.path.islink(path) and n != "trace":
                    # A run's new file, which readers wait for, is "held".
                    try:
                        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
                    except BlockingIOError:
                        files[os.path.relpath(path, self.dir)] = "held"
                        continue
                    with open(fd, "rb") as f:
                        files[os.path.relpath(path, self.dir)] = f.read()
        return files


class WindowsOnlyTest(Case):
    def setUp(self):
        super().setUp()
        if self.p.name != "wine":
            self.skipTest("Windows build only")

    def test_access_and_attributes_are_kept(self):
        # The new file gets the original's access list, so others get no
        # access they did not have; Wine derives that list from the mode
        # (reading grants executing too, and its group bits are approximate),
        # so only the others' read and write bits are compared. The
        # attributes (read-only, which Wine keeps in the mode; hidden and
        # system, which it keeps in user.DOSATTRIB) are kept, and a read-only
        # original's backup is deleted. A run that fails (a folder where the
        # new file is made) puts the original back with its attributes.
        cases = [(0o600, None, False), (0o640, None, False), (0o644, b"0x4", False),
                 (0o444, b"0x2", False), (0o444, b"0x6", True)]
        for mode, dos, fails in cases:
            with self.subTest(mode=oct(mode), dos=dos, fails=fails):
                self.put("f", DOS)
                if dos:
                    os.setxattr(self.path("f"), "user.DOSATTRIB", dos)
                os.chmod(self.path("f"), mode)
                if fails:
                    os.mkdir(self.path("f.crv#001.new"))
                status = self.run_crv("-d", "f")
                self.assertEqual(status, (1, error(self.p, b"f convert failed."), b"")
                                 if fails else (0, b"", b""))
                self.assertEqual(self.get("f"), DOS if fails else UNIX)
                self.assertEqual(os.stat(self.path("f")).st_mode & 0o006 & ~mode, 0)
                self.assertEqual(os.stat(self.path("f")).st_mode & 0o222 == 0, mode & 0o222 == 0)
                attrs = {a: os.getxattr(self.path("f"), a) for a in os.listxattr(self.path("f"))}
                self.assertEqual(attrs, {"user.DOSATTRIB": dos} if dos else {})
                if fails:
                    os.rmdir(self.path("f.crv#001.new"))
                self.assertEqual(self.listing(), ["f"])
                os.chmod(self.path("f"), 0o644)
                os.remove(self.path("f"))

    def test_an_appending_program_against_repeated_runs(self):
        # A program appends numbered lines to the file by its name, opening
        # it for each line, as fast as it can, while runs convert it again
        # and again, each to the other form. No line it wrote is lost: each
        # is under the name or, where a run kept both files, in a backup. A
        # run that fails leaves the original under the name, one that
        # succeeds the lines the file had before it started converted.
        helper = os.path.join(os.path.dirname(self.p.exe), "tests", "windows",
                              "crv_test_helper.exe")
        if not os.path.exists(helper):
            self.skipTest("no crv_test_helper.exe beside the program")
        self.put("f", b"".join(b"line %d\r\n" % i for i in range(20000)))
        env = dict(os.environ, WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        with tempfile.TemporaryFile() as written:
            appender = subprocess.Popen([winetools.WINE, helper, "append", "f", "stop"],
                                        cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=written, stderr=subprocess.DEVNULL)
            try:
                for run in range(40):
                    add_cr = run % 2 == 1
                    before = self.get("f")
                    before = before[:before.rfind(b"\n") + 1]
                    status = self.run_crv("-c" if add_cr else "-d", "f")[0]
                    after = self.get("f")
                    self.assertIn(status, (0, 1))
                    self.assertTrue(after.startswith(convert(before, add_cr) if status == 0
                                                     else before), "run %d, status %d" % (run, status))
            finally:
                self.put("stop", b"")
                appender.wait(timeout=60)
            written.seek(0)
            numbers = written.read().split()
        self.assertGreater(len(numbers), 0)
        kept = b"".join(self.get(n) for n in self.listing() if n == "f" or ".crv#" in n)
        self.assertEqual([n for n in numbers if b"L" + n + b"." not in kept], [], "lines lost")

    def test_the_name_is_never_taken_by_another_file(self):
        # Wine would find "F" under the name "f" were "f" renamed to the
        # backup; the original keeps its name until the new file replaces
        # it, so "F" is never seen and stays as it is.
        self.put("f", DOS)
        self.put("F", b"theirs")
        self.assertEqual(self.run_crv("-d", "f"), (0, b"", b""))
        self.assertEqual((self.get("F"), self.get("f")), (b"theirs", UNIX))
        self.assertEqual(self.listing(), ["F", "f"])


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

    def test_no_room_restores_the_original(self):
        # 700 KiB of short LF lines: the CR LF output needs more than the
        # 300 KiB left free on a 1 MiB tmpfs, or than a file-size limit of
        # 750 KiB allows (a write beyond it fails, no SIGXFSZ kills).
        original = b"0123456\n" * (700 * 128)
        limit = 750 << 10
        cases = [("full tmpfs", ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs"], None)]
        if self.p.name == "native":
            cases.append(("file-size limit", None,
                          lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))))
        for what, mount, preexec in cases:
            with self.subTest(what):
                mnt = self.path(what.replace(" ", "_"))
                os.mkdir(mnt)
                if mount and (os.geteuid() != 0 or subprocess.run(
                        mount + [mnt], stderr=subprocess.DEVNULL).returncode != 0):
                    print("\nskipped disk-full test: mounting a tmpfs needs root", file=sys.stderr)
                    continue
                try:
                    with open(os.path.join(mnt, "f"), "wb") as f:
                        f.write(original)
                    status, out, _ = self.p.run(["-c", "f"], mnt, preexec_fn=preexec)
                    self.assertEqual((status, out), (1, error(self.p, b"f convert failed.")))
                    with open(os.path.join(mnt, "f"), "rb") as f:
                        self.assertEqual(f.read(), original)
                    self.assertEqual(os.listdir(mnt), ["f"])
                finally:
                    if mount:
                        subprocess.run(["umount", mnt], check=True)

    def test_interrupt_restores_the_original(self):
        # The process is stopped as soon as its backup appears, interrupted,
        # then continued: the signal lands in the middle of the copy.
        # A signal the parent had ignored (nohup) stays ignored: that run
        # goes on and converts the file. The other runs start with the signal
        # at its default, whatever this test inherited.
        original = b"some text in a line\r\n" * (3 << 20)
        cases = [(sig, False) for sig in self.p.interrupt_signals]
        if self.p.name == "native":
            cases.append((signal.SIGHUP, True))
        for sig, ignored in cases:
            with self.subTest(sig=sig, ignored=ignored):
                self.put("big", original)
                disposition = signal.SIG_IGN if ignored else signal.SIG_DFL
                proc = subprocess.Popen(self.p.command(["-d", "big"]), cwd=self.dir,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=lambda: signal.signal(sig, disposition))
                deadline = time.monotonic() + 30
                while not os.path.exists(self.path("big.crv#001")):
                    self.assertLess(time.monotonic(), deadline, "backup never appeared")
                    self.assertIsNone(proc.poll(), "finished before it could be interrupted")
                proc.send_signal(signal.SIGSTOP)
                proc.send_signal(sig)
                proc.send_signal(signal.SIGCONT)
                out, err = proc.communicate(timeout=60)
                status, message, after = (
                    (0, b"", original.replace(b"\r\n", b"\n")) if ignored else
                    (1, error(self.p, b"big convert failed."), original))
                self.assertEqual((proc.returncode, out, err), (status, message, b""))
                self.assertTrue(self.get("big") == after)
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
