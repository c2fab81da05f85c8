"""What the end-to-end tests expect to see: request texts written out byte for
byte, the log file read back as entries, and a test case with the few helpers
the protocol, status-report, identity and service-loop tests share.

Not a test file itself (only tests/e2e/test_*.py become ctests)."""

import os
import re
import shutil
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host  # noqa: E402
from host import Reply  # noqa: E402

CONNECT_ERROR = "Couldn't connect to server"  # curl_easy_strerror(CURLE_COULDNT_CONNECT)
GOT_NOTHING = "Server returned nothing (no headers, no data)"  # CURLE_GOT_NOTHING
TIMED_OUT = "Timeout was reached"  # CURLE_OPERATION_TIMEDOUT

START_MSG = "qmagent starting."

# -- request texts -------------------------------------------------------------


def envelope(interface, para, event_id, timestamp):
    """The request text of one interface around the already written `para`
    (a str): keys in byte order, no blanks, one newline at the end."""
    return ('{"callee":"quillmar_server","caller":"quillmar_agent","eventId":%d,'
            '"interface":{"interfaceName":"%s","para":%s},"timestamp":%d,"version":"v1.0.0"}\n'
            % (event_id, interface, para, timestamp)).encode()


def send_logs_para(uuid, timestamp, mac=host.MAC, module_id=5, file_id=15, status=0, msg=START_MSG):
    return ('{"fileId":%d,"mac":"%s","moduleId":%d,"msg":"%s","osType":102,"status":%d,"timestamp":%d,'
            '"uuid":"%s"}' % (file_id, mac, module_id, msg, status, timestamp, uuid))


def reset_state_para(uuid, timestamp, mac=host.MAC):
    return '{"mac":"%s","timestamp":%d,"uuid":"%s"}' % (mac, timestamp, uuid)


def report_exception_para(mac=host.MAC, vm_ip=host.LOCAL_IP):
    return '{"exceptionData":null,"exceptionEvent":1,"mac":"%s","osType":102,"vmIP":"%s"}' % (mac, vm_ip)


def check_modules_para(first_run, installed=(), uninstalled=(), uuid=host.UUID, mac=host.MAC):
    """The "para" of "CheckModules": "installed" and "uninstalled" only when
    they hold an id."""
    members = ['"firstRun":%d' % first_run]
    if installed:
        members.append('"installed":[%s]' % ",".join("%d" % i for i in installed))
    members += ['"mac":"%s"' % mac, '"osType":102']
    if uninstalled:
        members.append('"uninstalled":[%s]' % ",".join("%d" % i for i in uninstalled))
    members.append('"uuid":"%s"' % uuid)
    return "{" + ",".join(members) + "}"


def watched(request):
    """(installed ids, uninstalled ids) of a "CheckModules" request."""
    para = request.para
    return para.get("installed", []), para.get("uninstalled", [])


def expected_text(request, para):
    """The text `request` should carry, given its `para` written out: the clock
    readings (eventId, timestamp, and a "timestamp" of para) are taken from the
    request itself, everything else is fixed by the caller."""
    sent = request.json()
    return envelope(request.interface, para, sent["eventId"], sent["timestamp"])


# -- the log file ------------------------------------------------------------------

_ENTRY = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\]\[(TRACE|DEBUG|INFO|WARN|ERROR|FATAL)\](.*)$")


def log_entries(text):
    """The log text as (level, message) pairs. A line without the
    "[date][LEVEL]" prefix continues the message before it: a quoted request
    text ends with a newline, so its message spans two lines. A first line
    without a prefix is an error."""
    entries = []
    for line in text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"):
        match = _ENTRY.match(line)
        if match:
            entries.append([match.group(2), match.group(3)])
        elif entries:
            entries[-1][1] += "\n" + line
        else:
            raise AssertionError("log line without a prefix: %r" % line)
    return [tuple(entry) for entry in entries]


def send_logs_outcome(request_text, kind, *args):
    """(level, message) of the one outcome entry of "SendLogs"."""
    if kind == "succ":
        return ("INFO", "send logs succ, data: %s." % request_text.decode("utf-8"))
    if kind == "fail":
        return ("ERROR", "send logs error: received from http fail.")
    if kind == "refused":
        return ("ERROR", "send logs error, retcode : %d, msg : %s." % args)
    # The logger keeps the first 1023 bytes of a message.
    message = "send logs error, got a invalid response: %s, exception: %s." % args
    return ("ERROR", message.encode("utf-8")[:1023].decode("utf-8", "ignore"))


def reset_state_outcome(kind, *args):
    """The one line that "-r" prints for an answer."""
    if kind == "succ":
        return "reset state succ.\n"
    if kind == "fail":
        return "reset state error: received from http fail.\n"
    if kind == "refused":
        return "reset state error, retcode : %d, msg : %s.\n" % args
    return "reset state error, got a invalid response: %s, exception: %s.\n" % args


SEND_LOGS_OUTCOME = re.compile(r"\]send logs (succ|error)")


class ReportTestCase(host.AgentTestCase):
    """AgentTestCase with a refused port, the log as entries and a way to run
    one start report at a time. Every agent's standard error must stay empty
    (a sanitizer report or a logger failure shows there) unless the test
    names the exact lines it expects there with expect_stderr: the shell that
    runs a missing script, for one, says so on the agent's standard error."""

    def setUp(self):
        super().setUp()
        self._expected_stderr = {}
        self.addCleanup(self._assert_quiet_stderr)

    def expect_stderr(self, agent, *lines):
        """`agent`'s standard error is to hold exactly `lines`, in this order,
        each ended by a newline."""
        self._expected_stderr[agent] = lines

    def _assert_quiet_stderr(self):
        for agent in self.root.agents:
            agent.kill()
            expected_text = "".join(line + "\n" for line in self._expected_stderr.get(agent, ()))
            self.assertEqual(expected_text, agent.stderr, agent.describe())

    def refused_url(self, path="/quillmar"):
        """An http url on a loopback port that is bound but never listens, so
        every connection is refused for the rest of the test."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", 0))
        self.addCleanup(sock.close)
        return "http://127.0.0.1:%d%s" % (sock.getsockname()[1], path)

    def log_entries(self):
        return log_entries(self.root.read_log())

    def messages(self, prefix=""):
        return [entry for entry in self.log_entries() if entry[1].startswith(prefix)]

    def fresh_run(self, conf=None):
        """Forget the previous run: scripts and watchers of the server,
        recorded requests, the log file, the "firstRun" marker, modules/ and
        the timeline; the metadata UUID is served again and `conf` (keyword
        overrides of base_conf) written."""
        self.root.kill_all()
        self.forget_timeline()
        self.server.reset()
        self.server.on_get(host.UUID_PATH, default=Reply(body=host.UUID, content_type="text/plain"))
        for path in (self.root.log_path, self.root.first_run_marker):
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
        shutil.rmtree(self.root.modules_dir, True)
        self.root.write_conf(self.base_conf(**(conf or {})))

    def start_report(self, *replies):
        """Run the agent in the foreground until its start report has logged
        an outcome, answering "SendLogs" with `replies`; the agent is killed
        then. Returns (agent, recorded SendLogs requests). Call fresh_run
        first when the test has run the agent before."""
        if replies:
            self.server.on_post("SendLogs", *replies)
        agent = self.start_agent()
        host.wait_until(lambda: SEND_LOGS_OUTCOME.search(self.root.read_log()) or not agent.running(),
                        what="the start report's outcome")
        if not SEND_LOGS_OUTCOME.search(self.root.read_log()):
            raise AssertionError("no outcome of the start report: %s\n%s" % (agent.describe(), self.root.read_log()))
        agent.kill()
        return agent, self.server.requests("SendLogs")
