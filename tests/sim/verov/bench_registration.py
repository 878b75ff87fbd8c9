#!/usr/bin/env python3
"""Registration figures of the NAT client in real time (needs root and the probe program).

  bench_registration.py PROBE [IDLE_SECONDS]

For each NAT kind of p2pnet.sh: the time from init to status 1 of both instances against the
server simulator, beside the bound the registration's fixed spacings allow. Then the CPU time and
the wake-ups (voluntary context switches) of the registration thread of an idle registered
instance over IDLE_SECONDS (60).
"""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from test_registration import Lines, SERVER, SERVERS, sh, state  # noqa: E402

# One full spacing of each message that must be answered before the next step: server list
# (3 s), mapped address (2 s), the NAT test's five 100 ms waits, authentication (10 s) and the
# first heartbeat (5 s). A registration in which every first send is answered takes network
# time only; one that needs each message twice stays under this sum.
BOUND = 3 + 2 + 0.5 + 10 + 5


def thread_stats(pid, name):
    """(CPU seconds, voluntary context switches) of the process's thread called `name`."""
    tick = os.sysconf("SC_CLK_TCK")
    for tid in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        with open(base + "comm") as f:
            if f.read().strip() != name:
                continue
        with open(base + "stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / tick
        with open(base + "status") as f:
            vol = [int(l.split()[1]) for l in f if l.startswith("voluntary_ctxt_switches")][0]
        return cpu, vol
    raise RuntimeError("no thread " + name)


def main():
    probe = sys.argv[1]
    idle = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    name = "vvb%d" % os.getpid()
    print("init -> status 1, real time, each instance alone (bound %.1f s)" % BOUND)
    print("instance 1 asks the namespace's resolver for the NAT64 name first; 1/lit answers")
    print("address texts only (no lookup can wait)")
    print("%-11s %10s %10s %10s %8s" % ("NAT kind", "1", "1/lit", "2", "nattype"))
    idle_line = ""
    for kind in ("cone", "restricted", "symmetric", "sequential"):
        times, nat = [], None
        for k, (inst, extra) in enumerate((("1", []), ("1", ["--resolver", "literal"]), ("2", []))):
            # A fresh topology per client: the sequential NAT maps every flow to one server to
            # the same outside port, so a client's mapping would wait for the previous client's
            # conntrack entry to expire.
            procs = []
            try:
                sh("create", name, "--natc", kind)
                srv = Lines(["ip", "netns", "exec", name + "-srv", sys.executable, SERVER,
                             json.dumps({"addrs": SERVERS})])
                procs.append(srv)
                srv.wait_for(lambda v: v == "READY", 30)
                c = Lines(["ip", "netns", "exec", name + "-cli", probe, "--inst", inst,
                           "--server", SERVERS[0], "--uuid", "B%d@k" % k, *extra])
                procs.append(c)
                got = c.wait_for(state("status", 1), 60)
                times.append("%.3f s" % (got["t"] / 1000.0) if got else "none")
                nat = got["nattype"] if got else nat
                if kind == "cone" and k == 1:
                    # Registered and otherwise idle. `ip netns exec` replaces itself with the
                    # probe, so the child's pid is the probe's.
                    cpu0, vol0 = thread_stats(c.p.pid, "vv_nat_main")
                    t0 = time.monotonic()
                    time.sleep(idle)
                    cpu1, vol1 = thread_stats(c.p.pid, "vv_nat_main")
                    span = time.monotonic() - t0
                    idle_line = ("idle registered instance over %.0f s: CPU %.3f s (%.4f %%), "
                                 "wake-ups %.2f per second" % (span, cpu1 - cpu0,
                                                              100 * (cpu1 - cpu0) / span,
                                                              (vol1 - vol0) / span))
            finally:
                for p in procs:
                    p.close()
                sh("destroy", name, check=False)
        print("%-11s %10s %10s %10s %8s" % (kind, *times, nat))
    print(idle_line)


if __name__ == "__main__":
    main()
