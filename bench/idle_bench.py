#!/usr/bin/env python3
"""The agent idle between cycles, beside a program that links the same
libraries, posts once and sleeps (bench/idle_baseline.cpp): RSS, PSS,
anonymous memory and threads while asleep, and context switches (wake-ups)
per interval and inside the idle part of an interval. Three processes are
measured one after another: the agent watching N modules (each probe one
/bin/sh start script that says "running"), the agent watching none, and the
baseline. Only cycle 0 reconciles (checktime is set high), so the cycles
measured are the steady ones. With --items N the first agent's answer also
carries N more modules to keep, watched but never installed (so never
probed): the agent then sleeps after a pass of that many items.

Runs the real binary inside the end-to-end sandbox (private /run, /dev/log,
eth0), with the sleep shim of the e2e tests in every process, the baseline's
included: an interval of 60 s lasts 60 x --scale-ms milliseconds.

    python3 bench/idle_bench.py [--build build] [--modules 100] [--items 0] [--intervals 4] [--scale-ms 50]
"""

import argparse
import os
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--modules", type=int, default=100)
    parser.add_argument("--items", type=int, default=0, help="further items of the first agent's answer, not probed")
    parser.add_argument("--intervals", type=int, default=4, help="intervals measured per process")
    parser.add_argument("--scale-ms", type=int, default=50, help="real milliseconds per second of sleep")
    return parser.parse_args()


def reenter_in_sandbox(args):
    build = os.path.abspath(args.build)
    env = dict(os.environ, QUILLMAR_BIN=os.path.join(build, "bin", "quillmar"),
               QUILLMAR_SLEEP_SHIM=os.path.join(build, "lib", "libsleep_shim.so"), QUILLMAR_SOURCE=SOURCE,
               QUILLMAR_IDLE_BASELINE=os.path.join(build, "bin", "idle_baseline"))
    command = [os.path.join(SOURCE, "tests", "e2e", "sandbox.sh"), sys.executable] + sys.argv
    sys.exit(subprocess.call(command, env=env))


def status(pid, task=None):
    path = "/proc/%d/task/%d/status" % (pid, task) if task else "/proc/%d/status" % pid
    with open(path) as stream:
        return dict(line.rstrip("\n").split(":\t", 1) for line in stream if ":\t" in line)


def rollup(pid):
    with open("/proc/%d/smaps_rollup" % pid) as stream:
        return {line.split(":")[0]: int(line.split()[1]) for line in stream if line.endswith("kB\n")}


def switches(pid):
    """Context switches so far, per thread (tid -> voluntary + involuntary)."""
    found = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            fields = status(pid, int(task))
        except OSError:
            continue
        found[int(task)] = int(fields["voluntary_ctxt_switches"]) + int(fields["nonvoluntary_ctxt_switches"])
    return found


def measure(name, pid, sleep_log, interval_s, intervals):
    """Wait for a steady sleep, then sample: memory while asleep, switches
    per interval (sleep start to sleep start) and inside each interval's
    idle part (from 10 % to 90 % of the sleep)."""
    import host

    def sleeps():
        return len(host.read_sleep_log(sleep_log))

    def next_sleep(after):
        host.wait_until(lambda: sleeps() > after, timeout=interval_s * 20 + 60, interval=0.002,
                        what="%s to sleep again" % name)
        return sleeps()

    count = next_sleep(next_sleep(sleeps()))  # past start-up and one whole cycle
    time.sleep(interval_s * 0.1)
    memory = status(pid)
    smaps = rollup(pid)
    per_interval, idle = [], []
    start = switches(pid)
    for _ in range(intervals):
        quiet = switches(pid)
        time.sleep(interval_s * 0.8)
        idle.append(sum(switches(pid).values()) - sum(quiet.values()))
        count = next_sleep(count)
        time.sleep(interval_s * 0.1)
    end = switches(pid)
    grown = int(status(pid)["VmRSS"].split()[0]) - int(memory["VmRSS"].split()[0])
    total = sum(end.values()) - sum(start.values())
    main = end.get(pid, 0) - start.get(pid, 0)
    return {"name": name, "rss": int(memory["VmRSS"].split()[0]), "pss": smaps.get("Pss", 0),
            "private": smaps.get("Private_Clean", 0) + smaps.get("Private_Dirty", 0),
            "anon": smaps.get("Anonymous", 0), "threads": int(memory["Threads"]),
            "per_interval": total / intervals, "main_per_interval": main / intervals,
            "idle": max(idle), "grown": grown, "intervals": intervals}


def run_agent(args, modules, interval_s, extra_items=0):
    import host
    from host import Reply, StandinServer

    server = StandinServer().start()
    root = host.InstallRoot()
    try:
        server.on_get(host.UUID_PATH, default=Reply(body=host.UUID, content_type="text/plain"))
        timeline = host.Timeline(os.path.join(root.area, "timeline"))
        os.makedirs(root.modules_dir)
        items = []
        for i in range(modules):
            module = host.Module(root.area, timeline, "module-%d" % i, os.path.join(root.area, "module-%d" % i),
                                 trystart=(1,))
            module.write_scripts()
            root.mark_installed(module.name)
            items.append({"status": 0, "moduleId": 100 + i, "fileId": 1000 + i, "name": module.name,
                          "installPath": module.directory})
        # No marker: watched, but never probed.
        for i in range(extra_items):
            n = 1000000 + i
            items.append({"status": 0, "moduleId": n, "fileId": n, "name": "item-%d" % n,
                          "installPath": "../items/item-%d" % n, "uri": "http://repo.example/packages/item-%d.bin" % n,
                          "md5": "0123456789abcdef0123456789abcdef"})
        server.on_post("CheckModules", default=Reply({"returnCode": 0, "returnData": items}))
        root.write_conf({"checktime": 1000000, "interval": 60, "url": server.http_url + "/quillmar", "timeout": 10,
                         "metadata_url": server.http_url + host.UUID_PATH})
        agent = root.start_agent(scale_ms=args.scale_ms)
        try:
            name = "agent, %d modules" % modules + (" + %d items" % extra_items if extra_items else "")
            result = measure(name, agent.pid, agent.sleep_log, interval_s, args.intervals)
            if modules:
                result["probes_per_interval"] = modules
            return result
        finally:
            agent.kill()
    finally:
        root.cleanup()
        server.stop()


def run_baseline(args, interval_s):
    import host
    from host import StandinServer

    server = StandinServer().start()
    workdir = host.tempfile.mkdtemp(prefix="quillmar-idle-")
    sleep_log = os.path.join(workdir, "sleeps")
    try:
        process = subprocess.Popen([os.environ["QUILLMAR_IDLE_BASELINE"], server.http_url + "/baseline", "60"],
                                   env=host.agent_env(sleep_log, args.scale_ms), stdout=subprocess.DEVNULL)
        try:
            return measure("baseline", process.pid, sleep_log, interval_s, args.intervals)
        finally:
            process.kill()
            process.wait()
    finally:
        host.shutil.rmtree(workdir, True)
        server.stop()


def main():
    args = parse_args()
    if not os.environ.get("QUILLMAR_E2E_SANDBOX"):
        reenter_in_sandbox(args)
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    interval_s = 60 * args.scale_ms / 1000.0
    results = [run_agent(args, args.modules, interval_s, args.items), run_agent(args, 0, interval_s),
               run_baseline(args, interval_s)]
    base = results[-1]
    print("interval: 60 s asked, %.1f s slept (sleep shim, %d ms per second); %d intervals each"
          % (interval_s, args.scale_ms, args.intervals))
    print("%-34s %8s %8s %8s %8s %8s %12s %8s %11s %10s" % (
        "", "RSS KiB", "PSS KiB", "private", "anon KiB", "threads", "switches/iv", "main/iv", "while idle",
        "RSS grown"))
    for r in results:
        print("%-34s %8d %8d %8d %8d %8d %12.1f %8.1f %11d %10d" % (
            r["name"], r["rss"], r["pss"], r["private"], r["anon"], r["threads"], r["per_interval"],
            r["main_per_interval"], r["idle"], r["grown"]))
    print("PSS shares pages with whatever else maps them at the time (it moves between runs); private: the "
          "process's own pages.\nswitches/iv: context switches of all threads per interval (main/iv: the main "
          "thread's); while idle: the most in the idle 80 % of one interval; RSS grown: over the intervals measured")
    for r in results[:-1]:
        print("%-34s RSS %.2fx, PSS %.2fx, private %.2fx, anonymous %.2fx the baseline" % (
            r["name"], r["rss"] / base["rss"], r["pss"] / base["pss"], r["private"] / base["private"],
            r["anon"] / base["anon"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
