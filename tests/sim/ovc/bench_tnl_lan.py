#!/usr/bin/env python3
"""Figures of the tunnel agent against a device on the client's LAN (tests/netns/p2pnet.sh
--lan), in one run over the same link: plain TCP to the device, a tunnel mapping in direct-LAN
mode and one in RCT mode; a download from the device's source service and 64-byte echo
round trips p50/p99 each. The device is lanpeer.py --rct tunnel (Python, also the services);
the client is ovc_bench_tnl_lan (path in OVC_TNL_BENCH, or the first argument). Needs root.

Usage: bench_tnl_lan.py [BENCH] [--bytes N] [--rounds N]
"""
import argparse
import os
import re
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
SH = os.path.join(HERE, "..", "..", "netns", "p2pnet.sh")
NAME = "tl%d" % (os.getpid() % 100000)
DEV = "198.51.100.3"
UID = "LANPEER00".ljust(20, "0")


def ns(side):
    return ["ip", "netns", "exec", "%s-%s" % (NAME, side)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench", nargs="?", default=os.environ.get("OVC_TNL_BENCH", ""))
    ap.add_argument("--bytes", type=int, default=64 << 20)
    ap.add_argument("--rounds", type=int, default=2000)
    ap.add_argument("--peer-log", default="", help="keep the device peer's events in this file")
    a = ap.parse_args()
    if os.geteuid() != 0 or not a.bench:
        print("needs root and the bench program", file=sys.stderr)
        return 2
    subprocess.run([SH, "destroy", NAME], capture_output=True)
    subprocess.run([SH, "create", NAME, "--lan"], check=True, capture_output=True)
    peer = None
    try:
        peer = subprocess.Popen(
            ns("dev") + [sys.executable, os.path.join(HERE, "lanpeer.py"), "--count", "1",
                         "--addrs", DEV, "--port", "32761", "--bcast", "198.51.100.63",
                         "--rct", "tunnel", "--lan-probe", "accept", "--source-bytes", str(a.bytes),
                         "--timeout", "7200"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        echo = source = None
        for line in peer.stdout:
            m = re.search(r'"echo": (\d+), "source": (\d+)', line)
            if m:
                echo, source = m.group(1), m.group(2)
            if line.startswith("PORT"):
                break
        log = open(a.peer_log, "w") if a.peer_log else None
        threading.Thread(target=lambda: [log and log.write(x) for x in peer.stdout], daemon=True).start()
        r = subprocess.run(ns("cli") + [a.bench, UID, DEV, echo, source, str(a.rounds)],
                           capture_output=True, text=True, timeout=1800)
        sys.stdout.write(r.stdout)
        sys.stderr.write(r.stderr)
        print("\nway               | MiB     | MB/s    | echo 64 B p50 us | p99 us")
        for m in re.finditer(r"RESULT way=(\S+) bytes=(\d+) mbps=([\d.]+) echo_ok=(\d) "
                             r"p50_us=(\d+) p99_us=(\d+)", r.stdout):
            print("%-17s | %7.1f | %7s | %16s | %6s" % (m.group(1), int(m.group(2)) / 1048576.0,
                                                       m.group(3), m.group(5), m.group(6)))
        return r.returncode
    finally:
        if peer:
            try:
                peer.stdin.close()
                peer.wait(timeout=5)
            except Exception:
                peer.kill()
                peer.wait()
        subprocess.run([SH, "destroy", NAME], capture_output=True)


if __name__ == "__main__":
    sys.exit(main())
