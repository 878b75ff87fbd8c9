#!/usr/bin/python3
"""The servers that turn a device ID into an address: the ID-server query and the
HTTP redirect (both HTTP on one port, 80 by default) and the directory query (TCP,
7026 by default).  Written from the exchange's description, independently of the
client.

  idsrv.py [--bind ADDR] [--http-port P] [--dir-port P] [--log FILE]
           [--scenario NAME] [--addr TEXT] [--port N] [--location URL]
           [--no-stdin-watch] [--lifetime SEC] [--list-scenarios]

When both endpoints listen it prints "READY http=P dir=P" and flushes.  It exits at
the end of standard input, on SIGTERM/SIGINT or after --lifetime seconds.  Every
connection logs one JSON line {"event":"accept"}, every request one line with
"service" (id, dir or redirect), "peer" and "raw" (hex of the exact request bytes).
Binding beyond loopback needs a private network namespace (kvsim.safety).

A request is read up to its blank line (the directory query: up to its three line
ends); the reply is the scenario's fixture for that service, then the connection
closes.  Scenarios (one per run, --list-scenarios): ok; split (one byte per send);
silence; close; missing-addr, missing-port, no-terminator, oversized (over 8192 bytes
before the answer), outside (address outside its element or line), port-zero,
port-big, port-text, long-addr (64 characters); for the redirect location-lower,
location-upper, location-host-only, location-path-only, location-https,
location-relative, location-no-eol.
"""

import argparse
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kvsim import safety  # noqa: E402
from kvsim.log import JsonLines  # noqa: E402
from kvsim.main import catch_stop_signals, wait_for_end, watch_stdin  # noqa: E402

HTTP_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n"


def id_doc(addr, port):
    return (HTTP_HEAD + b'<?xml version="1.0" encoding="UTF-8"?>\n<response>\n'
            b"  <DevID>X</DevID>\n  <RemoteIP>" + addr + b"</RemoteIP>\n"
            b"  <MediaPort>" + port + b"</MediaPort>\n</response>\n")


def dir_doc(addr, port):
    return (b"BMSP/0.3 200 OK\r\nID: X\r\nIP: " + addr + b"\r\nSTREAM_PORT: " + port +
            b"\r\nHTTP_PORT: 80\r\n\r\n")


def redirect_doc(location, name=b"Location"):
    return (b"HTTP/1.1 302 Found\r\nServer: idsrv\r\nContent-Length: 0\r\n" + name + b": " +
            location + b"\r\nConnection: close\r\n\r\n")


def fixtures(opts):
    """Scenario name -> {service: reply bytes or a behaviour}.  A service missing from
    a scenario gets the good reply."""
    a, p, loc = opts.addr.encode(), str(opts.port).encode(), opts.location.encode()
    big = b"<!--" + b"x" * 9000 + b"-->"
    return {
        "ok": {},
        "split": {"*": "split"},            # the good replies, one byte per send
        "silence": {"*": "silence"},        # read the request, never answer
        "close": {"*": "close"},            # close without a reply
        "missing-addr": {"id": id_doc(b"", p).replace(b"<RemoteIP></RemoteIP>", b""),
                         "dir": dir_doc(a, p).replace(b"IP: " + a + b"\r\n", b""),
                         "redirect": redirect_doc(loc, b"X-Where")},
        "missing-port": {"id": id_doc(a, b"").replace(b"<MediaPort></MediaPort>", b""),
                         "dir": dir_doc(a, p).replace(b"STREAM_PORT: " + p + b"\r\n", b"")},
        "no-terminator": {"id": id_doc(a, p).replace(b"</response>", b""),
                          "dir": b"IP: " + a + b"\r\nSTREAM_PORT: " + p,
                          "redirect": b"HTTP/1.1 302 Found\r\nLocation: " + loc},
        "oversized": {"id": HTTP_HEAD + b"<response>" + big + b"<RemoteIP>" + a +
                      b"</RemoteIP><MediaPort>" + p + b"</MediaPort></response>",
                      "dir": b"X-Pad: " + big + b"\r\nIP: " + a + b"\r\nSTREAM_PORT: " + p + b"\r\n",
                      "redirect": b"HTTP/1.1 302 Found\r\nX-Pad: " + big + b"\r\nLocation: " + loc + b"\r\n\r\n"},
        "outside": {"id": b"<RemoteIP>" + a + b"</RemoteIP>" + HTTP_HEAD +
                    b"<response><MediaPort>" + p + b"</MediaPort></response>",
                    "dir": b"XIP: " + a + b"\r\nSTREAM_PORT: " + p + b"\r\n"},
        "port-zero": {"id": id_doc(a, b"0"), "dir": dir_doc(a, b"0")},
        "port-big": {"id": id_doc(a, b"65536"), "dir": dir_doc(a, b"70000")},
        "port-text": {"id": id_doc(a, b"9x"), "dir": dir_doc(a, b"abc")},
        "long-addr": {"id": id_doc(b"1" * 64, p), "dir": dir_doc(b"1" * 64, p),
                      "redirect": redirect_doc(b"http://" + b"h" * 64 + b"/")},
        "location-lower": {"redirect": redirect_doc(loc, b"location")},
        "location-upper": {"redirect": redirect_doc(loc, b"LOCATION")},
        "location-host-only": {"redirect": redirect_doc(b"http://198.51.100.9")},
        "location-path-only": {"redirect": redirect_doc(b"http://198.51.100.9/a/b")},
        "location-https": {"redirect": redirect_doc(b"https://198.51.100.9/")},
        "location-relative": {"redirect": redirect_doc(b"/elsewhere")},
        "location-no-eol": {"redirect": b"HTTP/1.1 302 Found\r\nLocation: " + loc},
    }


def read_request(conn, terminator, limit=65536):
    data = b""
    while terminator not in data and len(data) < limit:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


class Server:
    def __init__(self, opts, log):
        self.opts, self.log = opts, log
        self.table = fixtures(opts)[opts.scenario]
        self.good = {
            "id": id_doc(opts.addr.encode(), str(opts.port).encode()),
            "dir": dir_doc(opts.addr.encode(), str(opts.port).encode()),
            "redirect": redirect_doc(opts.location.encode()),
        }
        self.stop = threading.Event()

    def start(self, sock, kind):
        threading.Thread(target=self.accept_loop, args=(sock, kind), daemon=True).start()

    def accept_loop(self, sock, kind):
        while not self.stop.is_set():
            try:
                conn, peer = sock.accept()
            except OSError:
                return
            self.log({"event": "accept", "endpoint": kind, "peer": "%s:%d" % peer[:2]})
            threading.Thread(target=self.serve, args=(conn, peer, kind), daemon=True).start()

    def serve(self, conn, peer, kind):
        with conn:
            try:
                if kind == "dir":
                    raw = read_request(conn, b"\r\n\r\n\r\n")
                    service = "dir"
                else:
                    raw = read_request(conn, b"\r\n\r\n")
                    path = raw.split(b" ", 2)[1] if raw.count(b" ") >= 2 else b""
                    service = "id" if path.startswith((b"/queryinfo.php", b"/get_info")) else "redirect"
                self.log({"service": service, "peer": "%s:%d" % peer[:2], "raw": raw.hex()})
                what = self.table.get(service, self.table.get("*", self.good[service]))
                if what == "silence":
                    # Hold the connection until the client gives up or the run ends.
                    while not self.stop.is_set() and conn.recv(4096):
                        pass
                    return
                if what == "close":
                    return
                if what == "split":
                    for i in range(len(self.good[service])):
                        conn.sendall(self.good[service][i:i + 1])
                        time.sleep(0.0005)
                    return
                conn.sendall(what)
            except OSError:
                pass


def parse_args(argv, names):
    parser = argparse.ArgumentParser(prog="idsrv.py", description=__doc__.split("\n")[0])
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--http-port", type=int, default=80, help="0: any free port")
    parser.add_argument("--dir-port", type=int, default=7026, help="0: any free port")
    parser.add_argument("--log", help="JSON-lines log of connections and requests")
    parser.add_argument("--scenario", default="ok", choices=names)
    parser.add_argument("--addr", default="203.0.113.7", help="address in the good replies")
    parser.add_argument("--port", type=int, default=9000, help="port in the good replies")
    parser.add_argument("--location", default="http://198.51.100.4:8080/live/index.html")
    parser.add_argument("--list-scenarios", action="store_true")
    parser.add_argument("--no-stdin-watch", action="store_true")
    parser.add_argument("--lifetime", type=float, default=3600.0, help="0: never")
    return parser.parse_args(argv)


def main(argv=None):
    probe = argparse.Namespace(addr="a", port=1, location="l")
    names = sorted(fixtures(probe))
    opts = parse_args(sys.argv[1:] if argv is None else argv, names)
    if opts.list_scenarios:
        print("\n".join(names))
        return 0
    try:
        safety.check_address(opts.bind, "bind")
    except safety.SafetyError as e:
        print("idsrv: %s" % e, file=sys.stderr)
        return 2
    log = JsonLines(opts.log).write

    server = Server(opts, log)
    socks = {}
    try:
        for kind, port in (("http", opts.http_port), ("dir", opts.dir_port)):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((opts.bind, port))
            s.listen(64)
            socks[kind] = s
    except OSError as e:
        print("idsrv: %s" % e, file=sys.stderr)
        return 1
    for kind, s in socks.items():
        server.start(s, kind)
    print("READY http=%d dir=%d" % (socks["http"].getsockname()[1], socks["dir"].getsockname()[1]), flush=True)
    signalled = catch_stop_signals()
    done = threading.Event()
    if not opts.no_stdin_watch:
        threading.Thread(target=watch_stdin, args=(done,), daemon=True).start()
    wait_for_end(done, signalled, opts.lifetime)
    server.stop.set()
    for s in socks.values():
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
