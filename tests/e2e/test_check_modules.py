"""The real agent's "CheckModules" pass: its request text byte for byte (the
watched modules split by their markers, "firstRun" until an answer parses),
and the answer table: each answer with the lines its pass logs and the
watched list it leaves, as the next request's "installed"/"uninstalled"
shows it. Transport over https, with and without the CA file."""

import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
from host import Reply  # noqa: E402

NOT_OBJECT = "in Json::Value::resolveReference(): requires objectValue"
NOT_ARRAY = "in Json::Value::operator[](ArrayIndex): requires arrayValue"
NOT_INT = "Value is not convertible to Int."
DEEP = b"[" * 100000
OUTCOME = re.compile(r"\]check modules (succ|error)")
# Passes hang here, so nothing after the pass in question runs.
HANG = Reply(delay=60)


def body(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()


def item_text(item):
    """An item as "unknow status" quotes it: compact, keys in byte order."""
    return json.dumps(item, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def cut(message):
    """The logger keeps the first 1023 bytes of a message."""
    return message.encode()[:1023].decode("utf-8", "ignore")


def pass_lines(entries):
    return [e for e in entries if e[1].startswith(("check modules", "module.installPath", "unknow status"))]


class RequestTextTest(expected.ReportTestCase):
    def test_request_text_and_the_installed_split(self):
        """Five passes of one run. Between them, while the agent waits for an
        answer, a marker goes, then modules/ itself."""
        self.root.mark_installed("m3", "m7")
        modules = [self.module("m%d" % i, os.path.join(self.root.area, "m%d" % i)) for i in (3, 7, 9)]
        for module in modules:
            module.write_scripts()
        answer = Reply(body({"returnCode": 0, "returnData": [m.item(0, int(m.name[1:])) for m in modules]}))
        self.server.on_post("CheckModules", Reply(b""), answer, answer, answer, HANG)
        changes = {3: lambda: os.remove(self.root.marker("m7")),
                   4: lambda: os.rename(self.root.modules_dir, self.root.modules_dir + ".gone")}

        def between_passes(request):
            if request.interface == "CheckModules":
                changes.get(len(self.server.requests("CheckModules")), lambda: None)()
        self.server.on_request(between_passes)
        self.start_agent()
        requests = self.server.wait_for("CheckModules", count=5, timeout=20)
        paras = [
            expected.check_modules_para(1),  # an empty body leaves firstRun 1
            expected.check_modules_para(1),
            expected.check_modules_para(0, installed=[3, 7], uninstalled=[9]),
            expected.check_modules_para(0, installed=[3], uninstalled=[7, 9]),
            expected.check_modules_para(0, installed=[3, 7, 9]),  # no modules/: all installed
        ]
        for request, para in zip(requests, paras):
            self.assertEqual(expected.expected_text(request, para), request.body)
            self.assertEqual(("POST", "/quillmar", "application/json"),
                             (request.method, request.path, request.headers["Content-Type"]))
        # Probed on cycles 5 to 19 while installed: by its marker, or, from
        # cycle 15 on, by the missing modules/.
        self.assertEqual([15, 10, 5], [m.runs("trystart") for m in modules])

    def test_first_run_until_an_answer_parses(self):
        cases = [
            # first answer, firstRun of the second request
            (Reply(b""), 1),
            (Reply(b"<html></html>", content_type="text/html"), 1),
            (Reply(DEEP), 1),  # the parser gave up: not heard
            (Reply(body({"returnCode": 3, "returnMsg": "no"})), 0),
            (Reply(b"[1]"), 0),
            (Reply(b"null"), 0),
            (Reply(b"{}", status=500), 0),
        ]
        for reply, first_run in cases:
            with self.subTest(body=reply.body[:20]):
                self.fresh_run()
                self.server.on_post("CheckModules", reply, HANG)
                self.start_agent()
                first, second = self.server.wait_for("CheckModules", count=2)
                self.assertEqual((1, first_run), (first.para["firstRun"], second.para["firstRun"]))
                self.assertEqual(first_run == 0, os.path.exists(self.root.first_run_marker))

    def test_no_handle_sends_nothing_and_the_next_pass_asks_again(self):
        """libcurl gives the pass of cycle 0 no handle (a preloaded stand-in
        fails the third curl_easy_init: the start report and its UUID look-up
        take the first two): the pass logs its line and sends nothing, the
        cycles go on, and the pass of cycle 5 asks as a first run still."""
        sleeps_at_check = []

        def note_check(request):
            if request.interface == "CheckModules":
                sleeps_at_check.append(len(agent.sleeps()))
        self.server.on_request(note_check)
        agent = self.start_agent(env={"LD_PRELOAD": os.environ["QUILLMAR_CURL_INIT_SHIM"] + ":" + host.SLEEP_SHIM,
                                      "QUILLMAR_CURL_INIT_FAILS": "3"})
        request, = self.server.wait_for("CheckModules")
        self.assertEqual(expected.expected_text(request, expected.check_modules_para(1)), request.body)
        self.root.wait_for_log(OUTCOME, count=2)
        self.assertEqual([("ERROR", "check modules error: curl_easy_init() fail."), SUCC],
                         pass_lines(self.log_entries()))
        self.assertEqual([5], sleeps_at_check)


KEEP = {"status": 0, "moduleId": 1, "fileId": 10, "name": "keep", "installPath": "/opt/keep"}


def item(module_id, status=0, **members):
    value = {"status": status, "moduleId": module_id, "fileId": module_id * 10, "name": "n%d" % module_id,
             "installPath": "/opt/n%d" % module_id}
    value.update(members)
    return value


def success(*items):
    return body({"returnCode": 0, "returnData": list(items)})


NORMALISED = [("../m", "../../m"), ("..m", "../..m"), ("...", "../..."), ("..", ".."), ("./m", "./m"),
              ("/opt/m", "/opt/m"), ("", "")]
SUCC = ("INFO", "check modules succ.")


def path(text):
    return ("INFO", "module.installPath:" + text)


def raised(text):
    """Stands for the exception line, which quotes the answer."""
    return ("raise", text)


# (name, body, HTTP status, the lines of its pass, the watched ids it leaves
# as (installed, uninstalled)). Before it, KEEP (id 1) is watched.
ANSWERS = [
    ("{}", b"{}", 200, [SUCC], ([], [])),
    ("null", b"null", 200, [SUCC], ([], [])),
    ("no returnCode", body({"returnData": [item(2)]}), 200, [path("/opt/n2"), SUCC], ([], [2])),
    ("returnData missing", body({"returnCode": 0}), 200, [SUCC], ([], [])),
    ("returnData null", body({"returnCode": 0, "returnData": None}), 200, [SUCC], ([], [])),
    ("returnData a number", body({"returnCode": 0, "returnData": 7}), 200, [SUCC], ([], [])),
    ("returnData a text", body({"returnCode": 0, "returnData": "abc"}), 200, [SUCC], ([], [])),
    ("returnData []", body({"returnCode": 0, "returnData": []}), 200, [SUCC], ([], [])),
    ("returnData {}", body({"returnCode": 0, "returnData": {}}), 200, [SUCC], ([], [])),
    # The list is emptied before the first element is read.
    ("returnData an object with members", body({"returnCode": 0, "returnData": {"a": item(2)}}), 200,
     [raised(NOT_ARRAY)], ([], [])),
    ("root an array", body([item(2)]), 200, [raised(NOT_OBJECT)], ([], [1])),
    ("root a number", b"7", 200, [raised(NOT_OBJECT)], ([], [1])),
    ("root a text", b'"text"', 200, [raised(NOT_OBJECT)], ([], [1])),
    ("root a boolean", b"false", 200, [raised(NOT_OBJECT)], ([], [1])),
    ("returnCode 3", body({"returnCode": 3, "returnMsg": "busy", "returnData": [item(2)]}), 200,
     [("ERROR", "check modules error, retcode : 3, msg : busy.")], ([], [1])),
    ("no text", b"", 200, [("ERROR", "check modules error: received from http fail.")], ([], [1])),
    ("nested past the parser's limit", DEEP, 200, [raised("Exceeded stackLimit in readValue().")], ([], [1])),
    ("moduleId a string", success(item(2), {"status": 0, "moduleId": "3"}), 200,
     [path("/opt/n2"), raised(NOT_INT)], ([], [2])),
    ("moduleId 3.9", success(item(3.9)), 200, [path("/opt/n3"), SUCC], ([], [3])),
    # A null item has no name, and "../modules/" with an empty name is
    # modules/ itself: installed.
    ("a null item", success(None), 200, [path(""), SUCC], ([0], [])),
    ("two items with one moduleId", success(item(4, name="a"), item(4, name="b")), 200,
     [path("/opt/n4"), path("/opt/n4"), SUCC], ([], [4, 4])),
    ("a valid answer with status 500", success(item(2)), 500, [path("/opt/n2"), SUCC], ([], [2])),
    ("status 0 with moduleId 5", success(item(5), item(6)), 200, [path("/opt/n5"), path("/opt/n6"), SUCC],
     ([], [6])),
    # The item as the pass read it: members it lacked show as null.
    ("unknown statuses", success(item(21, status=2), {"status": 7}, item(22)), 200,
     [path("/opt/n21"), ("ERROR", "unknow status: 2, data: " + item_text(item(21, status=2, uri=None, md5=None))),
      path(""), ("ERROR", "unknow status: 7, data: " + item_text(dict.fromkeys(
          ("fileId", "installPath", "md5", "moduleId", "name", "uri"), None) | {"status": 7})),
      path("/opt/n22"), SUCC],
     ([], [22])),
    ("installPath normalisation", success(*[item(30 + i, installPath=sent) for i, (sent, _) in enumerate(NORMALISED)]),
     200, [path(normalised) for _, normalised in NORMALISED] + [SUCC], ([], list(range(30, 30 + len(NORMALISED))))),
]


class AnswerTableTest(expected.ReportTestCase):
    def run_row(self, answer, status):
        """Pass 1 watches KEEP (no marker: "uninstalled"), pass 2 gets the
        answer, pass 3 shows the list it left and hangs. Returns (the agent,
        the third request, the lines of the second pass)."""
        self.fresh_run()
        os.makedirs(self.root.modules_dir)
        self.server.on_post("CheckModules", Reply(success(KEEP)), Reply(answer, status=status), HANG)
        agent = self.start_agent()
        third = self.server.wait_for("CheckModules", count=3)[2]
        self.root.wait_for_log(OUTCOME, count=2)
        lines = pass_lines(self.log_entries())
        agent.kill()
        self.assertEqual([path("/opt/keep"), SUCC], lines[:2])
        return agent, third, lines[2:]

    def test_answer_table(self):
        for name, answer, status, want, watched in ANSWERS:
            with self.subTest(name):
                agent, third, lines = self.run_row(answer, status)
                want = [("ERROR", cut("check modules error, response: %s, exception: %s." % (answer.decode(), line[1])))
                        if line[0] == "raise" else line for line in want]
                self.assertEqual(want, lines)
                self.assertEqual(watched, expected.watched(third))
                if name == "a null item":
                    # Watched, so probed five times (cycles 5 to 9) with no
                    # start script.
                    self.expect_stderr(agent, *["sh: 1: /admin/trystart.sh: not found"] * 5)

    def test_the_third_of_five_items_a_number(self):
        """Two items handled (one kept, one uninstalled and reported), then the
        exception line; the last two items are never looked at."""
        gone = self.module("gone", os.path.join(self.root.area, "gone"), uninstall=(3,))
        late = self.module("late", os.path.join(self.root.area, "late"))
        for module in (gone, late):
            module.write_scripts()
        answer = success(item(11), gone.item(-1, 12), 7, late.item(-1, 14), item(15))
        agent, third, lines = self.run_row(answer, 200)
        self.assertEqual([path("/opt/n11"), path(gone.directory),
                          ("ERROR", cut("check modules error, response: %s, exception: %s." % (answer.decode(),
                                                                                               NOT_OBJECT)))],
                         lines)
        self.assertEqual(([], [11]), expected.watched(third))
        self.assertEqual(["gone uninstall 3"], gone.timeline.lines())
        report, = [r for r in self.server.requests("SendLogs") if r.para["moduleId"] != 5]
        self.assertEqual((12, 120, -2, "execute %s/admin/uninstall.sh, ret = 3" % gone.directory),
                         (report.para["moduleId"], report.para["fileId"], report.para["status"], report.para["msg"]))


class TransportTest(expected.ReportTestCase):
    def test_https_url_with_and_without_the_ca_file_and_an_https_package(self):
        tls = self.tls
        cases = [
            # presented certificate, useCA, caPath, transfer fails with
            (tls.self_signed, 0, "", None),
            (tls.localhost, 1, tls.ca, None),
            (tls.localhost, 1, tls.other_ca, "SSL peer certificate or SSH remote key was not OK"),
        ]
        for certificate, use_ca, ca_path, failure in cases:
            with self.subTest(cert=os.path.basename(certificate.cert), use_ca=use_ca, ca=ca_path):
                self.fresh_run()
                os.makedirs(self.root.modules_dir)
                self.root.write_conf(self.https_conf(use_ca=use_ca, ca_path=ca_path))
                self.server.use_certificate(certificate)
                package = self.module("tls-%d" % use_ca, os.path.join(self.root.area, "tls-%d" % use_ca))
                self.serve_package(package, https=True)
                self.server.on_post("CheckModules", Reply(success(item(2), package.item(1, 3))), HANG)
                if failure:
                    agent = self.run_agent()
                    self.assertEqual(1, agent.returncode, agent.describe())
                    self.assertEqual(("ERROR", "check modules error: %s." % failure), self.log_entries()[-1])
                    self.assertEqual([], self.server.requests("CheckModules"))
                    continue
                self.start_agent()
                first, second = self.server.wait_for("CheckModules", count=2, timeout=20)
                self.assertEqual([True, True, "/quillmar"], [first.tls, second.tls, first.path])
                self.assertEqual(([3], [2]), expected.watched(second))
                download, = self.server.requests(method="GET", path="/pkg/" + package.name)
                self.assertTrue(download.tls)
                # Reports go to the same port over plain http.
                reports = self.server.requests("SendLogs")
                self.assertFalse(any(r.tls for r in reports))
                self.assertEqual((3, 0, "install succ."), (reports[1].para["moduleId"], reports[1].para["status"],
                                                            reports[1].para["msg"]))
                self.assertEqual(self.server.https_url + "/quillmar",
                                 self.messages("Quillmar Agent")[0][1].rsplit(" ", 1)[1])


if __name__ == "__main__":
    unittest.main()
