#!/usr/bin/env python3
"""The real daemon's cost: starts `Hollin -run` as root in a temporary root against the test
management server on loopback and prints one table of what it costs at idle and per request.

Run by hand from the source tree (not by CI), after building the default or ci preset:

  sudo /usr/bin/python3 bench/daemon/bench_daemon.py [--build build] [--idle-seconds 60]
                                                  [--request-minutes 3] [--mappings 15]

Requests come as fast as the daemon's own schedule sends them: config.archive sets the heartbeat,
heartbeat-ext, policy-id and upgrade intervals to their least (each task once a wheel revolution),
and the server's heartbeat replies carry a policy command with a new sequence every few seconds,
so each heartbeat also brings a policy-id and a policy-content request.

Figures, per spell, summed over all the daemon's threads (threads that end during a spell count
up to their last sample, taken every 0.25 s):
  processor time       from /proc/PID/task/TID/schedstat (nanoseconds on a processor)
  wake-ups per second  voluntary context switches of /proc/PID/task/TID/status (each one a
                       sleep that a wake-up ends); involuntary ones (preemptions) beside them
  memory               VmRSS, RssAnon and RssFile of /proc/PID/status at the spell's end
  threads, descriptors /proc/PID/task and /proc/PID/fd at the spell's end
The request spell's processor time per request has the idle rate taken off. The floor column is
bench_floor_probe, measured for an idle spell right after the daemon's: a process that only
initialises libcurl (and with it OpenSSL) and wakes once a second, which is the least any process
that links the daemon's libraries and keeps its one-second tick costs on this machine. The per-mapping
breakdown sums the Rss of /proc/PID/smaps by mapped file ([heap], [stack], [anon] otherwise).
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/server"))
from keyed_archive import write_archive  # noqa: E402

SAMPLE_SECONDS = 0.25


def write_json(path, value):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(value, f)
    os.replace(path + ".tmp", path)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Counters:
    """Per-thread processor time and context switches of one process, sampled over a spell."""

    def __init__(self, pid):
        self.pid = pid
        self.start = {}
        self.last = {}

    def sample(self):
        task_dir = "/proc/%d/task" % self.pid
        try:
            tids = os.listdir(task_dir)
        except OSError:
            return
        for tid in tids:
            sched = read("%s/%s/schedstat" % (task_dir, tid)).split()
            status = read("%s/%s/status" % (task_dir, tid))
            if not sched or not status:
                continue
            # A voluntary switch is the thread going to sleep, so each is one wake-up; involuntary
            # ones are preemptions of a running thread.
            voluntary = involuntary = 0
            for line in status.splitlines():
                if line.startswith("voluntary_ctxt_switches:"):
                    voluntary = int(line.split()[1])
                elif line.startswith("nonvoluntary_ctxt_switches:"):
                    involuntary = int(line.split()[1])
            value = (int(sched[0]), voluntary, involuntary)
            self.names[tid] = status.split("\n", 1)[0].partition(":")[2].strip()
            self.last[tid] = value
            # A thread first seen after the spell's start was born in it: all its counts are in it.
            self.start.setdefault(tid, value if self.baseline else (0, 0, 0))

    def begin(self):
        self.start, self.last, self.names, self.baseline = {}, {}, {}, True
        self.sample()
        self.baseline = False

    baseline = False

    def totals(self):
        cpu = sum(self.last[t][0] - self.start[t][0] for t in self.last)
        switches = sum(self.last[t][1] - self.start[t][1] for t in self.last)
        preempted = sum(self.last[t][2] - self.start[t][2] for t in self.last)
        return cpu / 1e9, switches, preempted

    def by_thread(self):
        """(name and tid, processor seconds, context switches) of each thread, most switches first."""
        rows = [("%s/%s" % (self.names.get(t, "?"), t), (self.last[t][0] - self.start[t][0]) / 1e9,
                 self.last[t][1] - self.start[t][1]) for t in self.last]
        return sorted(rows, key=lambda r: -r[2])


def status_figures(pid):
    figures = {}
    for line in read("/proc/%d/status" % pid).splitlines():
        key, _, rest = line.partition(":")
        if key in ("VmRSS", "RssAnon", "RssFile", "RssShmem", "Threads"):
            figures[key] = int(rest.split()[0])
    try:
        figures["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        figures["fds"] = 0
    return figures


def mapping_breakdown(pid):
    """Rss in KiB by mapped file, largest first."""
    sizes = {}
    name = None
    for line in read("/proc/%d/smaps" % pid).splitlines():
        fields = line.split()
        if not fields:
            continue
        if "-" in fields[0] and not fields[0].endswith(":"):
            name = fields[5] if len(fields) > 5 else "[anon]"
        elif fields[0] == "Rss:" and name is not None:
            sizes[name] = sizes.get(name, 0) + int(fields[1])
    return sorted(sizes.items(), key=lambda kv: -kv[1])


def requests_between(log_path, start, end):
    count = 0
    for line in read(log_path).splitlines():
        try:
            t = json.loads(line).get("time", 0)
        except ValueError:
            continue
        if start <= t < end:
            count += 1
    return count


def last_request_time(log_path):
    last = 0.0
    for line in read(log_path).splitlines():
        try:
            last = max(last, json.loads(line).get("time", 0))
        except ValueError:
            continue
    return last


def run_spell(process, seconds, on_sample=None):
    pid = process.pid
    counters = Counters(pid)
    t0 = time.time()
    counters.begin()
    while time.time() - t0 < seconds:
        time.sleep(SAMPLE_SECONDS)
        if process.poll() is not None:
            sys.exit("%s ended during the run (status %s)" % (os.path.basename(process.args[0]), process.returncode))
        counters.sample()
        if on_sample:
            on_sample()
    t1 = time.time()
    cpu, switches, preempted = counters.totals()
    return {"start": t0, "end": t1, "seconds": t1 - t0, "cpu": cpu, "switches": switches, "preempted": preempted,
            "status": status_figures(pid), "threads": counters.by_thread()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="the build folder (default: build)")
    parser.add_argument("--idle-seconds", type=float, default=45.0,
                        help="longest idle spell; it lies between two revolutions of the daemon's wheel")
    parser.add_argument("--request-minutes", type=int, default=3)
    parser.add_argument("--mappings", type=int, default=15, help="rows of the per-mapping breakdown")
    parser.add_argument("--keep", action="store_true", help="keep the temporary root")
    parser.add_argument("--hollin", default="", help="another Hollin executable to measure (an earlier build)")
    args = parser.parse_args()

    if os.geteuid() != 0:
        sys.exit("The daemon runs as root: run this script as root.")
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = os.path.abspath(os.path.join(source, args.build) if not os.path.isabs(args.build) else args.build)
    hollin = os.path.abspath(args.hollin) if args.hollin else os.path.join(build, "daemon/Hollin")
    peer = os.path.join(build, "outside/peers/PeerStandIn")
    floor_probe = os.path.join(build, "bench/bench_floor_probe")
    proto = os.path.join(build, "proto/python")
    for needed in (hollin, peer, floor_probe, os.path.join(proto, "zem_v5_pb2.py")):
        if not os.path.exists(needed):
            sys.exit("missing %s: build the targets Hollin, PeerStandIn, bench_floor_probe and "
                     "zem_proto_python first" % needed)

    root = tempfile.mkdtemp(prefix="ravaviza-bench.")
    env = dict(os.environ, RAVAVIZA_ROOT=root)
    for key in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(key, None)
    children = []
    try:
        # The device facts come from this machine (read only).
        os.symlink("/sys", os.path.join(root, "sys"))
        os.symlink("/proc", os.path.join(root, "proc"))
        script_path = os.path.join(root, "script.json")
        sequence = [1]

        def write_script():
            write_json(script_path, {
                "commands": [{"cmdType": 5, "cmdSeq": sequence[0], "deadline": 0}],
                "policies": [{"id": 12, "version": 3, "content": {"module": "wifi", "runcycle": 60,
                                                                  "content": {"ssid": "office"}}},
                             {"id": 13, "version": 1, "content": {"module": "usb", "content": {"block": True}}}],
                "config": [{"type": t, "value": "1"} for t in (3, 6, 7, 8)],
            })

        write_script()
        server_log = os.path.join(root, "requests.jsonl")
        port_file = os.path.join(root, "server.port")
        server = subprocess.Popen(["/usr/bin/python3", os.path.join(source, "tests/server/zem_server.py"),
                                   "--proto-path", proto, "--script", script_path, "--port-file", port_file,
                                   "--log", server_log], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  env=env)
        children.append(server)
        deadline = time.time() + 10
        while not read(port_file).strip():
            if time.time() > deadline or server.poll() is not None:
                sys.exit("the test management server did not start")
            time.sleep(0.05)
        port = read(port_file).strip()

        support = os.path.join(root, "Library/Application Support/RavAviza")
        product = os.path.join(root, "Users/.AllUsers/RavAviza/RavAviza.EXE$")
        write_archive(os.path.join(support, ".ZemConfig"), [["127.0.0.1", port], ["127.0.0.1", port]])
        write_archive(os.path.join(support, "record_server.archive"),
                      ("ZemNetworkInfoModel", {"networkType": 2, "record_server": "", "record_port": 0}))
        write_archive(os.path.join(product, "config.archive"),
                      [("ZemConfigModel", {"configType": t, "configValue": "1"}) for t in (3, 6, 7, 8)])

        for name in ("runner", "report"):
            out = os.path.join(root, name + ".out")
            with open(out, "w") as f:
                p = subprocess.Popen([peer, "--record", os.path.join(root, name + ".jsonl"), name],
                                     stdout=f, stderr=subprocess.STDOUT, env=env)
            children.append(p)
            deadline = time.time() + 10
            while "READY" not in read(out):
                if time.time() > deadline:
                    sys.exit("the %s stand-in did not start" % name)
                time.sleep(0.05)

        daemon = subprocess.Popen([hollin, "-run"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                                  cwd=root)
        children.append(daemon)
        started = time.time()
        deadline = started + 30
        while not read(server_log).strip():
            if time.time() > deadline or daemon.poll() is not None:
                sys.exit("the daemon sent no request")
            time.sleep(0.1)

        # Idle: a spell without requests, after the last reply has settled and before the wheel's
        # next revolution (its tasks are due a second after each minute from the start).
        while True:
            now = time.time()
            if daemon.poll() is not None:
                sys.exit("the daemon ended (status %s)" % daemon.returncode)
            if now - last_request_time(server_log) < 5:
                time.sleep(0.5)
                continue
            left = 60 - (now - started - 1) % 60 - 3
            if left >= min(15.0, args.idle_seconds):
                break
            time.sleep(left + 8)
        idle = run_spell(daemon, min(args.idle_seconds, left))
        idle["requests"] = requests_between(server_log, idle["start"], idle["end"])

        # The floor, with the daemon still idle beside it. The daemon's own start re-executes it
        # with GnuTLS's implicit initialisation off; the probe gets the same.
        probe_out = os.path.join(root, "floor.out")
        with open(probe_out, "w") as f:
            probe = subprocess.Popen([floor_probe], stdout=f, stderr=subprocess.STDOUT,
                                     env=dict(env, GNUTLS_NO_IMPLICIT_INIT="1"))
        children.append(probe)
        deadline = time.time() + 10
        while "READY" not in read(probe_out):
            if time.time() > deadline or probe.poll() is not None:
                sys.exit("the floor probe did not start")
            time.sleep(0.05)
        time.sleep(2)
        floor = run_spell(probe, min(args.idle_seconds, 30.0))
        probe.send_signal(signal.SIGTERM)

        last_bump = [time.time()]

        def bump():
            if time.time() - last_bump[0] >= 5:
                sequence[0] += 1
                write_script()
                last_bump[0] = time.time()

        busy = run_spell(daemon, args.request_minutes * 60.0, bump)
        busy["requests"] = requests_between(server_log, busy["start"], busy["end"])
        mappings = mapping_breakdown(daemon.pid)
        if daemon.poll() is not None:
            sys.exit("the daemon ended during the run (status %s)" % daemon.returncode)
    finally:
        for p in reversed(children):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in reversed(children):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if args.keep:
            print("temporary root kept: %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)

    idle_rate = idle["cpu"] / idle["seconds"]
    per_request = ((busy["cpu"] - idle_rate * busy["seconds"]) / busy["requests"] * 1000.0
                   if busy["requests"] else float("nan"))
    floor_rate = floor["cpu"] / floor["seconds"]

    def status(spell, key):
        return str(spell["status"].get(key, 0))

    rows = [
        ("spell (s)", "%.1f" % idle["seconds"], "%.1f" % busy["seconds"], "%.1f" % floor["seconds"]),
        ("requests the server received", str(idle["requests"]), str(busy["requests"]), "-"),
        ("processor time, all threads (s)", "%.4f" % idle["cpu"], "%.4f" % busy["cpu"], "%.4f" % floor["cpu"]),
        ("processor time per request, idle rate off (ms)", "-", "%.3f" % per_request, "-"),
        ("processor time per minute (s)", "%.4f" % (idle_rate * 60), "%.4f" % (busy["cpu"] / busy["seconds"] * 60),
         "%.4f" % (floor_rate * 60)),
        ("wake-ups per second (voluntary switches)", "%.2f" % (idle["switches"] / idle["seconds"]),
         "%.2f" % (busy["switches"] / busy["seconds"]), "%.2f" % (floor["switches"] / floor["seconds"])),
        ("involuntary switches per second", "%.2f" % (idle["preempted"] / idle["seconds"]),
         "%.2f" % (busy["preempted"] / busy["seconds"]), "%.2f" % (floor["preempted"] / floor["seconds"])),
        ("resident (KiB)", status(idle, "VmRSS"), status(busy, "VmRSS"), status(floor, "VmRSS")),
        ("anonymous: heap and stacks (KiB)", status(idle, "RssAnon"), status(busy, "RssAnon"),
         status(floor, "RssAnon")),
        ("file-backed (KiB)", status(idle, "RssFile"), status(busy, "RssFile"), status(floor, "RssFile")),
        ("threads", status(idle, "Threads"), status(busy, "Threads"), status(floor, "Threads")),
        ("descriptors", status(idle, "fds"), status(busy, "fds"), status(floor, "fds")),
    ]
    rows += [("idle wake-ups/s of thread %s" % name, "%.2f" % (switches / idle["seconds"]), "", "")
             for name, _, switches in idle["threads"] if switches > 0]
    rows += [("resident of %s (KiB)" % os.path.basename(name) if name.startswith("/") else
              "resident of %s (KiB)" % name, "", str(kib), "") for name, kib in mappings[:args.mappings]]
    width = max(len(r[0]) for r in rows)
    print("%-*s  %12s  %12s  %12s" % (width, "Hollin -run", "idle", "requests", "floor"))
    for name, a, b, c in rows:
        print("%-*s  %12s  %12s  %12s" % (width, name, a, b, c))
    return 0


if __name__ == "__main__":
    sys.exit(main())
