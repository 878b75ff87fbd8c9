"""TCP and UDP endpoints of the simulated device.

One thread accepts TCP connections and one thread serves each of them; one
thread serves the UDP socket (its handlers run in that thread, one datagram
after the other).  Every received message is logged before it is handled.
"""

import select
import socket
import sys
import threading
import traceback

from . import handlers, proto, registry, safety
from .conn import Connection, Scenarios
from .log import MessageLog

POLL_MS = 200
MAX_DATAGRAM = 65535
IP_PKTINFO = 8  # Linux; not exported by every Python


def _recv_exact(sock):
    def recv_exact(n):
        chunks, got = [], 0
        while got < n:
            chunk = sock.recv(min(n - got, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)
    return recv_exact


def _pktinfo(ancillary):
    """(destination address text, interface index) of a received datagram."""
    for level, kind, data in ancillary:
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(data) >= 12:
            return socket.inet_ntoa(data[8:12]), int.from_bytes(data[0:4], "little", signed=True)
    return None, 0


class Simulator:
    def __init__(self, bind="127.0.0.1", tcp_port=0, udp_port=0, log=None,
                 scenarios=(), verbose=False):
        handlers.load_all()
        safety.check_address(bind, "bind to")
        self.bind = bind
        self.scenarios = scenarios if isinstance(scenarios, Scenarios) \
            else Scenarios(scenarios)
        self.log = MessageLog(log)
        self.verbose = verbose
        self._stop = threading.Event()
        self._udp_peers = {}

        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind((bind, tcp_port))
        self.tcp.listen(64)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if not safety.is_loopback(bind):
            # Answers to broadcast searches may go to the broadcast address.
            self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        # The destination of each datagram (broadcast or which address) and its
        # interface: a device answers a unicast probe only for its own address.
        self.udp.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.udp.bind((bind, udp_port))
        self.tcp_port = self.tcp.getsockname()[1]
        self.udp_port = self.udp.getsockname()[1]

    def start(self):
        for target in (self._accept_loop, self._udp_loop):
            threading.Thread(target=target, daemon=True).start()

    def stop(self):
        self._stop.set()

    def close(self):
        self.stop()
        self.tcp.close()
        self.udp.close()
        self.log.close()

    def _note(self, text):
        if self.verbose:
            print("kvsim: " + text, file=sys.stderr, flush=True)

    def _wait_readable(self, sock):
        poller = select.poll()
        poller.register(sock, select.POLLIN)
        while not self._stop.is_set():
            if poller.poll(POLL_MS):
                return True
        return False

    # TCP

    def _accept_loop(self):
        while self._wait_readable(self.tcp):
            try:
                sock, peer = self.tcp.accept()
            except OSError:
                continue
            threading.Thread(target=self._serve_tcp, args=(sock, peer),
                             daemon=True).start()

    def _serve_tcp(self, sock, peer):
        def transport(data, dest):
            sock.sendall(data)

        def close():
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

        conn = Connection(registry.TCP, peer, self.scenarios, transport, close)
        conn.log = self.log   # handlers log their own findings (MessageLog.event)
        self._note("tcp %d accepted from %s:%d" % ((conn.id,) + peer))
        try:
            with sock:
                if any(hook(conn) for hook in
                       registry.accept_hooks(self.scenarios.names())):
                    conn.close()
                    return
                recv_exact = _recv_exact(sock)
                # Raw access for handlers that take over the byte stream (headless
                # upgrade data) or end the connection with a reset.
                conn.recv_exact = recv_exact
                conn.sock = sock
                while not conn.closed and not self._stop.is_set():
                    try:
                        msg = proto.read_message(recv_exact)
                    except proto.ProtocolError as err:
                        self.log.partial(conn, err.raw, str(err))
                        break
                    if msg is None:
                        break
                    conn.note_received(msg)
                    self.log.message(conn, msg)
                    self._dispatch(conn, msg)
        except OSError as err:
            self._note("tcp %d: %s" % (conn.id, err))
        except Exception:
            traceback.print_exc()
        finally:
            self._note("tcp %d closed" % conn.id)

    # UDP

    def _udp_conn(self, peer):
        conn = self._udp_peers.get(peer)
        if conn is None:
            def transport(data, dest):
                self.udp.sendto(data, dest or peer)
            conn = Connection(registry.UDP, peer, self.scenarios, transport)
            self._udp_peers[peer] = conn
        return conn

    def _udp_loop(self):
        while self._wait_readable(self.udp):
            try:
                data, anc, _, peer = self.udp.recvmsg(MAX_DATAGRAM, 64)
            except OSError:
                continue
            dst, ifindex = _pktinfo(anc)
            conn = self._udp_conn(peer)
            try:
                msg = proto.decode_datagram(data)
            except proto.ProtocolError as err:
                self.log.partial(conn, err.raw, str(err))
                continue
            msg.dst, msg.ifindex = dst, ifindex
            conn.note_received(msg)
            self.log.message(conn, msg)
            try:
                self._dispatch(conn, msg)
            except Exception:
                traceback.print_exc()

    def _dispatch(self, conn, msg):
        for fn in registry.intercepts(conn.proto, self.scenarios.names()):
            if fn(conn, msg):
                return
        registry.handler_for(conn.proto, msg.head.type)(conn, msg)
