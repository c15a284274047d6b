"""mailrig - a private Postfix instance and an ascand daemon for tests.

Everything lives in one temporary folder: Postfix's configuration, queue,
data folder, log and the Maildir it delivers into, and ascand's
configuration, socket, PID file and log. Postfix listens on a loopback port
only and delivers every recipient of the domain ascand.test into one Maildir.
Needs root (Postfix's master runs as root and drops to the postfix user).
"""

import os
import pwd
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import time

DOMAIN = "ascand.test"
SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests


def missing_prerequisites():
    """Why this machine cannot run a private Postfix, or None."""
    if os.geteuid() != 0:
        return "needs root to run a private Postfix instance"
    for tool in ("postfix", "postconf", "postqueue"):
        if not shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin"):
            return "Postfix is not installed (scripts/deps.sh installs it)"
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        return "there is no postfix user"
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Workspace:
    """A temporary folder that Postfix's user may enter (mode 755)."""

    def __init__(self, prefix):
        self.root = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.root, 0o755)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


MASTER_CF = """\
127.0.0.1:{port} inet n - n - {smtpd_limit} smtpd
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
"""


class Postfix:
    """A private Postfix instance whose smtpd hands every message to a milter."""

    def __init__(self, ws, milter, smtpd_limit=20):
        self.ws = ws
        self.port = free_port()
        self.etc = ws.path("postfix")
        self.maildir = ws.path("mail", "box")
        self.log_file = ws.path("postfix.log")
        pw = pwd.getpwnam("postfix")
        for d in ("postfix", "queue", "data", "mail"):
            os.makedirs(ws.path(d), exist_ok=True)
            os.chmod(ws.path(d), 0o755)
        for d in ("data", "mail"):
            os.chown(ws.path(d), pw.pw_uid, pw.pw_gid)
        main = {
            "compatibility_level": "3.6",
            "queue_directory": ws.path("queue"),
            "data_directory": ws.path("data"),
            "mail_owner": "postfix",
            "myhostname": "mx." + DOMAIN,
            "mydestination": "",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "maillog_file": self.log_file,
            "maillog_file_prefixes": ws.root,
            "virtual_mailbox_domains": DOMAIN,
            "virtual_mailbox_base": ws.path("mail"),
            "virtual_mailbox_maps": "static:box/",
            "virtual_uid_maps": "static:%d" % pw.pw_uid,
            "virtual_gid_maps": "static:%d" % pw.pw_gid,
            "default_transport": "error:this test instance delivers nothing outside",
            "smtpd_milters": milter,
            "milter_default_action": "tempfail",
            "message_size_limit": str(64 << 20),
            "virtual_mailbox_limit": "0",
            "smtpd_recipient_limit": "2000",
            # A client whose messages the filter rejects is not slowed down
            # (Postfix would sleep a second per error past the soft limit,
            # and the load test would measure that sleep, not the filter).
            "smtpd_error_sleep_time": "0s",
            "smtpd_soft_error_limit": "1000",
            "smtpd_hard_error_limit": "1000",
            "biff": "no",
        }
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.writelines("%s = %s\n" % kv for kv in main.items())
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(port=self.port, smtpd_limit=smtpd_limit))

    def _run(self, *args):
        return subprocess.run(args, capture_output=True, text=True, timeout=60)

    def start(self):
        r = self._run("postfix", "-c", self.etc, "start")
        if r.returncode != 0:
            raise RuntimeError("postfix start failed (%d): %s%s\n%s" % (r.returncode, r.stdout, r.stderr, self.log()))
        if not wait_for(self._accepts, 30):
            raise RuntimeError("postfix does not answer on port %d\n%s" % (self.port, self.log()))

    def _accepts(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        self._run("postfix", "-c", self.etc, "stop")
        # postfix stop returns before the master has gone; wait for its lock.
        pid_file = self.ws.path("queue", "pid", "master.pid")
        wait_for(lambda: not os.path.exists(pid_file) or not _alive(_read_pid(pid_file)), 30)

    def flush(self):
        self._run("postqueue", "-c", self.etc, "-f")

    def queued(self):
        """Messages still in Postfix's queue (deferred, active or incoming)."""
        r = self._run("postqueue", "-c", self.etc, "-j")
        return len([line for line in r.stdout.splitlines() if line.strip()])

    def delivered(self):
        """Paths of the delivered messages."""
        out = []
        for sub in ("new", "cur"):
            d = os.path.join(self.maildir, sub)
            if os.path.isdir(d):
                out.extend(os.path.join(d, n) for n in sorted(os.listdir(d)))
        return out

    def log(self):
        return _read_text(self.log_file)


def _read_text(path):
    """The whole file, or "" when it cannot be read (not written yet)."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def tear_down(postfix, daemon, failed, show_daemon_log=False):
    """Stops what a test started, whatever happened; on failure prints the
    tails of the logs."""
    if postfix:
        postfix.stop()
    if daemon and daemon.proc and daemon.proc.poll() is None:
        daemon.kill()
    if failed and show_daemon_log and daemon:
        print("--- ascand log (tail)\n" + daemon.log()[-3000:])
    if failed and postfix:
        print("--- postfix log (tail)\n" + postfix.log()[-3000:])


def _read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 0


def _alive(pid):
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


class Ascand:
    """ascand started in the foreground with a configuration of its own."""

    def __init__(self, ws, binary, modules, settings=None, **keys):
        self.ws = ws
        self.binary = binary
        self.socket_path = ws.path("ascand.sock")
        self.conf = ws.path("ascand.conf")
        self.log_file = ws.path("ascand.log")
        pw = pwd.getpwnam("postfix") if os.geteuid() == 0 else None
        self.keys = {
            "socket": "unix:" + self.socket_path,
            "socket_mode": "0660",
            "pid_file": ws.path("ascand.pid"),
            "log": "stderr",
            "modules": modules,
        }
        if pw:
            self.keys["socket_group"] = "postfix"
        if settings:
            self.keys["settings"] = settings
        self.keys.update({k: str(v) for k, v in keys.items()})
        self.write_conf()
        self.proc = None

    @property
    def milter(self):
        return "unix:" + self.socket_path

    def write_conf(self):
        with open(self.conf, "w") as f:
            f.writelines("%s = %s\n" % kv for kv in self.keys.items())

    def start(self):
        self.log_handle = open(self.log_file, "a")
        self.proc = subprocess.Popen([self.binary, "-c", self.conf], stdin=subprocess.DEVNULL,
                                     stdout=self.log_handle, stderr=self.log_handle)
        if not wait_for(lambda: "info: ready" in self.log() or self.proc.poll() is not None, 30):
            raise RuntimeError("ascand did not start\n" + self.log())
        if self.proc.poll() is not None:
            raise RuntimeError("ascand exited with %d\n%s" % (self.proc.returncode, self.log()))

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, timeout=60):
        """SIGTERM; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        finally:
            self.log_handle.close()

    def kill(self):
        self.proc.kill()
        self.proc.wait(30)
        self.log_handle.close()

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def log(self):
        return _read_text(self.log_file)


def send(port, data, rcpts=("user@" + DOMAIN,), sender="sender@example.org", timeout=120):
    """One SMTP transaction. Returns (code, text) of the final reply: 250 when
    the message was taken, the 4xx/5xx reply otherwise."""
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=timeout) as s:
            refused = s.sendmail(sender, list(rcpts), data)
            if refused:
                return 550, "recipients refused: %r" % refused
            return 250, "queued"
    except smtplib.SMTPResponseException as e:
        return e.smtp_code, e.smtp_error.decode("utf-8", "replace")
    except smtplib.SMTPRecipientsRefused as e:
        code, text = next(iter(e.recipients.values()))
        return code, text.decode("utf-8", "replace")
    except (smtplib.SMTPException, OSError) as e:
        return 0, "%s: %s" % (type(e).__name__, e)


def headers_of(path):
    """The header fields of a delivered message, as (name, value) pairs."""
    with open(path, "rb") as f:
        head = f.read().split(b"\n\n", 1)[0].decode("utf-8", "replace")
    fields = []
    for line in head.split("\n"):
        if line[:1] in (" ", "\t") and fields:
            fields[-1] = (fields[-1][0], fields[-1][1] + "\n" + line)
        elif ":" in line:
            name, value = line.split(":", 1)
            fields.append((name, value.strip()))
    return fields


class Checks:
    """Counts named checks and prints the closing "N passed, N failed" line."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAILED: %s%s" % (name, ("\n  " + detail) if detail else ""), flush=True)
        return ok

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        return 0 if self.failed == 0 else 1
