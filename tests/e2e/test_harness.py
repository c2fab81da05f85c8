"""Self-test of the end-to-end fixture: the sandbox, the stand-in server, its
TLS material, the /dev/log reader, bind_file and the sleep shim."""

import errno
import fcntl
import json
import os
import socket
import shutil
import ssl
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host  # noqa: E402
from host import Reply  # noqa: E402

OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def post(url, body, timeout=5, context=None):
    request = urllib.request.Request(url, data=body, headers={"Content-Type": "application/json"})
    if context is not None:
        return urllib.request.urlopen(request, timeout=timeout, context=context)
    return OPENER.open(request, timeout=timeout)


def envelope(interface):
    return json.dumps({"interface": {"interfaceName": interface, "para": {}}}).encode() + b"\n"


class SandboxTest(host.AgentTestCase):
    def test_eth0_has_the_known_mac(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            request = struct.pack("256s", b"eth0")
            answer = fcntl.ioctl(s.fileno(), 0x8927, request)  # SIOCGIFHWADDR
        mac = ":".join("%02x" % b for b in answer[18:24])
        self.assertEqual(host.MAC, mac)

    def test_datagram_connect_picks_eth0_address_until_the_route_goes(self):
        def local_address():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.connect(("172.0.0.1", 80))
                return s.getsockname()[0]
        self.assertEqual(host.LOCAL_IP, local_address())
        self.remove_default_route()
        with self.assertRaises(OSError) as caught:
            local_address()
        self.assertEqual(errno.ENETUNREACH, caught.exception.errno)
        host.add_default_route()
        self.assertEqual(host.LOCAL_IP, local_address())

    def test_dev_log_receives_libc_syslog(self):
        code = "import syslog; syslog.syslog(syslog.LOG_ERR, 'harness says hello')"
        subprocess.run([sys.executable, "-c", code], check=True, timeout=30)
        message = self.syslog.wait_for("harness says hello")
        self.assertEqual(3, message.severity)  # LOG_ERR
        self.assertEqual("harness says hello", message.text)

    def test_bind_file_over_existing_and_missing_paths(self):
        before = open("/proc/cpuinfo").read()
        product = host.PROBE_FILES["product_name"]
        existed = os.path.exists(product)
        classes = sorted(os.listdir("/sys/class"))
        undo_cpu = host.bind_file("/proc/cpuinfo", "flags : fpu\n")
        undo_product = host.bind_file(product, "VQX Cloud\n")
        try:
            self.assertEqual("flags : fpu\n", open("/proc/cpuinfo").read())
            self.assertEqual("VQX Cloud\n", open(product).read())
            self.assertTrue(set(classes) <= set(os.listdir("/sys/class")))
            self.assertTrue(os.path.isdir("/sys/class/net/eth0"))
        finally:
            undo_product()
            undo_cpu()
        self.assertEqual(before, open("/proc/cpuinfo").read())
        self.assertEqual(existed, os.path.exists(product))
        self.assertEqual(classes, sorted(os.listdir("/sys/class")))

    def test_set_vm_probes(self):
        self.set_vm_probes(cpuinfo="flags : hypervisor\n", clocksource="tsc kvm-clock\n")
        contents = {}
        for name, path in host.PROBE_FILES.items():
            with open(path) as stream:
                contents[name] = stream.read()
        self.assertEqual({"cpuinfo": "flags : hypervisor\n", "product_name": "", "clocksource": "tsc kvm-clock\n"},
                         contents)

    def test_install_root_layout(self):
        root = self.root
        self.assertTrue(os.access(root.exe, os.X_OK))
        self.assertNotEqual(os.path.realpath(host.BINARY), os.path.realpath(root.exe))
        self.assertIn("url=%s/quillmar\n" % self.server.http_url, open(root.conf_path).read())
        self.assertTrue(os.path.isdir(root.logs_dir))
        self.assertEqual("", root.read_log())


class ServerTest(host.AgentTestCase):
    def test_records_a_post_and_answers_the_default(self):
        body = envelope("SendLogs")
        with post(self.server.http_url + "/quillmar", body) as answer:
            self.assertEqual(b'{"returnCode":0}', answer.read())
        request, = self.server.wait_for("SendLogs")
        self.assertEqual(("POST", "/quillmar", body, False), (request.method, request.path, request.body, request.tls))
        self.assertEqual("application/json", request.headers["Content-Type"])
        self.assertEqual({}, request.para)

    def test_scripted_queue_then_default(self):
        url = self.server.http_url + "/x"
        self.server.on_post("CheckModules", Reply(status=500, body=b"oops"), Reply.drop_connection(),
                            Reply.hang_after(b'{"returnCode":0}', 5, hang=30),
                            default=Reply({"returnCode": 7}))
        with self.assertRaises(urllib.error.HTTPError) as caught:
            post(url, envelope("CheckModules"))
        self.assertEqual((500, b"oops"), (caught.exception.code, caught.exception.read()))
        with self.assertRaises((urllib.error.URLError, ConnectionError)):
            post(url, envelope("CheckModules"))
        with post(url, envelope("CheckModules"), timeout=0.5) as answer:
            with self.assertRaises(socket.timeout):
                answer.read()
        for _ in range(2):
            with post(url, envelope("CheckModules")) as answer:
                self.assertEqual(b'{"returnCode":7}', answer.read())
        with post(url, envelope("ResetState")) as answer:  # another interface: the server's default
            self.assertEqual(b'{"returnCode":0}', answer.read())
        self.assertEqual(5, len(self.server.requests("CheckModules")))

    def test_get_routes(self):
        with OPENER.open(self.server.http_url + host.UUID_PATH) as answer:
            self.assertEqual(host.UUID.encode(), answer.read())
        self.server.on_get("/pkg", Reply(body=b"\x00\x01", status=203))
        with OPENER.open(self.server.http_url + "/pkg?x=1") as answer:
            self.assertEqual((203, b"\x00\x01"), (answer.status, answer.read()))
        with self.assertRaises(urllib.error.HTTPError) as caught:
            OPENER.open(self.server.http_url + "/pkg")  # queue used up, no default
        self.assertEqual(404, caught.exception.code)

    def test_https_listener_with_each_certificate(self):
        tls = self.tls
        url = self.server.https_url + "/quillmar"

        def verified(cafile, check_hostname=True):
            context = ssl.create_default_context(cafile=cafile)
            context.check_hostname = check_hostname
            try:
                with post(url, envelope("CheckModules"), context=context) as answer:
                    return answer.read() == b'{"returnCode":0}'
            except urllib.error.URLError as error:
                self.assertIsInstance(error.reason, ssl.SSLCertVerificationError)
                return False

        cases = [
            # certificate presented, CA file, host name checked, accepted
            (tls.localhost, tls.ca, True, True),
            (tls.localhost, tls.other_ca, True, False),
            (tls.other_name, tls.ca, True, False),
            (tls.other_name, tls.ca, False, True),
            (tls.self_signed, tls.ca, True, False),
            (tls.self_signed, tls.self_signed.cert, True, True),
        ]
        for pair, cafile, check_hostname, accepted in cases:
            with self.subTest(cert=os.path.basename(pair.cert), cafile=os.path.basename(cafile)):
                self.server.use_certificate(pair)
                self.assertEqual(accepted, verified(cafile, check_hostname))
        self.assertTrue(all(r.tls for r in self.server.requests()))

        # The same port takes plain http: the agent's reports go there.
        with post("http://127.0.0.1:%d/quillmar" % self.server.https_port, envelope("SendLogs")) as answer:
            self.assertEqual(b'{"returnCode":0}', answer.read())
        self.assertFalse(self.server.requests("SendLogs")[0].tls)


class ServerCommandLineTest(unittest.TestCase):
    def test_prints_each_request_and_answers_by_interface(self):
        script = os.path.join(host.SOURCE, "tools", "standin_server.py")
        answer_file = os.path.join(tempfile.mkdtemp(), "answer.json")
        self.addCleanup(shutil.rmtree, os.path.dirname(answer_file))
        with open(answer_file, "wb") as stream:
            stream.write(b'{"returnCode":3}')
        server = subprocess.Popen([sys.executable, script, "--http-port", "0",
                                   "--answer", 'CheckModules={"returnCode":0,"returnData":[]}',
                                   "--answer-once", "CheckModules=@" + answer_file],
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.stdout.close)
        self.addCleanup(server.kill)
        url = server.stdout.readline().split()[1].split(" ")[0].rstrip("/")
        with post(url + "/quillmar", envelope("CheckModules")) as answer:
            self.assertEqual(b'{"returnCode":3}', answer.read())
        self.assertIn("POST /quillmar [CheckModules]", server.stdout.readline())
        with post(url + "/quillmar", envelope("CheckModules")) as answer:
            self.assertEqual(b'{"returnCode":0,"returnData":[]}', answer.read())
        with OPENER.open(url + host.UUID_PATH) as answer:
            self.assertEqual(36, len(answer.read()))


class AgentFixtureTest(host.AgentTestCase):
    def test_agent_and_daemon_run_with_the_shim_and_are_cleaned_up(self):
        self.root.block_on_settings()
        launcher = self.run_agent("-d")
        self.assertEqual(0, launcher.returncode, launcher.describe())
        daemon = host.wait_until(lambda: next((p for p in self.root.processes() if host.waits_on_fifo(p)), None))
        with open("/proc/%d/maps" % daemon) as maps:
            self.assertIn(os.path.realpath(host.SLEEP_SHIM), maps.read())
        self.root.kill_all()
        self.assertEqual([], self.root.processes())
        self.assertIsNone(host.pid_lock_holder())

    def test_the_agent_sleeps_through_the_shim(self):
        self.root.write_conf(self.base_conf(interval=61))
        agent = self.start_agent()
        self.assertEqual([61, 61, 61], agent.wait_for_sleeps(3)[:3])
        self.assertTrue(agent.running(), agent.describe())


class SleepShimTest(unittest.TestCase):
    CHILD = ("import ctypes, sys; libc = ctypes.CDLL(None); "
             "print(libc.sleep(int(sys.argv[1])), libc.sleep(0))")

    def run_child(self, seconds, scale_ms):
        log = os.path.join(tempfile.mkdtemp(), "sleeps")
        self.addCleanup(shutil.rmtree, os.path.dirname(log))
        env = host.agent_env(log, scale_ms)
        out = subprocess.run([sys.executable, "-c", self.CHILD, str(seconds)], env=env, check=True,
                             capture_output=True, text=True, timeout=30).stdout
        with open(log) as stream:
            return out.split(), stream.read()

    def test_children_run_without_the_shim(self):
        """The shim leaves the environment at load: what a shimmed process
        starts (the agent's scripts) neither sees its variables nor records."""
        child = ("import ctypes, os; ctypes.CDLL(None).sleep(0); "
                 "print(sorted(k for k in os.environ if k in ('QUILLMAR_SLEEP_LOG', 'QUILLMAR_SLEEP_SCALE_MS', 'LD_PRELOAD')))")
        parent = ("import ctypes, subprocess, sys; ctypes.CDLL(None).sleep(3); "
                  "sys.stdout.write(subprocess.run([sys.executable, '-c', sys.argv[1]], capture_output=True, "
                  "text=True, check=True).stdout)")
        log = os.path.join(tempfile.mkdtemp(), "sleeps")
        self.addCleanup(shutil.rmtree, os.path.dirname(log))
        env = host.agent_env(log, 0)
        env.pop("LD_PRELOAD", None)
        env["LD_PRELOAD"] = host.SLEEP_SHIM
        out = subprocess.run([sys.executable, "-c", parent, child], env=env, check=True, capture_output=True,
                             text=True, timeout=30).stdout
        self.assertEqual("[]\n", out)
        with open(log) as stream:
            self.assertEqual("3\n", stream.read())

    def test_records_and_shortens_sleep(self):
        self.assertTrue(host.SLEEP_SHIM, "QUILLMAR_SLEEP_SHIM is not set")
        for seconds, scale_ms in ((60, 1), (300, 0), (5, 20)):
            with self.subTest(seconds=seconds, scale_ms=scale_ms):
                printed, log = self.run_child(seconds, scale_ms)
                self.assertEqual(["0", "0"], printed)
                self.assertEqual("%d\n0\n" % seconds, log)


if __name__ == "__main__":
    unittest.main()
