#!/usr/bin/python3
"""User-space relay that makes a path worse: delay, and for UDP duplication
and reordering (the kernel here has no netem).  Run it inside a namespace.

  relay.py --udp LISTEN_ADDR:PORT=TARGET_ADDR:PORT   (repeatable)
           --tcp LISTEN_ADDR:PORT=TARGET_ADDR:PORT   (repeatable)
           [--delay-ms MS] [--dup PCT] [--reorder PCT] [--hold-ms MS]
           [--dir both|forward|back] [--tcp-chunk N] [--seed N]

Each UDP client gets its own socket towards the target, so answers find
their way back.  --dup sends PCT % of datagrams twice; --reorder holds PCT %
of datagrams back until the next one of the same flow and direction has gone
(or --hold-ms has passed); --delay-ms delays everything (TCP keeps its byte
order); --tcp-chunk N passes TCP data on in pieces of at most N bytes with a
millisecond between them; --dir limits the UDP impairments to one direction
(forward: client to target).  Listen port 0 takes any free port; when ready
the relay prints "READY udp=P,... tcp=P,..." with the ports it listens on.
It exits on SIGTERM or at the end of standard input, like the simulator.
Anything beyond loopback needs a private network namespace."""

import argparse
import heapq
import itertools
import os
import queue
import random
import select
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
from kvsim import safety  # noqa: E402
from kvsim.main import catch_stop_signals, wait_for_end, watch_stdin  # noqa: E402

POLL_MS = 200


class Scheduler:
    """Runs fn() at a monotonic due time; equal due times keep their order."""

    def __init__(self):
        self._heap = []
        self._order = itertools.count()
        self._cond = threading.Condition()
        threading.Thread(target=self._run, daemon=True).start()

    def at(self, due, fn):
        with self._cond:
            heapq.heappush(self._heap, (due, next(self._order), fn))
            self._cond.notify()

    def _run(self):
        while True:
            with self._cond:
                while not self._heap or self._heap[0][0] > time.monotonic():
                    wait = self._heap[0][0] - time.monotonic() if self._heap else None
                    self._cond.wait(wait)
                _, _, fn = heapq.heappop(self._heap)
            try:
                fn()
            except OSError:
                pass


class Impairment:
    """Delay, duplication and reordering of one flow in one direction."""

    def __init__(self, opts, rng, scheduler, active):
        self.opts, self.rng, self.scheduler = opts, rng, scheduler
        self.active = active
        self.held = None
        self.lock = threading.Lock()

    def _roll(self, pct):
        return self.active and pct and self.rng.random() * 100 < pct

    def pass_on(self, data, send):
        due = time.monotonic() + self.opts.delay_ms / 1000.0
        copies = 2 if self._roll(self.opts.dup) else 1
        with self.lock:
            out = [data] * copies
            if self.held is not None:
                out.append(self.held)
                self.held = None
            elif self._roll(self.opts.reorder):
                self.held = data
                self.scheduler.at(due + self.opts.hold_ms / 1000.0,
                                  lambda: self._release(data, send))
                return
        for item in out:
            self.scheduler.at(due, lambda item=item: send(item))

    def _release(self, data, send):
        with self.lock:
            if self.held is not data:
                return
            self.held = None
        send(data)


def wait_readable(sock, stop):
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    while not stop.is_set():
        if poller.poll(POLL_MS):
            return True
    return False


def endpoint(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def rule(text):
    listen, sep, target = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError("expected LISTEN:PORT=TARGET:PORT")
    return endpoint(listen), endpoint(target)


class UdpRelay:
    def __init__(self, listen, target, opts, rng, scheduler, stop):
        self.target, self.opts, self.rng = target, opts, rng
        self.scheduler, self.stop = scheduler, stop
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(listen)
        self.port = self.sock.getsockname()[1]
        self.flows = {}
        threading.Thread(target=self._forward, daemon=True).start()

    def _flow(self, client):
        flow = self.flows.get(client)
        if flow is None:
            up = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            up.connect(self.target)
            fwd = Impairment(self.opts, self.rng, self.scheduler,
                             self.opts.dir in ("both", "forward"))
            back = Impairment(self.opts, self.rng, self.scheduler,
                              self.opts.dir in ("both", "back"))
            flow = self.flows[client] = (up, fwd, back)
            threading.Thread(target=self._backward, args=(client, flow),
                             daemon=True).start()
        return flow

    def _forward(self):
        while wait_readable(self.sock, self.stop):
            data, client = self.sock.recvfrom(65535)
            up, fwd, _ = self._flow(client)
            fwd.pass_on(data, up.send)

    def _backward(self, client, flow):
        up, _, back = flow
        while wait_readable(up, self.stop):
            try:
                data = up.recv(65535)
            except OSError:         # e.g. ICMP port unreachable from the target
                continue
            back.pass_on(data, lambda d: self.sock.sendto(d, client))


class TcpRelay:
    def __init__(self, listen, target, opts, stop):
        self.target, self.opts, self.stop = target, opts, stop
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(listen)
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while wait_readable(self.sock, self.stop):
            client, _ = self.sock.accept()
            try:
                up = socket.create_connection(self.target, timeout=5)
                up.settimeout(None)
            except OSError:
                client.close()
                continue
            done = threading.Barrier(2, action=lambda: (client.close(), up.close()))
            for src, dst in ((client, up), (up, client)):
                threading.Thread(target=self._pump, args=(src, dst, done),
                                 daemon=True).start()

    def _pump(self, src, dst, done):
        pending = queue.Queue()
        writer = threading.Thread(target=self._write, args=(pending, dst))
        writer.start()
        delay = self.opts.delay_ms / 1000.0
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                pending.put((time.monotonic() + delay, data))
        except OSError:
            pass
        pending.put(None)
        writer.join()
        done.wait()

    def _write(self, pending, dst):
        chunk = self.opts.tcp_chunk
        try:
            while True:
                item = pending.get()
                if item is None:
                    dst.shutdown(socket.SHUT_WR)
                    return
                due, data = item
                time.sleep(max(0.0, due - time.monotonic()))
                if not chunk:
                    dst.sendall(data)
                    continue
                for i in range(0, len(data), chunk):
                    dst.sendall(data[i:i + chunk])
                    time.sleep(0.001)
        except OSError:
            pass


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="relay.py", description=__doc__.split("\n")[0])
    parser.add_argument("--udp", type=rule, action="append", default=[])
    parser.add_argument("--tcp", type=rule, action="append", default=[])
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--dup", type=float, default=0.0, help="percent")
    parser.add_argument("--reorder", type=float, default=0.0, help="percent")
    parser.add_argument("--hold-ms", type=float, default=200.0)
    parser.add_argument("--dir", choices=("both", "forward", "back"), default="both")
    parser.add_argument("--tcp-chunk", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-stdin-watch", action="store_true")
    parser.add_argument("--lifetime", type=float, default=3600.0)
    args = parser.parse_args(argv)
    if not args.udp and not args.tcp:
        parser.error("nothing to relay: give --udp and/or --tcp")
    return args


def main(argv=None):
    opts = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        for listen, target in opts.udp + opts.tcp:
            safety.check_address(listen[0], "bind to")
            safety.check_address(target[0], "relay to")
    except safety.SafetyError as err:
        print("relay: %s" % err, file=sys.stderr)
        return 2
    stop = threading.Event()
    scheduler = Scheduler()
    rng = random.Random(opts.seed)
    udp = [UdpRelay(l, t, opts, rng, scheduler, stop) for l, t in opts.udp]
    tcp = [TcpRelay(l, t, opts, stop) for l, t in opts.tcp]
    signalled = catch_stop_signals()
    if not opts.no_stdin_watch:
        threading.Thread(target=watch_stdin, args=(stop,), daemon=True).start()
    print("READY udp=%s tcp=%s" % (",".join(str(r.port) for r in udp),
                                   ",".join(str(r.port) for r in tcp)), flush=True)
    wait_for_end(stop, signalled, opts.lifetime)
    stop.set()
    return 0


if __name__ == "__main__":
    sys.exit(main())
