"""Helpers for Python tests: run the simulator as a process, read its log,
and make sockets inside a network namespace."""

import ctypes
import json
import os
import select
import socket
import subprocess
import tempfile
import threading
import time

SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "kvsim.py")
PYTHON = "/usr/bin/python3"
CLONE_NEWNET = 0x40000000


def read_ready(proc, timeout=10.0):
    """Wait for the "READY k=v ..." line of a simulator or relay process."""
    poller = select.poll()
    poller.register(proc.stdout, select.POLLIN)
    if not poller.poll(int(timeout * 1000)):
        proc.kill()
        raise RuntimeError("no READY line within %.0f s" % timeout)
    line = proc.stdout.readline().decode()
    if not line.startswith("READY"):
        proc.wait()
        raise RuntimeError("did not start (exit %s): %s %s" % (
            proc.returncode, line, proc.stderr.read().decode()))
    return dict(item.split("=", 1) for item in line.split()[1:])


class SimProcess:
    """The simulator as a child process; stops when the test ends even if
    the test dies, since its standard input is a pipe held by the test."""

    def __init__(self, *scenarios, bind="127.0.0.1", netns=None, tcp_port=0,
                 udp_port=0, extra=()):
        fd, self.log_path = tempfile.mkstemp(prefix="kvsim-", suffix=".jsonl")
        os.close(fd)
        cmd = [PYTHON, SIM, "--bind", bind, "--tcp-port", str(tcp_port),
               "--udp-port", str(udp_port), "--log", self.log_path]
        for item in scenarios:
            cmd += ["--scenario", item]
        cmd += list(extra)
        if netns:
            cmd = ["ip", "netns", "exec", netns] + cmd
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ports = read_ready(self.proc)
        self.tcp_port = int(ports["tcp"])
        self.udp_port = int(ports["udp"])

    def messages(self, count=0, timeout=5.0):
        """The log's entries; waits until there are at least `count`."""
        deadline = time.monotonic() + timeout
        while True:
            with open(self.log_path) as log:
                entries = [json.loads(line) for line in log if line.endswith("\n")]
            if len(entries) >= count or time.monotonic() > deadline:
                return entries
            time.sleep(0.02)

    def stop(self):
        """End of standard input stops the simulator; returns its exit code."""
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def in_netns(name, fn, *args):
    """Run fn(*args) on a thread that joined network namespace `name`
    (setns changes only the calling thread); returns its result.  Sockets
    made there stay in that namespace wherever they are used later."""
    result = {}

    def run():
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            fd = os.open("/run/netns/" + name, os.O_RDONLY)
            try:
                if libc.setns(fd, CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns " + name)
            finally:
                os.close(fd)
            result["value"] = fn(*args)
        except BaseException as err:   # handed to the caller's thread
            result["error"] = err

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in result:
        raise result["error"]
    return result["value"]


def socket_in(netns, family=socket.AF_INET, kind=socket.SOCK_STREAM):
    return in_netns(netns, socket.socket, family, kind) if netns \
        else socket.socket(family, kind)


def recv_exact(sock, n):
    """Up to n bytes; fewer only when the peer closed."""
    chunks, got = [], 0
    while got < n:
        chunk = sock.recv(n - got)
        if not chunk:
            break
        chunks.append(chunk)
        got += len(chunk)
    return b"".join(chunks)
