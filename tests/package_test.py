#!/usr/bin/env python3
"""Checks the packages scripts/package.sh makes in dist/: the Debian
package's files, control fields, lintian, man pages, desktop entries and bash
completion; the Windows zip's contents; and, as root, a real install with
apt-get, a conversion by the installed crv and a purge that leaves nothing.

    package_test.py --dist dist
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest
import zipfile

from common import pe_facts

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST = "dist"


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(crv VERSION (\S+)", f.read()).group(1)


def deb():
    return os.path.join(DIST, f"crv_{version()}_amd64.deb")


def run(*cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, capture_output=True, text=True, **kw)


# Every file of the .deb with its mode; every directory is root's and 0755.
DEB_FILES = {
    "usr/bin/crv": "-rwxr-xr-x",
    "usr/bin/crvw": "-rwxr-xr-x",
    "usr/share/applications/crvw-crlf.desktop": "-rw-r--r--",
    "usr/share/applications/crvw-lf.desktop": "-rw-r--r--",
    "usr/share/bash-completion/completions/crv": "-rw-r--r--",
    "usr/share/bash-completion/completions/crvw": "-rw-r--r--",
    "usr/share/doc/crv/changelog.gz": "-rw-r--r--",
    "usr/share/doc/crv/copyright": "-rw-r--r--",
    "usr/share/lintian/overrides/crv": "-rw-r--r--",
    "usr/share/man/man1/crv.1.gz": "-rw-r--r--",
    "usr/share/man/man1/crvw.1.gz": "-rw-r--r--",
}


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = cls.tmp.name
        run("dpkg-deb", "-x", deb(), cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)

    def test_file_list(self):
        listing = run("dpkg-deb", "-c", deb()).stdout
        print(listing, end="")
        files = {}
        for line in listing.splitlines():
            mode, owner, _, _, _, name = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            name = name[2:]  # "./"
            if mode.startswith("d"):
                self.assertEqual(mode, "drwxr-xr-x", line)
            else:
                files[name] = mode
        self.assertEqual(files, DEB_FILES)

    def test_control_and_dependencies(self):
        fields = run("dpkg-deb", "-f", deb(), "Package", "Version", "Architecture",
                     "Depends").stdout
        self.assertIn(f"Version: {version()}\n", fields)
        self.assertIn("Architecture: amd64\n", fields)
        self.assertRegex(fields, r"Depends: .*libgtk-3-0")
        # crv is static: no interpreter, no library of its own to depend on.
        crv = run("readelf", "-lW", "-d", self.path("usr/bin/crv")).stdout
        self.assertNotIn("INTERP", crv)
        self.assertNotIn("NEEDED", crv)
        self.assertIn("libgtk-3.so.0", run("readelf", "-d", self.path("usr/bin/crvw")).stdout)

    def test_lintian_has_no_errors_or_warnings(self):
        # Informational tags (I:) are shown and allowed; overridden tags are
        # not shown.
        lint = run("lintian", "--tag-display-limit", "0", "-I", "--fail-on", "error,warning",
                   deb(), check=False)
        print(lint.stdout, end="")
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

    def test_man_pages_lint_clean(self):
        for name in ("crv", "crvw"):
            page = run("zcat", self.path(f"usr/share/man/man1/{name}.1.gz")).stdout
            self.assertNotIn("@", page.splitlines()[1], "version not filled in")
            self.assertIn(f'"crv {version()}"', page)
            lint = subprocess.run(["mandoc", "-Tlint", "-W", "all"], input=page,
                                  capture_output=True, text=True)
            self.assertEqual(lint.stdout + lint.stderr, "", name)

    def test_desktop_entries(self):
        for name, exec_line in (("crvw-lf", "crvw -d %f"), ("crvw-crlf", "crvw -c %f")):
            entry = self.path(f"usr/share/applications/{name}.desktop")
            check = run("desktop-file-validate", entry, check=False)
            self.assertEqual(check.stdout + check.stderr, "", name)
            with open(entry) as f:
                text = f.read()
            self.assertIn(f"\nExec={exec_line}\n", text)
            self.assertIn("\nMimeType=text/plain;\n", text)

    def complete(self, line, with_bash_completion):
        """COMPREPLY for the last word of `line`, as bash computes it."""
        words = line.split(" ")
        setup = ""
        if with_bash_completion:
            setup = ". /usr/share/bash-completion/bash_completion\n"
        script = setup + (
            '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))\n'
            'COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}\n'
            '_crv; printf "%s\\n" "${COMPREPLY[@]}"\n')
        out = run("bash", "--norc", "-c", script, "bash",
                  self.path("usr/share/bash-completion/completions/crv"), *words,
                  cwd=self.files).stdout
        return set(filter(None, out.splitlines()))

    def test_bash_completion(self):
        with tempfile.TemporaryDirectory() as files:
            self.files = files
            for name in ("notes.txt", "note two.txt", "-d"):
                open(os.path.join(files, name), "w").close()
            os.mkdir(os.path.join(files, "sub"))
            # (command line, what must be offered, what must not)
            cases = [
                ("crv -", {"-d", "-c", "-p", "-p-"}, {"notes.txt"}),
                ("crvw -p", {"-p", "-p-"}, {"-d"}),
                ("crv notes.txt -", {"-d", "-c", "-p", "-p-"}, set()),
                ("crv -d not", {"notes.txt", "note two.txt"}, {"-d", "-c"}),
                ("crvw ", {"notes.txt", "sub", "-d"}, {"-c"}),
                ("crv /", {"/d", "/c", "/p", "/p-", "/usr"}, set()),
                ("crv /p", {"/p", "/p-", "/proc"}, {"/d", "/usr"}),
                ("crv /us", {"/usr"}, {"/d", "/c", "/p", "/p-"}),
            ]
            for with_bc in (True, False):
                for line, offered, absent in cases:
                    with self.subTest(line=line, bash_completion=with_bc):
                        got = self.complete(line, with_bc)
                        self.assertLessEqual(offered, got)
                        self.assertFalse(absent & got, got)


class WindowsZip(unittest.TestCase):
    def test_contents(self):
        top = f"crv-{version()}-win32/"
        with zipfile.ZipFile(os.path.join(DIST, f"crv-{version()}-win32.zip")) as z:
            names = sorted(z.namelist())
            print("\n".join(names))
            self.assertEqual(names, [top + n for n in ("README.txt", "crv.exe", "crvw.exe")])
            # i386 (0x14c); console (3) and windowed (2) subsystems.
            for exe, subsystem in (("crv.exe", 3), ("crvw.exe", 2)):
                facts = pe_facts(z.read(top + exe))
                self.assertEqual((facts.machine, facts.subsystem), (0x14C, subsystem))
            readme = z.read(top + "README.txt")
        self.assertEqual(readme.count(b"\n"), readme.count(b"\r\n"))
        self.assertGreater(readme.count(b"\r\n"), 10)
        for words in (f"crv {version()}", "shell:sendto", "Exit status", "Drop a file"):
            self.assertIn(words.encode(), readme)


def installed_packages():
    out = run("dpkg-query", "-W", "-f", "${Package}:${Architecture} ${db:Status-Status}\n").stdout
    return {l.split()[0] for l in out.splitlines() if l.endswith(" installed")}


def crv_state():
    """dpkg's status of the crv package: "" when dpkg does not know it."""
    out = run("dpkg-query", "-W", "-f", "${db:Status-Status}", "crv", check=False)
    return out.stdout if out.returncode == 0 else ""


class Interrupted(Exception):
    pass


def apt(*args, check=True):
    """apt-get, run to its end even when a signal interrupts the test: a
    package manager stopped midway would leave dpkg's database half done."""
    proc = subprocess.Popen(["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=900", *args],
                            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    interruption = None
    while True:
        try:
            out = proc.communicate()[0]
            break
        except Interrupted as e:
            interruption = e
    if interruption:
        raise interruption
    if check and proc.returncode:
        raise AssertionError(f"apt-get {' '.join(args)} failed:\n{out}")
    return out


def interrupted(signum, frame):
    raise Interrupted(f"signal {signum}")


@unittest.skipUnless(os.geteuid() == 0, "the real install runs as root")
class RealInstall(unittest.TestCase):
    """apt-get install, use, purge. Whatever happens, the machine is left with
    the packages it had: crv is purged, and so is any package the install
    pulled in that nothing else needs now."""

    def test_install_use_purge(self):
        if crv_state() not in ("", "not-installed"):
            self.skipTest("a crv package is already known to dpkg here; leaving it alone")
        before = installed_packages()
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, interrupted)
        try:
            self.install_use_purge()
        finally:
            if crv_state() not in ("", "not-installed"):
                apt("purge", "crv", check=False)
            pulled_in = installed_packages() - before
            removable = re.findall(r"^Remv (\S+)", apt("-s", "autoremove"), re.M)
            leftover = [p for p in removable if p in pulled_in or p + ":amd64" in pulled_in]
            if leftover:
                apt("purge", *leftover)

    def install_use_purge(self):
        apt("install", "--no-install-recommends", os.path.abspath(deb()))
        files = [f for f in run("dpkg", "-L", "crv").stdout.splitlines()
                 if os.path.isfile(f)]
        self.assertIn("/usr/bin/crv", files)
        with tempfile.TemporaryDirectory() as tmp:
            name = os.path.join(tmp, "a.txt")
            for option, before, after in (("-d", b"a\r\nb\r\r\nc\r", b"a\nb\nc\r"),
                                          ("-c", b"a\nb\r\n", b"a\r\nb\r\n")):
                with open(name, "wb") as f:
                    f.write(before)
                done = run("/usr/bin/crv", option, name, check=False)
                self.assertEqual((done.returncode, done.stdout), (0, ""))
                with open(name, "rb") as f:
                    self.assertEqual(f.read(), after)
                self.assertEqual(os.listdir(tmp), ["a.txt"])
        self.assertIn("/usr/share/man/man1/crv.1.gz", run("man", "-aw", "crv").stdout.split())
        # bash-completion finds both completions by the command's name.
        loaded = run("bash", "--norc", "-c", ". /usr/share/bash-completion/bash_completion; "
                     "for c in crv crvw; do _completion_loader $c; complete -p $c; done").stdout
        self.assertEqual(loaded.count("complete -F _crv "), 2, loaded)

        apt("purge", "crv")
        self.assertIn(crv_state(), ("", "not-installed"))
        self.assertEqual([f for f in files if os.path.lexists(f)], [])
        self.assertFalse(os.path.exists("/usr/share/doc/crv"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    args, rest = parser.parse_known_args()
    DIST = args.dist
    unittest.main(argv=[sys.argv[0], "-v"] + rest)
