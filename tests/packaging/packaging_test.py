#!/usr/bin/env python3
"""Checks of what Sortwell installs: the install tree, the Debian package,
the systemd unit, the man pages, the maintainer scripts, and documentation
that must agree with the code.

Run one group at a time, as CTest does:  packaging_test.py -v InstallTree
The environment names the trees: SW_SOURCE_DIR, SW_BUILD_DIR and SW_OVO (the
built agent). Exit status 77 means a tool the group needs is missing.
"""

import gzip
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("SW_SOURCE_DIR", "")
BUILD = os.environ.get("SW_BUILD_DIR", "")
OVO = os.environ.get("SW_OVO", "")
PACKAGING = os.path.join(SOURCE, "packaging")

# Every file a /usr install holds, with its mode. Nothing goes to /etc or /var.
EXPECTED_FILES = {
    "usr/sbin/ovo": 0o755,
    "usr/sbin/sortwell-remove-rules": 0o755,
    "usr/sbin/sortwell-check-config": 0o755,
    "usr/bin/sortwell-store": 0o755,
    "lib/systemd/system/sortwell.service": 0o644,
    "usr/share/man/man8/ovo.8.gz": 0o644,
    "usr/share/man/man8/sortwell-check-config.8.gz": 0o644,
    "usr/share/man/man8/sortwell-remove-rules.8.gz": 0o644,
    "usr/share/man/man1/sortwell-store.1.gz": 0o644,
    "usr/share/doc/sortwell/README.md": 0o644,
    "usr/share/doc/sortwell/copyright": 0o644,
    "usr/share/doc/sortwell/changelog.Debian.gz": 0o644,
    "usr/share/doc/sortwell/examples/registry.reg.example": 0o644,
}
PROGRAMS = [p for p, mode in EXPECTED_FILES.items() if mode == 0o755]
MAN_PAGES = [os.path.basename(p)[:-3] for p in EXPECTED_FILES if "/man/man" in p]


def run(args, check=True, **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    result = subprocess.run(args, text=True, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError(
            "%s failed with %d:\n%s%s" % (" ".join(args), result.returncode, result.stdout,
                                          result.stderr))
    return result


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        sys.exit(77)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def install_tree(root, prefix="/usr"):
    """Installs the build into DESTDIR `root` under `prefix`."""
    env = dict(os.environ, DESTDIR=root)
    run(["cmake", "--install", BUILD, "--prefix", prefix], env=env)


def files_below(root):
    found = {}
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            found[os.path.relpath(path, root)] = stat.S_IMODE(os.lstat(path).st_mode)
    return found


def unit_directives(text):
    """The unit's [Service] directives: name -> list of values in order."""
    directives = {}
    section = None
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = line
            continue
        name, _, value = line.partition("=")
        directives.setdefault((section, name), []).append(value)
    return directives


def unit_environment(text):
    env = {}
    for value in unit_directives(text).get(("[Service]", "Environment"), []):
        for assignment in value.split():
            name, _, val = assignment.partition("=")
            env[name] = val
    return env


def source_files(*folders):
    for folder in folders:
        for directory, _, names in os.walk(os.path.join(SOURCE, folder)):
            for name in names:
                if name.endswith((".cpp", ".h")):
                    yield os.path.join(directory, name)


class InstallTree(unittest.TestCase):
    """`cmake --install` lays out a normal system below DESTDIR."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sortwell-install-")
        cls.root = os.path.join(cls.tmp, "root")
        install_tree(cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_every_file_lands_where_an_administrator_looks_for_it(self):
        self.assertEqual(files_below(self.root), EXPECTED_FILES)

    def test_installed_files_are_the_ones_built_and_written(self):
        self.assertEqual(read(os.path.join(self.root, "usr/sbin/ovo"), "rb"), read(OVO, "rb"))
        self.assertEqual(read(os.path.join(self.root, "usr/share/doc/sortwell/README.md")),
                         read(os.path.join(SOURCE, "README.md")))
        self.assertEqual(
            read(os.path.join(self.root, "usr/share/doc/sortwell/examples/registry.reg.example")),
            read(os.path.join(PACKAGING, "registry.reg.example")))
        for page in MAN_PAGES:
            installed = os.path.join(self.root, "usr/share/man/man%s/%s.gz" % (page[-1], page))
            with gzip.open(installed, "rt") as f:
                self.assertEqual(f.read(), read(os.path.join(PACKAGING, page)), page)
        with gzip.open(os.path.join(self.root, "usr/share/doc/sortwell/changelog.Debian.gz"),
                       "rt") as f:
            self.assertEqual(f.read(), read(os.path.join(PACKAGING, "debian", "changelog")))

    def test_unit_names_the_installed_agent_and_is_otherwise_the_source(self):
        installed = read(os.path.join(self.root, "lib/systemd/system/sortwell.service"))
        source = read(os.path.join(PACKAGING, "sortwell.service"))
        self.assertIn("\nExecStart=/usr/sbin/ovo\n", installed)
        self.assertEqual(installed, source)

    def test_another_prefix_keeps_unit_and_agent_together(self):
        root = os.path.join(self.tmp, "other")
        prefix = os.path.join(root, "opt/sortwell")
        run(["cmake", "--install", BUILD, "--prefix", prefix])
        unit = os.path.join(prefix, "lib/systemd/system/sortwell.service")
        start = re.search(r"^ExecStart=(\S+)$", read(unit), re.M).group(1)
        self.assertEqual(start, os.path.join(prefix, "sbin/ovo"))
        self.assertTrue(os.access(start, os.X_OK), start)
        check = re.search(r"^ExecStartPre=-(\S+)$", read(unit), re.M).group(1)
        self.assertEqual(check, os.path.join(prefix, "sbin/sortwell-check-config"))
        self.assertTrue(os.access(check, os.X_OK), check)
        self.assertFalse(os.path.exists(os.path.join(root, "lib")))

    def test_installed_programs_run(self):
        usage = run([os.path.join(self.root, "usr/bin/sortwell-store"), "--help"]).stdout
        self.assertIn("/var/lib/sortwell/infostore.db", usage)
        bad = run([os.path.join(self.root, "usr/sbin/ovo"), "nonsense"], check=False,
                  env=dict(os.environ, SORTWELL_EVENTLOG="FILE",
                           SORTWELL_EVENTLOG_FILE=os.path.join(self.tmp, "events.jsonl")))
        self.assertEqual(bad.returncode, 1)
        self.assertIn("Unrecognized argument.", bad.stdout)
        usage = run([os.path.join(self.root, "usr/sbin/sortwell-remove-rules"), "--bad"],
                    check=False)
        self.assertEqual(usage.returncode, 2)
        self.assertIn("Usage: sortwell-remove-rules", usage.stderr)
        # The unit's check, as the unit runs it: no hive yet, so "no start".
        check = run([os.path.join(self.root, "usr/sbin/sortwell-check-config")], check=False,
                    env=dict(os.environ, SORTWELL_REGISTRY=os.path.join(self.tmp, "none.reg")))
        self.assertEqual(check.returncode, 1)
        self.assertIn("none.reg: the hive does not exist", check.stdout)


class DebianPackage(unittest.TestCase):
    """The .deb that CPack builds: fields, files, modes and control members."""

    @classmethod
    def setUpClass(cls):
        need("cpack", "dpkg-deb", "dpkg")
        cls.tmp = tempfile.mkdtemp(prefix="sortwell-deb-")
        run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.tmp],
            cwd=cls.tmp)
        debs = [n for n in os.listdir(cls.tmp) if n.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.tmp, debs[0])
        cls.control = os.path.join(cls.tmp, "control")
        run(["dpkg-deb", "-e", cls.deb, cls.control])
        cls.data = os.path.join(cls.tmp, "data")
        run(["dpkg-deb", "-x", cls.deb, cls.data])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_control_fields(self):
        cache = read(os.path.join(BUILD, "CMakeCache.txt"))
        version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", cache, re.M)
        version = version.group(1) if version else re.search(
            r"project\(sortwell VERSION (\S+)", read(os.path.join(SOURCE, "CMakeLists.txt"))).group(1)
        self.assertEqual(self.field("Package"), "sortwell")
        self.assertEqual(self.field("Version"), version + "-1")
        self.assertEqual(self.field("Architecture"),
                         run(["dpkg", "--print-architecture"]).stdout.strip())
        self.assertEqual(self.field("Section"), "mail")
        self.assertRegex(self.field("Maintainer"), r"<[^@>]+@[^>]+>")
        self.assertEqual(os.path.basename(self.deb),
                         "sortwell_%s-1_%s.deb" % (version, self.field("Architecture")))
        # The changelog's newest entry is this version.
        with gzip.open(os.path.join(self.data, "usr/share/doc/sortwell/changelog.Debian.gz"),
                       "rt") as f:
            self.assertTrue(f.read().startswith("sortwell (%s-1) " % version))
        # Debian's description: a summary line, then lines that fit a terminal.
        description = self.field("Description").splitlines()
        self.assertGreater(len(description), 2)
        for line in description:
            self.assertLessEqual(len(line), 80, line)

    def test_depends_on_what_the_programs_and_scripts_use(self):
        depends = self.field("Depends")
        names = {re.match(r"\s*([a-z0-9.+-]+)", d).group(1) for d in depends.split(",")}
        for wanted in ("adduser", "libc6", "libsqlite3-0", "libstdc++6"):
            self.assertIn(wanted, names, depends)
        # Every library the agent loads is covered by a dependency.
        needed = run(["objdump", "-p", OVO]).stdout if shutil.which("objdump") else ""
        for library in re.findall(r"NEEDED\s+(\S+)", needed):
            stem = re.sub(r"\.so\..*$", "", library)
            if stem in ("libc", "libm", "ld-linux-x86-64"):
                self.assertIn("libc6", names)
            elif stem == "libsqlite3":
                self.assertIn("libsqlite3-0", names)
            elif stem == "libstdc++":
                self.assertIn("libstdc++6", names)

    def test_files_modes_and_owners(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout.splitlines()
        files = {}
        for line in listing:
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            path = path[2:] if path.startswith("./") else path
            self.assertFalse(path.startswith(("etc", "var")), line)
            if mode.startswith("-"):
                files[path] = mode
        self.assertEqual(set(files), set(EXPECTED_FILES))
        for path, mode in files.items():
            self.assertEqual(mode, "-rwxr-xr-x" if EXPECTED_FILES[path] == 0o755 else "-rw-r--r--",
                             path)
        for program in PROGRAMS:
            kind = run(["file", "-b", os.path.join(self.data, program)]).stdout \
                if shutil.which("file") else "stripped"
            self.assertNotIn("not stripped", kind, program)
        unit = read(os.path.join(self.data, "lib/systemd/system/sortwell.service"))
        self.assertIn("\nExecStart=/usr/sbin/ovo\n", unit)

    def test_control_members_scripts_and_checksums(self):
        members = {n: stat.S_IMODE(os.stat(os.path.join(self.control, n)).st_mode)
                   for n in os.listdir(self.control)}
        # No conffiles: the example hive is documentation, and the real hive
        # is never the package's.
        self.assertEqual(set(members), {"control", "md5sums", "postinst", "prerm", "postrm"})
        for script in ("postinst", "prerm", "postrm"):
            self.assertEqual(members[script], 0o755, script)
            self.assertEqual(read(os.path.join(self.control, script)),
                             read(os.path.join(PACKAGING, "debian", script)), script)
        sums = {}
        for line in read(os.path.join(self.control, "md5sums")).splitlines():
            digest, path = line.split(None, 1)
            sums[path] = digest
        self.assertEqual(set(sums), set(EXPECTED_FILES))
        for path, digest in sums.items():
            actual = hashlib.md5(read(os.path.join(self.data, path), "rb")).hexdigest()
            self.assertEqual(actual, digest, path)


class SystemdUnit(unittest.TestCase):
    """The installed unit passes systemd's checks and lets the agent work."""

    @classmethod
    def setUpClass(cls):
        need("systemd-analyze")
        cls.tmp = tempfile.mkdtemp(prefix="sortwell-unit-")
        cls.root = os.path.join(cls.tmp, "root")
        install_tree(cls.root)
        cls.text = read(os.path.join(cls.root, "lib/systemd/system/sortwell.service"))
        cls.directives = unit_directives(cls.text)
        # systemd checks that ExecStart exists: point it at the installed copy.
        cls.checked = os.path.join(cls.tmp, "sortwell.service")
        with open(cls.checked, "w") as f:
            f.write(cls.text.replace("=/usr/sbin/", "=" + os.path.join(cls.root, "usr/sbin/"))
                    .replace("=-/usr/sbin/", "=-" + os.path.join(cls.root, "usr/sbin/")))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def service(self, name):
        return self.directives.get(("[Service]", name), [])

    def test_systemd_analyze_verify_is_clean(self):
        result = run(["systemd-analyze", "verify", "--man=no", self.checked], check=False)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_hardening_exposure_stays_low(self):
        # 2.0 on systemd's scale of 0 to 10; the unit scores about 1.1.
        result = run(["systemd-analyze", "security", "--offline=yes", "--threshold=20",
                      self.checked], check=False)
        self.assertEqual(result.returncode, 0, result.stdout[-600:] + result.stderr)

    def test_the_dovecot_drop_in_opens_the_network_and_stays_safe(self):
        # The drop-in the README gives for a Dovecot server: on top of the unit
        # it must still verify cleanly and stay in systemd's SAFE band (< 2.0).
        root = os.path.join(self.tmp, "with-drop-in")
        units = os.path.join(root, "etc/systemd/system")
        os.makedirs(os.path.join(units, "sortwell.service.d"), exist_ok=True)
        shutil.copy(self.checked, units)
        shutil.copy(os.path.join(PACKAGING, "dovecot.conf"),
                    os.path.join(units, "sortwell.service.d"))
        result = run(["systemd-analyze", "security", "--offline=yes", "--threshold=20",
                      "--root=" + root, "sortwell.service"], check=False)
        self.assertEqual(result.returncode, 0, result.stdout[-600:] + result.stderr)
        self.assertIn("RestrictAddressFamilies=AF_UNIX AF_INET\nIPAddressAllow=127.0.0.1",
                      read(os.path.join(PACKAGING, "dovecot.conf")))

    def test_an_ended_remove_pass_stays_ended(self):
        # The agent ends with status 0 after a remove pass; a policy that
        # restarted it then would put the rules straight back.
        self.assertEqual(self.service("Type"), ["notify"])
        self.assertNotIn(self.service("Restart"), (["always"], ["on-success"]))
        self.assertEqual(self.service("ExecReload"), ["/bin/kill -HUP $MAINPID"])
        # The settings check runs before every start, and never stops one.
        self.assertEqual(self.service("ExecStartPre"), ["-/usr/sbin/sortwell-check-config"])

    def test_sandbox_still_lets_the_agent_talk_and_write(self):
        # syslog, the notification socket and the remove-rules event are Unix
        # sockets; the event is abstract, so it needs the host's network
        # namespace.
        self.assertEqual(self.service("RestrictAddressFamilies"), ["AF_UNIX"])
        self.assertNotIn(self.service("PrivateNetwork"), (["yes"], ["true"], ["1"]))
        for name in ("ProtectSystem", "PrivateTmp", "NoNewPrivileges", "ProtectHome"):
            self.assertTrue(self.service(name), name)
        self.assertEqual(self.service("ProtectSystem"), ["strict"])
        # With the file system read-only, everything the agent writes must lie
        # in its state or logs directory.
        writable = ["/var/lib/" + d for d in self.service("StateDirectory")] + \
                   ["/var/log/" + d for d in self.service("LogsDirectory")]
        self.assertEqual(writable, ["/var/lib/sortwell", "/var/log/sortwell"])
        env = unit_environment(self.text)
        for name in ("SORTWELL_INFOSTORE", "SORTWELL_PROFILES", "SORTWELL_EVENTLOG_FILE",
                     "XAL_LOG_FILE"):
            if name in env and env[name] != "stderr":
                self.assertTrue(any(env[name].startswith(w + "/") for w in writable),
                                "%s=%s is not writable under the sandbox" % (name, env[name]))
        self.assertEqual(self.service("User"), ["sortwell"])

    def test_environment_names_the_programs_own_defaults(self):
        # The service and an administrator's run of `ovo` by hand use the same
        # files: every path the unit sets is the one compiled into the agent.
        env = unit_environment(self.text)
        for name in ("SORTWELL_REGISTRY", "SORTWELL_INFOSTORE", "SORTWELL_PROFILES",
                     "SORTWELL_EVENTLOG_FILE"):
            self.assertIn(name, env)
        binary = read(OVO, "rb")
        for name, value in env.items():
            if value.startswith("/"):
                self.assertIn(value.encode() + b"\0", binary, name)
        self.assertIn(env.get("SORTWELL_EVENTLOG"), ("SYSLOG", "FILE"))


class ManPages(unittest.TestCase):
    """The man pages render cleanly and cover the commands they describe."""

    @classmethod
    def setUpClass(cls):
        need("groff")

    def test_pages_render_without_warnings_under_their_file_names(self):
        env = dict(os.environ, LC_ALL="C.UTF-8")
        for page in MAN_PAGES:
            path = os.path.join(PACKAGING, page)
            self.assertEqual(run(["groff", "-man", "-ww", "-z", path], env=env).stderr, "", page)
            # Plain text: without the terminal's bold and underline.
            text = re.sub(r"\x1b\[[0-9;]*m|.\x08", "",
                          run(["groff", "-man", "-Tutf8", path], env=env).stdout)
            self.assertIn("NAME", text)
            self.assertIn("SEE ALSO", text)
            name, section = page.rsplit(".", 1)
            title = re.search(r"^\.TH (\S+) (\S+)", read(path), re.M)
            self.assertEqual((title.group(1), title.group(2)), (name.upper(), section))

    def test_store_page_covers_every_command_and_option_of_the_usage(self):
        store = os.path.join(BUILD, "tools/sortwell-store/sortwell-store")
        usage = run([store, "--help"]).stdout
        page = read(os.path.join(PACKAGING, "sortwell-store.1"))
        page_text = page.replace("\\-", "-")
        commands = set(re.findall(r"^  ([a-z][a-z-]+(?: [a-z]+)?)\b", usage, re.M))
        self.assertGreater(len(commands), 15)
        for command in commands:
            first = command.split()[0]
            self.assertRegex(page_text, r"\.BI? %s\b" % re.escape(first), command)
            self.assertIn(command, page_text, command)
        for option in set(re.findall(r"(--[a-z-]+)", usage)):
            self.assertIn(option, page_text, option)


class MaintainerScripts(unittest.TestCase):
    """postinst, prerm and postrm, run against a scratch root ($DPKG_ROOT)
    with the commands that change users and owners replaced by recorders."""

    STUBS = {
        # getent answers from $STUB_KNOWN (names of existing users/groups).
        "getent": 'for n in $STUB_KNOWN; do [ "$n" = "$2" ] && exit 0; done; exit 2',
        "addgroup": "",
        "adduser": "",
        "chown": "",
        "systemctl": "",
        # dpkg-statoverride lists overrides for the paths in $STUB_OVERRIDES.
        "dpkg-statoverride":
            'for n in $STUB_OVERRIDES; do [ "$n" = "$2" ] && echo "root root 0700 $n" '
            '&& exit 0; done; exit 1',
        # install: make the directory with the mode, record the owner.
        "install":
            'mode=0755; while [ $# -gt 1 ]; do case "$1" in -m) mode=$2; shift;; '
            '-o|-g) shift;; esac; shift; done; mkdir -p "$1" && chmod "$mode" "$1"',
    }

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="sortwell-scripts-")
        self.root = os.path.join(self.tmp, "root")
        os.makedirs(self.root)
        stubs = os.path.join(self.tmp, "bin")
        os.makedirs(stubs)
        self.log = os.path.join(self.tmp, "calls")
        for name, body in self.STUBS.items():
            path = os.path.join(stubs, name)
            with open(path, "w") as f:
                f.write('#!/bin/sh\necho "%s $*" >> "%s"\n%s\n' % (name, self.log, body))
            os.chmod(path, 0o755)
        self.path = stubs + ":/usr/bin:/bin"

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def script(self, name, *args, known="", overrides=""):
        env = {"PATH": self.path, "DPKG_ROOT": self.root, "STUB_KNOWN": known,
               "STUB_OVERRIDES": overrides}
        return run(["/bin/sh", "-e", os.path.join(PACKAGING, "debian", name)] + list(args),
                   check=False, env=env)

    def calls(self):
        return read(self.log).splitlines() if os.path.exists(self.log) else []

    def at(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def mode(self, path):
        return stat.S_IMODE(os.stat(self.at(path)).st_mode)

    def put(self, path, text="x", mode=0o644):
        os.makedirs(os.path.dirname(self.at(path)), exist_ok=True)
        with open(self.at(path), "w") as f:
            f.write(text)
        os.chmod(self.at(path), mode)

    def test_first_install_makes_user_and_directories_and_no_hive(self):
        result = self.script("postinst", "configure")
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = self.calls()
        self.assertIn("addgroup --system --quiet sortwell", calls)
        adduser = [c for c in calls if c.startswith("adduser ")]
        self.assertEqual(len(adduser), 1, calls)
        for part in ("--system", "--ingroup sortwell", "--home /var/lib/sortwell",
                     "--no-create-home", "--shell /usr/sbin/nologin"):
            self.assertIn(part, adduser[0])
        self.assertTrue(adduser[0].endswith(" sortwell"), adduser[0])
        self.assertEqual(self.mode("/etc/sortwell"), 0o755)
        for directory in ("/var/lib/sortwell", "/var/log/sortwell"):
            self.assertEqual(self.mode(directory), 0o750)
            self.assertIn("install -d -o sortwell -g sortwell -m 0750 " + self.at(directory),
                          calls)
        self.assertFalse(os.path.exists(self.at("/etc/sortwell/registry.reg")))
        self.assertIn("registry.reg.example", result.stdout)
        self.assertFalse([c for c in calls if c.startswith("systemctl")], calls)

    def test_upgrade_keeps_the_administrators_hive_and_the_agents_data(self):
        hive = "Windows Registry Editor Version 5.00\n; mine\n"
        self.put("/etc/sortwell/registry.reg", hive, 0o600)
        os.chmod(self.at("/etc/sortwell"), 0o700)
        self.put("/var/lib/sortwell/infostore.db", "store", 0o600)
        os.chmod(self.at("/var/lib/sortwell"), 0o777)
        os.makedirs(self.at("/var/log/sortwell"))
        result = self.script("postinst", "configure", "0.1.0-1", known="sortwell",
                             overrides="/var/log/sortwell")
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = self.calls()
        self.assertFalse([c for c in calls if c.startswith(("adduser", "addgroup"))], calls)
        self.assertEqual(read(self.at("/etc/sortwell/registry.reg")), hive)
        self.assertEqual(self.mode("/etc/sortwell/registry.reg"), 0o600)
        self.assertEqual(self.mode("/etc/sortwell"), 0o700)
        self.assertEqual(read(self.at("/var/lib/sortwell/infostore.db")), "store")
        # The state directory is the agent's again, not recursively; the log
        # directory has an override and is left alone.
        self.assertEqual(self.mode("/var/lib/sortwell"), 0o750)
        self.assertIn("chown sortwell:sortwell " + self.at("/var/lib/sortwell"), calls)
        self.assertFalse([c for c in calls if c.startswith("chown") and
                          ("-R" in c or "log" in c)], calls)
        self.assertNotIn("registry.reg.example", result.stdout)

    def test_remove_keeps_everything_and_purge_only_what_the_agent_made(self):
        for path in ("/etc/sortwell/registry.reg", "/var/lib/sortwell/infostore.db",
                     "/var/lib/sortwell/infostore.db-wal", "/var/lib/sortwell/profiles",
                     "/var/lib/sortwell/profiles.lock", "/var/lib/sortwell/profiles.tmp.42.0",
                     "/var/lib/sortwell/metrics.prom", "/var/lib/sortwell/metrics.prom.tmp",
                     "/var/log/sortwell/agent.log", "/var/log/sortwell/events.jsonl"):
            self.put(path)
        link = self.at("/etc/systemd/system/multi-user.target.wants/sortwell.service")
        os.makedirs(os.path.dirname(link))
        os.symlink("/lib/systemd/system/sortwell.service", link)
        before = files_below(self.root)

        for step in (("prerm", "remove"), ("postrm", "remove")):
            result = self.script(*step)
            self.assertEqual(result.returncode, 0, step)
        self.assertEqual(files_below(self.root), before)

        self.assertEqual(self.script("postrm", "purge").returncode, 0)
        self.assertEqual(set(files_below(self.root)),
                         {"etc/sortwell/registry.reg", "var/lib/sortwell/infostore.db",
                          "var/lib/sortwell/infostore.db-wal"})
        self.assertFalse(os.path.exists(self.at("/var/log/sortwell")))

        # Without a store or a hive, purge leaves no empty directory behind.
        for path in ("etc/sortwell/registry.reg", "var/lib/sortwell/infostore.db",
                     "var/lib/sortwell/infostore.db-wal"):
            os.remove(self.at(path))
        self.put("/var/lib/sortwell/profiles")
        self.assertEqual(self.script("postrm", "purge").returncode, 0)
        self.assertFalse(os.path.exists(self.at("/var/lib/sortwell")))
        self.assertFalse(os.path.exists(self.at("/etc/sortwell")))
        # And a purge of a machine that never had them is fine too.
        self.assertEqual(self.script("postrm", "purge").returncode, 0)

    def test_every_dpkg_action_is_answered(self):
        for name, actions in (
                ("postinst", ("abort-upgrade", "abort-remove", "abort-deconfigure")),
                ("prerm", ("upgrade", "failed-upgrade", "deconfigure")),
                ("postrm", ("upgrade", "failed-upgrade", "abort-install", "abort-upgrade",
                            "disappear"))):
            for action in actions:
                self.assertEqual(self.script(name, action, "0.1.0-1").returncode, 0,
                                 (name, action))
            bad = self.script(name, "bogus")
            self.assertEqual(bad.returncode, 1, name)
            self.assertIn("unknown argument 'bogus'", bad.stderr)
        self.assertEqual(files_below(self.root), {})
        self.assertEqual(self.calls(), [])

    def test_scripts_are_plain_posix_shell(self):
        need("dash")
        for name in ("postinst", "prerm", "postrm"):
            path = os.path.join(PACKAGING, "debian", name)
            self.assertTrue(read(path).startswith("#!/bin/sh\n"), name)
            run(["dash", "-n", path])


class Documentation(unittest.TestCase):
    """The README and the agent's man page describe every setting the code
    reads, with the code's own defaults."""

    @classmethod
    def setUpClass(cls):
        cls.readme = read(os.path.join(SOURCE, "README.md"))
        cls.page = read(os.path.join(PACKAGING, "ovo.8")).replace("\\-", "-").replace("\\e", "\\")
        cls.example = read(os.path.join(PACKAGING, "registry.reg.example"))

    def readme_row(self, key):
        rows = [line for line in self.readme.splitlines() if line.startswith("| `%s`" % key)]
        self.assertEqual(len(rows), 1, "README rows for %s: %r" % (key, rows))
        return rows[0]

    def test_every_environment_variable_with_its_default(self):
        names = set()
        for path in source_files("platform", "log", "runtime", "controller", "agent"):
            names |= set(re.findall(r'"((?:SORTWELL|XAL)_[A-Z_]+)"', read(path)))
        self.assertGreaterEqual(names, {"SORTWELL_REGISTRY", "SORTWELL_INFOSTORE",
                                        "SORTWELL_PROFILES", "SORTWELL_EVENTLOG",
                                        "SORTWELL_EVENTLOG_FILE", "XAL_LOG_LEVEL",
                                        "XAL_LOG_FILE", "XAL_LOG_ROTATE", "XAL_LOG_KEEP"})
        for name in names:
            self.readme_row(name)
            self.assertIn(".B %s\n" % name, self.page, name)
        # The default paths, as the code defines them.
        defaults = {}
        for path in source_files("platform"):
            for constant, value in re.findall(
                    r'constexpr const char\* (k\w+) = "(/[^"]+)"', read(path)):
                defaults[constant] = value
        for name, constant in (("SORTWELL_REGISTRY", "kDefaultHive"),
                               ("SORTWELL_INFOSTORE", "kDefaultStorePath"),
                               ("SORTWELL_PROFILES", "kDefaultPath"),
                               ("SORTWELL_EVENTLOG_FILE", "kDefaultEventFile")):
            self.assertIn(constant, defaults)
            self.assertIn("`%s`" % defaults[constant], self.readme_row(name), name)
            section = self.page.split(".B %s\n" % name, 1)[1].split(".TP", 1)[0]
            self.assertIn(defaults[constant], section, name)

    def test_every_registry_value_in_readme_page_and_example(self):
        settings = read(os.path.join(SOURCE, "agent", "agent_settings.cpp"))
        table = settings.split("AGENT_SETTING_NAMES[AGENT_SETTING_COUNT] = {", 1)[1]
        names = re.findall(r'u"([^"]+)"', table.split("};", 1)[0])
        self.assertEqual(len(names), 11, names)
        for name in names:
            self.readme_row(name)
            self.assertIn(name, self.page)
            self.assertRegex(self.example, r'(?m)^;?"%s"=' % re.escape(name))
        self.assertIn("HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell", self.readme)
        # The README's example of the hive format uses the real names only.
        example = re.search(r"```\n(Windows Registry Editor.*?)```", self.readme, re.S).group(1)
        used = re.findall(r'^"([^"]+)"=', example, re.M)
        self.assertGreater(len(used), 3)
        self.assertEqual(set(used) - set(names), set())
        self.assertIn("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]", self.example)

    def test_readme_starts_with_what_it_does_two_commands_and_the_layout(self):
        head, _, _ = self.readme.partition("\n## Layout\n")
        self.assertTrue(self.readme.startswith("# Sortwell\n"))
        blocks = re.findall(r"```(\w*)\n(.*?)```", head, re.S)
        self.assertEqual(len(blocks), 1)
        commands = [line.split("#")[0].strip() for line in blocks[0][1].splitlines()]
        self.assertEqual(commands, ["scripts/demo", "scripts/test"])

    def test_agent_page_diagnoses_every_message_the_readme_does(self):
        ids = re.findall(r"^\| (\d+|0x[0-9A-F]{8}) \|", self.readme, re.M)
        self.assertGreater(len(ids), 30)
        diagnostics = self.page.split(".SH DIAGNOSTICS\n", 1)[1].split(".SH ", 1)[0]
        named = set()
        for line in diagnostics.splitlines():
            if line.startswith(".B ") or line.startswith(".BR "):
                named |= set(re.findall(r"\b(\d{4,5}|0x[0-9A-F]{8})\b", line))
                for first, last in re.findall(r'(\d{5}) " to " (\d{5})', line):
                    named |= {str(n) for n in range(int(first), int(last) + 1)}
        self.assertEqual(set(ids) - named, set())


if __name__ == "__main__":
    if not (SOURCE and BUILD and OVO):
        print("SW_SOURCE_DIR, SW_BUILD_DIR and SW_OVO must name the trees", file=sys.stderr)
        sys.exit(2)
    unittest.main()
