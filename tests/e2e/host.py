"""Fixture for the end-to-end tests: the real agent binary in a throwaway
installation root, the stand-in management server, a /dev/log reader and a few
machine-level helpers. Meant to run inside tests/e2e/sandbox.sh (private /run,
/dev and network), which ctest does for every tests/e2e/test_*.py.

Environment (set by tests/e2e/CMakeLists.txt):
  QUILLMAR_BIN         the agent binary
  QUILLMAR_SLEEP_SHIM  the LD_PRELOAD library that records and shortens sleep()
  QUILLMAR_SOURCE      the repository root (for tools/standin_server.py)

Main pieces:
  InstallRoot        <root>/bin/quillmar (a copy), <root>/etc/base.conf, <root>/logs
  SyslogReader       owns /dev/log, collects and parses what the agent sends there
  AgentProcess       one started agent (stdout/stderr in files, its sleep log)
  bind_file          lay a file with given content over a system path (probes)
  tree               a module directory's files, modes and links, to compare
  remove_default_route / add_default_route
  AgentTestCase      unittest base class wiring all of it to a StandinServer
"""

import atexit
import fcntl
import hashlib
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE = os.environ.get("QUILLMAR_SOURCE") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))

from standin_server import CertPair, Reply, Request, StandinServer, make_tls_material  # noqa: E402,F401

# Absolute: the agent changes directory before its children load the shim.
BINARY = os.path.abspath(os.environ["QUILLMAR_BIN"]) if os.environ.get("QUILLMAR_BIN") else ""
SLEEP_SHIM = os.path.abspath(os.environ["QUILLMAR_SLEEP_SHIM"]) if os.environ.get("QUILLMAR_SLEEP_SHIM") else ""
MAC = os.environ.get("QUILLMAR_E2E_MAC", "02:00:5e:10:20:30")
LOCAL_IP = os.environ.get("QUILLMAR_E2E_IP", "192.0.2.10")
GATEWAY = os.environ.get("QUILLMAR_E2E_GATEWAY", "192.0.2.1")
PID_FILE = "/var/run/quillmar.pelmarosti.pid"
UUID = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10"
UUID_PATH = "/latest/meta-data/uuid"
PROBE_FILES = {
    "cpuinfo": "/proc/cpuinfo",
    "product_name": "/sys/class/dmi/id/product_name",
    "clocksource": "/sys/devices/system/clocksource/clocksource0/available_clocksource",
}
_PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                    "no_proxy", "NO_PROXY")


def in_sandbox():
    return bool(os.environ.get("QUILLMAR_E2E_SANDBOX"))


def wait_until(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Poll `predicate` until it returns something true; return that, or raise
    AssertionError naming `what` (a text, or a callable giving one)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what() if callable(what) else what))
        time.sleep(interval)


_tls = None


def tls_material():
    """The test PKI (see standin_server.TlsMaterial), made once per process."""
    global _tls
    if _tls is None:
        directory = tempfile.mkdtemp(prefix="quillmar-tls-")
        atexit.register(shutil.rmtree, directory, True)
        _tls = make_tls_material(directory)
    return _tls


# -- processes ----------------------------------------------------------------

def _alive(pid):
    """True while any thread of `pid` exists and is not a zombie. The leader
    turns zombie before its other threads end, and the process keeps its
    descriptors (and the pid lock) until the last of them has gone."""
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return False
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/stat" % (pid, task)) as stream:
                if stream.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X"):
                    return True
        except (OSError, IndexError):
            continue
    return False


def kill_and_wait(pid, timeout=10.0):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    wait_until(lambda: not _alive(pid), timeout, what="pid %d to end" % pid)


def agent_env(sleep_log=None, scale_ms=1, extra=None):
    """Environment of an agent process: no proxies, the sleep shim preloaded."""
    env = {k: v for k, v in os.environ.items() if k not in _PROXY_VARIABLES}
    if SLEEP_SHIM:
        env["LD_PRELOAD"] = ":".join(p for p in (SLEEP_SHIM, env.get("LD_PRELOAD")) if p)
        # The shim comes before the sanitizer runtime of an ASan build.
        asan = env.get("ASAN_OPTIONS", "")
        if "verify_asan_link_order" not in asan:
            env["ASAN_OPTIONS"] = ":".join(p for p in (asan, "verify_asan_link_order=0") if p)
    if sleep_log:
        env["QUILLMAR_SLEEP_LOG"] = sleep_log
    env["QUILLMAR_SLEEP_SCALE_MS"] = str(scale_ms)
    env.update(extra or {})
    return env


def read_sleep_log(path):
    """The durations a shimmed process passed to sleep(), in call order."""
    try:
        with open(path) as stream:
            return [int(line) for line in stream.read().split()]
    except FileNotFoundError:
        return []


class AgentProcess:
    """One started agent. stdout and stderr go to files (a daemon or a never
    ending agent cannot block on a pipe); each process has its own sleep log."""

    def __init__(self, args, cwd, env=None, scale_ms=1, umask=-1, workdir=None, **popen):
        self.workdir = workdir or tempfile.mkdtemp(prefix="quillmar-run-")
        self.args = list(args)
        self.stdout_path = os.path.join(self.workdir, "stdout")
        self.stderr_path = os.path.join(self.workdir, "stderr")
        self.sleep_log = os.path.join(self.workdir, "sleeps")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.popen = subprocess.Popen(self.args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                          env=agent_env(self.sleep_log, scale_ms, env), umask=umask, **popen)
        self.pid = self.popen.pid

    @property
    def returncode(self):
        return self.popen.poll()

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout=30.0):
        """Wait for the exit and return the status; AssertionError on time-out."""
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("agent %d still running after %.1fs\n%s" % (self.pid, timeout, self.describe()))

    def kill(self):
        if self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait(10)

    def _read(self, path):
        try:
            with open(path, "rb") as stream:
                return stream.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    @property
    def stdout(self):
        return self._read(self.stdout_path)

    @property
    def stderr(self):
        return self._read(self.stderr_path)

    def sleeps(self):
        """Durations passed to sleep(), in call order."""
        return read_sleep_log(self.sleep_log)

    def wait_for_sleeps(self, count, timeout=10.0):
        return wait_until(lambda: len(self.sleeps()) >= count and self.sleeps(), timeout,
                          what=lambda: "%d sleep() calls, got %r" % (count, self.sleeps()))

    def describe(self):
        return "args %r, status %r\nstdout: %r\nstderr: %r\nsleeps: %r" % (
            self.args, self.popen.poll(), self.stdout[-2000:], self.stderr[-2000:], self.sleeps())


# -- installation root ----------------------------------------------------------

class InstallRoot:
    """A throwaway installation: <path>/bin/quillmar, <path>/etc/base.conf and
    <path>/logs. The agent resolves "../etc/base.conf" and "../logs" against
    bin/. The root lies in an area of its own (<area>/root), so a module path
    that climbs out of the root ("../../m" from bin/) still lands in the
    test's area; cleanup removes the whole area."""

    def __init__(self, binary=None, parent=None, logs=True):
        self.area = tempfile.mkdtemp(prefix="quillmar-area-", dir=parent)
        self.path = os.path.join(self.area, "root")
        self.bin_dir = os.path.join(self.path, "bin")
        self.etc_dir = os.path.join(self.path, "etc")
        self.logs_dir = os.path.join(self.path, "logs")
        self.modules_dir = os.path.join(self.path, "modules")
        self.exe = os.path.join(self.bin_dir, "quillmar")
        self.conf_path = os.path.join(self.etc_dir, "base.conf")
        self.log_path = os.path.join(self.logs_dir, "quillmar.log")
        self.first_run_marker = os.path.join(self.bin_dir, "firstRun")
        os.makedirs(self.bin_dir)
        os.makedirs(self.etc_dir)
        if logs:
            os.makedirs(self.logs_dir)
        binary = binary or BINARY
        if not binary:
            raise RuntimeError("QUILLMAR_BIN is not set")
        shutil.copy2(binary, self.exe)
        self.agents = []

    def resolve(self, path):
        """Where `path`, as the agent uses it from bin/, lies."""
        return os.path.normpath(os.path.join(self.bin_dir, path))

    def marker(self, name):
        return os.path.join(self.modules_dir, name)

    def mark_installed(self, *names):
        """Make modules/ and an empty marker for each name."""
        os.makedirs(self.modules_dir, exist_ok=True)
        for name in names:
            open(self.marker(name), "wb").close()

    def write_conf(self, settings):
        """Write etc/base.conf from a dict (key=value lines, in order) or raw text/bytes."""
        if isinstance(settings, dict):
            settings = "".join("%s=%s\n" % (k, v) for k, v in settings.items())
        if isinstance(settings, str):
            settings = settings.encode()
        with open(self.conf_path, "wb") as stream:
            stream.write(settings)

    def read_log(self, name="quillmar.log"):
        """The log file's text ("" while it does not exist)."""
        try:
            with open(os.path.join(self.logs_dir, name), "rb") as stream:
                return stream.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        return self.read_log().splitlines()

    def wait_for_log(self, pattern, timeout=10.0, count=1):
        """Wait until the log holds `pattern` (a text, or a compiled regular
        expression) `count` times; return the log text."""
        def found():
            text = self.read_log()
            hits = len(pattern.findall(text)) if isinstance(pattern, re.Pattern) else text.count(pattern)
            return text if hits >= count else None
        return wait_until(found, timeout, what=lambda: "%r x%d in the log:\n%s" % (
            getattr(pattern, "pattern", pattern), count, self.read_log()[-3000:]))

    def start_agent(self, args=(), exe=None, cwd=None, env=None, scale_ms=1, umask=-1, **popen):
        """Start the agent (exe: another path to run it by, such as a symbolic
        link); cwd defaults to the root, so the change into bin/ shows. Further
        keywords go to subprocess.Popen (pass_fds, ...)."""
        agent = AgentProcess([exe or self.exe] + list(args), cwd or self.path, env, scale_ms, umask, **popen)
        self.agents.append(agent)
        return agent

    def run_agent(self, args=(), timeout=30.0, **kw):
        """Start the agent and wait for its exit; the AgentProcess is returned."""
        agent = self.start_agent(args, **kw)
        agent.wait(timeout)
        return agent

    def processes(self):
        """Pids of every live process running this root's binary (daemons included)."""
        target = os.path.realpath(self.exe)
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                exe = os.readlink("/proc/%s/exe" % entry)
            except OSError:
                continue
            if exe in (target, target + " (deleted)") and _alive(int(entry)):
                found.append(int(entry))
        return found

    def wait_for_process(self, exclude=(), timeout=10.0):
        """The pid of a live process of this binary not in `exclude` (a daemon)."""
        return wait_until(lambda: next((p for p in self.processes() if p not in exclude), None), timeout,
                          what="a process of %s" % self.exe)

    def block_on_settings(self):
        """Make etc/base.conf a named pipe: an agent that opens it waits there
        (until killed), which holds it still right after start-up (directory,
        daemon set-up, pid lock) for as long as a test looks at it."""
        if os.path.lexists(self.conf_path):
            os.remove(self.conf_path)
        os.mkfifo(self.conf_path)

    def kill_all(self):
        for agent in self.agents:
            agent.kill()
        for pid in self.processes():
            kill_and_wait(pid)

    def cleanup(self):
        self.kill_all()
        for agent in self.agents:
            shutil.rmtree(agent.workdir, True)
        shutil.rmtree(self.area, True)


def waits_on_fifo(pid):
    """Whether `pid` is blocked opening a named pipe (see block_on_settings)."""
    for name in ("stack", "wchan"):
        try:
            with open("/proc/%d/%s" % (pid, name)) as stream:
                text = stream.read()
        except OSError:
            continue
        if "fifo_open" in text or "wait_for_partner" in text:
            return True
    return False


def process_state(pid):
    """What /proc tells of a live process: cwd, umask, its open descriptors
    (number -> link target) and the raw status lines; None once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as stream:
            status = dict(line.rstrip("\n").split(":\t", 1) for line in stream if ":\t" in line)
        fds = {}
        for entry in os.listdir("/proc/%d/fd" % pid):
            try:
                fds[int(entry)] = os.readlink("/proc/%d/fd/%s" % (pid, entry))
            except OSError:
                pass
        return {"cwd": os.readlink("/proc/%d/cwd" % pid), "umask": int(status.get("Umask", "-1"), 8),
                "fds": fds, "status": status}
    except OSError:
        return None


def read_pid_file():
    """The pid file's bytes, or None while it does not exist."""
    try:
        with open(PID_FILE, "rb") as stream:
            return stream.read()
    except FileNotFoundError:
        return None


_FLOCK = "@hhqqi4x"  # struct flock on Linux x86-64 / aarch64: type, whence, start, len, pid


class PidLock:
    """The pid file's write lock, held the agent's way (an fcntl record lock
    over the whole file) by a small helper process, to play a running agent.
    A helper and not the test itself: a process loses its record locks on a
    file when it closes any descriptor of it, as read_pid_file does."""

    _HOLDER = """
import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o644)
if sys.argv[3] != "-":
    os.ftruncate(fd, 0)
    os.write(fd, bytes.fromhex(sys.argv[3]))
fcntl.fcntl(fd, fcntl.F_SETLK, struct.pack(sys.argv[2], fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
print("locked", flush=True)
sys.stdin.read()
"""

    def __init__(self, path=PID_FILE, content=None):
        args = [sys.executable, "-c", self._HOLDER, path, _FLOCK, "-" if content is None else content.hex()]
        self._process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self._process.stdout.readline()
        if line.strip() != "locked":
            self._process.kill()
            raise RuntimeError("could not take the pid lock (held by %r)" % pid_lock_holder(path))
        self.pid = self._process.pid

    def release(self):
        if self._process.poll() is None:
            self._process.stdin.close()
            self._process.wait(10)
        self._process.stdout.close()


def pid_lock_holder(path=PID_FILE, start=0, length=0):
    """The pid of the process holding a lock on the pid file, or None. Only
    locks over the bytes from `start` on count (`length` of them; 0: to the
    end of the file however it grows)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        probe = struct.pack(_FLOCK, fcntl.F_WRLCK, os.SEEK_SET, start, length, 0)
        kind, _, _, _, pid = struct.unpack(_FLOCK, fcntl.fcntl(fd, fcntl.F_GETLK, probe))
        return None if kind == fcntl.F_UNLCK else pid
    finally:
        os.close(fd)


# -- system log -------------------------------------------------------------------

class SyslogMessage:
    _FORMAT = re.compile(r"^<(\d+)>(.*)$", re.S)
    # glibc: "<pri>Mmm dd hh:mm:ss tag[pid]: text"; the tag is the program's name.
    _HEADER = re.compile(r"^([A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d) ([^:\[]*)(\[\d+\])?: (.*)$", re.S)

    def __init__(self, raw):
        self.raw = raw
        text = raw.decode("utf-8", "replace")
        self.priority = None
        self.tag = None
        self.body = text
        self.text = text
        match = self._FORMAT.match(text)
        if match:
            self.priority = int(match.group(1))
            self.body = match.group(2)
            self.text = self.body
            header = self._HEADER.match(self.body)
            if header:
                self.tag = header.group(2)
                self.text = header.group(4)
        self.text = self.text.rstrip("\n")

    @property
    def severity(self):
        return None if self.priority is None else self.priority & 7

    @property
    def facility(self):
        return None if self.priority is None else self.priority >> 3

    def __repr__(self):
        return "<%s>%r" % (self.priority, self.text)


class SyslogReader:
    """Owns the datagram socket at /dev/log (private to the sandbox) and
    collects every message sent there."""

    def __init__(self, path="/dev/log"):
        self.path = path
        if os.path.exists(path) or os.path.islink(path):
            os.unlink(path)
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._socket.bind(path)
        os.chmod(path, 0o666)
        self._socket.settimeout(0.05)
        self._messages = []
        self._cond = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._collect, name="syslog-reader", daemon=True)
        self._thread.start()

    def _collect(self):
        while not self._closed:
            try:
                raw = self._socket.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._cond:
                self._messages.append(SyslogMessage(raw))
                self._cond.notify_all()

    def messages(self):
        with self._cond:
            return list(self._messages)

    def texts(self):
        return [m.text for m in self.messages()]

    def wait_for(self, text, timeout=10.0):
        """The first message whose text contains `text`; AssertionError with
        every message received on time-out."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for message in self._messages:
                    if text in message.text:
                        return message
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no syslog message with %r within %.1fs; got %r" % (
                        text, timeout, self._messages))
                self._cond.wait(min(left, 0.2))

    def clear(self):
        with self._cond:
            self._messages.clear()

    def close(self):
        self._closed = True
        self._thread.join(2)
        self._socket.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


# -- machine state: files and routes -----------------------------------------------

def _run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _overlay_directory(directory):
    """Lay a tmpfs over `directory` that shows the same entries (each bound back
    from the original), so that new entries can be made in it even on procfs or
    sysfs. Returns the undo."""
    stash = tempfile.mkdtemp(prefix="quillmar-stash-")
    _run("mount", "--rbind", directory, stash)
    _run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", directory)
    for name in os.listdir(stash):
        source = os.path.join(stash, name)
        target = os.path.join(directory, name)
        if os.path.islink(source):
            os.symlink(os.readlink(source), target)
            continue
        if os.path.isdir(source):
            os.mkdir(target)
        else:
            open(target, "wb").close()
        _run("mount", "--rbind", source, target)
    _run("umount", "-R", "-l", stash)
    os.rmdir(stash)
    return lambda: _run("umount", "-R", "-l", directory)


def bind_file(path, content):
    """Make `path` read `content` (str or bytes) until the returned undo runs.

    An existing path gets a temporary file bind-mounted over it. A missing one
    is made inside a tmpfs laid over its nearest existing directory (that
    directory keeps showing its entries), so nothing is written to the real file
    system. Only inside the sandbox."""
    if not in_sandbox():
        raise RuntimeError("bind_file only runs inside tests/e2e/sandbox.sh")
    if isinstance(content, str):
        content = content.encode()
    undo = []
    if not os.path.exists(path):
        existing = os.path.dirname(path)
        while not os.path.isdir(existing):
            existing = os.path.dirname(existing)
        if existing == "/":
            raise ValueError("will not overlay / for %s" % path)
        undo.append(_overlay_directory(existing))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as stream:
            stream.write(content)
    else:
        handle, source = tempfile.mkstemp(prefix="quillmar-bind-")
        with os.fdopen(handle, "wb") as stream:
            stream.write(content)
        _run("mount", "--bind", source, path)
        undo.append(lambda: _run("umount", "-l", path))
        undo.append(lambda: os.remove(source))

    def restore():
        for step in undo:
            step()
    return restore


def default_route_present():
    out = subprocess.run(["ip", "route", "show", "default"], check=True, capture_output=True, text=True).stdout
    return bool(out.strip())


def remove_default_route():
    _run("ip", "route", "del", "default")


def add_default_route(gateway=GATEWAY):
    _run("ip", "route", "replace", "default", "via", gateway, "dev", "eth0")


# -- modules: administration scripts, packages, a shared timeline -------------------

ADMIN_SCRIPTS = ("trystart", "stop", "uninstall")


class Timeline:
    """One file that module scripts, installers and the test itself append
    lines to, so the order of what happened can be read back."""

    def __init__(self, path):
        self.path = path
        open(path, "ab").close()

    def append(self, line):
        with open(self.path, "a") as stream:
            stream.write(line + "\n")

    def lines(self):
        with open(self.path) as stream:
            return stream.read().splitlines()

    def wait_for(self, predicate, timeout=20.0, what="timeline lines"):
        """Wait until predicate(lines) holds; return the lines."""
        return wait_until(lambda: predicate(self.lines()) and self.lines(), timeout,
                          what=lambda: "%s; timeline: %r" % (what, self.lines()))


def _quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


class Module:
    """A module for the agent to manage: its directory (absolute), its
    administration scripts and a package whose installer puts them there.

    Each script replays the exit statuses of its codes file, one per run (the
    last one repeats), counts its runs, and appends "<name> <script> <status>"
    to the timeline. Codes and counters live in a state directory outside the
    module directory, so a sequence goes on across backup, rollback and
    reinstall. A script whose codes are None is not installed (the shell then
    reports it missing). The package is a silent /bin/sh installer that appends
    "<name> install <status>" to the timeline, writes the scripts, runs
    `installer_extra` (shell text) and exits with `installer_exit`."""

    def __init__(self, area, timeline, name, directory, trystart=(1,), stop=(0,), uninstall=(0,),
                 installer_exit=0, installer_extra="", scripts=None, install_path=None):
        self.name = name
        self.directory = directory
        self.install_path = install_path  # as the server sends it
        self.uri = ""
        self.timeline = timeline
        self.state = os.path.join(area, "state", name)
        os.makedirs(self.state, exist_ok=True)
        self.installer_exit = installer_exit
        self.installer_extra = installer_extra
        # Script texts to install instead of the replaying ones, by name.
        self.custom = dict(scripts or {})
        self.codes = {}
        for script, codes in (("trystart", trystart), ("stop", stop), ("uninstall", uninstall)):
            self.set_codes(script, codes)

    def set_codes(self, script, codes):
        """The exit statuses of the next runs of `script` (None: not installed
        by the next install); its run counter starts again."""
        self.codes[script] = None if codes is None else list(codes)
        for suffix in (".codes", ".count"):
            try:
                os.remove(os.path.join(self.state, script + suffix))
            except FileNotFoundError:
                pass
        if codes is not None:
            with open(os.path.join(self.state, script + ".codes"), "w") as stream:
                stream.write("".join("%d\n" % code for code in codes))

    def runs(self, script):
        """How often `script` has run (a run that is rewriting its counter
        just now is waited for)."""
        def count():
            try:
                with open(os.path.join(self.state, script + ".count")) as stream:
                    return stream.read().strip() or None
            except FileNotFoundError:
                return "0"
        return int(wait_until(count, what="the counter of " + script))

    def script_path(self, script):
        return os.path.join(self.directory, "admin", script + ".sh")

    def script_text(self, script):
        if script in self.custom:
            return self.custom[script]
        state = os.path.join(self.state, script)
        return ("#!/bin/sh\n"
                "n=$(cat {count} 2>/dev/null || echo 0)\n"
                "echo $((n + 1)) > {count}\n"
                "code=$(sed -n \"$((n + 1))p\" {codes})\n"
                "[ -n \"$code\" ] || code=$(tail -n 1 {codes})\n"
                "echo {name}\" {script} $code\" >> {timeline}\n"
                "exit \"$code\"\n").format(count=_quote(state + ".count"), codes=_quote(state + ".codes"),
                                           name=_quote(self.name), script=script,
                                           timeline=_quote(self.timeline.path))

    def installed_scripts(self):
        return [s for s in ADMIN_SCRIPTS if s in self.custom or self.codes.get(s) is not None]

    def write_scripts(self, without=()):
        """Put the module in place directly, as an earlier install would have
        (the scripts named in `without` lost since)."""
        os.makedirs(os.path.join(self.directory, "admin"), exist_ok=True)
        for script in self.installed_scripts():
            if script in without:
                continue
            with open(self.script_path(script), "w") as stream:
                stream.write(self.script_text(script))
            os.chmod(self.script_path(script), 0o755)

    @property
    def package(self):
        """The installer's bytes."""
        lines = ["#!/bin/sh",
                 "echo %s >> %s" % (_quote("%s install %d" % (self.name, self.installer_exit)),
                                    _quote(self.timeline.path)),
                 "mkdir -p %s" % _quote(os.path.join(self.directory, "admin"))]
        for script in self.installed_scripts():
            path = _quote(self.script_path(script))
            lines += ["cat > %s <<'QUILLMAR_SCRIPT_END'" % path, self.script_text(script).rstrip("\n"),
                      "QUILLMAR_SCRIPT_END", "chmod 755 %s" % path]
        if self.installer_extra:
            lines.append(self.installer_extra)
        lines.append("exit %d" % self.installer_exit)
        return ("\n".join(lines) + "\n").encode()

    @property
    def md5(self):
        return hashlib.md5(self.package).hexdigest()

    def item(self, status, module_id, file_id=None, **members):
        """A "returnData" item for this module (uri, md5 and installPath its
        own unless given)."""
        item = {"status": status, "moduleId": module_id, "fileId": module_id * 10 if file_id is None else file_id,
                "name": self.name, "uri": self.uri, "md5": self.md5, "installPath": self.install_path}
        item.update(members)
        return item


def tree(directory):
    """Everything below `directory` as lstat shows it, links not followed:
    relative path -> (st_mode, a file's bytes or a link's target, None for
    a directory); {} when there is no such directory."""
    found = {}
    for parent, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(parent, name)
            mode = os.lstat(path).st_mode
            content = None
            if stat.S_ISLNK(mode):
                content = os.readlink(path)
            elif stat.S_ISREG(mode):
                with open(path, "rb") as stream:
                    content = stream.read()
            found[os.path.relpath(path, directory)] = (mode, content)
    return found


# -- the base test case -----------------------------------------------------------------

class AgentTestCase(unittest.TestCase):
    """Each test gets:
      self.server  a started StandinServer (http and https listeners, the
                   localhost certificate; metadata UUID served at UUID_PATH)
      self.syslog  a SyslogReader on /dev/log
      self.root    an InstallRoot with base_conf() written
    Agents started through self.start_agent/self.run_agent (and any daemon of
    the root's binary) are killed at teardown; the pid file is removed, probe
    files and routes are put back."""

    def setUp(self):
        if not in_sandbox():
            raise RuntimeError("end-to-end tests run inside tests/e2e/sandbox.sh")
        self.tls = tls_material()
        self.server = StandinServer(tls=self.tls.localhost).start()
        self.addCleanup(self.server.stop)
        self.server.on_get(UUID_PATH, default=Reply(body=UUID, content_type="text/plain"))
        self.syslog = SyslogReader()
        self.addCleanup(self.syslog.close)
        self.addCleanup(self._remove_pid_file)
        self.root = InstallRoot()
        self.addCleanup(self.root.cleanup)
        self.root.write_conf(self.base_conf())

    def base_conf(self, **overrides):
        """Settings that let the agent start against self.server; keyword
        arguments replace or add keys (None drops one)."""
        settings = {
            "checktime": 5,
            "interval": 60,
            "url": self.server.http_url + "/quillmar",
            "timeout": 5,
            "metadata_url": self.server.http_url + UUID_PATH,
        }
        settings.update(overrides)
        return {k: v for k, v in settings.items() if v is not None}

    def https_conf(self, use_ca=1, ca_path=None, **overrides):
        """base_conf() with the url on the TLS listener (which takes the plain
        http reports on the same port) and the test CA as "caPath"."""
        return self.base_conf(url=self.server.https_url + "/quillmar", useCA=use_ca,
                              caPath=self.tls.ca if ca_path is None else ca_path, **overrides)

    @staticmethod
    def _remove_pid_file():
        try:
            os.remove(PID_FILE)
        except FileNotFoundError:
            pass

    def start_agent(self, *args, **kw):
        return self.root.start_agent(args, **kw)

    @property
    def timeline(self):
        """The test's Timeline (a file in the root's area), made on first use
        and again after forget_timeline()."""
        if getattr(self, "_timeline", None) is None:
            handle, path = tempfile.mkstemp(prefix="timeline-", dir=self.root.area)
            os.close(handle)
            self._timeline = Timeline(path)
        return self._timeline

    def forget_timeline(self):
        """Modules made from now on write to a new timeline."""
        self._timeline = None

    def module(self, name, install_path, **kw):
        """A Module in the directory where the agent puts the installPath
        `install_path` as the server sends it (a text of more than two bytes
        that begins ".." is taken from the root, one level above bin/)."""
        normalised = "../" + install_path if len(install_path) > 2 and install_path.startswith("..") \
            else install_path
        return Module(self.root.area, self.timeline, name, self.root.resolve(normalised),
                      install_path=install_path, **kw)

    def serve_package(self, module, https=False, data=None):
        """Serve the module's package (or `data`) at /pkg/<name>; sets and
        returns module.uri."""
        path = "/pkg/" + module.name
        self.server.serve_file(path, module.package if data is None else data)
        module.uri = (self.server.https_url if https else self.server.http_url) + path
        return module.uri

    def run_agent(self, *args, **kw):
        return self.root.run_agent(args, **kw)

    def bind_file(self, path, content):
        self.addCleanup(bind_file(path, content))

    def hold_pid_lock(self, content=None):
        """Take the pid lock as a running agent would (released at teardown)."""
        lock = PidLock(content=content)
        self.addCleanup(lock.release)
        return lock

    def set_vm_probes(self, cpuinfo="", product_name="", clocksource=""):
        """Give the three virtual-machine probe files the given contents (the
        defaults hold no marker: not a virtual machine)."""
        self.bind_file(PROBE_FILES["cpuinfo"], cpuinfo)
        self.bind_file(PROBE_FILES["product_name"], product_name)
        self.bind_file(PROBE_FILES["clocksource"], clocksource)

    def remove_default_route(self):
        remove_default_route()
        self.addCleanup(add_default_route)
