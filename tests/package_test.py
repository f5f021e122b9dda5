#!/usr/bin/env python3
"""Checks the packages scripts/package.sh makes in dist/: the two Debian
packages' files, control fields and dependencies, lintian, a second build
that must give the same bytes, man pages, desktop entries, the completions
in bash, zsh and fish, the pre-commit hooks; the Windows zip's contents and
the MSI's tables; and, as root, a real install with apt-get, a conversion by
the installed crv and a purge that leaves nothing.

    package_test.py --dist dist
"""
import argparse
import configparser
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import zipfile

from common import TEXT_TYPES, pe_facts

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST = "dist"


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(crv VERSION (\S+)", f.read()).group(1)


def deb(package="crv"):
    return os.path.join(DIST, f"{package}_{version()}_amd64.deb")


def run(*cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, capture_output=True, text=True, **kw)


# Every file of each .deb with its mode; every directory is root's and 0755.
DEB_FILES = {
    "crv": {
        "usr/bin/crv": "-rwxr-xr-x",
        "usr/share/bash-completion/completions/crv": "-rw-r--r--",
        "usr/share/doc/crv/README.md": "-rw-r--r--",
        "usr/share/doc/crv/changelog.gz": "-rw-r--r--",
        "usr/share/doc/crv/copyright": "-rw-r--r--",
        "usr/share/fish/vendor_completions.d/crv.fish": "-rw-r--r--",
        "usr/share/lintian/overrides/crv": "-rw-r--r--",
        "usr/share/man/man1/crv.1.gz": "-rw-r--r--",
        "usr/share/zsh/vendor-completions/_crv": "-rw-r--r--",
    },
    "crvw": {
        "usr/bin/crvw": "-rwxr-xr-x",
        "usr/share/applications/crvw-crlf.desktop": "-rw-r--r--",
        "usr/share/applications/crvw-lf.desktop": "-rw-r--r--",
        "usr/share/bash-completion/completions/crvw": "-rw-r--r--",
        "usr/share/doc/crvw/README.md": "-rw-r--r--",
        "usr/share/doc/crvw/changelog.gz": "-rw-r--r--",
        "usr/share/doc/crvw/copyright": "-rw-r--r--",
        "usr/share/file-manager/actions/crvw-crlf.desktop": "-rw-r--r--",
        "usr/share/file-manager/actions/crvw-lf.desktop": "-rw-r--r--",
        "usr/share/fish/vendor_completions.d/crvw.fish": "-rw-r--r--",
        "usr/share/kio/servicemenus/crvw.desktop": "-rw-r--r--",
        "usr/share/kservices5/ServiceMenus/crvw.desktop": "-rw-r--r--",
        "usr/share/man/man1/crvw.1.gz": "-rw-r--r--",
        "usr/share/nautilus-python/extensions/crvw.py": "-rw-r--r--",
        "usr/share/nemo/actions/crvw-crlf.nemo_action": "-rw-r--r--",
        "usr/share/nemo/actions/crvw-lf.nemo_action": "-rw-r--r--",
        "usr/share/zsh/vendor-completions/_crvw": "-rw-r--r--",
    },
}
# What a desktop brings: none of it may come with the console tool.
GRAPHICAL = re.compile(r"^(libgtk|libgdk|libglib|libpango|libcairo|libx11|libwayland|libatk)")


class DebianPackages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = cls.tmp.name
        for package in DEB_FILES:
            run("dpkg-deb", "-x", deb(package), cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)

    def test_file_lists(self):
        for package, expected in DEB_FILES.items():
            with self.subTest(package):
                listing = run("dpkg-deb", "-c", deb(package)).stdout
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
                self.assertEqual(files, expected)

    def test_control_and_dependencies(self):
        changelog = run("dpkg-parsechangelog", "-l", os.path.join(ROOT, "debian/changelog"),
                        "-S", "Version").stdout.strip()
        self.assertEqual(changelog, version(), "debian/changelog and CMakeLists.txt disagree")
        for package, gui in (("crv", False), ("crvw", True)):
            with self.subTest(package):
                fields = run("dpkg-deb", "-f", deb(package), "Version", "Architecture",
                             "Depends").stdout
                self.assertIn(f"Version: {version()}\n", fields)
                self.assertIn("Architecture: amd64\n", fields)
                depends = re.findall(r"[\s,](\S+) \(", fields)
                self.assertEqual(any(GRAPHICAL.match(d) for d in depends), gui, fields)
                # Each works alone: crvw needs nothing of crv.
                self.assertNotIn(" crv", fields)
        libraries = re.findall(r"NEEDED.*\[(.*)\]", run("readelf", "-d",
                                                       self.path("usr/bin/crv")).stdout)
        self.assertEqual(set(libraries) - {"libstdc++.so.6", "libgcc_s.so.1", "libm.so.6",
                                          "libc.so.6"}, set())

    def test_console_package_pulls_in_nothing_graphical(self):
        # apt-get's plan for each package alone on a system with nothing
        # installed (an empty dpkg status): the whole closure shows.
        with tempfile.NamedTemporaryFile() as empty:
            for package, gui in (("crv", False), ("crvw", True)):
                with self.subTest(package):
                    plan = run("apt-get", "install", "--simulate", "--no-install-recommends",
                               "-o", "Dir::State::status=" + empty.name,
                               os.path.abspath(deb(package))).stdout
                    installs = re.findall(r"^Inst (\S+)", plan, re.M)
                    shown = [p for p in installs if not gui or GRAPHICAL.match(p)]
                    print(f"{package}: apt-get would install {len(installs)} packages:",
                          " ".join(shown), "..." if gui else "")
                    self.assertIn(package, installs)
                    self.assertEqual(any(GRAPHICAL.match(p) for p in installs), gui)

    def test_lintian_has_no_errors_or_warnings(self):
        # The source package too, made from a copy of the build's source
        # folder. Informational tags (I:) are shown and allowed.
        with tempfile.TemporaryDirectory() as tmp:
            copy = os.path.join(tmp, f"crv-{version()}")
            shutil.copytree(os.path.join(ROOT, "build-deb", f"crv-{version()}"), copy,
                            symlinks=True)
            run("dpkg-buildpackage", "-S", "-us", "-uc", cwd=copy)
            lint = run("lintian", "--tag-display-limit", "0", "-I", "--fail-on", "error,warning",
                       deb("crv"), deb("crvw"), os.path.join(tmp, f"crv_{version()}.dsc"),
                       check=False)
        print("lintian:", lint.stdout or "(nothing)")
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

    def test_second_build_is_identical(self):
        # The source package again, from a copy at another path: the same
        # bytes (time stamps from debian/changelog, paths mapped away).
        source = os.path.join(ROOT, "build-deb", f"crv-{version()}")
        with tempfile.TemporaryDirectory() as tmp:
            copy = os.path.join(tmp, "elsewhere", f"crv-{version()}")
            shutil.copytree(source, copy, symlinks=True)
            run("dpkg-buildpackage", "-us", "-uc", "-b", cwd=copy,
                env=dict(os.environ, DEB_BUILD_OPTIONS=f"parallel={os.cpu_count()}"))
            for package in DEB_FILES:
                again = os.path.join(tmp, "elsewhere", os.path.basename(deb(package)))
                same = run("cmp", deb(package), again, check=False)
                print(f"cmp {deb(package)} {again}: status {same.returncode}", same.stdout)
                self.assertEqual(same.returncode, 0)

    def test_console_package_from_git_archive(self):
        """package.sh crv in `git archive` output: the console package alone
        (profile pkg.crv.nogui, with no GTK among its build dependencies),
        the very bytes of the full build's."""
        if run("git", "-C", ROOT, "rev-parse", "--git-dir", check=False).returncode:
            self.skipTest("not a git checkout")
        with tempfile.TemporaryDirectory() as tmp:
            tree = os.path.join(tmp, "crv")
            os.makedirs(tree)
            commit = run("git", "-C", ROOT, "stash", "create").stdout.strip() or "HEAD"
            archive = subprocess.run(["git", "-C", ROOT, "archive", commit], check=True,
                                     capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
            open(os.path.join(tmp, "status"), "w").close()  # dpkg's: no package installed
            for profile, gui in (([], True), (["-Ppkg.crv.nogui"], False)):
                unmet = run("dpkg-checkbuilddeps", "--admindir=" + tmp, *profile, cwd=tree,
                            check=False).stderr
                self.assertEqual(("cmake" in unmet, "libgtk-3-dev" in unmet), (True, gui), unmet)
            done = run("scripts/package.sh", "crv", cwd=tree, check=False, timeout=3600)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual(os.listdir(os.path.join(tree, "dist")), [os.path.basename(deb())])
            same = run("cmp", deb(), os.path.join(tree, "dist", os.path.basename(deb())),
                       check=False)
            self.assertEqual(same.returncode, 0, same.stdout)

    def test_man_pages_lint_clean(self):
        # As installed, and as `man -l` shows them in the tree.
        for name in ("crv", "crvw"):
            page = run("zcat", self.path(f"usr/share/man/man1/{name}.1.gz")).stdout
            with open(os.path.join(ROOT, "doc", f"{name}.1")) as f:
                self.assertEqual(f.read(), page, name)
            self.assertIn(f'"crv {version()}"', page.splitlines()[1])
            lint = subprocess.run(["mandoc", "-Tlint", "-W", "all"], input=page,
                                  capture_output=True, text=True)
            self.assertEqual(lint.stdout + lint.stderr, "", name)

    # The files that offer crvw on a desktop, with keys they must hold (None:
    # absent). The entries name no type, so that they never become a type's
    # default application, and are in no menu; the actions are for text files.
    DESKTOP_FILES = {
        "applications/crvw-lf.desktop": {"Exec": "crvw -d %f", "NoDisplay": "true", "MimeType": None},
        "applications/crvw-crlf.desktop": {"Exec": "crvw -c %f", "NoDisplay": "true", "MimeType": None},
        "kio/servicemenus/crvw.desktop": {"Type": "Service", "MimeType": "text/plain;",
                                          "Actions": "lf;crlf;"},
        "kservices5/ServiceMenus/crvw.desktop": {"X-KDE-ServiceTypes": "KonqPopupMenu/Plugin",
                                                 "Type": "Service", "MimeType": "text/plain;"},
        "nemo/actions/crvw-lf.nemo_action": {"Mimetypes": "text/plain;", "Quote": "double"},
        "nemo/actions/crvw-crlf.nemo_action": {"Mimetypes": "text/plain;", "Quote": "double"},
    }

    def desktop_file(self, name):
        parser = configparser.ConfigParser(interpolation=None, strict=False)
        parser.optionxform = str
        parser.read(self.path("usr/share/" + name), encoding="utf-8")
        return parser

    def test_desktop_files(self):
        for name, keys in self.DESKTOP_FILES.items():
            with self.subTest(name):
                # A service menu is KDE's own kind of entry (test_kde_service_menu).
                if name.startswith("applications/"):
                    check = run("desktop-file-validate", self.path("usr/share/" + name), check=False)
                    self.assertEqual(check.stdout + check.stderr, "")
                parsed = self.desktop_file(name)
                group = parsed.sections()[0]
                self.assertEqual({k: parsed.get(group, k, fallback=None) for k in keys}, keys)

    def test_never_the_default_application(self):
        """XDG folders holding only the package's entries and one editor entry
        for text/plain, with the caches the package's trigger makes: gio and
        xdg-mime name the editor, wherever its entry sorts or lies."""
        editor = "[Desktop Entry]\nType=Application\nName=E\nExec=true %F\nMimeType=text/plain;\n"
        for entry, place in (("org.example.Editor.desktop", "package"),
                             ("aa-editor.desktop", "package"), ("editor.desktop", "later")):
            with self.subTest(entry=entry, place=place), tempfile.TemporaryDirectory() as tmp:
                home, package, later, mime = (os.path.join(tmp, d) for d in ("h", "p", "l", "m"))
                shutil.copytree(self.path("usr/share/applications"), package + "/applications")
                os.makedirs(later + "/applications")
                os.makedirs(mime)
                os.symlink("/usr/share/mime", mime + "/mime")
                with open(os.path.join({"package": package, "later": later}[place],
                                       "applications", entry), "w") as f:
                    f.write(editor)
                for d in (package, later):
                    run("update-desktop-database", d + "/applications")
                env = {k: v for k, v in os.environ.items() if "DESKTOP" not in k}
                env.update(HOME=home, XDG_DATA_HOME=home, XDG_CONFIG_HOME=home, XDG_CONFIG_DIRS=home,
                           XDG_DATA_DIRS=f"{package}:{later}:{mime}",
                           PATH=self.path("usr/bin") + os.pathsep + os.environ["PATH"])
                gio = run("gio", "mime", "text/plain", env=env).stdout
                print(gio, end="")
                self.assertRegex(gio, r"^Default application for .text/plain.: " + re.escape(entry))
                self.assertNotIn("crvw", gio)
                xdg = run("xdg-mime", "query", "default", "text/plain", env=env).stdout
                self.assertEqual(xdg.strip(), entry)
                with open(package + "/applications/mimeinfo.cache") as f:
                    self.assertNotIn("crvw", f.read())  # nor for any other type

    def test_kde_service_menu(self):
        """Plasma 5's service registry (kbuildsycoca5) takes the service menu
        as a KonqPopupMenu/Plugin service for text/plain, silently."""
        with tempfile.TemporaryDirectory() as tmp:
            env = dict(os.environ, HOME=tmp, XDG_CACHE_HOME=tmp, XDG_CONFIG_HOME=tmp,
                       XDG_DATA_HOME=tmp, XDG_DATA_DIRS=self.path("usr/share") + ":/usr/share",
                       QT_LOGGING_RULES="kf.i18n.warning=false")
            done = run("kbuildsycoca5", "--noincremental", env=env)
            self.assertNotIn("crvw", done.stdout + done.stderr)
            database, = glob.glob(os.path.join(tmp, "ksycoca5_*"))
            # The entry's path, command lines and types: UTF-16 strings.
            texts = run("strings", "-el", database).stdout.splitlines()
            entry, = [i for i, t in enumerate(texts) if t.endswith("ServiceMenus/crvw.desktop")]
            window = texts[entry:entry + 12]
            for text in ("crvw -d %f", "crvw -c %f", "KonqPopupMenu/Plugin", "text/plain"):
                self.assertTrue(any(t.endswith(text) for t in window), (text, window))

    def test_command_lines(self):
        """What each entry and action runs for files whose names hold blanks,
        quotes and shell characters: one crvw per file, with the name as it
        is. GLib runs the entries and the service menu's actions (Dolphin
        follows the same Exec rules); Nemo's lines are expanded as Nemo does
        with Quote=double (each path in double quotes, its double quotes
        escaped) and split as g_shell_parse_argv splits. GNOME Files'
        extension and Caja's actions run as their file managers run them."""
        with tempfile.TemporaryDirectory() as tmp:
            log, env = self.recording_crvw(tmp)
            files = [os.path.join(tmp, n) for n in
                     ("two words.txt", "it's.txt", 'say "hi".txt', "$HOME & `id`; 100%.txt")]
            for name in files:
                with open(name, "w") as f:
                    f.write("text\n")

            def gio_launch(name, group):
                with open(os.path.join(tmp, "e.desktop"), "w") as f:
                    f.write("[Desktop Entry]\nType=Application\nName=e\nExec="
                            + self.desktop_file(name).get(group, "Exec") + "\n")
                run("gio", "launch", os.path.join(tmp, "e.desktop"), *files, env=env)

            def nemo(name, group):
                quoted = " ".join('"' + p.replace('"', '\\"') + '"' for p in files)
                exec_line = self.desktop_file(name).get(group, "Exec")
                run(*shlex.split(exec_line.replace("%F", quoted)), env=env)

            for name, group, option, launch in (
                    ("applications/crvw-lf.desktop", "Desktop Entry", "-d", gio_launch),
                    ("applications/crvw-crlf.desktop", "Desktop Entry", "-c", gio_launch),
                    ("kio/servicemenus/crvw.desktop", "Desktop Action lf", "-d", gio_launch),
                    ("kio/servicemenus/crvw.desktop", "Desktop Action crlf", "-c", gio_launch),
                    ("nemo/actions/crvw-lf.nemo_action", "Nemo Action", "-d", nemo),
                    ("nemo/actions/crvw-crlf.nemo_action", "Nemo Action", "-c", nemo),
                    ("crvw-lf", "GNOME Files", "-d", lambda n, _: self.nautilus(n, files, env)),
                    ("crvw-crlf", "GNOME Files", "-c", lambda n, _: self.nautilus(n, files, env)),
                    ("crvw-lf", "Caja", "-d", lambda n, _: self.caja(n, files, env)),
                    ("crvw-crlf", "Caja", "-c", lambda n, _: self.caja(n, files, env))):
                with self.subTest(name=name, group=group):
                    launch(name, group)
                    self.assertCountEqual(self.crvw_runs(log, len(files)),
                                          [[option, f] for f in files])

    def test_file_manager_entries_by_type(self):
        """GNOME Files' extension and Caja's actions, each read by its file
        manager's own code, offer both entries when every selected item is a
        text file (text/plain or a type derived from it), else none."""
        with tempfile.TemporaryDirectory() as tmp:
            log, env = self.recording_crvw(tmp)
            for name, data in (("a.txt", b"a\n"), ("script.py", b"import os\n"),
                               ("notes.md", b"# a\n"), ("picture.png", b"\x89PNG\r\n\x1a\n\0")):
                with open(os.path.join(tmp, name), "wb") as f:
                    f.write(data)
            os.mkdir(os.path.join(tmp, "sub"))
            both = ["Normalise line endings (LF)", "Normalise line endings (CR LF)"]
            for selection, offered in ((["a.txt"], True), (["script.py", "notes.md"], True),
                                       (["sub"], False), (["picture.png"], False),
                                       (["a.txt", "picture.png"], False), (["a.txt", "sub"], False)):
                with self.subTest(selection=selection):
                    paths = [os.path.join(tmp, name) for name in selection]
                    self.assertEqual(self.nautilus(None, paths, env), both if offered else [])
                    for action in ("crvw-lf", "crvw-crlf"):  # runs crvw where offered
                        self.caja(action, paths, env)
                    expected = 2 * len(paths) if offered else 0
                    self.assertEqual(len(self.crvw_runs(log, expected)), expected)

    @staticmethod
    def recording_crvw(tmp):
        """A crvw in `tmp` that records its arguments in a file of its own in
        tmp/log; the environment that puts it on PATH."""
        log = os.path.join(tmp, "log")
        os.makedirs(log)
        with open(os.path.join(tmp, "crvw"), "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\0" "$@" > "$(mktemp "$CRVW_LOG/run.XXXXXX")"\n')
        os.chmod(os.path.join(tmp, "crvw"), 0o755)
        return log, dict(os.environ, CRVW_LOG=log, PATH=tmp + os.pathsep + os.environ["PATH"])

    def crvw_runs(self, log, expected):
        """The arguments of each run of the recording crvw in `log`, once
        `expected` of them have come (or 30 s have passed)."""
        deadline = time.monotonic() + 30
        while len(os.listdir(log)) < expected and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)  # a run too many would show now
        runs = []
        for run_log in os.listdir(log):
            with open(os.path.join(log, run_log), "rb") as f:
                runs.append(f.read().decode().split("\0")[:-1])
            os.remove(os.path.join(log, run_log))
        return runs

    def nautilus(self, action, files, env):
        """The packaged extension loaded with Debian's Python as GNOME Files
        loads it, asked for its entries for `files`: their labels; the one
        for `action` (crvw-lf, crvw-crlf) chosen."""
        chosen = ["--activate", "CrvwMenuProvider::" + action[5:]] if action else []
        listed = run("/usr/bin/python3", os.path.join(ROOT, "tests", "nautilus_menu.py"),
                     self.path("usr/share/nautilus-python/extensions"), *chosen, *files, env=env)
        return [line.split("\t")[1] for line in listed.stdout.splitlines()]

    def caja(self, name, files, env):
        """caja-actions' own runner, which reads the packaged action named
        `name` as Caja does and runs it when it is offered for `files`."""
        env = dict(env, XDG_DATA_DIRS=self.path("usr/share"), XDG_DATA_HOME=self.root,
                   XDG_CONFIG_HOME=self.root, XDG_CONFIG_DIRS=self.root)
        targets = [a for f in files for a in ("-t", "file://" + urllib.parse.quote(f))]
        run("caja-actions-run", "-i", name, *targets, env=env, timeout=60)

    def test_install_paths_by_prefix(self):
        """`cmake --install` of the packages' build into a DESTDIR: the zsh
        completions where zsh looks under the prefix given, the fish ones
        under the prefix's share/fish."""
        build, = glob.glob(os.path.join(ROOT, "build-deb", f"crv-{version()}", "obj-*"))
        for prefix, zsh in (("/usr", "vendor-completions"), ("/usr/local", "site-functions"),
                            ("/opt/crv", "site-functions")):
            with self.subTest(prefix=prefix), tempfile.TemporaryDirectory() as dest:
                run("cmake", "--install", build, "--prefix", prefix,
                    env=dict(os.environ, DESTDIR=dest))
                found = {os.path.relpath(os.path.join(d, n), dest)
                         for d, _, names in os.walk(dest) for n in names}
                shells = {f for f in found if "/zsh/" in f or "/fish/" in f}
                top = prefix.lstrip("/") + "/share/"
                self.assertEqual(shells, {top + f"zsh/{zsh}/_crv", top + f"zsh/{zsh}/_crvw",
                                          top + "fish/vendor_completions.d/crv.fish",
                                          top + "fish/vendor_completions.d/crvw.fish"})

    # Completions in each shell as the packages install them.
    def bash(self, line, with_bash_completion):
        """COMPREPLY for the last word of `line`, as bash computes it; without
        bash-completion with failglob set, which must not matter."""
        words = line.split(" ")
        setup = "shopt -s failglob\n"
        if with_bash_completion:
            setup = ". /usr/share/bash-completion/bash_completion\n"
        script = setup + (
            '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))\n'
            'COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}\n'
            '_crv; printf "%s\\n" "${COMPREPLY[@]}"\n')
        done = run("bash", "--norc", "-c", script, "bash",
                   self.path("usr/share/bash-completion/completions/" + words[0]), *words,
                   cwd=self.files)
        self.assertEqual(done.stderr, "")
        return done.stdout.splitlines()

    def zsh(self, line):
        """The matches zsh's completion system adds for the last word of
        `line`, typed in an interactive zsh (on a pseudo terminal) with the
        packages' folder on fpath; each compadd is watched."""
        script = r"""
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "fpath=(${(q)1} \$fpath); autoload -U compinit; compinit -u -D"
zpty -w z 'compadd () {
  if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)* ]]; then builtin compadd "$@"; return; fi
  local -a hits; builtin compadd -A hits "$@"; print -rl -- "" "<""hit>"${(Q)^hits}
  builtin compadd "$@"; }'
zpty -w z 'bindkey "^I" complete-word; unsetopt auto_list list_ambiguous beep; PROMPT="> "'
zpty -w z "$2"$'\t'
zpty -w z $'\C-u''print "<""done>"'
while zpty -r z line; do
  [[ $line == '<done>'* ]] && break
  [[ $line == '<hit>'* ]] && print -r -- ${${line#<hit>}%$'\r'}
done
zpty -d z
"""
        return run("zsh", "-f", "-c", script, "zsh",
                   self.path("usr/share/zsh/vendor-completions"), line, cwd=self.files,
                   timeout=60).stdout.splitlines()

    def fish(self, line):
        """fish's completions for `line`, loaded from the packages' folder as
        from any folder of XDG_DATA_DIRS, for commands found on PATH."""
        home = os.path.join(self.root, "home")  # fish's own files, apart
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home,
                   XDG_DATA_DIRS=self.path("usr/share"),
                   PATH=self.path("usr/bin") + os.pathsep + os.environ["PATH"])
        out = run("fish", "-c", 'complete -C"$argv[1]"', line.replace("*", "\\*"),
                  cwd=self.files, env=env).stdout
        return [c.split("\t")[0] for c in out.splitlines()]

    def test_completions(self):
        def last(word):  # shells show "/usr", "/usr/" or "usr"
            return word.rstrip("/").rsplit("/", 1)[-1] if word.strip("/") else word
        shells = {
            "bash": lambda line: self.bash(line, True),
            "bash without bash-completion": lambda line: self.bash(line, False),
            "zsh": self.zsh,
            "fish": self.fish,
        }
        with tempfile.TemporaryDirectory() as files:
            self.files = files
            for name in ("notes.txt", "note two.txt", "-d", "*"):
                open(os.path.join(files, name), "w").close()
            os.mkdir(os.path.join(files, "sub"))
            # (command line, what must be offered, what must not)
            cases = [
                ("crv -", {"-d", "-c", "-p", "-p-"}, {"notes.txt"}),
                ("crvw -p", {"-p", "-p-"}, {"-d"}),
                ("crv notes.txt -", {"-d", "-c", "-p", "-p-"}, set()),
                ("crv -d not", {"notes.txt", "note two.txt"}, {"-d", "-c"}),
                ("crvw ", {"notes.txt", "sub", "-d", "*"}, {"-c"}),
                ("crv /", {"/d", "/c", "/p", "/p-", "/usr"}, set()),
                ("crv /p", {"/p", "/p-", "/proc"}, {"/d", "/usr"}),
                ("crv /us", {"/usr"}, {"/d", "/c", "/p", "/p-"}),
                # One file per run: none after the file.
                ("crvw notes.txt ", set(), {"notes.txt", "sub"}),
                ("crv -d notes.txt /", {"/d", "/c", "/p", "/p-"}, {"/usr"}),
                # A name is not a pattern: a file named "*" offers no other.
                ("crv *", set(), {"notes.txt", "sub"}),
            ]
            for shell, complete in shells.items():
                for line, offered, absent in cases:
                    with self.subTest(shell=shell, line=line):
                        got = {last(w) for w in complete(line) if w}
                        self.assertLessEqual({last(w) for w in offered}, got)
                        self.assertFalse({last(w) for w in absent} & got, got)

    def test_pre_commit_hooks(self):
        """pre-commit try-repo on this checkout's hooks, or the README's
        configuration with a clone of it, in a throwaway git repository,
        with the packaged crv on PATH (or a crv that fails)."""
        crlf, lf, binary = b"a\r\nb\r\n", b"a\nb\n", b"\0\r\n\x01\r\n"
        with tempfile.TemporaryDirectory() as tmp:
            repo, fake = os.path.join(tmp, "repo"), os.path.join(tmp, "failing")
            os.makedirs(repo)
            os.makedirs(fake)
            with open(os.path.join(fake, "crv"), "w") as f:
                f.write("#!/bin/sh\nexit 1\n")
            os.chmod(os.path.join(fake, "crv"), 0o755)
            run("git", "init", "-q", repo)
            with open(os.path.join(ROOT, "README.md")) as f:
                readme_config = re.search(r"```yaml\n(repos:.*?)```", f.read(), re.S)[1]
            clone = os.path.join(tmp, "clone")
            run("git", "clone", "-q", ROOT, clone)
            # The README pins the release's tag, which this checkout stands for.
            rev = re.search(r"rev: (\S+)", readme_config)[1]
            self.assertEqual(rev, "v" + version())
            run("git", "-C", clone, "tag", "-f", rev)
            # (hook, crv on PATH, files before, status, files after); the
            # README's configuration runs both hooks.
            cases = [
                ("README", "packaged", {"a.txt": crlf, "b.bat": lf}, 1,
                 {"a.txt": lf, "b.bat": crlf}),
                ("crv-lf", "packaged", {"a.txt": crlf, "-b.sh": lf, "c.bin": binary}, 1,
                 {"a.txt": lf, "-b.sh": lf, "c.bin": binary}),
                ("crv-lf", "packaged", {"a.txt": lf}, 0, {"a.txt": lf}),
                ("crv-crlf", "packaged", {"a.txt": lf, "sub dir/d.md": crlf}, 1,
                 {"a.txt": crlf, "sub dir/d.md": crlf}),
                ("crv-crlf", "failing", {"a.txt": crlf}, 1, {"a.txt": crlf}),
            ]
            for hook, crv, before, status, after in cases:
                with self.subTest(hook=hook, crv=crv, files=sorted(before)):
                    run("git", "rm", "-rqf", "--ignore-unmatch", ".", cwd=repo)
                    for name, data in before.items():
                        os.makedirs(os.path.dirname(os.path.join(repo, name)), exist_ok=True)
                        with open(os.path.join(repo, name), "wb") as f:
                            f.write(data)
                        os.utime(os.path.join(repo, name), ns=(10**18, 10**18))
                    run("git", "add", "-A", cwd=repo)
                    bin_dir = fake if crv == "failing" else self.path("usr/bin")
                    env = dict(os.environ, PRE_COMMIT_HOME=os.path.join(tmp, "cache"),
                               PATH=bin_dir + os.pathsep + os.environ["PATH"])
                    if hook == "README":
                        with open(os.path.join(repo, ".pre-commit-config.yaml"), "w") as f:
                            f.write(readme_config.replace("/home/me/src/crv", clone))
                        run("git", "add", ".pre-commit-config.yaml", cwd=repo)
                        done = run("pre-commit", "run", "--all-files", cwd=repo, env=env,
                                   check=False)
                    else:
                        done = run("pre-commit", "try-repo", ROOT, hook, "--all-files",
                                   cwd=repo, env=env, check=False)
                    self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                    self.assertIn("Failed" if status else "Passed", done.stdout)
                    self.assertNotIn("mutable reference", done.stdout + done.stderr)
                    for name, data in after.items():
                        with open(os.path.join(repo, name), "rb") as f:
                            self.assertEqual(f.read(), data, name)
                        # A file that needed no change keeps its date.
                        if before[name] == data:
                            self.assertEqual(os.stat(os.path.join(repo, name)).st_mtime_ns,
                                             10**18, name)


class WindowsZip(unittest.TestCase):
    def test_contents(self):
        top = f"crv-{version()}-win32/"
        with zipfile.ZipFile(os.path.join(DIST, f"crv-{version()}-win32.zip")) as z:
            names = sorted(z.namelist())
            print("\n".join(names))
            self.assertEqual(names, [top + n for n in ("LICENSE.txt", "README.txt", "crv.exe",
                                                       "crvw.exe")])
            # i386 (0x14c); console (3) and windowed (2) subsystems.
            for exe, subsystem in (("crv.exe", 3), ("crvw.exe", 2)):
                facts = pe_facts(z.read(top + exe))
                self.assertEqual((facts.machine, facts.subsystem), (0x14C, subsystem))
            for name, words in (("README.txt", (f"crv {version()}", "shell:sendto",
                                                "Exit status", "Drop a file")),
                                ("LICENSE.txt", ("Copyright (c) 2026 the crv authors",))):
                text = z.read(top + name)
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
                self.assertGreater(text.count(b"\r\n"), 10, name)
                for word in words:
                    self.assertIn(word.encode(), text, name)


class WindowsInstaller(unittest.TestCase):
    """The MSI's tables (msiinfo): what it installs, where, for whom, and the
    right-click entries. tests/msi_test.py runs one under Wine."""

    def msi(self, command, *args):
        return run("msiinfo", command, os.path.join(DIST, f"crv-{version()}.msi"), *args).stdout

    def rows(self, table):
        return [line.split("\t") for line in self.msi("export", table).splitlines()[3:]]

    def test_tables(self):
        files = sorted(row[2] for row in self.rows("File"))
        print("MSI files:", files)
        self.assertEqual(files, ["LICENSE.txt", "README.txt", "crv.exe", "crvw.exe"])
        # Per user: no ALLUSERS; word count bit 3, no elevation needed.
        self.assertNotIn("ALLUSERS", [row[0] for row in self.rows("Property")])
        self.assertTrue(int(re.search(r"^Source: (\d+)", self.msi("suminfo"), re.M)[1]) & 8)
        dirs = {row[0]: row[1:] for row in self.rows("Directory")}
        self.assertEqual(dirs["INSTALLDIR"], ["UserPrograms", "crv"])
        self.assertEqual(dirs["UserPrograms"], ["LocalAppDataFolder", "Programs"])
        registry = {(row[2], row[3]): row[4] for row in self.rows("Registry") if row[1] == "1"}
        self.assertEqual(len(self.rows("Registry")), len(registry), "a key outside HKCU")
        self.assertEqual(registry.pop(("Software\\crv", "InstallDir")), "[INSTALLDIR]")
        # Both entries for the files Windows perceives as text and for the
        # text types it does not mark so; none for all files.
        expected = {}
        for key in TEXT_TYPES:
            for verb, text, option in (("lf", "LF", "-d"), ("crlf", "CR LF", "-c")):
                shell = f"Software\\Classes\\SystemFileAssociations\\{key}\\shell\\crv.{verb}"
                expected[(shell, "")] = f"Normalise line endings ({text})"
                expected[(shell, "MultiSelectModel")] = "Document"
                expected[(shell + "\\command", "")] = f'"[INSTALLDIR]crvw.exe" {option} "%1"'
        self.assertEqual(registry, expected)

    def test_files_are_the_zips(self):
        top = f"crv-{version()}-win32/"
        with tempfile.TemporaryDirectory() as tmp, \
                zipfile.ZipFile(os.path.join(DIST, f"crv-{version()}-win32.zip")) as z:
            run("msiextract", "-C", tmp, os.path.join(DIST, f"crv-{version()}.msi"))
            found = {n: os.path.join(d, n) for d, _, names in os.walk(tmp) for n in names}
            for name in ("crv.exe", "crvw.exe", "README.txt", "LICENSE.txt"):
                with open(found[name], "rb") as f:
                    self.assertEqual(f.read(), z.read(top + name), name)


def installed_packages():
    out = run("dpkg-query", "-W", "-f", "${Package}:${Architecture} ${db:Status-Status}\n").stdout
    return {l.split()[0] for l in out.splitlines() if l.endswith(" installed")}


def package_state(package):
    """dpkg's status of a package: "" when dpkg does not know it."""
    out = run("dpkg-query", "-W", "-f", "${db:Status-Status}", package, check=False)
    return out.stdout if out.returncode == 0 else ""


def known_packages():
    return [p for p in DEB_FILES if package_state(p) not in ("", "not-installed")]


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
    the packages it had: crv and crvw are purged, and so is any package the
    install pulled in that nothing else needs now."""

    def test_install_use_purge(self):
        if known_packages():
            self.skipTest("a crv package is already known to dpkg here; leaving it alone")
        before = installed_packages()
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, interrupted)
        try:
            self.install_use_purge()
        finally:
            if known_packages():
                apt("purge", *known_packages(), check=False)
            pulled_in = installed_packages() - before
            removable = re.findall(r"^Remv (\S+)", apt("-s", "autoremove"), re.M)
            leftover = [p for p in removable if p in pulled_in or p + ":amd64" in pulled_in]
            if leftover:
                apt("purge", *leftover)

    def install_use_purge(self):
        # The console tool alone, then the windowed one beside it.
        apt("install", "--no-install-recommends", os.path.abspath(deb("crv")))
        self.assertEqual(package_state("crvw"), "")
        apt("install", "--no-install-recommends", os.path.abspath(deb("crvw")))
        files = [f for p in DEB_FILES for f in run("dpkg", "-L", p).stdout.splitlines()
                 if os.path.isfile(f)]
        self.assertIn("/usr/bin/crv", files)
        self.assertIn("/usr/bin/crvw", files)
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
        for name in DEB_FILES:
            self.assertIn(f"/usr/share/man/man1/{name}.1.gz", run("man", "-aw", name).stdout.split())
        # bash-completion finds both completions by the command's name.
        loaded = run("bash", "--norc", "-c", ". /usr/share/bash-completion/bash_completion; "
                     "for c in crv crvw; do _completion_loader $c; complete -p $c; done").stdout
        self.assertEqual(loaded.count("complete -F _crv "), 2, loaded)

        apt("purge", *DEB_FILES)
        self.assertEqual(known_packages(), [])
        self.assertEqual([f for f in files if os.path.lexists(f)], [])
        for name in DEB_FILES:
            self.assertFalse(os.path.exists(f"/usr/share/doc/{name}"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    args, rest = parser.parse_known_args()
    DIST = args.dist
    unittest.main(argv=[sys.argv[0], "-v"] + rest)
