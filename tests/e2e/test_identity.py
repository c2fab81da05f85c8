"""The machine's identity as the real agent finds it: the UUID from the UUID
file on a virtual machine (probe files laid over the system's), from the
first or second metadata url otherwise, and the exception report with the
exit when no source yields one."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
from host import Reply  # noqa: E402

FILE_UUID = "0a9b8c7d-6e5f-4a3b-8c1d-e2f3a4b5c6d7"
OTHER_UUID = "11111111-2222-4333-8444-555555555555"
ALL_FAILED = ("ERROR", "active exit because all remote method get uuid is failed")


def uuid_error(url):
    return ("ERROR", "active failed because get uuid error: %s, url %s" % (expected.CONNECT_ERROR, url))


class NoUuidTest(expected.ReportTestCase):
    def setUp(self):
        super().setUp()
        self.set_vm_probes()  # not a virtual machine: only the metadata urls count

    def no_uuid_conf(self, first, second):
        self.fresh_run({"metadata_url": first, "vqx_new_metadata_url": second})
        for url in (first, second):
            if url.startswith(self.server.http_url):
                self.server.on_get(url[len(self.server.http_url):], default=Reply(body=b"no uuid", status=404))

    def test_report_and_exit_1_without_uuid(self):
        served = [self.server.http_url + "/meta/one", self.server.http_url + "/meta/two"]
        refused = [self.refused_url("/meta/one"), self.refused_url("/meta/two")]
        cases = [
            # metadata_url, vqx_new_metadata_url, the ERROR lines of failed transfers
            (served[0], served[1], []),
            (refused[0], served[1], [uuid_error(refused[0])]),
            (refused[0], refused[1], [uuid_error(refused[0]), uuid_error(refused[1])]),
        ]
        for first, second, transfer_errors in cases:
            for args in ((), ("-r",)):
                with self.subTest(first=first, second=second, args=args):
                    self.no_uuid_conf(first, second)
                    agent = self.run_agent(*args)
                    self.assertEqual((1, ""), (agent.returncode, agent.stdout), agent.describe())
                    start = [] if args else [("INFO", "Quillmar Agent begin to run, request url: %s/quillmar"
                                              % self.server.http_url)]
                    self.assertEqual(start + transfer_errors + [ALL_FAILED], self.log_entries())
                    gets = [r.path for r in self.server.requests(method="GET")]
                    self.assertEqual([u[len(self.server.http_url):] for u in (first, second) if u in served], gets)
                    report, = self.server.requests("ReportException")
                    self.assertEqual({"exceptionData": None, "exceptionEvent": 1, "mac": host.MAC, "osType": 102,
                                      "vmIP": host.LOCAL_IP}, report.para)
                    self.assertEqual([], self.server.requests("SendLogs") + self.server.requests("ResetState"))
                    self.assertEqual([], agent.sleeps())

    def test_vm_ip_without_default_route(self):
        self.remove_default_route()
        self.no_uuid_conf(self.server.http_url + "/meta/one", "")
        agent = self.run_agent()
        self.assertEqual(1, agent.returncode)
        report, = self.server.requests("ReportException")
        self.assertEqual(("0:0:0:0", host.MAC), (report.para["vmIP"], report.para["mac"]))

    def test_exception_report_attempts(self):
        cases = [
            # report url's answers, reports received, sleeps
            ("unreachable", None, 0, [5, 5, 5]),
            ("dropping", Reply.drop_connection(), 3, [5, 5, 5]),
            ("error status", Reply(body=b'{"returnCode":1}', status=500), 1, []),
        ]
        for name, answer, received, sleeps in cases:
            with self.subTest(name):
                self.no_uuid_conf(self.server.http_url + "/meta/one", "")
                if answer is None:
                    self.root.write_conf(self.base_conf(url=self.refused_url(), metadata_url=""))
                else:
                    self.server.on_post("ReportException", default=answer)
                agent = self.run_agent()
                self.assertEqual((1, sleeps), (agent.returncode, agent.sleeps()))
                self.assertEqual(received, len(self.server.requests("ReportException")))
                self.assertEqual([ALL_FAILED], self.messages("active"))


class UuidSourceTest(expected.ReportTestCase):
    def uuid_file(self, text):
        handle, path = tempfile.mkstemp(prefix="quillmar-uuid-")
        with os.fdopen(handle, "w") as stream:
            stream.write(text)
        self.addCleanup(os.remove, path)
        return path

    def sent_uuid(self):
        """Run the start report; the UUID it carried, the metadata GETs made
        and the INFO line of the UUID file, if logged."""
        _, (request,) = self.start_report()
        gets = [r.path for r in self.server.requests(method="GET")]
        return request.para["uuid"], gets, self.messages("get uuid from product_serial ok")

    def test_uuid_file_counts_on_a_virtual_machine_only(self):
        upper = "  %s \t\n" % FILE_UUID.upper()
        from_file = (FILE_UUID, [], [("INFO", "get uuid from product_serial ok")])
        from_metadata = (host.UUID, [host.UUID_PATH], [])
        cases = [
            # probe contents (cpuinfo, product_name, clocksource), UUID file, outcome
            (("flags : fpu hypervisor sse\n", "", ""), "serial\n" + upper, from_file),
            (("flags : fpu sse\n", "", "tsc\n"), OTHER_UUID + "\n", from_metadata),
            (("", "", "t" * 1022 + "kvm-clock\n"), upper, from_file),  # "kvm" across two 1024-byte reads
            (("", "VQX Cloud Server\n", ""), upper, from_file),
            (("flags : Hypervisor\n", "", ""), upper, from_metadata),
            (("hypervisor\n", "", ""), upper + "\n", from_metadata),  # ends with a blank line
        ]
        for probes, content, outcome in cases:
            with self.subTest(probes=[p[:40] for p in probes], content=content):
                self.set_vm_probes(*probes)
                self.fresh_run({"uuid_file_path": self.uuid_file(content)})
                self.assertEqual(outcome, self.sent_uuid())

    def test_metadata_body_of_36_bytes_only(self):
        self.set_vm_probes()
        first_url = self.server.http_url + "/one"
        cases = [
            # metadata_url, its reply, what is sent, GETs made
            (first_url, Reply(body=host.UUID + "\n"), OTHER_UUID, ["/one", "/two"]),
            (first_url, Reply(body=host.UUID.upper(), status=404), host.UUID, ["/one"]),
            (first_url, Reply(body=host.UUID[:35]), OTHER_UUID, ["/one", "/two"]),
            (first_url, Reply(body=host.UUID[:20] + "\0" + host.UUID[21:]), OTHER_UUID, ["/one", "/two"]),
            (None, None, OTHER_UUID, ["/two"]),  # no setting: no transfer, no ERROR line
        ]
        for url, first, sent, gets in cases:
            with self.subTest(url=url, first=first):
                self.fresh_run({"metadata_url": url, "vqx_new_metadata_url": self.server.http_url + "/two"})
                if first is not None:
                    self.server.on_get("/one", default=first)
                self.server.on_get("/two", default=Reply(body=OTHER_UUID))
                self.assertEqual((sent, gets, []), self.sent_uuid())
                self.assertEqual([], self.messages("active"))

if __name__ == "__main__":
    unittest.main()
