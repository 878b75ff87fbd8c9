"""A minimal RCT endpoint for the test peers, written from the wire description alone.

One RctEndpoint serves one session channel. It answers heartbeats and sends its own, receives
data in order with cumulative ACK2 and single-range SACK2 acknowledgements, sends with a fixed
window and resends on a fixed time-out, and ends on FIN, quit, abort or create-exit.

Packets: 20-byte head, little-endian: u32 magic 0xF1C2975A, u8 type, u8 version (5), u16 length
of the body, u32 idLow, u32 idHigh, u8 sendCount, u8 index, u16 reserved. Ids count idLow
0..0xF0000000, then idHigh goes up by one.
"""
import collections
import struct
import time

MAGIC = 0xF1C2975A
HEAD = struct.Struct("<IBBHIIBBH")
HEARTBIT, HEARTBIT_ACK = 0x01, 0x41
DATA, DATA_ACK, URGENT, URGENT_ACK = 0x02, 0x42, 0x10, 0x50
FIN, FIN_ACK, QUIT, ABORT, ABORT_ACK, CREATE_EXIT = 0x03, 0x43, 0x04, 0x20, 0x60, 0x70
SACK2, ACK2 = 0x45, 0x46
ID_SPAN = 0xF0000001
MAX_DATA = 1280


def id_to_wire(n):
    return n % ID_SPAN, n // ID_SPAN


def id_from_wire(low, high):
    return high * ID_SPAN + low


def head(ptype, ident=0, length=0, index=0, send_count=0, reserved=0):
    """ident is a count, or the (low, high) pair of a received head that an ack echoes."""
    lo, hi = ident if isinstance(ident, tuple) else id_to_wire(ident)
    return HEAD.pack(MAGIC, ptype, 5, length, lo, hi, send_count, index, reserved)


class RctEndpoint:
    """send(bytes) puts one RCT packet on the channel; on_data(bytes) gets in-order data."""

    def __init__(self, send, index=77, window=512, rto=0.25, on_data=None, hold_limit=8192):
        self.send = send
        self.index = index
        self.remote_index = 0
        self.peer_seen = False
        self.window = window
        self.rto = rto
        self.on_data = on_data
        self.hold_limit = hold_limit
        self.expected = 0
        self.held = {}
        self.out = collections.OrderedDict()  # id -> [payload, last send time]
        self.pending = collections.deque()
        self.next_id = 0
        self.last_hb = 0.0
        self.ended = None  # why the channel ended
        self.rx_bytes = 0
        self.tx_bytes = 0
        self.resends = 0
        self.silent = False
        self.can_take = None  # when it says no, in-order data is left unacknowledged (flow control)

    # ---- sending ------------------------------------------------------------------------------
    def write(self, data):
        for i in range(0, len(data), MAX_DATA):
            self.pending.append(bytes(data[i:i + MAX_DATA]))

    def backlog(self):
        return len(self.pending) + len(self.out)

    def _put(self, pkt):
        if not self.silent:
            self.send(pkt)

    def _send_data(self, ident, payload, now):
        self.out[ident][1] = now
        self._put(head(DATA, ident, len(payload), self.remote_index, 1) + payload)

    def tick(self, now=None):
        now = time.monotonic() if now is None else now
        if self.ended:
            return
        period = 1.0 if self.peer_seen else 0.1
        if now - self.last_hb >= period:
            self.last_hb = now
            self._put(head(HEARTBIT, 0, 0, self.index))
        while self.pending and len(self.out) < self.window:
            payload = self.pending.popleft()
            ident = self.next_id
            self.next_id += 1
            self.out[ident] = [payload, 0.0]
            self.tx_bytes += len(payload)
            self._send_data(ident, payload, now)
        for ident, ent in self.out.items():
            if now - ent[1] >= self.rto:
                self.resends += 1
                self._send_data(ident, ent[0], now)

    # ---- receiving ----------------------------------------------------------------------------
    def on_packet(self, pkt):
        if len(pkt) < HEAD.size or self.ended:
            return
        magic, ptype, version, length, lo, hi, count, index, reserved = HEAD.unpack_from(pkt)
        if magic != MAGIC or length != len(pkt) - HEAD.size:
            return
        ident = id_from_wire(lo, hi)
        body = pkt[HEAD.size:]
        if ptype == HEARTBIT:
            self.peer_seen = True
            if version >= 4 and index:
                self.remote_index = index
            self._put(head(HEARTBIT_ACK, (lo, hi), 0, index, count, reserved))
        elif ptype in (DATA, URGENT):
            self._on_data(ptype, ident, body, count, reserved)
        elif ptype == ACK2:
            for k in [k for k in self.out if k <= ident]:
                del self.out[k]
        elif ptype in (DATA_ACK, URGENT_ACK):
            self.out.pop(ident, None)
        elif ptype == SACK2 and len(body) == 72:
            n = min(struct.unpack_from("<I", body, 4)[0], 4)
            for r in range(n):
                flo, fhi, tlo, thi = struct.unpack_from("<IIII", body, 8 + 16 * r)
                a, b = id_from_wire(flo, fhi), id_from_wire(tlo, thi)
                for k in [k for k in self.out if a <= k <= b]:
                    del self.out[k]
        elif ptype == FIN:
            self._put(head(FIN_ACK, (lo, hi), 0, self.remote_index, count, reserved))
            self._end("fin")
        elif ptype == FIN_ACK:
            self._end("fin-ack")
        elif ptype == QUIT:
            self._end("quit")
        elif ptype == ABORT:
            self._put(head(ABORT_ACK, (lo, hi), 0, self.remote_index, count, reserved))
            self._end("abort")
        elif ptype == CREATE_EXIT:
            self._end("create-exit")

    def _end(self, why):
        if not self.ended:
            self.ended = why
            self._put(head(QUIT, 0, 0, self.remote_index))

    def _ack2(self):
        if self.expected > 0:
            self._put(head(ACK2, self.expected - 1, 0, self.remote_index))

    def _on_data(self, ptype, ident, body, count, reserved):
        if ptype == URGENT:
            self._put(head(URGENT_ACK, id_to_wire(ident), 0, self.remote_index, count, reserved))
        if ident < self.expected:
            self._ack2()
            return
        if ident == self.expected:
            if self.can_take and not self.can_take():
                return
            self._deliver(body)
            self.expected += 1
            while self.expected in self.held:
                self._deliver(self.held.pop(self.expected))
                self.expected += 1
            self._ack2()
            return
        if ident - self.expected >= self.hold_limit:
            return  # not kept, so not acknowledged
        self.held[ident] = body
        body72 = struct.pack("<II", 0, 1) + struct.pack("<IIII", *id_to_wire(ident), *id_to_wire(ident)) + bytes(48)
        self._put(head(SACK2, max(self.expected - 1, 0), 72, self.remote_index) + body72)

    def _deliver(self, data):
        self.rx_bytes += len(data)
        if self.on_data:
            self.on_data(data)
