"""Orders of a "CheckModules" answer carried out by the real agent with real
packages and scripts: an install (download, MD5, stop, backup, installer,
five probes, marker, report, watched from then on), an MD5 mismatch whose
package never runs, a failed install over an earlier marker, an uninstall,
the agent's own module id, and what a failed or interrupted install leaves
of a module's directory."""

import hashlib
import os
import re
import stat
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
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

    def test_a_link_left_at_a_path_with_a_slash_goes_as_a_link_in_the_rollback(self):
        """A first install to "<dir>/" whose installer leaves <dir> as a link
        to a directory of files, then fails: the rollback deletes the link
        and never enters it."""
        target = os.path.join(self.root.area, "app-1.2")
        os.makedirs(os.path.join(target, "lib"))
        for name, text in (("app", "app"), ("lib/core", "core")):
            with open(os.path.join(target, name), "w") as stream:
                stream.write(text)
        files = host.tree(target)
        link = os.path.join(self.root.area, "app")
        module = self.module("linked", link + "/")
        package = ("#!/bin/sh\nln -s %s %s\nexit 1\n" % (host._quote(target), host._quote(link))).encode()
        self.serve_package(module, data=package)
        self.run_passes(answer(module.item(1, 13, md5=hashlib.md5(package).hexdigest())))
        self.assertEqual(files, host.tree(target))
        self.assertFalse(os.path.lexists(link))
        self.assertEqual([(13, 130, 5, "execute ../quillmar_install, ret = 1")], self.reports())
        self.assertIn(("INFO", "roll back %s/ succ." % link), self.log_entries())

    def test_an_install_killed_in_its_installer_leaves_the_last_good_copy_to_the_next(self):
        """v1 in place; the agent is killed with -9 while the installer of
        v2 runs (half of v2 written, v1 in the backup), and so is the
        installer. Started again and ordered an install, the agent restores
        v1 before it backs up: an installer that fails leaves v1 exactly, one
        that passes leaves the new version; neither leaves a backup."""
        for passes in (False, True):
            with self.subTest(passes=passes):
                self.fresh_run()
                name = "kept-%d" % passes
                directory = os.path.join(self.root.area, name)
                backup = directory + ".QUILLMAR"
                v1 = self.module(name, directory)
                v1.write_scripts()
                os.makedirs(os.path.join(directory, "conf"))
                for path, text, mode in (("conf/app.conf", "v1 settings", 0o600), ("data", "v1 data", 0o640)):
                    with open(os.path.join(directory, path), "w") as stream:
                        stream.write(text)
                    os.chmod(os.path.join(directory, path), mode)
                os.symlink("conf", os.path.join(directory, "current"))
                good = host.tree(directory)

                # v2 writes part of itself, then waits on a pipe nobody opens.
                hold = os.path.join(self.root.area, name + ".hold")
                pids = os.path.join(self.root.area, name + ".pids")
                os.mkfifo(hold)
                v2 = ("#!/bin/sh\n"
                      "mkdir {dir}\n"
                      "echo v2 > {dir}/data\n"
                      "echo $PPID $$ > {pids}.new && mv {pids}.new {pids}\n"
                      "read line < {hold}\n").format(dir=host._quote(directory), pids=host._quote(pids),
                                                     hold=host._quote(hold)).encode()
                self.serve_package(v1, data=v2)
                self.server.on_post("CheckModules", answer(v1.item(1, 14, md5=hashlib.md5(v2).hexdigest())), HANG)
                agent = self.start_agent()

                def installer():
                    try:
                        with open(pids) as stream:
                            shell, script = stream.read().split()
                    except FileNotFoundError:
                        return None
                    return host.waits_on_fifo(int(script)) and (int(shell), int(script))
                shell, script = host.wait_until(installer, what="the installer of v2 to block")
                # The agent, then the shell it runs the installer in, then the installer.
                for pid in (agent.pid, shell, script):
                    host.kill_and_wait(pid)
                self.assertEqual({"data": b"v2\n"}, {path: item[1] for path, item in host.tree(directory).items()})
                self.assertEqual(good, host.tree(backup))

                self.fresh_run()
                v3 = self.module(name, directory, installer_exit=0 if passes else 1)
                self.serve_package(v3)
                self.run_passes(answer(v3.item(1, 14)))
                if passes:
                    self.assertEqual({"admin/%s.sh" % s: v3.script_text(s).encode() for s in v3.installed_scripts()},
                                     {path: item[1] for path, item in host.tree(directory).items() if path != "admin"})
                    self.assertEqual([(14, 140, 0, "install succ.")], self.reports())
                else:
                    self.assertEqual(good, host.tree(directory))
                    self.assertEqual([(14, 140, 5, "execute ../quillmar_install, ret = 1")], self.reports())
                self.assertFalse(os.path.lexists(backup))
                # The backup step found v1 in the backup and put it back first.
                entries = self.log_entries()
                at = entries.index(("INFO", "backup %s succ." % directory))
                self.assertEqual(("INFO", "roll back %s succ." % directory), entries[at - 1])


if __name__ == "__main__":
    unittest.main()
