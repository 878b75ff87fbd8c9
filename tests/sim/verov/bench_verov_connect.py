#!/usr/bin/env python3
"""Connection figures in real time (needs root and vvconn_probe).

  bench_verov_connect.py PROBE [RUNS] [BULK_BYTES]

For a LAN, a punched (cone/cone) and a relayed (cone/cone with direct UDP blocked) path in
p2pnet.sh namespaces: connect-by-ID time (median and p95 of RUNS, 20) from the client's call
to the connect's return, beside the bound the fixed waits allow plus the round trips measured
with a Python UDP ping over the same legs; then the frame goodput of BULK_BYTES (16 MiB) of
64 KiB frames echoed by a C++ device (bytes each way per second of the round trip).
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from test_registration import Lines, SERVER, sh  # noqa: E402

SERVERS = ["203.0.113.10", "203.0.113.11", "203.0.113.12"]
RELAY = "203.0.113.20:7100"
PING = r"""
import socket, sys, time, statistics
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1.0)
to = (sys.argv[1], int(sys.argv[2]))
rtts = []
for i in range(20):
    t = time.monotonic()
    s.sendto(b"p", to)
    try:
        s.recvfrom(64)
        rtts.append(time.monotonic() - t)
    except OSError:
        pass
print(statistics.median(rtts) * 1000 if rtts else -1)
"""
ECHO = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", int(sys.argv[1])))
print("READY", flush=True)
while True:
    d, a = s.recvfrom(64)
    s.sendto(d, a)
"""

# (name, natc, natd, extras, ping legs (namespace, address) with an echo in the peer ns,
#  fixed waits in seconds before the path can exist)
CASES = [
    ("lan", "restricted", "restricted", ["--lan"], [("cli", "dev", "198.51.100.3")], 0.0),
    ("punched", "cone", "cone", [], [("cli", "dev", "203.0.113.65")], 0.0),
    # Relay hellos start with wave 4: 4 x 500 ms after punching began.
    ("relayed", "cone", "cone", ["block-direct"],
     [("cli", "srv", RELAY.split(":")[0]), ("dev", "srv", RELAY.split(":")[0])], 2.0),
]


def ping(name, src, dst_ns, addr):
    echo = Lines(["ip", "netns", "exec", "%s-%s" % (name, dst_ns), sys.executable, "-c", ECHO, "9999"])
    echo.wait_for(lambda v: v == "READY", 10)
    out = subprocess.run(["ip", "netns", "exec", "%s-%s" % (name, src), sys.executable, "-c", PING,
                          addr, "9999"], capture_output=True, text=True, check=True).stdout
    echo.p.kill()
    echo.close()
    return float(out.strip())


def main():
    probe = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    bulk = int(sys.argv[3]) if len(sys.argv) > 3 else 16 << 20
    name = "vcb%d" % os.getpid()
    tmp = tempfile.mkdtemp(prefix="vvconnb-")
    for case, natc, natd, extra, legs, fixed in CASES:
        procs = []
        try:
            sh("create", name, "--natc", natc, "--natd", natd, *[e for e in extra if e.startswith("--")])
            srv_rtt = ping(name, "cli", "srv", SERVERS[0])
            leg_rtts = [ping(name, a, b, addr) for a, b, addr in legs]
            if "block-direct" in extra:
                sh("block-direct", name)
            cfg = {"addrs": SERVERS, "relay": RELAY, "log": os.path.join(tmp, "s.jsonl")}
            srv = Lines(["ip", "netns", "exec", name + "-srv", sys.executable, SERVER, json.dumps(cfg)])
            procs.append(srv)
            srv.wait_for(lambda v: v == "READY", 30)
            args = ["--server", SERVERS[0], "--scale", "10"]
            dev = Lines(["ip", "netns", "exec", name + "-dev", probe, *args, "--uuid", "DEV1", "--echo", "1"])
            cli = Lines(["ip", "netns", "exec", name + "-cli", probe, *args, "--uuid", "CLI1"])
            procs += [dev, cli]
            for p in (dev, cli):
                p.wait_for(lambda v: isinstance(v, dict) and v.get("status") == 1, 60)
            times = []
            for _ in range(runs):
                cli.send("connect DEV1")
                r = cli.wait_for(lambda v: isinstance(v, dict) and "connect" in v, 60)
                if r and r["connect"] > 0:
                    times.append(r["ms"])
                cli.send("close")
                cli.wait_for(lambda v: isinstance(v, dict) and "closed" in v, 10)
            cli.send("connect DEV1")
            cli.wait_for(lambda v: isinstance(v, dict) and "connect" in v, 60)
            cli.send("bulk %d" % bulk)
            b = cli.wait_for(lambda v: isinstance(v, dict) and "bulk_sent" in v, 300)
            times.sort()
            p95 = times[min(len(times) - 1, int(round(0.95 * (len(times) - 1))))] if times else -1
            # Request and answer through the server (2 round trips), then a hello and its reply.
            bound = fixed * 1000 + 2 * srv_rtt + sum(leg_rtts)
            mbs = b["bulk_sent"] / 1e6 / (b["ms"] / 1000.0) if b and b["ms"] > 0 else -1
            print(json.dumps({"path": case, "connects": len(times),
                              "median_ms": statistics.median(times) if times else -1,
                              "p95_ms": p95, "bound_ms": round(bound, 2),
                              "server_rtt_ms": round(srv_rtt, 3),
                              "leg_rtts_ms": [round(x, 3) for x in leg_rtts],
                              "goodput_MBps_each_way": round(mbs, 2)}), flush=True)
        finally:
            for p in procs:
                p.close()
            sh("destroy", name, check=False)


if __name__ == "__main__":
    main()
