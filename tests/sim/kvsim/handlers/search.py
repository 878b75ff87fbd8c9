"""Device side of the search for devices (UDP, types 11, 618, 620, 623, 625, 628).

The simulator plays N devices, each with its own MAC and address texts, and answers
a search with one 448-byte record per device: all of them for a broadcast, the
device at the probed address for a unicast probe. Re-addressing (readdress.py)
changes the same table, so a later search shows the new values.
"""

import struct
import threading
import time

from ..registry import UDP, handler_for, handles, scenario

scenario("devices", "=N: number of simulated devices (default 3)")
scenario("device-ips", "=A,B,..: one device per address (overrides devices)")
scenario("first-ip", "=A: address of device 0, the others follow (default 198.51.100.64)")
scenario("media-port", "=P: every device reports media port P (one TCP listener serves them all)")
scenario("mac-prefix", "=P: MAC texts are P-HH-LL with the device index (default 00-4B-56-00)")
scenario("dup-macs", "=K: the last K devices repeat the MAC texts of the first K")
scenario("search-duplicate", "=K: the first K devices answer twice")
scenario("search-stale", "=K: the first K devices also send an answer with an old Seq")
scenario("search-delay", "=MS: answers leave MS milliseconds after the request")
scenario("search-short", "=N: the record is cut to N bytes (MsgSize N)")
scenario("search-long", "=N: the record is padded to N bytes (MsgSize N)")
scenario("search-lying-size", "MsgSize announces 4096 bytes more than the datagram holds")
scenario("search-endless", "every device answers every 100 ms without end")
scenario("search-silent", "log search requests, never answer them")
scenario("search-trace", "=FILE: append the CLOCK_MONOTONIC time after each burst of answers")

SEARCH_TYPES = (11, 618, 620, 623, 625, 628)
RECORD_SIZE = 448
ENDLESS_PERIOD = 0.1
ENDLESS_LIMIT = 60.0  # even an endless replier stops some day
HEAD = struct.Struct("<BBHHHII")


def ip_text(n):
    return "%d.%d.%d.%d" % ((n >> 24) & 255, (n >> 16) & 255, (n >> 8) & 255, n & 255)


def ip_num(text):
    a = [int(x) for x in text.split(".")]
    return (a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3]


def _text(s, width):
    b = s.encode() if isinstance(s, str) else bytes(s)
    return b[:width].ljust(width, b"\0")


class Device:
    """One simulated device: its search record fields and credentials."""

    def __init__(self, index, ip, mac):
        self.index = index
        self.ip = ip
        self.mask = "255.255.255.0"
        self.gateway = "198.51.100.254"
        self.extra1 = "0.0.0.0"
        self.extra2 = "0.0.0.0"
        self.media_port = 9330 + (index % 50)
        self.web_port = 80
        self.mode = 2
        self.name = "SIM-%04d" % index
        self.carry = bytes([0xC0 + (index & 0xF)] + [index & 0xFF] * 7)
        self.version = "V1.2.%d" % index
        self.dev_type = "KV-SIM-DVR"
        self.mac = mac
        self.channels = 4
        self.p2p_id = "KVP2P%06d" % index
        self.type2 = "KV-SIM-2"
        self.channels8 = 0
        self.user = "admin"
        self.password = ""

    def record(self):
        r = bytearray(RECORD_SIZE)
        r[0x000:0x034] = _text(self.ip, 0x34)
        r[0x034:0x044] = _text(self.mask, 16)
        r[0x044:0x054] = _text(self.gateway, 16)
        r[0x054:0x064] = _text(self.extra1, 16)
        r[0x064:0x074] = _text(self.extra2, 16)
        struct.pack_into("<III", r, 0x074, self.media_port, self.web_port, self.mode)
        r[0x080:0x09C] = _text(self.name, 0x1C)
        r[0x09C:0x0A4] = self.carry
        r[0x0A4:0x0CC] = _text(self.version, 40)
        r[0x0CC:0x0F0] = _text(self.dev_type, 36)
        r[0x0F0:0x114] = _text(self.mac, 36)
        struct.pack_into("<I", r, 0x114, self.channels)
        r[0x11A:0x140] = _text(self.p2p_id, 0x26)
        r[0x140:0x162] = _text(self.type2, 0x22)
        struct.pack_into("<b", r, 0x162, self.channels8)
        return bytes(r)


_tables = {}
_tables_lock = threading.Lock()


def devices(scenarios):
    """The device table of this simulator run (made on first use)."""
    with _tables_lock:
        table = _tables.get(id(scenarios))
        if table is None:
            table = _tables[id(scenarios)] = (_make(scenarios), threading.Lock())
        return table


def _make(sc):
    ips = [x for x in (sc.arg("device-ips") or "").split(",") if x]
    n = len(ips) if ips else sc.int("devices", 3)
    first = ip_num(sc.arg("first-ip", "198.51.100.64"))
    prefix = sc.arg("mac-prefix", "00-4B-56-00")
    devs = []
    for i in range(n):
        ip = ips[i] if ips else ip_text(first + i)
        devs.append(Device(i, ip, "%s-%02X-%02X" % (prefix, (i >> 8) & 255, i & 255)))
        if sc.arg("media-port"):
            devs[-1].media_port = sc.int("media-port", 0)
    k = min(sc.int("dup-macs", 0), n // 2)
    for j in range(k):
        devs[n - k + j].mac = devs[j].mac
    return devs


def head(msg_type, subtype, size, seq, ack=0):
    return HEAD.pack(0, 0, ack, msg_type, subtype, size, seq & 0xFFFFFFFF)


def _is_broadcast(dst):
    return dst is None or dst == "255.255.255.255" or dst.endswith(".255")


def answers(devs, msg, sc):
    """[(datagram, endless)] answering one search request."""
    h = msg.head
    chosen = devs if _is_broadcast(msg.dst) else [d for d in devs if d.ip == msg.dst]
    short, long_, lying = sc.int("search-short", 0), sc.int("search-long", 0), "search-lying-size" in sc
    stale, dup, endless = sc.int("search-stale", 0), sc.int("search-duplicate", 0), "search-endless" in sc
    out = []
    for d in chosen:
        rec = d.record()
        if short:
            rec = rec[:short]
        elif long_:
            rec = rec + b"\xAB" * (long_ - len(rec))
        size = len(rec) + (4096 if lying else 0)
        if d.index < stale:
            out.append((head(h.type, h.subtype, size, h.seq - 1) + rec, False))
        dg = head(h.type, h.subtype, size, h.seq) + rec
        out.append((dg, endless))
        if d.index < dup:
            out.append((dg, False))
    return out


def _trace(sc):
    path = sc.arg("search-trace")
    if path:
        with open(path, "a") as f:
            f.write("%.6f\n" % time.monotonic())


def _send_all(conn, datagrams, delay):
    if delay:
        time.sleep(delay)
    for dg, _ in datagrams:
        conn.send_raw(dg)
    _trace(conn.scenarios)
    repeat = [dg for dg, endless in datagrams if endless]
    end = time.monotonic() + ENDLESS_LIMIT
    while repeat and time.monotonic() < end and not conn.closed:
        time.sleep(ENDLESS_PERIOD)
        for dg in repeat:
            conn.send_raw(dg)


def not_mine(conn, msg):
    """A message of these types that is not a request of this kind goes to the default
    handler (echo), as any message without a handler would."""
    handler_for(UDP, -1)(conn, msg)


@handles(*SEARCH_TYPES, proto=UDP)
def search(conn, msg):
    sc = conn.scenarios
    if msg.body or msg.head.size:
        not_mine(conn, msg)  # a search request is a head without body
        return
    if "search-silent" in sc:
        return
    devs, lock = devices(sc)
    with lock:
        datagrams = answers(devs, msg, sc)
    delay = sc.int("search-delay", 0) / 1000.0
    if delay or "search-endless" in sc:
        # Keeps answering for a while: off the UDP thread.
        threading.Thread(target=_send_all, args=(conn, datagrams, delay), daemon=True).start()
    else:
        _send_all(conn, datagrams, 0)
