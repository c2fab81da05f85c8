"""The requests as the server receives them from the real agent: the exact
texts of "SendLogs", "ResetState" and "ReportException", their header and
length, UTF-8 passing through unescaped, an empty "mac" without eth0, and the
plain-http target that an https url gives these three."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
from host import Reply  # noqa: E402


class RequestTextTest(expected.ReportTestCase):
    def assert_wire(self, request, para):
        """The request is one POST of exactly the expected text, with the
        content type, a matching length and one newline at its end."""
        before = time.time()
        self.assertEqual(("POST", "/quillmar"), (request.method, request.path))
        self.assertEqual("application/json", request.headers["Content-Type"])
        self.assertEqual(str(len(request.body)), request.headers["Content-Length"])
        self.assertEqual(["application/json"], request.headers.get_all("Content-Type"))
        self.assertTrue(request.body.endswith(b"}\n") and request.body.count(b"\n") == 1, request.body)
        self.assertEqual(expected.expected_text(request, para), request.body)
        sent = request.json()
        # Two clock readings, eventId first, of this run.
        self.assertLessEqual(sent["eventId"], sent["timestamp"])
        self.assertLess(abs(before - sent["eventId"]), 60)

    def test_send_logs_start_report(self):
        _, (request,) = self.start_report()
        para_time = request.para["timestamp"]
        # The para's own reading comes before the envelope's two.
        self.assertLessEqual(para_time, request.json()["eventId"])
        self.assert_wire(request, expected.send_logs_para(host.UUID, para_time))

    def test_reset_state(self):
        agent = self.run_agent("-r")
        self.assertEqual((0, "reset state succ.\n"), (agent.returncode, agent.stdout))
        request, = self.server.requests("ResetState")
        para_time = request.para["timestamp"]
        self.assertLessEqual(para_time, request.json()["eventId"])
        self.assert_wire(request, expected.reset_state_para(host.UUID, para_time))

    def test_report_exception_when_no_uuid_source_answers(self):
        self.server.reset()  # the metadata url answers 404 "not found\n"
        agent = self.run_agent()
        self.assertEqual(1, agent.returncode, agent.describe())
        request, = self.server.requests("ReportException")
        self.assert_wire(request, expected.report_exception_para())
        self.assertEqual([], self.server.requests("SendLogs"))

    def test_uuid_bytes_in_the_request_text(self):
        # Any 36-byte metadata body is the UUID; only A-Z are lowered. In the
        # text UTF-8 and "/" go out as raw bytes; the quotation mark, the
        # backslash and control characters are escaped.
        cases = [
            ("6F1C2A9E-3B47-4D58-9E0A-2C5B7D8E\u00c4\u00d6".encode(),
             "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e\u00c4\u00d6"),
            (b'6F1C2A9E-3B47-4D58-9E0A-2C5B7D"\\/\t\x01Z', '6f1c2a9e-3b47-4d58-9e0a-2c5b7d\\"\\\\/\\t\\u0001z'),
        ]
        for body, written in cases:
            self.assertEqual(36, len(body))
            for interface in ("SendLogs", "ResetState"):
                with self.subTest(body=body, interface=interface):
                    self.fresh_run()
                    self.server.on_get(host.UUID_PATH, default=Reply(body=body, content_type="text/plain"))
                    if interface == "SendLogs":
                        self.start_agent()
                        request, = self.server.wait_for("SendLogs")
                        para = expected.send_logs_para(written, request.para["timestamp"])
                    else:
                        self.assertEqual(0, self.run_agent("-r").returncode)
                        request, = self.server.requests("ResetState")
                        para = expected.reset_state_para(written, request.para["timestamp"])
                    self.assert_wire(request, para)

    def test_mac_sent_empty_without_eth0(self):
        def ip(*args):
            subprocess.run(("ip",) + args, check=True)
        ip("link", "set", "eth0", "down")
        ip("link", "set", "eth0", "name", "eth9")
        self.addCleanup(host.add_default_route)  # the route went with the link
        self.addCleanup(ip, "link", "set", "eth0", "up")
        self.addCleanup(ip, "link", "set", "eth9", "name", "eth0")
        for interface in ("SendLogs", "ResetState"):
            with self.subTest(interface=interface):
                self.fresh_run()
                if interface == "SendLogs":
                    _, (request,) = self.start_report()
                    para = expected.send_logs_para(host.UUID, request.para["timestamp"], mac="")
                else:
                    self.assertEqual(0, self.run_agent("-r").returncode)
                    request, = self.server.requests("ResetState")
                    para = expected.reset_state_para(host.UUID, request.para["timestamp"], mac="")
                self.assert_wire(request, para)


class PlainHttpTargetTest(expected.ReportTestCase):
    """With an https url the three reports go to the same host, port and path
    over plain http (the stand-in's TLS port takes both)."""

    def test_https_url_is_posted_over_http(self):
        https_url = self.server.https_url + "/quillmar"
        runs = {
            "SendLogs": lambda: self.start_agent(),
            "ResetState": lambda: self.run_agent("-r"),
            "ReportException": lambda: self.run_agent(),
        }
        for interface, run in runs.items():
            with self.subTest(interface=interface):
                self.fresh_run({"url": https_url})
                if interface == "ReportException":
                    self.server.reset()
                run()
                request, = self.server.wait_for(interface)
                self.assertEqual(("https", False, "/quillmar"), (request.listener, request.tls, request.path))
                self.assertEqual("localhost:%d" % self.server.https_port, request.headers["Host"])
        self.assertEqual([], self.server.tls_errors)


if __name__ == "__main__":
    unittest.main()
