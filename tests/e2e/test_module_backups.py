"""What becomes of a module's backup once it is no longer the last good copy:
after a passed restart guard (even when its delete fails on a mount inside it,
the agent is killed half-way through it, or the module's name is too long for
the name it is set aside under) and after an uninstall order, nothing of it is
put back over the module by a later install; "m/" and "m/." share the backup
of "m". A mounted directory inside the old version keeps every file, and a
rollback to a path ending in ".." deletes nothing of the directory it names."""

import hashlib
import os
import re
import signal
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected  # noqa: E402
import host  # noqa: E402
import test_module_flows as flows  # noqa: E402

KILL_SHIM = os.path.abspath(os.environ["QUILLMAR_KILL_SHIM"]) if os.environ.get("QUILLMAR_KILL_SHIM") else ""
FAILED = "execute ../quillmar_install, ret = 1"


def layout(directory, label):
    """Shell text that lays a version's own files into `directory`: files of
    several modes, a directory and a symbolic link, their texts naming
    `label`."""
    d = host._quote(directory)
    return "\n".join([
        "mkdir -p %s/conf %s/bin" % (d, d),
        "printf '%%s' '%s settings' > %s/conf/app.conf && chmod 600 %s/conf/app.conf" % (label, d, d),
        "printf '%%s' '%s data' > %s/data.db && chmod 640 %s/data.db" % (label, d, d),
        "printf '#!/bin/sh\\n' > %s/bin/run && chmod 755 %s/bin/run" % (d, d),
        "ln -s conf %s/current" % d,
    ])


def running(script):
    """Pids of the processes whose command line names `script` (the script
    and the shell the agent runs it in), once one of them waits on a named
    pipe; [] before."""
    pids = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as stream:
                if script.encode() in stream.read():
                    pids.append(int(entry))
        except OSError:
            continue
    return pids if any(host.waits_on_fifo(pid) for pid in pids) else []


class ModuleBackupTest(expected.ReportTestCase):
    run_passes = flows.ModuleFlowTest.run_passes
    reports = flows.ModuleFlowTest.reports

    def old_version(self, name, label="v1"):
        """A module installed earlier at <area>/<name>: its scripts and layout()."""
        module = self.module(name, os.path.join(self.root.area, name))
        module.write_scripts()
        subprocess.run(["sh", "-c", layout(module.directory, label)], check=True)
        return module

    def failing_version(self, name):
        """v3, served: its installer writes part of itself into the module
        directory, then exits 1."""
        directory = os.path.join(self.root.area, name)
        module = self.module(name, directory, installer_exit=1,
                             installer_extra="echo v3 > %s/part" % host._quote(directory))
        self.serve_package(module)
        return module

    def backups(self, directory):
        """Names beside `directory` that its backups go by: "<last>.QUILLMAR"
        and whatever follows it, or a name set aside whose own part is <last>
        cut short so that it is as long as the directory takes."""
        last = os.path.basename(directory)
        parent = os.path.dirname(directory)
        limit = os.pathconf(parent, "PC_NAME_MAX")

        def named(name):
            cut = re.fullmatch(r"(.*)\.QUILLMAR\.discarded\.\d+", name)
            return name.startswith(last + ".QUILLMAR") or bool(
                cut and len(name) == limit and last.startswith(cut.group(1)))
        return sorted(filter(named, os.listdir(parent)))

    def mount(self, source, target, read_only):
        """Bind `source` at the directory `target`; every mount below the
        area goes before the area is deleted, which never reaches through
        one."""
        os.mkdir(target)
        subprocess.run(["mount", "--bind", source, target], check=True)
        if read_only:
            subprocess.run(["mount", "-o", "remount,bind,ro", target], check=True)
        if not getattr(self, "_unmounts", False):
            self._unmounts = True
            self.addCleanup(self.unmount_below, self.root.area)

    @staticmethod
    def unmount_below(area):
        with open("/proc/self/mountinfo") as stream:
            points = [line.split()[4] for line in stream]
        # Later mounts first: one may lie inside another.
        for point in reversed(points):
            if point.startswith(area + "/"):
                subprocess.run(["umount", "-l", point], check=True)

    def check_v2_kept(self, directory, v2_tree, id_file, entries):
        """After the failing install v3: the module is v2 as installed, no
        backup is there to be restored, and the backup step put nothing back
        before it moved v2 aside."""
        self.assertEqual(v2_tree, host.tree(directory))
        self.assertFalse(os.path.lexists(directory + ".QUILLMAR"))
        self.assertEqual([id_file + (5, FAILED)], self.reports())
        rollback = ("INFO", "roll back %s succ." % directory)
        backup = entries.index(("INFO", "backup %s succ." % directory))
        self.assertEqual([backup + 2], [i for i, entry in enumerate(entries) if entry == rollback])
        self.assertEqual(("INFO", FAILED), entries[backup + 1])

    def test_a_passed_guard_is_not_undone_by_a_mount_its_backup_delete_left(self):
        """v1 holds a bind mount of an outside directory (read-only, or
        read-write); v2 passes its guard and v1's delete fails at the mount,
        which it never enters; v3's installer fails: v2 comes back, not what
        was left of v1, and the outside directory keeps every file. A module
        name of 240 bytes has its backup set aside under a name cut to the
        255 bytes a name can have."""
        for name, read_only, aside in (("vol-ro", True, "vol-ro.QUILLMAR.discarded.1"),
                                       ("vol-rw", False, "vol-rw.QUILLMAR.discarded.1"),
                                       ("l" * 240, False, "l" * 234 + ".QUILLMAR.discarded.1")):
            with self.subTest(length=len(name), read_only=read_only):
                self.fresh_run()
                outside = os.path.join(self.root.area, name + "-outside")
                os.makedirs(os.path.join(outside, "sub"))
                for path, text, mode in (("a.log", "a\n", 0o640), ("b.bin", "\x00\x01", 0o600),
                                         ("sub/c", "c\n", 0o644)):
                    with open(os.path.join(outside, path), "w") as stream:
                        stream.write(text)
                    os.chmod(os.path.join(outside, path), mode)
                outside_tree = host.tree(outside)
                v1 = self.old_version(name)
                directory = v1.directory
                self.mount(outside, os.path.join(directory, "data"), read_only)

                v2 = self.module(name, directory, installer_extra=layout(directory, "v2"))
                self.serve_package(v2)
                self.run_passes(flows.answer(v2.item(1, 21, 210)))
                self.assertEqual([(21, 210, 0, "install succ.")], self.reports())
                self.assertEqual(outside_tree, host.tree(outside))
                first_run = self.log_entries()
                v2_tree = host.tree(directory)
                self.assertEqual((stat.S_IFLNK | 0o777, "conf"), v2_tree["current"])
                self.assertEqual((stat.S_IFREG | 0o600, b"v2 settings"), v2_tree["conf/app.conf"])

                self.fresh_run()
                v3 = self.failing_version(name)
                self.run_passes(flows.answer(v3.item(1, 21, 211)))
                self.check_v2_kept(directory, v2_tree, (21, 211), self.log_entries())
                self.assertEqual(outside_tree, host.tree(outside))
                self.assertIn(("ERROR", "delete %s/data failed: remove error" % os.path.join(self.root.area, aside)),
                              first_run)
                # What the delete left is only ever beside the module under the aside name.
                self.assertEqual([aside], self.backups(directory))

    @unittest.skipUnless(KILL_SHIM, "QUILLMAR_KILL_SHIM is not set")
    def test_an_agent_killed_while_it_deletes_a_passed_backup_never_restores_it(self):
        """The agent is killed with -9 while it deletes v1's backup after v2
        passed its guard (v2 is not reported then). Started again, a failing
        v3 leaves v2 exactly and v1's leftovers untouched where no backup
        step looks; the next install that passes its guard clears them."""
        name = "killed"
        v1 = self.old_version(name)
        directory = v1.directory
        os.mkdir(os.path.join(directory, "files"))
        for n in range(200):
            with open(os.path.join(directory, "files", "f%03d" % n), "w") as stream:
                stream.write("v1 %d\n" % n)
        v2 = self.module(name, directory, installer_extra=layout(directory, "v2"))
        self.serve_package(v2)
        self.server.on_post("CheckModules", flows.answer(v2.item(1, 41, 410)), flows.HANG)
        preload = ":".join(p for p in (KILL_SHIM, host.agent_env().get("LD_PRELOAD")) if p)
        agent = self.start_agent(env={"LD_PRELOAD": preload, "QUILLMAR_KILL_AT_UNLINK": "f100"})
        self.assertEqual(-signal.SIGKILL, agent.wait())
        v2_tree = host.tree(directory)
        self.assertEqual((stat.S_IFREG | 0o600, b"v2 settings"), v2_tree["conf/app.conf"])
        # Killed half-way: the chosen file is left, some of the others are gone.
        leftovers = {n: host.tree(os.path.join(self.root.area, n)) for n in self.backups(directory)}
        kept = [path for tree in leftovers.values() for path in tree if path.startswith("files/")]
        self.assertIn("files/f100", kept)
        self.assertLess(len(kept), 200)

        self.fresh_run()
        v3 = self.failing_version(name)
        self.run_passes(flows.answer(v3.item(1, 41, 411)))
        self.check_v2_kept(directory, v2_tree, (41, 411), self.log_entries())
        self.assertEqual(leftovers, {n: host.tree(os.path.join(self.root.area, n)) for n in self.backups(directory)})

        self.fresh_run()
        v4 = self.module(name, directory)
        self.serve_package(v4)
        self.run_passes(flows.answer(v4.item(1, 41, 412)))
        self.assertEqual([(41, 412, 0, "install succ.")], self.reports())
        self.assertEqual([], self.backups(directory))

    def test_an_uninstall_leaves_no_backup_of_an_install_killed_in_its_guard(self):
        """v2 is killed in its guard (v1 in the backup); an uninstall order
        whose script removes the module, then a failing v3: the module stays
        absent and no backup is left beside it."""
        name = "gone"
        v1 = self.old_version(name)
        directory = v1.directory
        v1_tree = host.tree(directory)
        hold = os.path.join(self.root.area, name + ".hold")
        os.mkfifo(hold)
        trystart = "#!/bin/sh\nread line < %s\n" % host._quote(hold)
        uninstall = "#!/bin/sh\nrm -rf %s\n" % host._quote(directory)
        v2 = self.module(name, directory, scripts={"trystart": trystart, "uninstall": uninstall})
        self.serve_package(v2)
        self.server.on_post("CheckModules", flows.answer(v2.item(1, 31, 310)), flows.HANG)
        agent = self.start_agent()
        probe = host.wait_until(lambda: running(v2.script_path("trystart")), what="the first probe of v2 to block")
        for pid in [agent.pid] + probe:
            host.kill_and_wait(pid)
        self.assertEqual(uninstall.encode(), host.tree(directory)["admin/uninstall.sh"][1])
        self.assertEqual(v1_tree, host.tree(directory + ".QUILLMAR"))

        self.fresh_run()
        v3 = self.failing_version(name)
        self.run_passes(flows.answer(v2.item(-1, 31, 311)), flows.answer(v3.item(1, 31, 312)))
        self.assertEqual([(31, 311, -2, "execute %s/admin/uninstall.sh, ret = 0" % directory),
                          (31, 312, 5, FAILED)], self.reports())
        self.assertFalse(os.path.lexists(directory))
        self.assertEqual([], self.backups(directory))

    def test_a_rollback_to_a_path_ending_in_dotdot_deletes_nothing_of_the_directory_it_names(self):
        """An install to "<dir>/x/..", x not there: the backup finds nothing
        to move; the installer makes x, then it fails, or its guard does
        (<dir>/admin/trystart.sh, where the probes land, never says running).
        The rollback refuses to clear "<dir>/x/.." and fails: every file of
        the modules in <dir> is left."""
        for case, installer_exit, status, msg in (("installer", 1, 5, FAILED),
                                                  ("guard", 0, 6, "restart more than 3 times in 5 minute.")):
            with self.subTest(case=case):
                self.fresh_run()
                directory = os.path.join(self.root.area, "modules-" + case)
                script = ["mkdir -p %s/admin" % host._quote(directory),
                          "printf '#!/bin/sh\\nexit 0\\n' > %s/admin/trystart.sh" % host._quote(directory),
                          "chmod 755 %s/admin/trystart.sh" % host._quote(directory),
                          "printf 'notes' > %s/notes && chmod 444 %s/notes" % ((host._quote(directory),) * 2)]
                for sibling in ("alpha", "beta"):
                    script.append(layout(os.path.join(directory, sibling), sibling))
                subprocess.run(["sh", "-c", "\n".join(script)], check=True)
                siblings = host.tree(directory)
                self.assertEqual((stat.S_IFREG | 0o600, b"beta settings"), siblings["beta/conf/app.conf"])

                path = os.path.join(directory, "x", "..")
                module = self.module("up-" + case, path)
                package = ("#!/bin/sh\nmkdir %s\nexit %d\n"
                           % (host._quote(os.path.join(directory, "x")), installer_exit)).encode()
                self.serve_package(module, data=package)
                self.run_passes(flows.answer(module.item(1, 61, 610, md5=hashlib.md5(package).hexdigest())))
                self.assertEqual([(61, 610, status, msg)], self.reports())
                # The installer's x aside, the directory is as it was.
                self.assertEqual(siblings, {p: v for p, v in host.tree(directory).items() if p != "x"})
                entries = self.log_entries()
                refused = entries.index(("ERROR", "delete %s failed: remove error" % path))
                self.assertEqual([("ERROR", "move failed, rmdir %s error." % path),
                                  ("ERROR", "roll back %s failed." % path)], entries[refused + 1:refused + 3])

    def kill_before_the_module_is_made(self, name, made=""):
        """v1 installed at <area>/<name>; the agent is killed with -9 while
        the installer of v2 waits on a named pipe, after only the shell text
        `made`, and so are the installer and the shell it runs in: v1 is the
        backup. Returns v1's Module."""
        v1 = self.old_version(name)
        v1_tree = host.tree(v1.directory)
        hold = os.path.join(self.root.area, name + ".hold")
        os.mkfifo(hold)
        package = ("#!/bin/sh\n%s\nread line < %s\n" % (made, host._quote(hold))).encode()
        self.serve_package(v1, data=package)
        self.server.on_post("CheckModules", flows.answer(v1.item(1, 51, 510, md5=hashlib.md5(package).hexdigest())),
                            flows.HANG)
        agent = self.start_agent()
        installer = host.wait_until(lambda: running("quillmar_install"), what="the installer of v2 to block")
        for pid in [agent.pid] + installer:
            host.kill_and_wait(pid)
        self.assertEqual(v1_tree, host.tree(v1.directory + ".QUILLMAR"))
        return v1

    def test_a_guard_passed_at_m_slash_discards_the_backup_of_m(self):
        """v2 is killed before its installer makes the module (v1 in the
        backup, the module absent); v3, installed to "<m>/" or "<m>/.",
        passes its guard; v4 to "<m>" fails: v3 comes back exactly, not v1,
        and no backup is left."""
        for suffix in ("/", "/."):
            with self.subTest(suffix=suffix):
                self.fresh_run()
                name = "passed" + suffix.replace("/", "-slash").replace(".", "-dot")
                directory = self.kill_before_the_module_is_made(name).directory
                self.assertFalse(os.path.lexists(directory))

                self.fresh_run()
                v3 = self.module(name, directory + suffix, installer_extra=layout(directory, "v3"))
                self.serve_package(v3)
                self.run_passes(flows.answer(v3.item(1, 51, 511)))
                self.assertEqual([(51, 511, 0, "install succ.")], self.reports())
                v3_tree = host.tree(directory)
                self.assertEqual((stat.S_IFREG | 0o600, b"v3 settings"), v3_tree["conf/app.conf"])

                self.fresh_run()
                v4 = self.failing_version(name)
                self.run_passes(flows.answer(v4.item(1, 51, 512)))
                self.check_v2_kept(directory, v3_tree, (51, 512), self.log_entries())
                self.assertEqual([], self.backups(directory))

    def test_an_uninstall_of_m_slash_discards_the_backup_of_m(self):
        """v2 is killed in its installer after it wrote only its uninstall
        script (v1 in the backup); an uninstall ordered for "<m>/" or
        "<m>/." runs that script, which removes the module; a failing v3 to
        "<m>": the module stays absent and no backup is left."""
        for suffix in ("/", "/."):
            with self.subTest(suffix=suffix):
                self.fresh_run()
                name = "removed" + suffix.replace("/", "-slash").replace(".", "-dot")
                directory = os.path.join(self.root.area, name)
                uninstall = os.path.join(directory, "admin", "uninstall.sh")
                made = "\n".join(["mkdir -p %s" % host._quote(os.path.dirname(uninstall)),
                                  "cat > %s <<'END'" % host._quote(uninstall),
                                  "#!/bin/sh", "rm -rf %s" % host._quote(directory), "END",
                                  "chmod 755 %s" % host._quote(uninstall)])
                v2 = self.kill_before_the_module_is_made(name, made)
                self.assertEqual(["admin", "admin/uninstall.sh"], sorted(host.tree(directory)))

                self.fresh_run()
                v3 = self.failing_version(name)
                self.run_passes(flows.answer(v2.item(-1, 51, 511, installPath=directory + suffix)),
                                flows.answer(v3.item(1, 51, 512)))
                self.assertEqual([(51, 511, -2, "execute %s%s/admin/uninstall.sh, ret = 0" % (directory, suffix)),
                                  (51, 512, 5, FAILED)], self.reports())
                self.assertEqual({}, host.tree(directory))
                self.assertFalse(os.path.lexists(directory))
                self.assertEqual([], self.backups(directory))


if __name__ == "__main__":
    unittest.main()
