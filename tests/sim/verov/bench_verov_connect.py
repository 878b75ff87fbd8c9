#!/usr/bin/env python3
"""Connection figures in real time (needs root and vvconn_probe).

  bench_verov_connect.py PROBE [RUNS] [BULK_BYTES]

For a LAN, a punched (cone/cone) and a relayed (cone/cone with direct UDP blocked) path in
p2pnet.sh namespaces: connect-by-ID time (median and p95 of RUNS, 20) from the client's call
to the connect's return, beside the bound the fixed waits allow plus the round trips measured
with a Python UDP ping over the same legs; then the frame goodput of BULK_BYTES (16 MiB) of
64 KiB frames echoed by a C++ device (bytes each way per second of the round trip), and beside
it, in the same namespaces and over the same path (straight, or registered with the same
relay), vdt alone with the connections' buffer sizes echoing the same volume.
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
# Bound to the address the ping goes to: an answer from the namespace's primary address
# instead would be dropped by an address-restricted NAT on the way back.
# (Behind a NAT the address is not local: any will do there.)
try:
    s.bind((sys.argv[2], int(sys.argv[1])))
except OSError:
    s.bind(("0.0.0.0", int(sys.argv[1])))
print("READY", flush=True)
while True:
    d, a = s.recvfrom(64)
    s.sendto(d, a)
"""

# (name, natc, natd, extras, ping legs (namespace, address) with an echo in the peer ns,
#  fixed waits in seconds before the path can exist, where vdt alone sends: address or relay)
CASES = [
    ("lan", "restricted", "restricted", ["--lan"], [("cli", "dev", "198.51.100.3")], 0.0,
     ("198.51.100.3", "")),
    # A full-cone NAT forwards everything arriving at its WAN address to the device.
    ("punched", "cone", "cone", [], [("cli", "dev", "203.0.113.65")], 0.0, ("203.0.113.65", "")),
    # Relay hellos start with wave 4: 4 x 500 ms after punching began.
    ("relayed", "cone", "cone", ["block-direct"],
     [("cli", "srv", RELAY.split(":")[0]), ("dev", "srv", RELAY.split(":")[0])], 2.0, ("-", RELAY)),
]
VDT_PORT = 9100


def ping(name, src, dst_ns, addr):
    echo = Lines(["ip", "netns", "exec", "%s-%s" % (name, dst_ns), sys.executable, "-c", ECHO, "9999", addr])
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
    name = "v2b%d" % os.getpid()
    tmp = tempfile.mkdtemp(prefix="vvconnb-")
    for case, natc, natd, extra, legs, fixed, (vdt_ip, vdt_relay) in CASES:
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
            cli.send("close")
            cli.wait_for(lambda v: isinstance(v, dict) and "closed" in v, 10)
            dev.send("vdtecho %d %s" % (VDT_PORT, vdt_relay))
            dev.wait_for(lambda v: isinstance(v, dict) and "vdtecho" in v, 30)
            cli.send("vdtbulk %s %d %d %s" % (vdt_ip, VDT_PORT, bulk, vdt_relay))
            v = cli.wait_for(lambda v: isinstance(v, dict) and "vdt_bulk" in v, 330)
            vmbs = (v["back"] / 1e6 / (v["ms"] / 1000.0)
                    if v and v["ms"] > 0 and v["back"] >= v["vdt_bulk"] > 0 else -1)
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
                              "goodput_MBps_each_way": round(mbs, 2),
                              "vdt_alone_MBps_each_way": round(vmbs, 2)}), flush=True)
        finally:
            for p in procs:
                p.close()
            sh("destroy", name, check=False)


if __name__ == "__main__":
    main()
