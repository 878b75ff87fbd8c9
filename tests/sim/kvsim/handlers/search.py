"""Device side of the search for devices (UDP 9333): N simulated devices, each with its
own MAC and address texts, answering every search variant, with fault scenarios.

Independent of the C++ client: records and heads are built here from the wire layout.
"""
import struct

HEAD = struct.Struct("<BBHHHII")  # flags, second, AckFlag, MsgType, MsgSubType, MsgSize, Seq
SEARCH_TYPES = {11, 618, 620, 623, 625, 628}
RECORD_SIZE = 448
ENDLESS_PERIOD = 0.1
ENDLESS_LIMIT = 60.0  # an endless replier still stops some day


def ip_text(n):
    return "%d.%d.%d.%d" % ((n >> 24) & 255, (n >> 16) & 255, (n >> 8) & 255, n & 255)


def ip_num(text):
    a = [int(x) for x in text.split(".")]
    return (a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3]


def _text(s, width):
    b = s.encode() if isinstance(s, str) else bytes(s)
    return b[:width].ljust(width, b"\0")


class Device:
    """One simulated device: its search record fields and its credentials."""

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

    def to_json(self):
        return {"ip": self.ip, "mask": self.mask, "gateway": self.gateway, "mac": self.mac,
                "media_port": self.media_port, "web_port": self.web_port, "mode": self.mode,
                "extra1": self.extra1, "extra2": self.extra2}


def make_devices(opts):
    """The device table from the options: --devices N, --ips a,b,..., --first-ip,
    --mac-prefix, --dup-macs K (the last K devices repeat the MACs of the first K)."""
    ips = [x for x in (opts.ips or "").split(",") if x]
    n = len(ips) if ips else opts.devices
    first = ip_num(opts.first_ip)
    devs = []
    for i in range(n):
        ip = ips[i] if ips else ip_text(first + i)
        mac = "%s-%02X-%02X" % (opts.mac_prefix, (i >> 8) & 255, i & 255)
        devs.append(Device(i, ip, mac))
    k = min(opts.dup_macs, n // 2)
    for j in range(k):
        devs[n - k + j].mac = devs[j].mac
    return devs


def head(msg_type, sub, size, seq, ack=0):
    return HEAD.pack(0, 0, ack, msg_type, sub, size, seq & 0xFFFFFFFF)


def search_replies(devs, hdr, dst, broadcast, opts):
    """The datagrams that answer one search request, as (delay seconds, datagram,
    endless) tuples. A unicast probe is answered by the devices at that address."""
    _, _, _, msg_type, sub, _, seq = hdr
    if broadcast:
        chosen = devs
    else:
        chosen = [d for d in devs if d.ip == dst]
    out = []
    delay = opts.delay_ms / 1000.0
    for d in chosen:
        rec = d.record()
        size = len(rec)
        if opts.short_record:
            rec = rec[:opts.short_record]
            size = len(rec)
        elif opts.long_record:
            rec = rec + bytes([0xAB]) * (opts.long_record - len(rec))
            size = len(rec)
        if opts.oversize:
            size = len(rec) + 4096  # announces more than the datagram holds
        if d.index < opts.stale:
            out.append((delay, head(msg_type, sub, size, seq - 1) + rec, False))
        dg = head(msg_type, sub, size, seq) + rec
        out.append((delay, dg, bool(opts.endless)))
        if d.index < opts.duplicate:
            out.append((delay, dg, False))
    return out


def add_arguments(p):
    p.add_argument("--devices", type=int, default=3)
    p.add_argument("--ips", default="", help="comma-separated device addresses")
    p.add_argument("--first-ip", default="198.51.100.64")
    p.add_argument("--mac-prefix", default="00-4B-56-00")
    p.add_argument("--dup-macs", type=int, default=0)
    p.add_argument("--duplicate", type=int, default=0, help="first K devices answer twice")
    p.add_argument("--stale", type=int, default=0, help="first K devices also send a stale Seq")
    p.add_argument("--delay-ms", type=int, default=0)
    p.add_argument("--short-record", type=int, default=0, help="record cut to this many bytes")
    p.add_argument("--long-record", type=int, default=0, help="record padded to this many bytes")
    p.add_argument("--oversize", action="store_true", help="MsgSize beyond the datagram")
    p.add_argument("--endless", action="store_true", help="answer every 100 ms without end")
    p.add_argument("--silent", action="store_true", help="never answer a search")
