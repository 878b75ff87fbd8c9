"""A UDP peer that receives what an OVC session sends and prints each datagram decoded.

Usage: session_peer.py COUNT [TIMEOUT_S]
Prints "PORT <n>" once bound, then one JSON line per datagram, then "DONE". Binds loopback
only; a wider address is refused outside a private network namespace.
"""
import json
import os
import socket
import sys

import codec

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kvsim import safety  # noqa: E402


def main():
    count = int(sys.argv[1])
    timeout = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
    host = os.environ.get("OVC_PEER_BIND", "127.0.0.1")
    try:
        safety.check_address(host, "bind")
    except safety.SafetyError as e:
        print(e, file=sys.stderr)
        return 2
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, 0))
    s.settimeout(timeout)
    print("PORT %d" % s.getsockname()[1], flush=True)
    for _ in range(count):
        try:
            wire, _ = s.recvfrom(2048)
        except socket.timeout:
            print(json.dumps({"error": "timeout"}), flush=True)
            break
        try:
            d = codec.parse_session(wire)
            out = dict(kind=d["kind"], relayed=d["relayed"], device=d["device"], size=len(wire),
                       long_id=d["long_id"], payload=d["payload"].hex(), **d["head"])
        except ValueError as e:
            out = {"error": str(e), "size": len(wire)}
        print(json.dumps(out), flush=True)
    print("DONE", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
