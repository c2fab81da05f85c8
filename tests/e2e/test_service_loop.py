"""The real agent's service loop: the start line with the url as configured,
the start report for the agent itself, then cycles: "CheckModules" on cycle 0
and every checktime-th cycle, the health probe on every cycle, one sleep of
the interval after each; an undeliverable start report or a failed
"CheckModules" transfer ends the process."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
from host import Reply  # noqa: E402


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
                check = self.server.requests("CheckModules")[0]
                self.assertEqual(("/quillmar", url.startswith("https")), (check.path, check.tls))
                self.assertEqual(errors + [
                    ("INFO", "Quillmar Agent begin to run, request url: %s" % url),
                    expected.send_logs_outcome(request.body, "succ"),
                    ("INFO", "check modules succ."),
                ], self.log_entries())

    def test_sleep_not_shortened_by_the_cycles_work(self):
        """A watched module whose start script takes two real seconds (only
        the agent's own waits are sped up): each cycle's work lasts that long,
        and each cycle still sleeps the whole interval after it."""
        self.root.mark_installed("slow")
        trystart = "#!/bin/sh\nsleep 2\necho probed >> '%s'\nexit 1\n" % self.timeline.path
        module = self.module("slow", os.path.join(self.root.area, "slow"), scripts={"trystart": trystart})
        module.write_scripts()
        self.server.on_post("CheckModules", Reply({"returnCode": 0, "returnData": [module.item(0, 3)]}))
        agent = self.start_agent()
        self.assertEqual([60, 60], agent.wait_for_sleeps(2, timeout=20)[:2])
        self.assertEqual(["probed", "probed"], self.timeline.lines()[:2])

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
        self.assertEqual([], self.server.requests("CheckModules"))

    def test_check_modules_on_every_checktime_th_cycle_before_that_cycles_probe(self):
        """One watched module whose start script says "running": one probe
        per cycle. Each "CheckModules" is noted in the timeline with the
        sleeps done so far, while the agent waits for its answer. The passes
        of cycles 5 and 10 fail (a refusal, an empty body): the cycle goes on
        with its probe and its sleep."""
        for checktime, errors in ((5, []), (1, [("ERROR", "invalid check time: 1, use default: 5")]),
                                  (4, [("ERROR", "invalid check time: 4, use default: 5")])):
            with self.subTest(checktime=checktime):
                self.fresh_run({"checktime": checktime})
                self.root.mark_installed("probe")
                module = self.module("probe", os.path.join(self.root.area, "probe"))
                module.write_scripts()
                self.server.on_post("CheckModules", Reply({"returnCode": 0, "returnData": [module.item(0, 3)]}),
                                    Reply({"returnCode": 3, "returnMsg": "later"}), Reply(b""))
                run = os.path.join(self.root.area, "run-%d" % checktime)  # holds the agent's sleep log
                os.makedirs(run)
                timeline = self.timeline

                def note_check(request, timeline=timeline, sleep_log=os.path.join(run, "sleeps")):
                    if request.interface == "CheckModules":
                        timeline.append("check after %d sleeps" % len(host.read_sleep_log(sleep_log)))
                self.server.on_request(note_check)
                probe = "probe trystart 1"
                agent = self.start_agent(workdir=run)
                lines = timeline.wait_for(lambda lines: lines.count(probe) >= 11)
                self.assertEqual(["check after 0 sleeps"] + [probe] * 5 + ["check after 5 sleeps"] + [probe] * 5 +
                                 ["check after 10 sleeps", probe], lines[:14])
                self.root.wait_for_log("check modules error: received from http fail.")
                agent.kill()
                self.assertEqual({60}, set(agent.sleeps()))
                passes = [e for e in self.log_entries() if e[1].startswith(("check modules", "module."))]
                self.assertEqual([("INFO", "module.installPath:" + module.directory),
                                  ("INFO", "check modules succ."),
                                  ("ERROR", "check modules error, retcode : 3, msg : later."),
                                  ("ERROR", "check modules error: received from http fail.")], passes[:4])
                self.assertEqual(errors, self.log_entries()[:len(errors)])

    def test_failed_transfer_logs_the_library_text_and_exits_1(self):
        for reply, text, conf in ((Reply.drop_connection(), expected.GOT_NOTHING, {}),
                                  (Reply(delay=5), expected.TIMED_OUT, {"timeout": 1})):
            with self.subTest(text):
                self.fresh_run(conf)
                self.server.on_post("CheckModules", reply)
                agent = self.run_agent()
                self.assertEqual(1, agent.returncode, agent.describe())
                self.assertEqual([], agent.sleeps())
                self.assertEqual(("ERROR", "check modules error: %s." % text), self.log_entries()[-1])
                self.assertEqual(1, len(self.server.requests("CheckModules")))


if __name__ == "__main__":
    unittest.main()
