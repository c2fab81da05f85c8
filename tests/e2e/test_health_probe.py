"""The health probe of every cycle through the real agent: which watched
modules are probed, when a module that keeps having to be started is
reinstalled and how that is reported, and a module as users run one: a real
service that the agent starts again and finally reinstalls."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
from host import Reply  # noqa: E402

# One pass on cycle 0 only, unless a test asks for more.
SINGLE_PASS = {"checktime": 100000}


def answer(*items):
    return Reply({"returnCode": 0, "returnData": list(items)})


class ProbeTest(expected.ReportTestCase):
    def watch(self, *modules, conf=SINGLE_PASS, marked=None, keep_dir=True, without=()):
        """Start the agent watching `modules` (status-0 items, ids 1, 2, ...),
        each already in place with its scripts (but those in `without`) and
        its marker (only those named in `marked`, when given; none and no
        modules/ without `keep_dir`); their packages are served for
        reinstalls. Reports are noted in the timeline."""
        self.root.write_conf(self.base_conf(**conf))
        if keep_dir:
            os.makedirs(self.root.modules_dir, exist_ok=True)
        items = []
        for number, module in enumerate(modules, 1):
            self.serve_package(module)
            module.write_scripts(without)
            if keep_dir and (marked is None or module.name in marked):
                self.root.mark_installed(module.name)
            items.append(module.item(0, number))
        self.server.on_post("CheckModules", default=answer(*items))
        timeline = self.timeline

        def note_report(request):
            para = request.para if request.interface == "SendLogs" else {"moduleId": 5}
            if para["moduleId"] != 5:
                timeline.append("report %d %d %s" % (para["moduleId"], para["status"], para["msg"]))
        self.server.on_request(note_report)
        return self.start_agent()

    def new_module(self, name, **kw):
        return self.module(name, os.path.join(self.root.area, name), **kw)

    def reports(self):
        return [line for line in self.timeline.lines() if line.startswith("report")]

    def test_which_records_are_probed(self):
        cases = [
            # markers made, modules/ kept, modules that are probed
            ({"a"}, True, ["a"]),
            (set(), True, []),
            (set(), False, ["a", "b"]),  # no modules/: every record counts as installed
        ]
        for marked, keep_dir, probed in cases:
            with self.subTest(marked=marked, modules_dir=keep_dir):
                self.fresh_run()
                a, b = self.new_module("a"), self.new_module("b")
                agent = self.watch(a, b, marked=marked, keep_dir=keep_dir)
                agent.wait_for_sleeps(4)
                counts = [a.runs("trystart"), b.runs("trystart")]
                agent.kill()
                # One probe per cycle, or none.
                self.assertEqual([4 if m.name in probed else 0 for m in (a, b)], [min(n, 4) for n in counts])
                self.assertEqual([], self.reports())

    def test_a_module_always_running_is_never_reinstalled(self):
        module = self.new_module("steady", trystart=(1,))
        agent = self.watch(module)
        agent.wait_for_sleeps(12)
        agent.kill()
        self.assertGreaterEqual(module.runs("trystart"), 12)
        self.assertNotIn("steady install 0", module.timeline.lines())
        self.assertEqual([], self.reports())

    def test_a_missing_start_script_is_counted_and_the_third_probe_reinstalls(self):
        # The module as it stands has lost its start script; the package
        # puts it in place again.
        module = self.new_module("lost", trystart=(1,))
        agent = self.watch(module, without=("trystart",))
        self.timeline.wait_for(lambda lines: len(self.reports()) == 1)
        host.wait_until(lambda: len(agent.sleeps()) >= 10)
        agent.kill()
        missing = "sh: 1: %s/admin/trystart.sh: not found" % module.directory
        self.expect_stderr(agent, *[missing] * 3)
        # Cycles 0 and 1, then cycle 2 reinstalls: stop pause, five guard
        # probes of the new installation, which has its start script again.
        self.assertEqual([60, 60, 2, 60, 60, 60, 60, 60, 60], agent.sleeps()[:9])
        self.assertEqual(["lost stop 0", "lost install 0"] + ["lost trystart 1"] * 5 + ["report 1 0 reinstall succ."],
                         self.timeline.lines()[:8])
        self.assertIn(("INFO", "execute %s/admin/trystart.sh, ret = 127" % module.directory), self.log_entries())

    def test_counted_probes_need_not_follow_each_other(self):
        module = self.new_module("flaky", trystart=(0, 1, 0, 1, 0, 1))
        self.watch(module)
        lines = self.timeline.wait_for(lambda lines: len(self.reports()) == 1)
        self.assertEqual(["flaky trystart %d" % c for c in (0, 1, 0, 1, 0)] + ["flaky stop 0", "flaky install 0"] +
                         ["flaky trystart 1"] * 5 + ["report 1 0 reinstall succ."], lines)

    def test_two_records_reaching_three_in_one_cycle_are_both_reinstalled_in_list_order(self):
        first, second = self.new_module("first", trystart=(0, 0, 0, 1)), self.new_module("second", trystart=(0, 0, 0, 1))
        self.watch(first, second)
        lines = self.timeline.wait_for(lambda lines: len(self.reports()) == 2)
        guard = lambda name: ["%s trystart 1" % name] * 5  # noqa: E731
        self.assertEqual(["first trystart 0", "second trystart 0"] * 2 + ["first trystart 0", "first stop 0",
                                                                        "first install 0"] + guard("first") +
                         ["report 1 0 reinstall succ.", "second trystart 0", "second stop 0", "second install 0"] +
                         guard("second") + ["report 2 0 reinstall succ."], lines)

    def test_after_a_reinstall_only_the_next_rebuild_of_the_list_counts_again(self):
        """checktime 5: the list is rebuilt on cycles 0 and 5. Reinstalled on
        cycle 2; cycles 3 and 4 only raise the count; from cycle 5 the count
        starts again, so cycle 7 reinstalls once more."""
        module = self.new_module("again", trystart=[0, 0, 0] + [1] * 5 + [0] * 5 + [1] * 5 + [0])
        self.watch(module, conf={"checktime": 5})
        lines = self.timeline.wait_for(lambda lines: len(self.reports()) == 2)
        reinstall = ["again stop 0", "again install 0"] + ["again trystart 1"] * 5 + ["report 1 0 reinstall succ."]
        # Cycles 0-2, the reinstall; cycles 3 and 4 (counts 4, 5), then 5-7
        # after the rebuild (counts 1 to 3), the second reinstall.
        self.assertEqual(["again trystart 0"] * 3 + reinstall + ["again trystart 0"] * 5 + reinstall, lines)

    def test_a_failed_reinstall_reports_minus_1_with_the_failing_steps_message(self):
        module = self.new_module("broken", trystart=(0, 0, 0, 0, 0, 0, 1))
        self.root.write_conf(self.base_conf(**SINGLE_PASS))
        os.makedirs(self.root.modules_dir)
        module.write_scripts()
        self.root.mark_installed("broken")
        self.serve_package(module)
        wrong = "f" * 32
        self.server.on_post("CheckModules", default=answer(module.item(0, 4, md5=wrong)))
        agent = self.start_agent()
        report = self.server.wait_for("SendLogs", count=2)[1]
        self.assertEqual((4, 40, -1, "md5 check error, local: %s, remote: %s" % (module.md5, wrong)),
                         (report.para["moduleId"], report.para["fileId"], report.para["status"], report.para["msg"]))
        # Counted on, never reinstalled again before the list is rebuilt.
        host.wait_until(lambda: module.runs("trystart") >= 7)
        agent.kill()
        self.assertEqual(2, len(self.server.requests("SendLogs")))
        self.assertNotIn("broken install 0", module.timeline.lines())


SERVICE = """#!/bin/sh
# A small service: runs until it is stopped.
while :; do sleep 1; done
"""

TRYSTART = """#!/bin/sh
# Starts the service unless it runs (1: it was running).
dir={dir}
pid=$(cat "$dir/service.pid" 2>/dev/null)
if [ -n "$pid" ] && [ -d "/proc/$pid" ] && ! grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null; then
    echo "svc trystart 1" >> {timeline}
    exit 1
fi
setsid "$dir/service.sh" </dev/null >/dev/null 2>&1 &
echo $! > "$dir/service.pid"
echo "svc started $!" >> {timeline}
exit 0
"""

STOP = """#!/bin/sh
dir={dir}
pid=$(cat "$dir/service.pid" 2>/dev/null)
[ -n "$pid" ] && kill -TERM "-$pid" 2>/dev/null
rm -f "$dir/service.pid"
echo "svc stop 0" >> {timeline}
exit 0
"""


class ServiceModuleTest(expected.ReportTestCase):
    def service_processes(self, directory):
        """Pids of live processes running the service of `directory`."""
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/cmdline" % entry, "rb") as stream:
                        cmdline = stream.read()
                except OSError:
                    continue
                if (directory + "/service.sh").encode() in cmdline and host._alive(int(entry)):
                    found.append(int(entry))
        return found

    def end_services(self, directory):
        def ended():
            for pid in self.service_processes(directory):
                try:
                    os.killpg(os.getpgid(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass
            return not self.service_processes(directory)
        host.wait_until(ended, what="the services to end")

    def running_service(self, directory):
        """The pid of the service, once it runs in a session of its own: a
        start script's child may still be on its way there."""
        def leader():
            pid = self.service_pid(directory)
            try:
                return pid if pid in self.service_processes(directory) and os.getsid(pid) == pid else None
            except ProcessLookupError:
                return None
        return host.wait_until(leader, what="the service to lead its session")

    def test_restarted_three_times_then_reinstalled(self):
        directory = os.path.join(self.root.area, "svc")
        timeline = self.timeline
        texts = {name: text.format(dir=host._quote(directory), timeline=host._quote(timeline.path))
                 for name, text in (("trystart", TRYSTART), ("stop", STOP))}
        module = self.module("svc", directory, scripts=texts, uninstall=None,
                             installer_extra="cat > %s <<'EOF'\n%sEOF\nchmod 755 %s" % (
                                 host._quote(directory + "/service.sh"), SERVICE,
                                 host._quote(directory + "/service.sh")))
        self.addCleanup(self.end_services, directory)
        self.serve_package(module)
        self.root.write_conf(self.base_conf(**SINGLE_PASS))
        self.server.on_post("CheckModules", default=answer(module.item(1, 12)))

        def note_report(request):
            if request.interface == "SendLogs" and request.para["moduleId"] == 12:
                timeline.append("report %d %s" % (request.para["status"], request.para["msg"]))
        self.server.on_request(note_report)
        agent = self.start_agent()

        def started(count):
            return timeline.wait_for(lambda lines: sum(line.startswith("svc started") for line in lines) >= count)

        # The install's guard starts it once and finds it running four times.
        timeline.wait_for(lambda lines: "report 0 install succ." in lines)
        for restart in range(2, 5):
            started(restart - 1)
            os.killpg(self.running_service(directory), signal.SIGKILL)  # from outside
            started(restart)
        lines = timeline.wait_for(lambda lines: "report 0 reinstall succ." in lines)
        agent.kill()

        def kinds(lines):
            return [line.split(" ")[1] if line.startswith("svc") else line for line in lines]
        self.assertEqual(["install", "started"] + ["trystart"] * 4 + ["report 0 install succ."], kinds(lines[:7]))
        reinstall = lines.index("report 0 reinstall succ.")
        # Three restarts by the probe, then stop, install and a guard that passes.
        tail = kinds(lines[7:reinstall + 1])
        self.assertEqual(["started"] * 3, [k for k in tail[:tail.index("stop")] if k == "started"])
        self.assertEqual(["stop", "install", "started", "trystart", "trystart", "trystart", "trystart",
                          "report 0 reinstall succ."], tail[tail.index("stop"):])
        # The reinstalled service runs, once: stop.sh ended the one before.
        host.wait_until(lambda: self.service_processes(directory) == [self.running_service(directory)],
                        what=lambda: "one service, got %r" % self.service_processes(directory))
        self.end_services(directory)

    @staticmethod
    def service_pid(directory):
        with open(os.path.join(directory, "service.pid")) as stream:
            return int(stream.read())


if __name__ == "__main__":
    unittest.main()
