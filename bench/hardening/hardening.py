"""Shared pieces of the hardening scripts: a sandbox (store, hive, profile
file, event file and log in a temporary directory), running the real `ovo`
and `sortwell-store`, building a store with mailboxes in every state the
agent repairs, and checking what a pass left behind."""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

RULE = "_Corvane Spam Folder Rule_"
MARKER = "X-Spam-Flag: YES"
SPAM = "Spam"
RETENTION_DAYS = 30

# FILETIME ticks (100 ns) between 1601 and 1970.
_EPOCH_DIFF = 116444736000000000


def filetime_now():
    return _EPOCH_DIFF + int(time.time() * 10_000_000)


_WINDOW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "window")


def window_lines(which):
    """The hive lines of a maintenance window that is "open" or "closed" now."""
    out = subprocess.run(["bash", "-c", 'source "$0"; sortwell_window_%s_now' % which, _WINDOW],
                         check=True, capture_output=True, text=True).stdout
    return out.splitlines()


def fail_usage(text):
    print(text, file=sys.stderr)
    sys.exit(2)


class Binaries:
    """The programs of one build directory."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.ovo = os.path.join(self.build, "agent", "ovo")
        self.store = os.path.join(self.build, "tools", "sortwell-store", "sortwell-store")
        missing = [p for p in (self.ovo, self.store) if not os.access(p, os.X_OK)]
        if missing:
            fail_usage("not built: %s (cmake --build %s --target ovo sortwell-store)"
                       % (", ".join(missing), self.build))


_ISOLATION = None


def isolation():
    """The command prefix that runs a program in a network namespace of its
    own. The remove-rules event is an abstract Unix socket, and abstract
    sockets are per network namespace: without this, a remove request made
    anywhere on the machine (by a test suite running meanwhile, say) would
    turn these agents' passes into remove passes, and these agents would set
    other people's events. Pathname sockets (NOTIFY_SOCKET) still work."""
    global _ISOLATION
    if _ISOLATION is None:
        prefix = ["unshare", "--net"] if os.geteuid() == 0 else \
            ["unshare", "--user", "--map-root-user", "--net"]
        try:
            ok = subprocess.run(prefix + ["true"], capture_output=True).returncode == 0
        except FileNotFoundError:
            ok = False
        if not ok:
            print("warning: cannot make a network namespace (unshare); a remove request made "
                  "elsewhere on this machine meanwhile would disturb the agents", file=sys.stderr)
            prefix = []
        _ISOLATION = prefix
    return list(_ISOLATION)


class Sandbox:
    """A temporary directory holding everything one agent needs. Removed by
    close() unless SORTWELL_KEEP_SANDBOX is set."""

    def __init__(self, binaries, name="hardening"):
        self.bin = binaries
        self.dir = tempfile.mkdtemp(prefix="sortwell-%s." % name)
        self.store = os.path.join(self.dir, "infostore.db")
        self.profiles = os.path.join(self.dir, "profiles")
        self.hive = os.path.join(self.dir, "registry.reg")
        self.events = os.path.join(self.dir, "events.jsonl")
        self.log = os.path.join(self.dir, "agent.log")
        self.metrics = os.path.join(self.dir, "metrics.prom")

    def ovo(self, *args):
        """The command line of `ovo` with `args`, isolated (see isolation());
        the agent keeps the pid of the process started."""
        return isolation() + [self.bin.ovo] + list(args)

    def close(self):
        if os.environ.get("SORTWELL_KEEP_SANDBOX"):
            print("sandbox kept in %s" % self.dir)
            return
        shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("SORTWELL_", "XAL_", "NOTIFY_SOCKET", "LD_PRELOAD"))}
        env.update({
            "SORTWELL_INFOSTORE": self.store,
            "SORTWELL_PROFILES": self.profiles,
            "SORTWELL_REGISTRY": self.hive,
            "SORTWELL_EVENTLOG": "FILE",
            "SORTWELL_EVENTLOG_FILE": self.events,
            "SORTWELL_METRICS_FILE": self.metrics,
            "XAL_LOG_FILE": self.log,
            "XAL_LOG_LEVEL": "5",
        })
        env.update(extra)
        return env

    def run_store(self, *args, stdin=None, check=True, prefix=()):
        result = subprocess.run(list(prefix) + [self.bin.store] + list(args), input=stdin,
                                capture_output=True, text=True, env=self.env())
        if check and result.returncode != 0:
            raise RuntimeError("sortwell-store %s failed (%d): %s"
                               % (" ".join(args), result.returncode, result.stderr.strip()))
        return result

    def store_json(self, *args):
        return json.loads(self.run_store(*args, "--json").stdout)

    def write_hive(self, threads=5, interval=None, maintenance_now=False, report=1):
        lines = [
            "Windows Registry Editor Version 5.00",
            "",
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]",
            '"Alias"="sortwell"',
            '"Server"="mail1"',
            '"Spam Folder"="%s"' % SPAM,
            '"Spam SubString"="%s"' % MARKER,
            '"ThreadCount"=dword:%08x' % threads,
            '"Spam Retention (Days)"=dword:%08x' % RETENTION_DAYS,
            '"Expunge Report"=dword:%08x' % report,
        ]
        if interval is not None:
            lines.append('"Interval (Seconds)"=dword:%08x' % interval)
        # A window open or closed now, whatever the hour, from the scripts'
        # shared helper.
        lines += window_lines("open" if maintenance_now else "closed")
        with open(self.hive, "w") as out:
            out.write("\n".join(lines) + "\n")

    def swl_profiles(self):
        try:
            with open(self.profiles, encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if line.startswith('profile "swl_'))
        except FileNotFoundError:
            return 0

    def copy_store_from(self, template):
        for suffix in ("", "-wal", "-shm", "-journal"):
            try:
                os.remove(self.store + suffix)
            except FileNotFoundError:
                pass
        shutil.copyfile(template, self.store)


# Mailbox states, by the mailbox's number modulo 10.
STATES = {
    0: "spam folder there in another case (SPAM)",
    1: "valid rule and spam folder",
    2: "rule in error state (3)",
    3: "rule moving to a deleted folder",
    4: "two rules of the name (one disabled, one in lower case)",
    5: "spam folder with old and new spam, mail in the inbox, no rule",
    6: "valid rule, old spam in the spam folder",
    7: "bare, with mail in the inbox",
    8: "bare",
    9: "bare",
}


def _message(subject, marked):
    flag = MARKER + "\n" if marked else ""
    return "From: someone@example.org\nSubject: %s\n%s\nBody of %s.\n" % (subject, flag, subject)


def build_store(sandbox, mailboxes):
    """Makes a store with the agent's mailbox and user1..userN in the states
    above; returns the number of mailboxes the server holds."""
    s = sandbox.run_store
    s("init", "--server", "mail1")
    s("add-mailbox", "sortwell", "--display", "Sortwell agent")
    s("add-mailboxes", str(mailboxes), "--prefix", "user")
    for n in range(1, mailboxes + 1):
        box = "user%d" % n
        kind = n % 10
        if kind == 0:
            s("folder", "create", box, "SPAM")
        elif kind in (1, 6):
            s("folder", "create", box, SPAM)
            s("rule", "add", box, "--name", RULE, "--marker", MARKER, "--folder", SPAM)
        elif kind == 2:
            s("folder", "create", box, SPAM)
            s("rule", "add", box, "--name", RULE, "--marker", MARKER, "--folder", SPAM,
              "--state", "3")
        elif kind == 3:
            s("folder", "create", box, "Junk")
            s("rule", "add", box, "--name", RULE, "--marker", MARKER, "--folder", "Junk")
            s("folder", "delete", box, "Junk")
        elif kind == 4:
            s("folder", "create", box, SPAM)
            s("rule", "add", box, "--name", RULE, "--marker", MARKER, "--folder", SPAM,
              "--state", "0")
            s("rule", "add", box, "--name", RULE.lower(), "--marker", "spam", "--folder", SPAM)
        if kind in (5, 6):
            if kind == 5:
                s("folder", "create", box, SPAM)
            for age in (45, 35, 2):
                s("deliver", box, "--age", str(age), "--folder", SPAM,
                  stdin=_message("spam %d days old for %s" % (age, box), True))
        if kind in (5, 7):
            s("deliver", box, "--age", "1", stdin=_message("lunch with %s" % box, False))
            s("deliver", box, "--age", "40", stdin=_message("old letter to %s" % box, False))
    return mailboxes + 1


class Snapshot:
    """What a store holds, read with SQL: folders below each top folder and
    every message with its folder path, subject and delivery time."""

    def __init__(self, path):
        con = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
        try:
            boxes = dict(con.execute("SELECT id, alias FROM mailboxes"))
            folders = {}
            for fid, mbx, parent, kind, name in con.execute(
                    "SELECT id, mailbox_id, parent_id, kind, name FROM folders"):
                folders[fid] = (mbx, parent, kind, name)

            def path_of(fid):
                parts = []
                while fid is not None and folders[fid][2] > 1:
                    parts.append(folders[fid][3])
                    fid = folders[fid][1]
                return "/".join(reversed(parts)) or "/"

            self.folders = {}  # alias -> set of paths
            self.top_children = {}  # alias -> names of folders right below the top
            for fid, (mbx, parent, kind, name) in folders.items():
                alias = boxes[mbx]
                if kind <= 1:
                    continue
                self.folders.setdefault(alias, set()).add(path_of(fid))
                if parent is not None and folders[parent][2] == 1:
                    self.top_children.setdefault(alias, []).append(name)
            self.messages = set()
            for fid, subject, delivered in con.execute(
                    "SELECT folder_id, subject, delivery_time FROM messages"):
                alias = boxes[folders[fid][0]]
                self.messages.add((alias, path_of(fid), subject or "", delivered or 0))
            self.aliases = sorted(boxes.values())
        finally:
            con.close()


def integrity_ok(path):
    result = subprocess.run(["sqlite3", path, "PRAGMA integrity_check;"], capture_output=True,
                            text=True)
    return result.returncode == 0 and result.stdout.strip() == "ok", result.stdout.strip()


def check_pass(sandbox, before, mode, problems, notes=None):
    """Checks the store after a clean pass of `mode` ("first", "maintenance"
    or "remove") against the snapshot taken before; appends what is wrong to
    `problems`. A rule that the agent itself counts as valid (enabled, moving
    to the spam folder) but whose condition is not the configured marker is
    put in `notes` instead: the agent does not look at the condition, so an
    older rule of its name that survived a kill stays as it is."""
    after = Snapshot(sandbox.store)
    cutoff = filetime_now() - RETENTION_DAYS * 86400 * 10_000_000
    for alias in after.aliases:
        spam_folders = [n for n in after.top_children.get(alias, []) if n.lower() == SPAM.lower()]
        rules = [r for r in sandbox.store_json("rules", alias)
                 if (r.get("name") or "").lower() == RULE.lower()]
        if mode == "remove":
            if rules:
                problems.append("%s: %d rule(s) of the name left after remove" % (alias, len(rules)))
            if after.folders.get(alias) != before.folders.get(alias):
                problems.append("%s: folders changed by a remove pass" % alias)
            continue
        if len(spam_folders) != 1:
            problems.append("%s: %d spam folders %s" % (alias, len(spam_folders), spam_folders))
        if len(rules) != 1:
            problems.append("%s: %d rules of the name" % (alias, len(rules)))
            continue
        r = rules[0]
        valid = (r["state"] == 1 and r["provider"] == "MSExchange.Rules"
                 and spam_folders and r.get("target") == spam_folders[0])
        if not valid:
            problems.append("%s: rule not valid: %s" % (alias, json.dumps(r)))
        elif MARKER not in (r.get("condition") or ""):
            if notes is not None:
                notes.append("%s: valid rule with another condition: %s" % (alias, r["condition"]))
            else:
                problems.append("%s: rule with another condition: %s" % (alias, r["condition"]))
    # Messages: none gone but expired spam (maintenance only); nothing new
    # except reports in the spam folder.
    gone = before.messages - after.messages
    new = after.messages - before.messages
    for alias, folder, subject, delivered in sorted(gone):
        expired = (mode == "maintenance" and folder.lower() == SPAM.lower()
                   and delivered < cutoff)
        if not expired:
            problems.append("%s: message %r in %s is gone" % (alias, subject, folder))
    if mode == "maintenance":
        for alias, folder, subject, delivered in sorted(before.messages):
            if folder.lower() == SPAM.lower() and delivered < cutoff and \
                    (alias, folder, subject, delivered) in after.messages:
                problems.append("%s: expired spam %r still there" % (alias, subject))
    for alias, folder, subject, delivered in sorted(new):
        if mode != "maintenance" or folder.lower() != SPAM.lower():
            problems.append("%s: unexpected new message %r in %s" % (alias, subject, folder))
    ok, text = integrity_ok(sandbox.store)
    if not ok:
        problems.append("integrity_check: %s" % text)
    return after


def proc_sample(pid):
    """VmRSS and VmHWM in kB, open descriptors and threads of a process."""
    sample = {"rss_kb": 0, "hwm_kb": 0, "fds": 0, "threads": 0}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    sample["rss_kb"] = int(line.split()[1])
                elif line.startswith("VmHWM:"):
                    sample["hwm_kb"] = int(line.split()[1])
        sample["fds"] = len(os.listdir("/proc/%d/fd" % pid))
        sample["threads"] = len(os.listdir("/proc/%d/task" % pid))
    except (FileNotFoundError, ProcessLookupError):
        return None
    return sample
