"""Per-connection state and the ways a handler answers."""

import itertools
import threading
import time

from . import proto, safety
from .proto import Head


class Scenarios:
    """The --scenario NAME[=ARG] options, in command-line order.

    A name may be given several times; arg() is the last ARG, args() all."""

    def __init__(self, items=()):
        self._items = []
        for item in items:
            name, sep, arg = item.partition("=")
            self._items.append((name, arg if sep else None))

    def __contains__(self, name):
        return any(n == name for n, _ in self._items)

    def names(self):
        return [n for n, _ in self._items]

    def args(self, name):
        return [a for n, a in self._items if n == name]

    def arg(self, name, default=None):
        found = self.args(name)
        return found[-1] if found and found[-1] is not None else default

    def int(self, name, default=0):
        """ARG as an integer (0x.. accepted); default when absent."""
        value = self.arg(name)
        return default if value is None else int(value, 0)


_ids = itertools.count(1)


class Connection:
    """One TCP connection, or one UDP peer (address and port).

    Fields handlers may use:
      id          number of the connection within this simulator run
      proto       "tcp" or "udp"
      peer        (host, port) of the client
      scenarios   the Scenarios of the run
      scrambled   None before the first message; then True when the first
                  received message had non-zero security bits (TCP only)
      received    messages received so far (the current one included)
      sent        messages sent so far
      data        a dict for handlers' own state (login step, session ...)
    """

    def __init__(self, proto_name, peer, scenarios, transport, close=None):
        self.id = next(_ids)
        self.proto = proto_name
        self.peer = peer
        self.scenarios = scenarios
        self.scrambled = None
        self.received = 0
        self.sent = 0
        self.data = {}
        self.closed = False
        self._transport = transport      # fn(bytes, dest or None)
        self._close = close              # fn() ending a TCP connection
        self._lock = threading.Lock()

    def note_received(self, msg):
        self.received += 1
        if self.scrambled is None:
            self.scrambled = self.proto == "tcp" and msg.head.security != 0

    @property
    def replies_scrambled(self):
        """Whether messages built by send()/reply() go out scrambled.

        UDP is always plain: the client never asks for scrambling there.
        Scenario plain-replies keeps a scrambled connection's answers plain,
        which makes the client drop to plain from its first reply on."""
        return bool(self.scrambled) and "plain-replies" not in self.scenarios

    def encode(self, type, subtype=0, body=b"", ack=0, seq=0, ext=b"",
               scrambled=None, size=None):
        """Wire bytes of a message in this connection's mode.

        size overrides MsgSize (for lying heads); scrambled overrides the
        connection's mode."""
        if scrambled is None:
            scrambled = self.replies_scrambled
        if len(ext) & 0x03 or len(ext) > 0xFC:
            raise ValueError("extension length must be a multiple of 4 up to 252")
        flags = len(ext) | (proto.SECURITY_SCRAMBLED if scrambled else 0)
        head = Head(flags, 0, ack, type, subtype,
                    len(body) if size is None else size, seq)
        return proto.encode(head, ext, body, scrambled)

    def send(self, type, subtype=0, body=b"", ack=0, seq=0, ext=b"",
             scrambled=None, size=None, dest=None):
        self.send_raw(self.encode(type, subtype, body, ack, seq, ext,
                                  scrambled, size), dest)

    def reply(self, msg, body=b"", ack=0, type=None, subtype=None, size=None,
              dest=None):
        """Answer msg: same MsgType, MsgSubType and Seq unless overridden.

        Scenario reply-delay=MS waits that long before every reply."""
        delay = self.scenarios.int("reply-delay", 0)
        if delay:
            time.sleep(delay / 1000.0)
        self.send(msg.head.type if type is None else type,
                  msg.head.subtype if subtype is None else subtype,
                  body, ack, msg.head.seq, size=size, dest=dest)

    def send_raw(self, data, dest=None):
        """Exact bytes, no framing (for cut or malformed messages).

        dest: UDP only, another destination than the peer (e.g. broadcast);
        anything beyond loopback needs a private network namespace."""
        if dest is not None:
            safety.check_address(dest[0], "send to")
        with self._lock:
            if self.closed:
                return
            self._transport(bytes(data), dest)
            self.sent += 1

    def close(self):
        """TCP: close the connection after what was sent; UDP: no-op."""
        with self._lock:
            if self.closed or self._close is None:
                return
            self.closed = True
            self._close()
