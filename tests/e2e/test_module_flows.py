"""Orders of a "CheckModules" answer carried out by the real agent with real
packages and scripts: an install (download, MD5, stop, backup, installer,
five probes, marker, report, watched from then on), an MD5 mismatch whose
package never runs, a failed install over an earlier marker, an uninstall,
and the agent's own module id."""

import os
import re
import stat
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
from host import Reply  # noqa: E402

HANG = Reply(delay=60)  # a pass that waits here runs nothing after it
OUTCOME = re.compile(r"\]check modules (succ|error)")


def answer(*items):
    return Reply({"returnCode": 0, "returnData": list(items)})


class ModuleFlowTest(expected.ReportTestCase):
    def run_passes(self, *answers):
        """Run the agent through len(answers) passes (their answers in
        order; the next pass hangs) and return the agent and the requests of
        every pass, the hanging one included."""
        self.server.on_post("CheckModules", *answers, HANG)
        agent = self.start_agent()
        requests = self.server.wait_for("CheckModules", count=len(answers) + 1, timeout=30)
        self.root.wait_for_log(OUTCOME, count=len(answers))
        agent.kill()
        return agent, requests

    def reports(self):
        """(moduleId, fileId, status, msg) of every report but the start report."""
        return [(r.para["moduleId"], r.para["fileId"], r.para["status"], r.para["msg"])
                for r in self.server.requests("SendLogs")][1:]

    def test_install_ordered_by_the_answer(self):
        module = self.module("mod-b", "../mod-b", trystart=(0, 1, 1, 1, 1, 1))
        module.write_scripts()  # the version installed before: its stop script runs
        with open(os.path.join(module.directory, "old-file"), "w") as stream:
            stream.write("old")
        uri = self.serve_package(module)
        agent, (first, second) = self.run_passes(answer(module.item(1, 7)))
        path = "../../mod-b"
        entries = self.log_entries()
        start = entries.index(("INFO", "module.installPath:" + path))
        self.assertEqual([
            ("INFO", "module.installPath:" + path),
            ("INFO", "download file %s succ." % uri),
            ("INFO", "md5 check succ, digest: " + module.md5),
            ("INFO", "execute %s/admin/stop.sh, ret = 0" % path),
            ("INFO", "backup %s succ." % path),
            ("INFO", "execute ../quillmar_install, ret = 0"),
        ] + [("INFO", "execute %s/admin/trystart.sh, ret = %d" % (path, code)) for code in (0, 1, 1, 1, 1)] + [
            expected.send_logs_outcome(self.server.requests("SendLogs")[1].body, "succ"),
            ("INFO", "check modules succ."),
        ], entries[start:start + 13])
        self.assertEqual([(7, 70, 0, "install succ.")], self.reports())
        self.assertEqual(["mod-b stop 0", "mod-b install 0"] + ["mod-b trystart %d" % c for c in (0, 1, 1, 1, 1)],
                         module.timeline.lines()[:7])
        # The stop pause, the guard's five probes a minute apart, then the loop.
        self.assertEqual([2, 60, 60, 60, 60, 60, 60], agent.sleeps()[:7])
        self.assertEqual(([], []), expected.watched(first))
        self.assertEqual(([7], []), expected.watched(second))
        # The new installation, its marker, and nothing left of the old one.
        self.assertFalse(os.path.exists(os.path.join(module.directory, "old-file")))
        self.assertFalse(os.path.exists(module.directory + ".QUILLMAR"))
        self.assertFalse(os.path.exists(os.path.join(self.root.path, "quillmar_install")))
        self.assertEqual(0o644, stat.S_IMODE(os.stat(self.root.marker("mod-b")).st_mode))
        self.assertEqual(0o755, stat.S_IMODE(os.stat(self.root.modules_dir).st_mode))
        self.assertEqual(0, os.path.getsize(self.root.marker("mod-b")))

    def test_a_failed_install_is_watched_only_over_an_earlier_marker(self):
        for marked in (False, True):
            with self.subTest(marked=marked):
                self.fresh_run()
                module = self.module("mod-c", os.path.join(self.root.area, "mod-c"),
                                     installer_extra="touch %s" % os.path.join(self.root.area, "ran"))
                module.write_scripts()  # an earlier version, running: probes say so
                self.serve_package(module)
                if marked:
                    self.root.mark_installed("mod-c")
                wrong = "0" * 32
                _, (_, second) = self.run_passes(answer(module.item(1, 8, md5=wrong)))
                self.assertEqual([(8, 80, 2, "md5 check error, local: %s, remote: %s" % (module.md5, wrong))],
                                 self.reports())
                self.assertEqual((([8], []) if marked else ([], [])), expected.watched(second))
                # The package was never run, nor the old module stopped.
                self.assertEqual([], [line for line in module.timeline.lines() if "trystart" not in line])
                self.assertFalse(os.path.exists(os.path.join(self.root.area, "ran")))
                self.assertIn(("ERROR", "md5 check error, local: %s, remote: %s" % (module.md5, wrong)),
                              self.log_entries())

    def test_installer_and_scripts_see_only_the_standard_descriptors(self):
        """While the agent holds its pid lock and its log open (and the pass
        its exchange), what it runs inherits none of its descriptors."""
        listing = os.path.join(self.root.area, "fds")
        module = self.module("fd-mod", os.path.join(self.root.area, "fd-mod"),
                             installer_extra="ls -l /proc/self/fd >> %s" % listing)
        self.serve_package(module)
        self.run_passes(answer(module.item(1, 12)))
        self.assertEqual([(12, 120, 0, "install succ.")], self.reports())
        with open(listing) as stream:
            lines = [line for line in stream.read().splitlines() if " -> " in line]
        inherited = {}
        for line in lines:
            head, target = line.split(" -> ", 1)
            inherited[int(head.rsplit(" ", 1)[1])] = target
        # ls's own listing of /proc/<pid>/fd aside.
        listing_fd = [fd for fd, target in inherited.items() if re.fullmatch(r"/proc/\d+/fd", target)]
        self.assertEqual(1, len(listing_fd), lines)
        del inherited[listing_fd[0]]
        self.assertEqual({0: "/dev/null", 1: listing}, {fd: inherited[fd] for fd in (0, 1)}, lines)
        self.assertEqual([0, 1, 2], sorted(inherited), lines)

    def test_texts_are_taken_up_to_a_nul_byte(self):
        """As the body itself is: "<path>\\u0000.QUILLMAR" is the module
        directory <path>, whose old version is stopped, backed up beside it
        and replaced."""
        module = self.module("nul-mod", os.path.join(self.root.area, "nul-mod"))
        module.write_scripts()
        self.serve_package(module)
        item = module.item(1, 11, name="nul-mod\u0000tail", installPath=module.directory + "\u0000.QUILLMAR")
        _, (_, second) = self.run_passes(answer(item))
        self.assertEqual([(11, 110, 0, "install succ.")], self.reports())
        self.assertEqual(["nul-mod stop 0", "nul-mod install 0"], module.timeline.lines()[:2])
        self.assertIn(("INFO", "backup %s succ." % module.directory), self.log_entries())
        self.assertTrue(os.path.exists(self.root.marker("nul-mod")))
        self.assertEqual(([11], []), expected.watched(second))

    def test_uninstall_runs_the_script_under_the_path_as_sent(self):
        # "../m" is <root>/m from bin/; the record's own path would be ../../m.
        module = self.module("m", "/unused", uninstall=(4,))
        module.directory = self.root.resolve("../m")
        module.write_scripts()
        self.root.mark_installed("m")
        _, (_, second) = self.run_passes(answer(module.item(-1, 9, installPath="../m")))
        self.assertEqual(["m uninstall 4"], self.timeline.lines())
        self.assertEqual([(9, 90, -2, "execute ../m/admin/uninstall.sh, ret = 4")], self.reports())
        self.assertIn(("INFO", "module.installPath:../../m"), self.log_entries())
        self.assertEqual(([], []), expected.watched(second))
        self.assertTrue(os.path.exists(self.root.marker("m")))  # left where it is

    def test_module_id_5_kept_is_neither_watched_nor_reported_but_installed_is_both(self):
        kept = self.module("self-kept", os.path.join(self.root.area, "self-kept"))
        kept.write_scripts()
        ordered = self.module("self-new", os.path.join(self.root.area, "self-new"))
        self.serve_package(ordered)
        self.root.mark_installed("self-kept")
        _, (_, second) = self.run_passes(answer(kept.item(0, 5, file_id=15), ordered.item(1, 5, file_id=16)))
        self.assertEqual([(5, 16, 0, "install succ.")], self.reports())
        self.assertEqual(([5], []), expected.watched(second))
        self.assertEqual(0, kept.runs("trystart"))


if __name__ == "__main__":
    unittest.main()
