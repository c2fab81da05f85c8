"""The real agent's service loop: the start line with the url as configured,
the start report for the agent itself, then one sleep of the interval per
cycle; an undeliverable start report ends the process before any cycle."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402


class ServiceLoopTest(expected.ReportTestCase):
    def test_start_line_start_report_then_interval_sleeps(self):
        https_url = self.server.https_url + "/quillmar"
        cases = [
            # settings, sleeps of each cycle, ERROR lines of the settings
            ({"interval": 120}, 120, []),
            ({"interval": 60, "url": https_url, "useCA": 0}, 60, []),
            ({"interval": 30}, 60, [("ERROR", "invalid interval: 30, use default: 60")]),
        ]
        for conf, interval, errors in cases:
            with self.subTest(conf=conf):
                self.fresh_run(conf)
                url = conf.get("url", self.server.http_url + "/quillmar")
                agent = self.start_agent()
                sleeps = agent.wait_for_sleeps(3)
                self.assertEqual([interval] * len(sleeps), sleeps)
                request, = self.server.requests("SendLogs")
                self.assertEqual({"moduleId": 5, "fileId": 15, "status": 0, "msg": expected.START_MSG},
                                 {k: request.para[k] for k in ("moduleId", "fileId", "status", "msg")})
                self.assertEqual(errors + [
                    ("INFO", "Quillmar Agent begin to run, request url: %s" % url),
                    expected.send_logs_outcome(request.body, "succ"),
                ], self.log_entries())

    def test_undeliverable_start_report_ends_before_the_first_cycle(self):
        url = self.refused_url()
        self.root.write_conf(self.base_conf(url=url, interval=120))
        agent = self.run_agent()
        self.assertEqual(255, agent.returncode, agent.describe())
        # Only the pauses between the five attempts; no interval.
        self.assertEqual([60, 60, 60, 60], agent.sleeps())
        entries = self.log_entries()
        self.assertEqual(("INFO", "Quillmar Agent begin to run, request url: %s" % url), entries[0])
        self.assertEqual(5, len(self.messages("send logs fail")))
        self.assertEqual(("ERROR", "exit because retry fail"), entries[-1])

if __name__ == "__main__":
    unittest.main()
