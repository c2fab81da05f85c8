"""Delivery of "SendLogs" and "ResetState" by the real agent: the five attempts
of the start report with their pauses and the exit with 255, a server that
answers late, a refusal after which the loop goes on, a partial body kept in
front of the retry's answer, and the single attempt of "-r"."""

import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
from host import Reply  # noqa: E402

FAILED_ATTEMPT = re.compile(r"send logs fail, data: (\{.*\}\n), error: (.*)\.", re.S)


class SendLogsDeliveryTest(expected.ReportTestCase):
    def failed_attempts(self):
        """(request text, error text) of each "send logs fail" entry."""
        found = []
        for level, message in self.messages("send logs fail"):
            self.assertEqual("ERROR", level)
            match = FAILED_ATTEMPT.fullmatch(message)
            self.assertIsNotNone(match, message)
            found.append((match.group(1), match.group(2)))
        return found

    def test_unreachable_server_five_attempts_then_exit_255(self):
        self.root.write_conf(self.base_conf(url=self.refused_url()))
        agent = self.run_agent()
        self.assertEqual(255, agent.returncode, agent.describe())
        self.assertEqual([60, 60, 60, 60], agent.sleeps())
        attempts = self.failed_attempts()
        self.assertEqual([expected.CONNECT_ERROR] * 5, [error for _, error in attempts])
        # Every attempt posts the same text, the start report.
        self.assertEqual(1, len({text for text, _ in attempts}))
        para = json.loads(attempts[0][0])["interface"]["para"]
        self.assertEqual((5, 15, 0, expected.START_MSG), (para["moduleId"], para["fileId"], para["status"],
                                                          para["msg"]))
        self.assertEqual(("ERROR", "exit because retry fail"), self.log_entries()[-1])

    def test_server_answering_the_third_attempt(self):
        self.root.write_conf(self.base_conf(interval=120))
        self.server.on_post("SendLogs", Reply.drop_connection(), Reply.drop_connection(),
                            default=Reply({"returnCode": 0}))
        agent = self.start_agent()
        sleeps = agent.wait_for_sleeps(5)
        # Two pauses of the retry, then the loop's own intervals.
        self.assertEqual([60, 60, 120, 120, 120], sleeps[:5])
        requests = self.server.requests("SendLogs")
        self.assertEqual(3, len(requests))
        self.assertEqual(1, len({r.body for r in requests}))
        self.assertEqual([expected.GOT_NOTHING] * 2, [error for _, error in self.failed_attempts()])
        self.assertEqual([expected.send_logs_outcome(requests[0].body, "succ")],
                         self.messages(("send logs succ", "send logs error")))

    def test_refused_report_returns_and_the_loop_goes_on(self):
        self.root.write_conf(self.base_conf(interval=120))
        self.server.on_post("SendLogs", default=Reply({"returnCode": 3, "returnMsg": "no"}))
        agent = self.start_agent()
        self.assertEqual([120, 120], agent.wait_for_sleeps(2)[:2])
        self.assertTrue(agent.running(), agent.describe())
        request, = self.server.requests("SendLogs")
        self.root.wait_for_log("send logs error")
        self.assertEqual([expected.send_logs_outcome(request.body, "refused", 3, "no")],
                         self.messages(("send logs succ", "send logs error")))

    def test_partial_body_stays_in_front_of_the_retry_answer(self):
        # The first attempt gets all but the last byte of its body and times
        # out; the retry's whole answer is appended to what it received.
        cases = [
            # first body (all but its last byte sent), retry answer, outcome
            (b'{"returnCode":0}', b'{"returnCode":0}', ("fail",)),
            (b'{"returnCode":9,"returnMsg":"kept"} ', b'{"returnCode":0}', ("refused", 9, "kept")),
        ]
        for first, second, outcome in cases:
            with self.subTest(first=first):
                self.fresh_run({"timeout": 1})
                _, requests = self.start_report(Reply.hang_after(first, len(first) - 1, hang=10), Reply(body=second))
                self.assertEqual(2, len(requests))
                self.assertEqual([expected.TIMED_OUT], [error for _, error in self.failed_attempts()])
                self.assertEqual([expected.send_logs_outcome(requests[0].body, *outcome)],
                                 self.messages(("send logs succ", "send logs error")))


class ResetStateDeliveryTest(expected.ReportTestCase):
    def test_one_attempt_and_status_0(self):
        cases = [
            ("refusing", {}, "reset state error, retcode : 3, msg : denied.\n", 1),
            ("unreachable", {"url": self.refused_url()}, "reset state fail, error: %s.\n" % expected.CONNECT_ERROR, 0),
            ("dropping", {}, "reset state fail, error: %s.\n" % expected.GOT_NOTHING, 1),
        ]
        for name, conf, line, received in cases:
            with self.subTest(name):
                self.fresh_run(conf)
                self.server.on_post("ResetState", Reply.drop_connection() if name == "dropping" else
                                    Reply({"returnCode": 3, "returnMsg": "denied"}))
                agent = self.run_agent("-r")
                self.assertEqual((0, line, []), (agent.returncode, agent.stdout, agent.sleeps()))
                self.assertEqual(received, len(self.server.requests("ResetState")))
                self.assertEqual([], self.server.requests("SendLogs"))


if __name__ == "__main__":
    unittest.main()
