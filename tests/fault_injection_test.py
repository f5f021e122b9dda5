#!/usr/bin/env python3
"""Fails every I/O system call crv makes, one at a time, and checks that no
failure loses a byte.

For each scenario (-d, -c, -p with its answer; a file system without
RENAME_EXCHANGE; an older backup present; the restore after a failed
commit, also killed there; a file with an ACL and attributes, one in a directory
with a default ACL, one named through a link; a file large enough that the
writeback of its output starts early, whose writeback calls are failed,
killed and interrupted; as root, killed at every call on tmpfs and on
bindfs, which has no unnamed files, also with hard links refused) the tool
first runs once under strace to count the
calls it makes of
each I/O system call. Then, for every such system call and every K from 1 to
its count, it runs again with the K-th call failed (strace's
-e inject=SYSCALL:error=ERRNO:when=K: EIO; ENOSPC and the persistent K+ for
write and fsync; EINTR for read, write and open), or with SIGKILL or SIGINT
sent there, and checks what is left on the disk, the status and the output:

  status 0  the file holds exactly the converted bytes; a backup (or the
            original's extra name `<backup>.new`) remains only when a look
            at or the removal of such a name after the exchange failed, and
            holds exactly the original;
  status 1  the name holds exactly the original and nothing is left beside
            it, except, only when the failed call was part of the cleanup,
            a backup holding exactly the original, or the run's own
            `<backup>.new` holding its new file;
  output    exactly the expected message, nothing on standard error;
  killed    the name holds the original or the complete conversion, every
            backup `.crv#NNN` exactly the original, and at most one
            `<backup>.new` is left;
  SIGINT    during the copy it stops the conversion, the original kept;
  always    a failure to make the result durable is never a success, an
            older backup is never touched, the link stays, and no file, even
            half written, gives anyone access (by its mode or ACL) that the
            original did not; the ACL and the attributes travel exactly
            unless the run failed or the fault was in no attribute call.

Calls made by the dynamic loader before the program's own code runs (in a
dynamically linked build) are tried too: failing one of them may keep the
program from starting at all (status 127), and then nothing may be touched.

    fault_injection_test.py --crv build/crv [--jobs N]
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

from common import convert

SKIP = 77

# The system calls that read, write or name files and descriptors. Those the
# binary really makes are found by tracing it.
IO_SYSCALLS = {
    "open", "openat", "openat2", "creat", "read", "pread64", "readv", "write",
    "pwrite64", "writev", "fsync", "fdatasync", "sync_file_range", "close",
    "rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat",
    "fchmod", "fchmodat", "chmod", "fchown", "fchownat", "chown", "lchown",
    "stat", "lstat", "fstat", "newfstatat", "statx", "access", "faccessat",
    "faccessat2", "ftruncate", "truncate", "copy_file_range", "sendfile",
    "mkdir", "rmdir", "readlink", "readlinkat", "getdents64",
    "flistxattr", "fgetxattr", "fsetxattr", "fremovexattr", "listxattr", "getxattr",
    "setxattr", "removexattr", "lgetxattr", "llistxattr", "flock", "syncfs",
}
# Where running out of space is a failure of its own kind.
ENOSPC_SYSCALLS = {"write", "pwrite64", "writev", "fsync", "fdatasync", "fsetxattr"}
# Where a fault (an I/O error, a full disk) must fail the run rather than
# drop an attribute or the ACL.
XATTR_SYSCALLS = {"flistxattr", "fgetxattr", "fsetxattr", "fremovexattr"}
# Calls that a signal may interrupt: an EINTR from one of them must never be
# taken for the end of input or a completed write.
EINTR_RETRIED = {"open", "openat", "read", "write"}

NAME = "f"
# The original's permission bits: no file crv leaves, even half written, may
# grant more (nor more than the original's ACL, where it has one).
MODE = 0o640
ACCESS_ACL, DEFAULT_ACL = "system.posix_acl_access", "system.posix_acl_default"
LINK = "l"
BLOCK = 256 * 1024  # at least the copy's block size
# More than twice the output between two starts of writeback.
WRITEBACK_FILE = 9 << 20
WRITEBACK_SYSCALLS = {"sync_file_range"}
MSG_STDOUT = "error: standard output failed.\n"
MSG_STDIN = "error: standard input failed.\n"

LINE_RE = re.compile(r"^([a-z_0-9]+)\((.*)$")


def acl_bytes(entries):
    """The kernel's form of an ACL: (tag, perm, id) entries after version 2."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 1, 2, 4, 8, 0x10, 0x20
NO_ID = 0xFFFFFFFF
# A private file that one named user may also read and write.
PRIVATE_ACL = acl_bytes([(USER_OBJ, 6, NO_ID), (USER, 6, 4243), (GROUP_OBJ, 0, NO_ID),
                         (MASK, 6, NO_ID), (OTHER, 0, NO_ID)])
# A directory's default that would give that user access to every new file.
DEFAULT_FOR_NAMED = acl_bytes([(USER_OBJ, 7, NO_ID), (USER, 6, 4243), (GROUP_OBJ, 5, NO_ID),
                               (MASK, 7, NO_ID), (OTHER, 5, NO_ID)])


def grants(mode, acl):
    """Who may do what (read, write, execute bits) by a file's ACL or mode."""
    if acl is None:
        return {(USER_OBJ, NO_ID): mode >> 6 & 7, (GROUP_OBJ, NO_ID): mode >> 3 & 7,
                (OTHER, NO_ID): mode & 7}
    entries = {(t, i): p for t, p, i in struct.iter_unpack("<HHI", acl[4:])}
    mask = entries.pop((MASK, NO_ID), 7)
    return {(t, i): p & mask if t in (USER, GROUP, GROUP_OBJ) else p
            for (t, i), p in entries.items()}


def wider(new, original):
    """The access `new` gives that `original` does not; someone the original
    does not name is held to nothing."""
    return {k: p & ~original.get(k, 0) for k, p in new.items() if p & ~original.get(k, 0)}


def make_text(line_end):
    """About three and a half blocks of lines of varying length, with CR runs
    and lone CRs, some of them across block boundaries."""
    out = bytearray()
    i = 0
    while len(out) < 3 * BLOCK + BLOCK // 2:
        out += b"line %d " % i + b"x" * (i % 97)
        if i % 11 == 0:
            out += b"\r\r" + line_end
        elif i % 13 == 0:
            out += b"\rmid"
        out += line_end
        i += 1
    # A CR run that ends one block and an LF that begins the next.
    out[BLOCK - 3:BLOCK] = b"\r\r\r"
    out[BLOCK] = ord("\n")
    return bytes(out) + b"\r"


class Scenario:
    def __init__(self, name, args, original, stdin=b"", base=(), older=None, acl=None,
                 default_acl=None, attrs=None, via_link=False, fs=None):
        self.name = name
        # Where the file lies: the test's own folder, or a "tmpfs" or
        # "bindfs" (user-space, without unnamed files) mount of its own.
        self.fs = fs
        self.args = args
        # The name given: the file's own, or a link to it.
        self.given = LINK if via_link else NAME
        self.prompt = "ファイル " + self.given + "の改行コードを正規化しまか？(y/n) : "
        self.msg_convert = "error: " + self.given + " convert failed.\n"
        self.msg_not_found = 'error: "' + self.given + '" is not found.\n'
        # The file's access ACL and attributes, the directory's default ACL.
        self.acl = acl
        self.default_acl = default_acl
        self.attrs = attrs or {}
        self.original = original
        self.converted = convert(original, "-d" not in args)
        self.stdin = stdin
        self.confirm = "-p" in args
        # Injections every run of this scenario gets (a file system without
        # RENAME_EXCHANGE, a conversion that fails), as strace expressions.
        self.base = list(base)
        self.base_syscalls = {b.split(":")[0] for b in base}
        # Files already present (an older backup), never to be touched.
        self.older = older or {}


class Run:
    def __init__(self, status, stdout, stderr, trace, files, modes, timed_out, acls=None,
                 attrs=None, link=None, original_mode=MODE):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.trace = trace  # [(syscall, text of the line)]
        self.files = files  # name -> bytes
        self.modes = modes  # name -> permission bits
        self.timed_out = timed_out
        self.acls = acls or {}  # name -> access ACL, or None
        self.attrs = attrs or {}  # name -> {attribute: value}, but system.*
        self.link = link  # where the given link points afterwards
        self.original_mode = original_mode


def run_crv(crv, scenario, injections, workroots):
    work = tempfile.mkdtemp(dir=workroots[scenario.fs])
    try:
        files_dir = os.path.join(work, "d")
        os.mkdir(files_dir)
        if scenario.default_acl:
            os.setxattr(files_dir, DEFAULT_ACL, scenario.default_acl)
        for name, data in [(NAME, scenario.original)] + list(scenario.older.items()):
            path = os.path.join(files_dir, name)
            with open(path, "wb") as f:
                f.write(data)
            if scenario.default_acl:
                os.removexattr(path, ACCESS_ACL)  # a file of no ACL of its own
            os.chmod(path, MODE)
        path = os.path.join(files_dir, NAME)
        if scenario.acl:
            os.setxattr(path, ACCESS_ACL, scenario.acl)
        for attr, value in scenario.attrs.items():
            os.setxattr(path, attr, value)
        original_mode = os.stat(path).st_mode & 0o7777  # the ACL's mask, where it has one
        if scenario.given != NAME:
            os.symlink(NAME, os.path.join(files_dir, scenario.given))
        log = os.path.join(work, "trace")
        # SIGINT at its default, whatever this test inherited: crv keeps a
        # signal ignored that its parent ignored.
        cmd = ["env", "--default-signal=INT", "strace", "-qq", "-o", log, "-s", "64"]
        for inj in scenario.base + injections:
            cmd += ["-e", "inject=" + inj]
        cmd += [crv] + scenario.args + [scenario.given]
        proc = subprocess.Popen(cmd, cwd=files_dir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        timed_out = False
        try:
            out, err = proc.communicate(scenario.stdin, timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            timed_out = True
        trace = []
        with open(log, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = LINE_RE.match(line)
                if m:
                    trace.append((m.group(1), line.rstrip("\n")))
        files, modes, acls, attrs = {}, {}, {}, {}
        link = None
        for name in os.listdir(files_dir):
            path = os.path.join(files_dir, name)
            if name == scenario.given != NAME:
                link = os.readlink(path) if os.path.islink(path) else "not a link"
                continue
            with open(path, "rb") as f:
                files[name] = f.read()
                modes[name] = os.fstat(f.fileno()).st_mode & 0o7777
                acls[name] = os.getxattr(f.fileno(), ACCESS_ACL) \
                    if ACCESS_ACL in os.listxattr(f.fileno()) else None
                attrs[name] = {a: os.getxattr(f.fileno(), a) for a in os.listxattr(f.fileno())
                               if not a.startswith("system.")}
        return Run(proc.returncode, out, err, trace, files, modes, timed_out, acls, attrs, link,
                   original_mode)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def count_calls(trace):
    """Calls of each I/O system call in a trace, and how many of them were
    made before the program's own code ran (its first act is to ignore
    SIGPIPE)."""
    counts, before_main = {}, {}
    main_started = False
    for syscall, text in trace:
        if text.startswith("rt_sigaction(SIGPIPE, {sa_handler=SIG_IGN"):
            main_started = True
        if syscall in IO_SYSCALLS:
            counts[syscall] = counts.get(syscall, 0) + 1
            if not main_started:
                before_main[syscall] = before_main.get(syscall, 0) + 1
    return counts, before_main


def injected_lines(run, syscall):
    """Indexes, in the trace, of the calls of `syscall` strace failed."""
    return [i for i, (s, line) in enumerate(run.trace)
            if s == syscall and line.endswith("(INJECTED)")]


def expected_output(scenario, run, point_syscall, persistent):
    """What standard output must hold, given which call failed."""
    failed = injected_lines(run, point_syscall)
    failed_text = [run.trace[i][1] for i in failed]
    intended = [scenario.prompt] if scenario.confirm else []
    if run.status == 1:
        # The first look at the file ends where the prompt is written or the
        # conversion begins (its interrupt handlers are set).
        looked = next((i for i, (s, t) in enumerate(run.trace)
                       if t.startswith(("write(1,", "rt_sigaction(SIGINT"))), len(run.trace))
        if any(t.startswith("read(0,") for t in failed_text):
            intended.append(MSG_STDIN)
        elif failed and failed[0] < looked:
            # The first look at the file failed: it counts as absent.
            intended = [scenario.msg_not_found]
        else:
            intended.append(scenario.msg_convert)
    # The i-th write to standard output is the i-th intended text; where it
    # failed, a best-effort report follows, which a persistent fault fails too.
    writes = [i in failed for i, (s, t) in enumerate(run.trace) if t.startswith("write(1,")]
    out = ""
    for i, text in enumerate(intended):
        if i < len(writes) and writes[i]:
            return out + ("" if persistent else MSG_STDOUT)
        out += text
    return out


def check(scenario, run, point):
    """The invariant; returns a description of what is broken, or None."""
    syscall, when, kind = point
    if run.timed_out:
        return "hang"
    original, converted = scenario.original, scenario.converted
    if scenario.given != NAME and run.link != NAME:
        return "the link %s now points to %r" % (scenario.given, run.link)
    for name, mode in run.modes.items():
        more = wider(grants(mode, run.acls[name]), grants(MODE, scenario.acl))
        if more:
            return "%s (mode %o, ACL %r) gives more than the original: %s" % (
                name, mode, run.acls[name], more)
    for name, data in scenario.older.items():
        if run.files.get(name) != data:
            return "the older file %s was changed or removed" % name
    target = run.files.get(NAME)
    # The run's names beside the file: backups (second names of the
    # original) and its own new file's name, `<backup>.new`.
    backups = {n: b for n, b in run.files.items() if re.fullmatch(
        re.escape(NAME) + r"\.crv#\d+", n) and n not in scenario.older}
    news = {n: b for n, b in run.files.items() if re.fullmatch(
        re.escape(NAME) + r"\.crv#\d+\.new", n) and n not in scenario.older}
    others = set(run.files) - {NAME} - set(backups) - set(news) - set(scenario.older)
    if others:
        return "unexpected files %s" % sorted(others)
    if len(backups) > 1 or len(news) > 1:
        return "more than one backup or new file: %s" % (sorted(backups) + sorted(news))
    backup = next(iter(backups.values()), None)
    new = next(iter(news.values()), None)
    failed = injected_lines(run, syscall)
    failed_text = [run.trace[i][1] for i in failed]

    if kind == "SIGKILL":
        if run.status != -signal.SIGKILL:
            return "status %s, expected death by SIGKILL" % run.status
        # The name holds one of the two whole; a backup is the original.
        # The run's own `.new` may hold its new file, or the original's
        # extra name just after the exchange.
        if target not in (original, converted):
            return "after the kill the name holds neither the original nor the conversion"
        if backup not in (None, original):
            return "after the kill a backup does not hold the original"
        if new is not None and not (new == original or converted.startswith(new)):
            return "after the kill the run's new file is neither the original nor a prefix"
        return None

    if kind == "SIGINT":
        # Within the conversion the interrupt makes it stop, the original kept;
        # before and after it, the interrupt ends the process as usual.
        # A signal is sent as the call begins; strace does not mark the call.
        calls = [i for i, (s, _) in enumerate(run.trace) if s == syscall]
        if when <= len(calls) and reads_data_of_claimed(run, [calls[when - 1]]) and \
                run.status != 1:
            return "interrupted while copying, yet not stopped with the original kept"
        if run.status == -signal.SIGINT:
            if backup is None and new is None and target in (original, converted) and \
                    run.stdout in (b"", scenario.msg_convert.encode()):
                return None
            return "death by SIGINT left %s" % (
                "a backup" if backup is not None or new is not None
                else "the file neither original nor converted")
        if run.status == 0 and target == converted and backup is new is None and \
                not run.stdout:
            return None
        if run.status == 1 and target == original and backup is new is None and \
                run.stdout == scenario.msg_convert.encode():
            return None
        return "interrupted: status %s, stdout %r, file %s, backup %s" % (
            run.status, run.stdout, "original" if target == original else
            "converted" if target == converted else "other",
            "none" if backup is None else "present")

    if run.status == 127 and point_before_main(scenario, point):
        if target == original and backup is new is None and run.stdout == b"":
            return None
        return "the program did not start, yet the disk or output changed"
    if run.status < 0:
        return "killed by signal %d" % -run.status
    if run.status not in (0, 1):
        return "status %d" % run.status
    if run.stderr:
        return "wrote to standard error: %r" % run.stderr[:200]

    if run.status == 0:
        if target != converted:
            return "status 0 but the file does not hold the converted bytes"
        if (not failed or syscall in XATTR_SYSCALLS) and (
                run.modes[NAME], run.acls[NAME], run.attrs[NAME]) != (
                run.original_mode, scenario.acl, scenario.attrs):
            return "status 0, yet mode %o, ACL %r and attributes %r did not travel" % (
                run.modes[NAME], run.acls[NAME], run.attrs[NAME])
        # The directory opened for its fsync (not the one the run works in,
        # opened O_PATH); an interrupted open is repeated.
        if any(t.startswith(("fsync(", "fdatasync(", "syncfs(")) or
               ("O_DIRECTORY" in t and "O_PATH" not in t and kind != "EINTR")
               for t in failed_text):
            return "the converted bytes could not be made durable, yet status 0"
        # The original's other names go after the exchange: where looking at
        # or removing one failed, it stays, holding the original.
        if backup is not None or new is not None:
            exchange = next((i for i, (s, t) in enumerate(run.trace)
                             if s.startswith("rename") and t.endswith("= 0")), len(run.trace))
            removing = any(i > exchange and run.trace[i][0] in RESTORE_SYSCALLS for i in failed)
            if not removing:
                return "status 0 and a backup remains, though its removal did not fail"
            if any(b not in (None, original) for b in (backup, new)):
                return "the remaining backup does not hold the original bytes"
    else:
        # The name was never changed (or changed back); the run's names go,
        # unless the failed call was part of that cleanup: then a backup
        # holding the original, or the run's new file under `.new`, stays.
        if target != original:
            return "status 1 and the name does not hold the original"
        if backup is not None or new is not None:
            if not in_restore(scenario, run, failed):
                return "status 1 and a backup remains, though the cleanup did not fail"
            if backup not in (None, original):
                return "status 1 and the remaining backup does not hold the original"
            if new is not None and not converted.startswith(new):
                return "status 1 and the remaining new file is not the run's"

    persistent = kind.endswith("+")
    want = expected_output(scenario, run, syscall, persistent).encode("utf-8")
    if run.stdout != want:
        # A write interrupted before storing anything may be repeated.
        retried = expected_output(scenario, run, None, persistent).encode("utf-8")
        if not (kind == "EINTR" and run.stdout == retried):
            return "standard output %r, expected %r" % (run.stdout, want)
    return None


def reads_data_of_claimed(run, lines):
    """Whether one of the trace lines is a read of the file opened after the
    claim (the source of the copy) that returned bytes."""
    fds = set()
    claimed = False
    for _, text in run.trace:
        claimed = claimed or text.startswith("flock(")
        m = re.match(r'open(?:at)?\(.*"%s", O_RDONLY.*\) = (\d+)$' % NAME, text)
        if m and claimed:
            fds.add(m.group(1))
    for i in lines:
        m = re.match(r"read\((\d+), .*\) = (\d+)$", run.trace[i][1])
        if m and m.group(1) in fds and int(m.group(2)) > 0:
            return True
    return False


def in_restore(scenario, run, failed):
    """Whether a failed call came after the conversion had already failed
    (the scenario's forced failure, or an earlier failed call)."""
    if not failed:
        return False
    first_fault = min([i for s in scenario.base_syscalls for i in injected_lines(run, s)
                       if not run.trace[i][1].startswith(("renameat2", "rename"))]
                      + [failed[0]])
    return any(i > first_fault and run.trace[i][0] in RESTORE_SYSCALLS for i in failed)


RESTORE_SYSCALLS = {"stat", "newfstatat", "statx", "lstat", "unlink", "unlinkat", "rename",
                    "renameat", "renameat2", "link", "linkat"}


BEFORE_MAIN = {}


def point_before_main(scenario, point):
    syscall, when, _ = point
    return when <= BEFORE_MAIN[scenario.name].get(syscall, 0)


def points_for(scenario, counts, after=None, before_main=None):
    """(syscall, K, kind) for every call, where `after` limits them to the
    calls that come after the given one per system call (the restore)."""
    points = []
    before_main = before_main or {}
    for syscall in sorted(counts):
        if syscall in scenario.base_syscalls:
            continue
        first = 1 if after is None else after.get(syscall, 0) + 1
        for k in range(first, counts[syscall] + 1):
            points.append((syscall, k, "EIO"))
            if syscall in EINTR_RETRIED and after is None and k > before_main.get(syscall, 0):
                points.append((syscall, k, "EINTR"))
            if syscall in ENOSPC_SYSCALLS:
                points.append((syscall, k, "ENOSPC"))
                if after is None:
                    points.append((syscall, k, "EIO+"))
                    points.append((syscall, k, "ENOSPC+"))
    return points


def injection(point):
    syscall, when, kind = point
    if kind.startswith("SIG"):
        return "%s:signal=%s:when=%d" % (syscall, kind, when)
    plus = "+" if kind.endswith("+") else ""
    return "%s:error=%s:when=%d%s" % (syscall, kind.rstrip("+"), when, plus)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--crv", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    opts = parser.parse_args()
    crv = os.path.abspath(opts.crv)

    if shutil.which("strace") is None:
        print("SKIP: strace is not installed (scripts/install-test-deps.sh installs it)")
        return SKIP
    probe = subprocess.run(["strace", "-qq", "-o", os.devnull, "true"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if probe.returncode != 0:
        print("SKIP: strace cannot trace here: %s" % probe.stderr.decode(errors="replace"))
        return SKIP

    dos = make_text(b"\r\n")
    unix = convert(dos, False)
    no_exchange = "renameat2:error=EINVAL:when=1+"
    fail_commit = "fsync:error=EIO:when=1"
    older = {NAME + ".crv#001": b"an older backup\r\n"}
    attrs = {"user.origin": b"x", "trusted.note": b"y"} if os.geteuid() == 0 else \
        {"user.origin": b"x"}
    # (scenario, what is tried: each call failed; only the calls after the
    # scenario's forced failure, i.e. the restore; a signal at each call)
    plan = [
        (Scenario("-d", ["-d"], dos), "each"),
        (Scenario("-c", ["-c"], unix), "each"),
        (Scenario("-p -d, answer y", ["-p", "-d"], dos, stdin=b"y\n"), "each"),
        (Scenario("-d, restore", ["-d"], dos, base=[fail_commit]), "restore"),
        (Scenario("-c, restore", ["-c"], unix, base=[fail_commit]), "restore"),
        (Scenario("-d, no RENAME_EXCHANGE", ["-d"], dos, base=[no_exchange]), "each"),
        (Scenario("-d, no RENAME_EXCHANGE, restore", ["-d"], dos,
                  base=[no_exchange, fail_commit]), "restore"),
        (Scenario("-d, older backup #001", ["-d"], dos, older=older), "each"),
        (Scenario("-d, older backup #001, no RENAME_EXCHANGE", ["-d"], dos,
                  base=[no_exchange], older=older), "each"),
        (Scenario("-c, killed", ["-c"], unix), "SIGKILL"),
        (Scenario("-c, killed in the restore", ["-c"], unix, base=[fail_commit]),
         "restore, SIGKILL"),
        (Scenario("-d, interrupted", ["-d"], dos), "SIGINT"),
        (Scenario("-d, ACL and attributes", ["-d"], dos, acl=PRIVATE_ACL, attrs=attrs), "each"),
        (Scenario("-d, default ACL in the directory", ["-d"], dos,
                  default_acl=DEFAULT_FOR_NAMED, attrs=attrs), "each"),
        (Scenario("-d, named through a link", ["-d"], dos, via_link=True), "each"),
        # Large enough for the early writeback of finished output: its calls
        # failed, killed and interrupted.
        (Scenario("-c, large", ["-c"], unix * (WRITEBACK_FILE // len(unix) + 1)), "writeback"),
    ]
    # Other file systems, killed at every call of a clean and of a failing
    # run: tmpfs; bindfs, which has no unnamed files, so the new file is
    # made under `<backup>.new`, and every call failed there too; and bindfs
    # with every hard link refused, as a file system without them.
    no_links = "linkat:error=EPERM:when=1+"
    if os.geteuid() == 0:
        plan += [(Scenario("-c, killed, tmpfs", ["-c"], unix, fs="tmpfs"), "SIGKILL"),
                 (Scenario("-c, killed in the restore, tmpfs", ["-c"], unix, base=[fail_commit],
                           fs="tmpfs"), "restore, SIGKILL")]
    else:
        print("note: tmpfs and bindfs scenarios need root; left out")
    if os.geteuid() == 0 and shutil.which("bindfs") and os.path.exists("/dev/fuse"):
        plan += [(Scenario("-d, bindfs", ["-d"], dos, fs="bindfs"), "each"),
                 (Scenario("-c, killed, bindfs", ["-c"], unix, fs="bindfs"), "SIGKILL"),
                 (Scenario("-c, killed in the restore, bindfs", ["-c"], unix, base=[fail_commit],
                           fs="bindfs"), "restore, SIGKILL"),
                 (Scenario("-c, killed, bindfs, no hard links", ["-c"], unix, base=[no_links],
                           fs="bindfs"), "SIGKILL")]
    elif os.geteuid() == 0:
        print("note: bindfs or /dev/fuse missing; bindfs scenarios left out")

    workroot = tempfile.mkdtemp(prefix="crv-fault-")
    workroots = {None: workroot}
    mounts = []
    jobs = []
    try:
        for fs in sorted({s.fs for s, _ in plan} - {None}):
            mount = workroots[fs] = os.path.join(workroot, fs)
            os.mkdir(mount)
            if fs == "tmpfs":
                cmd = ["mount", "-t", "tmpfs", "-o", "size=512m", "tmpfs", mount]
            else:
                os.mkdir(mount + ".src")
                cmd = ["bindfs", mount + ".src", mount]
            subprocess.run(cmd, check=True)
            mounts.append(mount)
        for scenario, mode in plan:
            clean = run_crv(crv, scenario, [], workroots)
            counts, before_main = count_calls(clean.trace)
            BEFORE_MAIN[scenario.name] = before_main
            if not counts:
                print("FAIL: no I/O system calls traced in scenario %s" % scenario.name)
                return 1
            if mode == "restore":
                # The calls of the restore: those after the forced failure.
                fault = min(i for s in scenario.base_syscalls
                            for i in injected_lines(clean, s)
                            if not clean.trace[i][0].startswith("rename"))
                after, _ = count_calls(clean.trace[:fault + 1])
                if clean.status != 1 or clean.files.get(NAME) != scenario.original:
                    print("FAIL: scenario %s: the forced failure did not restore the file"
                          % scenario.name)
                    return 1
                points = points_for(scenario, counts, after)
            elif mode == "restore, SIGKILL":
                fault = min(i for i in injected_lines(clean, "fsync"))
                after, _ = count_calls(clean.trace[:fault + 1])
                points = [(s, k, "SIGKILL") for s in sorted(counts)
                          for k in range(after.get(s, 0) + 1, counts[s] + 1)]
            elif mode == "writeback":
                calls = {s: n for s, n in counts.items() if s in WRITEBACK_SYSCALLS}
                if not calls or clean.status != 0:
                    print("FAIL: scenario %s: no writeback call traced, or status %s"
                          % (scenario.name, clean.status))
                    return 1
                points = [(s, k, kind) for s in sorted(calls) for k in range(1, calls[s] + 1)
                          for kind in ("EIO", "SIGKILL", "SIGINT")]
            elif mode in ("SIGKILL", "SIGINT"):
                points = [(s, k, mode) for s in sorted(counts)
                          for k in range(1, counts[s] + 1)]
            else:
                problem = check(scenario, clean, ("none", 0, "EIO"))
                if problem or clean.status != 0:
                    print("FAIL: scenario %s without a fault: %s (status %s)"
                          % (scenario.name, problem, clean.status))
                    return 1
                points = points_for(scenario, counts, before_main=before_main)
            summary = ", ".join("%s %d" % (s, n) for s, n in sorted(counts.items()))
            print("scenario %-34s %3d points (calls: %s)" % (scenario.name, len(points), summary))
            jobs += [(scenario, p) for p in points]

        print("trying %d injection points on %d cores" % (len(jobs), opts.jobs))
        sys.stdout.flush()
        tried = 0
        outcomes = {}
        with concurrent.futures.ThreadPoolExecutor(max_workers=opts.jobs) as pool:
            futures = {pool.submit(run_crv, crv, s, [injection(p)], workroots): (s, p)
                       for s, p in jobs}
            for future in concurrent.futures.as_completed(futures):
                scenario, point = futures[future]
                run = future.result()
                tried += 1
                problem = check(scenario, run, point)
                if problem:
                    for f in futures:
                        f.cancel()
                    syscall, when, kind = point
                    print("FAIL: scenario %s, %s call %d, injected %s: %s"
                          % (scenario.name, syscall, when, kind, problem))
                    print("  status %s, stdout %r, files %s" % (
                        run.status, run.stdout, {n: len(b) for n, b in run.files.items()}))
                    print("  failed: " + "; ".join(
                        run.trace[i][1] for i in injected_lines(run, syscall)))
                    return 1
                key = "status %s" % run.status
                outcomes[key] = outcomes.get(key, 0) + 1
        print("all %d injection points hold the invariant (%s)" % (
            tried, ", ".join("%s: %d" % kv for kv in sorted(outcomes.items()))))
        return 0
    finally:
        for mount in mounts:
            subprocess.run(["umount", mount])
        shutil.rmtree(workroot, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
