"""The server's answer as the real agent reads it: one table of bodies and
status codes, each with its outcome, checked for "SendLogs" (the start
report's line in the log file) and for "ResetState" (the line "-r" prints)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
from host import Reply  # noqa: E402

NOT_OBJECT = "in Json::Value::resolveReference(): requires objectValue"
NOT_INT = "Value is not convertible to Int."
NOT_STRING = "Type is not convertible to string"
DEEP = b"[" * 100000
HTML = b"<!DOCTYPE html>\n<html><body><h1>It works</h1></body></html>\n"

# (body, status, outcome): outcome is ("succ",), ("fail",) for no usable
# text, ("refused", code, msg) or ("invalid", quoted text, exception text).
ANSWERS = [
    (b"", 200, ("fail",)),
    (b"null", 200, ("succ",)),
    (b"{}", 200, ("succ",)),
    (b'{"returnMsg":"x"}', 200, ("succ",)),
    (b'{"returnCode":0.9}', 200, ("succ",)),
    (b'{"returnCode":true}', 200, ("refused", 1, "")),
    (b'{"returnCode":-1,"returnMsg":"negative"}', 200, ("refused", -1, "negative")),
    (b'{"returnCode":"0"}', 200, ("invalid", '{"returnCode":"0"}', NOT_INT)),
    (b'{"returnCode":3,"returnMsg":"no such machine"}', 200, ("refused", 3, "no such machine")),
    (b'{"returnCode":3}', 200, ("refused", 3, "")),
    (b'{"returnCode":2,"returnMsg":2.5}', 200, ("refused", 2, "2.5")),
    (b"[0]", 200, ("invalid", "[0]", NOT_OBJECT)),
    (b"7", 200, ("invalid", "7", NOT_OBJECT)),
    (b'"text"', 200, ("invalid", '"text"', NOT_OBJECT)),
    (b"true", 200, ("invalid", "true", NOT_OBJECT)),
    # Text after the first complete value is ignored; comments parse.
    (b'{"returnCode":4,"returnMsg":"t"} and more', 200, ("refused", 4, "t")),
    (b'/* c */ {"returnCode":2, // line\n "returnMsg":"m"}', 200, ("refused", 2, "m")),
    # Readers stop at a NUL byte, for the parse and for the quoted text.
    (b'{"returnCode":5}\x00{"returnCode":0}', 200, ("refused", 5, "")),
    (b"[1]\x00 hidden", 200, ("invalid", "[1]", NOT_OBJECT)),
    (b'{"returnCode":1,"returnMsg":"a\x00b"}', 200, ("fail",)),
    # The HTTP status is never looked at.
    (b'{"returnCode":0}', 500, ("succ",)),
    (HTML, 200, ("fail",)),
    (b'{"returnCode":4294967296}', 200, ("invalid", '{"returnCode":4294967296}', "LargestUInt out of Int range")),
    (b'{"returnCode":-2147483649}', 200, ("invalid", '{"returnCode":-2147483649}', "LargestInt out of Int range")),
    (b'{"returnCode":1e20}', 200, ("invalid", '{"returnCode":1e20}', "double out of Int range")),
    (b'{"returnCode":1,"returnMsg":["a"]}', 200, ("invalid", '{"returnCode":1,"returnMsg":["a"]}', NOT_STRING)),
    # Nesting deep enough to exhaust a recursive parser is refused, not a crash.
    (DEEP, 200, ("invalid", DEEP.decode(), "Exceeded stackLimit in readValue().")),
]


def reply(body, status):
    return Reply(body=body, status=status, content_type="text/html" if body == HTML else "application/json")


class AnswerTableTest(expected.ReportTestCase):
    def test_send_logs_outcome_line(self):
        for body, status, outcome in ANSWERS:
            with self.subTest(body=body, status=status):
                self.fresh_run()
                _, (request,) = self.start_report(reply(body, status))
                outcomes = self.messages(("send logs succ", "send logs error"))
                self.assertEqual([expected.send_logs_outcome(request.body, *outcome)], outcomes)
                self.assertEqual([], self.messages("send logs fail"))

    def test_reset_state_printed_line(self):
        for body, status, outcome in ANSWERS:
            with self.subTest(body=body, status=status):
                self.fresh_run()
                self.server.on_post("ResetState", reply(body, status))
                agent = self.run_agent("-r")
                self.assertEqual((0, expected.reset_state_outcome(*outcome)), (agent.returncode, agent.stdout))
                self.assertEqual(1, len(self.server.requests("ResetState")))
                self.assertNotIn("reset state", self.root.read_log())


if __name__ == "__main__":
    unittest.main()
