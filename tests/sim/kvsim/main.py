"""Command line of the device simulator (see tests/sim/README.md)."""

import argparse
import os
import signal
import sys
import threading
import time

from . import handlers, registry, safety
from .conn import Scenarios
from .server import Simulator


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="kvsim.py", description="Simulated device for the client's tests.")
    parser.add_argument("--bind", default="127.0.0.1",
                        help="address of both endpoints (default 127.0.0.1)")
    parser.add_argument("--tcp-port", type=int, default=0, help="0: any free port")
    parser.add_argument("--udp-port", type=int, default=0, help="0: any free port")
    parser.add_argument("--log", help="JSON-lines log of received messages")
    parser.add_argument("--scenario", action="append", default=[],
                        metavar="NAME[=ARG]", help="repeatable")
    parser.add_argument("--list-scenarios", action="store_true")
    parser.add_argument("--no-stdin-watch", action="store_true",
                        help="do not exit when standard input reaches its end")
    parser.add_argument("--lifetime", type=float, default=3600.0,
                        help="exit after this many seconds (0: never)")
    parser.add_argument("--verbose", action="store_true",
                        help="connection events on standard error")
    return parser.parse_args(argv)


def watch_stdin(done):
    """Set `done` at the end of standard input.  Reads the descriptor, not
    sys.stdin, whose lock would stall the interpreter's exit."""
    try:
        while os.read(0, 4096):
            pass
    except OSError:
        pass
    done.set()


def catch_stop_signals():
    """SIGTERM and SIGINT only mark a flag (the returned list). Setting an Event from a
    signal handler can deadlock: the handler runs in the main thread, which may hold the
    Event's own lock at that moment (inside wait())."""
    signalled = []
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: signalled.append(signum))
    return signalled


def wait_for_end(done, signalled, lifetime):
    """Until `done` is set (end of standard input), a stop signal, or `lifetime` seconds
    (0: no limit) on the monotonic clock."""
    end = time.monotonic() + lifetime if lifetime else None
    while not signalled and not done.is_set():
        if end is not None and time.monotonic() >= end:
            return
        done.wait(0.2)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    handlers.load_all()
    known = registry.scenarios()
    if args.list_scenarios:
        for name in sorted(known):
            print("%-18s %s" % (name, known[name]))
        return 0
    scenarios = Scenarios(args.scenario)
    unknown = [n for n in scenarios.names() if n not in known]
    if unknown:
        print("kvsim: unknown scenario(s): %s (see --list-scenarios)"
              % ", ".join(unknown), file=sys.stderr)
        return 2

    try:
        sim = Simulator(args.bind, args.tcp_port, args.udp_port, args.log,
                        scenarios, args.verbose)
    except safety.SafetyError as err:
        print("kvsim: %s" % err, file=sys.stderr)
        return 2
    except (OSError, ValueError) as err:
        print("kvsim: cannot start: %s" % err, file=sys.stderr)
        return 1

    done = threading.Event()
    signalled = catch_stop_signals()
    if not args.no_stdin_watch:
        threading.Thread(target=watch_stdin, args=(done,), daemon=True).start()
    sim.start()
    print("READY tcp=%d udp=%d" % (sim.tcp_port, sim.udp_port), flush=True)
    wait_for_end(done, signalled, args.lifetime)
    sim.close()
    return 0
