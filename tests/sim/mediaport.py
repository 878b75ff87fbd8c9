#!/usr/bin/python3
"""The device's media-port service, reached through a tunnel at device port 50000:
an 8-byte request (byte 0 = 1, query the media port) answered by a 16-byte reply
(byte 0 = 1, the media port as a little-endian u16 at offset 8).  Written from the
exchange's description, independently of the client.

  mediaport.py [--bind ADDR] [--tcp-port P] [--media-port N] [--scenario NAME]
               [--log FILE] [--no-stdin-watch] [--lifetime SEC]

Prints "READY tcp=P" when ready; exits at the end of standard input, on SIGTERM/SIGINT
or after --lifetime seconds.  Every request logs one JSON line with "peer" and "raw"
(hex of the exact request bytes, as many as arrived before 8 or the close).
Scenarios: ok; wrong-code (reply byte 0 is 2, the port still at offset 8); short (the
first 10 reply bytes, then close); refuse (the port is bound but not listening, so a
connect is refused); silence (read the request, never answer).  Binding beyond
loopback needs a private network namespace (kvsim.safety).
"""

import argparse
import os
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kvsim import safety  # noqa: E402
from kvsim.log import JsonLines  # noqa: E402
from kvsim.main import catch_stop_signals, wait_for_end, watch_stdin  # noqa: E402

SCENARIOS = ("ok", "wrong-code", "short", "refuse", "silence")


def reply(opts):
    code = 2 if opts.scenario == "wrong-code" else 1
    body = bytes([code]) + b"\xAA" * 7 + struct.pack("<H", opts.media_port) + b"\xBB" * 6
    return body[:10] if opts.scenario == "short" else body


def serve(conn, peer, opts, log, stop):
    with conn:
        try:
            raw = b""
            while len(raw) < 8:
                chunk = conn.recv(8 - len(raw))
                if not chunk:
                    break
                raw += chunk
            log({"peer": "%s:%d" % peer[:2], "raw": raw.hex()})
            if opts.scenario == "silence":
                while not stop.is_set() and conn.recv(4096):
                    pass
                return
            if len(raw) == 8:
                conn.sendall(reply(opts))
        except OSError:
            pass


def main(argv=None):
    parser = argparse.ArgumentParser(prog="mediaport.py", description=__doc__.split("\n")[0])
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--tcp-port", type=int, default=0, help="0: any free port")
    parser.add_argument("--media-port", type=int, default=9000)
    parser.add_argument("--scenario", default="ok", choices=SCENARIOS)
    parser.add_argument("--log")
    parser.add_argument("--no-stdin-watch", action="store_true")
    parser.add_argument("--lifetime", type=float, default=3600.0, help="0: never")
    opts = parser.parse_args(sys.argv[1:] if argv is None else argv)
    try:
        safety.check_address(opts.bind, "bind")
    except safety.SafetyError as e:
        print("mediaport: %s" % e, file=sys.stderr)
        return 2
    log = JsonLines(opts.log).write

    stop = threading.Event()
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind((opts.bind, opts.tcp_port))
        if opts.scenario != "refuse":
            s.listen(16)
    except OSError as e:
        print("mediaport: %s" % e, file=sys.stderr)
        return 1

    def accept_loop():
        while not stop.is_set():
            try:
                conn, peer = s.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(conn, peer, opts, log, stop), daemon=True).start()

    if opts.scenario != "refuse":
        threading.Thread(target=accept_loop, daemon=True).start()
    print("READY tcp=%d" % s.getsockname()[1], flush=True)
    signalled = catch_stop_signals()
    done = threading.Event()
    if not opts.no_stdin_watch:
        threading.Thread(target=watch_stdin, args=(done,), daemon=True).start()
    wait_for_end(done, signalled, opts.lifetime)
    stop.set()
    s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
