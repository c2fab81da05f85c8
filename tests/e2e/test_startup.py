"""Start-up of the real binary: the change into its own directory, the
command line, daemon set-up, the single-instance pid lock and the system-log
messages of their failures.

Most tests hold the agent still right after start-up by making its settings
file a named pipe (InstallRoot.block_on_settings): the agent then waits in
its first settings lookup, with its directory, descriptors, umask and pid
lock in place, for as long as the test looks; teardown kills it."""

import os
import resource
import signal
import stat
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host  # noqa: E402

LOG_USER, LOG_ERR = 1, 3


class StartupTest(host.AgentTestCase):
    def wait_held(self, pid):
        """Wait until `pid` sits in its settings lookup (block_on_settings)."""
        def held():
            if host.process_state(pid) is None:
                raise AssertionError("pid %d ended before its settings lookup" % pid)
            return host.waits_on_fifo(pid)
        host.wait_until(held, what=lambda: "pid %d to open the settings pipe: %r" % (pid, host.process_state(pid)))
        return host.process_state(pid)

    def wait_daemon(self):
        """The pid of the root's process that sits in its settings lookup: the
        daemon, once its intermediate parents are gone."""
        return host.wait_until(lambda: next((p for p in self.root.processes() if host.waits_on_fifo(p)), None),
                               what=lambda: "a daemon in its settings lookup; processes %r" % self.root.processes())

    def assert_already_running(self, message):
        self.assertEqual((LOG_USER, LOG_ERR, "quillmar already running"),
                         (message.facility, message.severity, message.text))

    def assert_pid_file_names(self, pid):
        self.assertEqual(b"%d\0" % pid, host.read_pid_file())
        self.assertEqual(pid, host.pid_lock_holder())

    def test_runs_in_the_real_executable_directory(self):
        """Started by its path, or through a symbolic link in a directory whose
        ../etc and ../logs would also do, the agent works in the real bin/."""
        self.root.block_on_settings()
        decoy = host.InstallRoot()
        self.addCleanup(decoy.cleanup)
        decoy.write_conf(self.base_conf(url=self.server.http_url + "/decoy"))
        link = os.path.join(decoy.bin_dir, "quillmar-link")
        os.symlink(self.root.exe, link)
        for name, exe, cwd in (("path", self.root.exe, "/"), ("symlink", link, decoy.bin_dir)):
            with self.subTest(name):
                try:
                    agent = self.start_agent(exe=exe, cwd=cwd)
                    self.assertEqual(self.root.bin_dir, self.wait_held(agent.pid)["cwd"])
                finally:
                    self.root.kill_all()
        self.assertEqual([], self.server.requests())
        self.assertEqual("", decoy.read_log())
        self.assertFalse(os.path.exists(decoy.first_run_marker))

    def test_reads_the_settings_of_the_real_executable_directory(self):
        """Through a symbolic link: the start report goes to the url of the
        real installation's settings, not of the link's."""
        self.root.write_conf(self.base_conf(url=self.server.http_url + "/real"))
        decoy = host.InstallRoot()
        self.addCleanup(decoy.cleanup)
        decoy.write_conf(self.base_conf(url=self.server.http_url + "/decoy"))
        link = os.path.join(decoy.bin_dir, "quillmar-link")
        os.symlink(self.root.exe, link)
        agent = self.start_agent(exe=link, cwd=decoy.bin_dir)
        report, = self.server.wait_for("SendLogs")
        self.assertEqual("/real", report.path)
        self.assertTrue(agent.running(), agent.describe())
        self.assertEqual([], self.server.requests(path="/decoy"))
        # And it logs to the real installation's ../logs.
        self.root.wait_for_log("Quillmar Agent begin to run, request url: %s/real" % self.server.http_url)
        self.assertEqual("", decoy.read_log())

    def test_pid_file_holds_the_pid_and_one_nul(self):
        """Also over an older, longer content; the lock covers the whole file."""
        self.root.block_on_settings()
        for name, old in (("new file", None), ("longer old content", b"123456789012345678\n\0junk\n")):
            with self.subTest(name):
                if old is not None:
                    with open(host.PID_FILE, "wb") as stream:
                        stream.write(old)
                try:
                    agent = self.start_agent()
                    self.wait_held(agent.pid)
                    self.assert_pid_file_names(agent.pid)
                    # Past the first byte, from the file's end, and far beyond it.
                    size = os.path.getsize(host.PID_FILE)
                    for start, length in ((1, 1), (size, 0), (1 << 40, 1)):
                        self.assertEqual(agent.pid, host.pid_lock_holder(start=start, length=length),
                                         (start, length))
                finally:
                    self.root.kill_all()

    def test_pid_file_mode_follows_the_umask_in_the_foreground_but_not_as_daemon(self):
        self.root.block_on_settings()
        for args, expected in (([], 0o600), (["-d"], 0o644)):
            with self.subTest(args=args):
                if os.path.exists(host.PID_FILE):
                    os.remove(host.PID_FILE)
                try:
                    launcher = self.start_agent(*args, umask=0o077)
                    self.wait_held(launcher.pid) if not args else self.wait_daemon()
                    self.assertEqual(oct(expected), oct(stat.S_IMODE(os.stat(host.PID_FILE).st_mode)))
                finally:
                    self.root.kill_all()

    def test_second_instance_exits_1_and_leaves_the_pid_file(self):
        """Against a lock held by a running agent, and by a stand-in holder."""
        self.root.block_on_settings()
        first = self.start_agent()
        self.wait_held(first.pid)
        second = self.run_agent()
        self.assertEqual(1, second.returncode, second.describe())
        self.assert_already_running(self.syslog.wait_for("already running"))
        self.assert_pid_file_names(first.pid)
        self.assertTrue(first.running())
        self.root.kill_all()

        self.syslog.clear()
        holder = self.hold_pid_lock(content=b"999999\0")
        second = self.run_agent()
        self.assertEqual(1, second.returncode, second.describe())
        self.assert_already_running(self.syslog.wait_for("already running"))
        self.assertEqual(b"999999\0", host.read_pid_file())
        self.assertEqual(holder.pid, host.pid_lock_holder())

    def test_daemon_detaches_with_standard_descriptors_on_dev_null_and_umask_0(self):
        self.root.block_on_settings()
        # A descriptor the launcher passes down must not reach the daemon.
        inherited = open(os.path.join(self.root.path, "inherited"), "wb")
        self.addCleanup(inherited.close)
        launcher = self.run_agent("-d", pass_fds=[inherited.fileno()], umask=0o022)
        self.assertEqual(0, launcher.returncode, launcher.describe())
        daemon = self.wait_daemon()
        state = host.process_state(daemon)
        self.assertEqual({0: "/dev/null", 1: "/dev/null", 2: "/dev/null"},
                         {fd: state["fds"][fd] for fd in (0, 1, 2)})
        self.assertNotIn(inherited.name, state["fds"].values())
        self.assertEqual(0, state["umask"])
        self.assertEqual(self.root.bin_dir, state["cwd"])
        self.assertNotEqual(os.getsid(0), os.getsid(daemon))  # a session of its own
        self.assert_pid_file_names(daemon)
        self.assertEqual("", launcher.stdout + launcher.stderr)

    def test_daemon_ignores_sighup_and_closes_descriptors_up_to_a_high_hard_limit(self):
        """A launcher with the highest hard descriptor limit it can have (the
        kernel's fs.nr_open, or the inherited one without the right to raise
        it) and an inherited descriptor at the top of its table; SIGHUP at
        its default, so that only the daemon set-up can ignore it."""
        self.root.block_on_settings()
        old_limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, old_limits)
        with open("/proc/sys/fs/nr_open") as stream:
            hard = int(stream.read())
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (old_limits[0], hard))  # of this process only
        except (ValueError, OSError):  # no CAP_SYS_RESOURCE
            hard = old_limits[1]
        high = min(hard, 1 << 20) - 1  # a table of 2^20 descriptors takes 8 MiB; no more
        if high < 1024:
            self.skipTest("a hard descriptor limit of %d shows nothing that 1024 would not" % hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (high + 1, hard))
        inherited = open(os.path.join(self.root.path, "inherited"), "wb")
        self.addCleanup(inherited.close)
        os.dup2(inherited.fileno(), high)
        self.addCleanup(os.close, high)
        self.addCleanup(signal.signal, signal.SIGHUP, signal.signal(signal.SIGHUP, signal.SIG_DFL))

        launcher = self.run_agent("-d", pass_fds=[high])
        self.assertEqual(0, launcher.returncode, launcher.describe())
        state = host.process_state(self.wait_daemon())
        # Only the standard descriptors and the pid file's, which holds the lock.
        self.assertEqual({0: "/dev/null", 1: "/dev/null", 2: "/dev/null", 3: os.path.realpath(host.PID_FILE)},
                         state["fds"])
        self.assertTrue(int(state["status"]["SigIgn"], 16) & (1 << (signal.SIGHUP - 1)), state["status"]["SigIgn"])

    def test_daemon_while_an_agent_runs(self):
        """The command succeeds; the daemon then finds the lock taken."""
        holder = self.hold_pid_lock(content=b"4242\0")
        launcher = self.run_agent("-d")
        self.assertEqual(0, launcher.returncode, launcher.describe())
        self.assert_already_running(self.syslog.wait_for("already running"))
        host.wait_until(lambda: not self.root.processes(), what="the refused daemon to end")
        self.assertEqual(b"4242\0", host.read_pid_file())
        self.assertEqual(holder.pid, host.pid_lock_holder())

    def test_reset_takes_no_pid_lock(self):
        """"-r" (also before "-d") runs while another instance holds the lock
        and ends with status 0; it neither daemonises nor touches the pid file."""
        holder = self.hold_pid_lock(content=b"4242\0")
        for count, args in enumerate((["-r"], ["-r", "-d"]), 1):
            with self.subTest(args=args):
                agent = self.run_agent(*args)
                self.assertEqual((0, "reset state succ.\n"), (agent.returncode, agent.stdout), agent.describe())
                self.assertEqual([], self.root.processes())
                self.assertEqual(count, len(self.server.requests("ResetState")))
        self.assertEqual([], self.syslog.messages())
        self.assertEqual(b"4242\0", host.read_pid_file())
        self.assertEqual(holder.pid, host.pid_lock_holder())

    def test_only_the_first_argument_counts_and_unknown_ones_run_in_the_foreground(self):
        """Any first argument but "-d" and "-r" (case and spelling included)
        takes the pid lock in the foreground like no argument."""
        self.hold_pid_lock()
        for args in (["-D"], ["-R"], ["--d"], ["-dr"], ["x", "-d"], ["", "-r"]):
            with self.subTest(args=args):
                self.syslog.clear()
                agent = self.run_agent(*args)
                self.assertEqual(1, agent.returncode, agent.describe())
                self.assert_already_running(self.syslog.wait_for("already running"))
                self.assertEqual([], self.root.processes())

    def test_unknown_first_argument_runs_in_the_foreground(self):
        """"-D" is no "-d": the started process itself takes the lock and runs
        the service loop."""
        agent = self.start_agent("-D")
        self.server.wait_for("SendLogs")
        self.assertTrue(agent.running(), agent.describe())
        self.assert_pid_file_names(agent.pid)
        self.assertEqual([agent.pid], self.root.processes())

    def test_d_before_r_runs_a_daemon(self):
        self.root.block_on_settings()
        launcher = self.run_agent("-d", "-r")
        self.assertEqual(0, launcher.returncode, launcher.describe())
        self.assert_pid_file_names(self.wait_daemon())

    def test_pid_file_that_cannot_be_opened(self):
        os.mkdir(host.PID_FILE)
        self.addCleanup(os.rmdir, host.PID_FILE)
        agent = self.run_agent()
        self.assertEqual(1, agent.returncode, agent.describe())
        message = self.syslog.wait_for("can't open")
        self.assertEqual("can't open %s: %s" % (host.PID_FILE, os.strerror(21)), message.text)  # EISDIR
        self.assertEqual(LOG_ERR, message.severity)

    def test_executable_path_too_long_for_its_buffer(self):
        """An executable whose full path does not fit 4096 bytes cannot anchor
        the agent: system log message, status 1."""
        top = os.path.join(self.root.path, "deep")
        os.mkdir(top)
        fd = os.open(top, os.O_DIRECTORY)
        for _ in range(21):  # 21 * 200 bytes of path
            name = "d" * 199
            os.mkdir(name, dir_fd=fd)
            deeper = os.open(name, os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = deeper
        with open(self.root.exe, "rb") as source:
            copy = os.open("quillmar", os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=fd)
            os.write(copy, source.read())
            os.close(copy)
        self.addCleanup(os.close, fd)
        agent = self.run_agent(exe="./quillmar", cwd="/proc/self/fd/%d" % fd, pass_fds=[fd])
        self.assertEqual(1, agent.returncode, agent.describe())
        message = self.syslog.wait_for("get current working directory failed.")
        self.assertEqual(LOG_ERR, message.severity)


if __name__ == "__main__":
    unittest.main()
