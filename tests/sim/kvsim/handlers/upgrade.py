"""Firmware upgrade endpoint of the simulated device.

A client opens a connection of its own, sends a start request (5139 or 729: a
file of parts; 5140: multi-channel; 730: a plain file), then the data, the
closing messages and waits for the verdict:

  parts (5139/729)  start -> reply {u32 mask M, u32 wanted bytes W}
                    data messages (subtype 761, plain heads, Seq 1, 2, ...)
                    763, then 762 {u32 CRC} -> reply {u8 1}: flash progress
                    (764 {u8 percent}) and 765, or a close, or silence
  multi (5140)      start -> reply; data; 762 -> reply {u8 1}; progress
                    records (u32 length, u32 channel, u8 state, u8 progress)
                    until every requested channel has finished
  plain (730)       start -> reply; the file's bytes without heads; one
                    final message whose AckFlag is the verdict

The device checks what it receives: with upgrade-file=PATH the start request's
head and part table and every data byte against that file (the parts chosen
by M in table order; the whole file for 5140 and 730), the data Seq numbers,
the plain data heads, 763 before 762, and the CRC of 762 against
zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF over the bytes received. Any fault
makes the 762 answer AckFlag 1 (the plain upgrade's final AckFlag 1) and is
written to standard error and kept in conn.data["upgrade"]["faults"].

Data messages go raw; the start request, 763, 762 and every answer go in the
connection's mode (scrambled when the start request was).
"""

import socket
import struct
import sys
import time
import zlib

from ..registry import TCP, handles, scenario

T_PARTS3, T_PARTS6, T_MULTI, T_PLAIN = 5139, 729, 5140, 730
SUB_DATA, SUB_CRC, SUB_END, SUB_FLASH, SUB_FLASH_DONE = 761, 762, 763, 764, 765
FILE_HEAD, PART_ENTRY, NAME_FIELD, PIECE = 276, 92, 256, 4096

scenario("upgrade-file", "=PATH: the firmware the device expects; data is checked against it")
scenario("upgrade-session", "=N: the start request must carry session id N (else AckFlag 1)")
scenario("upgrade-start-ack", "=N: the start reply carries AckFlag N (no data expected)")
scenario("upgrade-mask", "=M: wanted-parts mask of the start reply (default: every part)")
scenario("upgrade-want", "=W: wanted byte count of the start reply (default: the chosen parts' bytes)")
scenario("upgrade-check-ack", "=N: the 762 reply carries AckFlag N")
scenario("upgrade-check-body", "=HEX: the 762 reply's body (default 01: flash follows; '' = empty)")
scenario("upgrade-flash", "=P,P,..: flash percentages sent as 764 (default 30,60,100)")
scenario("upgrade-flash-gap", "=MS: wait MS milliseconds before each flash progress message")
scenario("upgrade-flash-end", "=765|close|silent|bad: after the flash progress (default 765)")
scenario("upgrade-channels", "=SPEC: progress messages of a multi-channel upgrade, ';'-separated "
         "messages of ','-separated CH:STATE:PROGRESS records (default: each requested "
         "channel at 50 %, then each finished)")
scenario("upgrade-record-len", "=N: the first progress record claims length N")
scenario("upgrade-channels-end", "=close|silent: after the listed progress messages "
         "(default close)")
scenario("upgrade-plain-ack", "=N: the final AckFlag of a plain (730) upgrade")
scenario("upgrade-stall", "=start|data|check|plain: stop answering (and reading) there")
scenario("upgrade-reset-after", "=BYTES: reset the connection once that much data has arrived")

START_TYPES = (T_PARTS3, T_PARTS6, T_MULTI, T_PLAIN)
STALL_SECONDS = 120


def u32(b, off):
    return struct.unpack_from("<I", b, off)[0]


def crc(data):
    """The upgrade's CRC: reflected 0xEDB88320, initial 0, no final xor."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def file_check_value(image):
    return crc(image[:4] + image[8:])


def part_table(image_or_head, count, base=FILE_HEAD):
    parts = []
    for i in range(count):
        row = base + PART_ENTRY * i
        parts.append((u32(image_or_head, row + 8), u32(image_or_head, row + 12),
                      u32(image_or_head, row + 16) % 32))
    return parts


def name_text(field):
    return field.split(b"\0", 1)[0].decode("latin-1")


class State:
    def __init__(self, kind, msg_type):
        self.kind = kind
        self.type = msg_type
        self.start = None          # parsed start request
        self.expected = None       # the data the device wants, or None when unknown
        self.received = bytearray()
        self.next_seq = 1
        self.pieces = []           # sizes of the data pieces
        self.end_seen = False
        self.faults = []
        self.done = False

    def fault(self, conn, text):
        self.faults.append(text)
        print("kvsim upgrade conn %d: %s" % (conn.id, text), file=sys.stderr, flush=True)
        _event(conn, "upgrade-fault", error=text)


def _event(conn, name, **fields):
    log = getattr(conn, "log", None)
    if log is not None:
        log.event(conn, name, **fields)


def _file(conn):
    path = conn.scenarios.arg("upgrade-file")
    if not path:
        return None
    with open(path, "rb") as f:
        return f.read()


def _stall(conn, phase):
    if conn.scenarios.arg("upgrade-stall") != phase:
        return False
    # Neither read nor answer; the client's limits or its stop end the exchange.
    deadline = time.monotonic() + STALL_SECONDS
    while time.monotonic() < deadline and not conn.closed:
        time.sleep(0.05)
    return True


def _reset(conn):
    """End the connection with a TCP reset."""
    real = getattr(conn, "_conn", conn)  # under an envelope: the connection itself
    sock = getattr(real, "sock", None)
    if sock is None:
        real.close()
        return
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        real.closed = True
        sock.close()
    except OSError:
        pass


def _session_ok(conn, st, sid):
    """With upgrade-session=N the device accepts only the session id N (the one its
    login reply gave with session-id=N)."""
    want = conn.scenarios.arg("upgrade-session")
    if want is not None and sid != int(want, 0):
        st.fault(conn, "session id %#x, expected %s" % (sid, want))
        return False
    return True


def _parse_start(conn, st, msg):
    body = msg.payload
    image = _file(conn)
    if st.kind == "parts":
        if len(body) < 4 + FILE_HEAD + NAME_FIELD:
            st.fault(conn, "start request of %d bytes" % len(body))
            return None
        head = body[4:4 + FILE_HEAD]
        count = u32(head, 12)
        table_end = 4 + FILE_HEAD + PART_ENTRY * count
        if len(body) != table_end + NAME_FIELD:
            st.fault(conn, "start request of %d bytes for %d parts" % (len(body), count))
            return None
        parts = part_table(body[4:table_end], count, FILE_HEAD)
        start = {"sid": u32(body, 0), "count": count, "parts": parts,
                 "name": name_text(body[table_end:])}
        if image is not None:
            if body[4:table_end] != image[:table_end - 4]:
                st.fault(conn, "head or part table differs from the file")
            if file_check_value(image) != u32(image, 4):
                st.fault(conn, "the file's check value is wrong, yet it was sent")
        return start
    if st.kind == "multi":
        if len(body) != 304:
            st.fault(conn, "multi start request of %d bytes" % len(body))
            return None
        return {"sid": u32(body, 0), "size": u32(body, 4), "mask": u32(body, 8),
                "name": name_text(body[16:272]),
                "masks": list(struct.unpack_from("<8I", body, 272))}
    if len(body) != 328 or u32(body, 0) != 328:
        st.fault(conn, "plain start request of %d bytes" % len(body))
        return None
    return {"sid": u32(body, 4), "name": name_text(body[40:296]), "size": u32(body, 296)}


def _expected(conn, st, mask, want):
    image = _file(conn)
    if image is None:
        return None
    if st.kind != "parts":
        return image
    if want == 0:
        return b""
    return b"".join(image[off:off + length] for off, length, bit in st.start["parts"]
                    if mask & (1 << bit))


@handles(*START_TYPES, proto=TCP)
def upgrade(conn, msg):
    sub = msg.head.subtype
    st = conn.data.get("upgrade")
    if sub == 0 and st is None:
        return _on_start(conn, msg)
    if st is None or st.done or msg.head.type != st.type:
        if st is not None:
            st.fault(conn, "message %d/%d out of turn" % (msg.head.type, sub))
        return
    if sub == SUB_DATA:
        return _on_data(conn, st, msg)
    if sub == SUB_END:
        if st.kind != "parts":
            st.fault(conn, "763 on a multi-channel upgrade")
        if msg.head.seq != st.next_seq:
            st.fault(conn, "763 Seq %d, expected %d" % (msg.head.seq, st.next_seq))
        st.next_seq = msg.head.seq + 1
        st.end_seen = True
        return
    if sub == SUB_CRC:
        return _on_check(conn, st, msg)
    st.fault(conn, "unexpected subtype %d" % sub)


def _on_start(conn, msg):
    t = msg.head.type
    kind = {T_PARTS3: "parts", T_PARTS6: "parts", T_MULTI: "multi", T_PLAIN: "plain"}[t]
    st = State(kind, t)
    conn.data["upgrade"] = st
    if msg.head.seq != 0:
        st.fault(conn, "start request Seq %d" % msg.head.seq)
    st.start = _parse_start(conn, st, msg)
    if _stall(conn, "start"):
        return
    ack = conn.scenarios.int("upgrade-start-ack", 0)
    if st.start is None or not _session_ok(conn, st, st.start["sid"]):
        ack = ack or 1
    if kind == "parts" and st.start is not None:
        every = 0
        for _, _, bit in st.start["parts"]:
            every |= 1 << bit
        mask = conn.scenarios.int("upgrade-mask", every)
        chosen = sum(length for _, length, bit in st.start["parts"] if mask & (1 << bit))
        want = conn.scenarios.int("upgrade-want", chosen)
        st.mask, st.want = mask, want
        st.expected = _expected(conn, st, mask, want) if ack == 0 else b""
        conn.reply(msg, struct.pack("<II", mask, want), ack=ack)
        if ack:
            st.done = True
        return
    if st.start is not None:
        st.expected = _expected(conn, st, 0, 0) if ack == 0 else b""
        size = st.start["size"]
        if st.expected is not None and ack == 0 and len(st.expected) != size:
            st.fault(conn, "announced size %d, file has %d" % (size, len(st.expected)))
    conn.reply(msg, b"", ack=ack)
    if ack:
        st.done = True
        return
    if kind == "plain" and st.start is not None:
        _plain_data(conn, st, msg)


def _take(conn, st, data):
    st.received += data
    limit = conn.scenarios.int("upgrade-reset-after", -1)
    if limit >= 0 and len(st.received) >= limit:
        _reset(conn)
        st.done = True
        return False
    return True


def _on_data(conn, st, msg):
    h = msg.head
    if st.kind == "plain":
        st.fault(conn, "data head on a plain upgrade")
    if h.flags != 0 or msg.scrambled:
        st.fault(conn, "data piece with flags %d (pieces go raw)" % h.flags)
    if h.seq != st.next_seq:
        st.fault(conn, "data Seq %d, expected %d" % (h.seq, st.next_seq))
    st.next_seq = h.seq + 1
    if not 0 < len(msg.body) <= PIECE:
        st.fault(conn, "data piece of %d bytes" % len(msg.body))
    if st.end_seen:
        st.fault(conn, "data after 763")
    st.pieces.append(len(msg.body))
    if _stall(conn, "data"):
        return
    _take(conn, st, msg.body)


def _verify(conn, st, got_crc=None):
    data = bytes(st.received)
    if st.expected is not None and data != st.expected:
        first = next((i for i, (a, b) in enumerate(zip(data, st.expected)) if a != b),
                     min(len(data), len(st.expected)))
        st.fault(conn, "data differs from the file at byte %d (%d received, %d expected)"
                 % (first, len(data), len(st.expected)))
    if got_crc is not None and got_crc != crc(data):
        st.fault(conn, "762 CRC %08x, the data's is %08x" % (got_crc, crc(data)))


def _on_check(conn, st, msg):
    h = msg.head
    if h.seq != st.next_seq:
        st.fault(conn, "762 Seq %d, expected %d" % (h.seq, st.next_seq))
    if st.kind == "parts" and not st.end_seen:
        st.fault(conn, "762 without 763")
    if len(msg.body) != 4:
        st.fault(conn, "762 body of %d bytes" % len(msg.body))
        got = None
    else:
        got = u32(msg.body, 0)
    _verify(conn, st, got)
    st.done = True
    _event(conn, "upgrade-check", received=len(st.received), pieces=len(st.pieces),
           crc=got, faults=len(st.faults), sid=st.start["sid"] if st.start else None)
    if _stall(conn, "check"):
        return
    ack = conn.scenarios.int("upgrade-check-ack", 1 if st.faults else 0)
    body_hex = conn.scenarios.arg("upgrade-check-body", "01")
    body = bytes.fromhex(body_hex) if body_hex else b""
    conn.reply(msg, body, ack=ack)
    if ack != 0 or not body or body[0] == 0:
        return
    if st.kind == "parts":
        _flash(conn, st)
    else:
        _channels(conn, st)


def _flash(conn, st):
    spec = conn.scenarios.arg("upgrade-flash", "30,60,100")
    gap = conn.scenarios.int("upgrade-flash-gap", 0) / 1000.0
    for pct in [int(p, 0) for p in spec.split(",") if p]:
        if gap:
            time.sleep(gap)
        conn.send(st.type, SUB_FLASH, bytes([pct & 0xFF]))
    end = conn.scenarios.arg("upgrade-flash-end", "765")
    if end == "765":
        conn.send(st.type, SUB_FLASH_DONE)
    elif end == "bad":
        conn.send(st.type, 766)
    elif end == "close":
        conn.close()
    elif end == "silent":
        pass
    else:
        raise ValueError("upgrade-flash-end=%s" % end)


def _requested_channels(start):
    chans = [c for c in range(32) if start["mask"] >> c & 1]
    for word, bits in enumerate(start["masks"]):
        if word == 0:
            continue  # array word 0 is channels 0-31 again: the first word has them
        chans += [word * 32 + b for b in range(32) if bits >> b & 1]
    return chans


def _channels(conn, st):
    spec = conn.scenarios.arg("upgrade-channels")
    if spec is None:
        chans = _requested_channels(st.start)
        messages = [[(c, 0, 50) for c in chans], [(c, 1, 100) for c in chans]]
    else:
        messages = [[tuple(int(x, 0) for x in rec.split(":")) for rec in m.split(",") if rec]
                    for m in spec.split(";")]
    claim = conn.scenarios.arg("upgrade-record-len")
    for records in messages:
        body = b""
        for i, (ch, state, progress) in enumerate(records):
            length = 12
            if i == 0 and claim is not None:
                length = int(claim, 0)
            body += struct.pack("<IIBBxx", length, ch, state, progress)
        conn.send(st.type, SUB_FLASH, body)
    if conn.scenarios.arg("upgrade-channels-end", "close") == "close":
        conn.close()


def _plain_data(conn, st, msg):
    """730: the file comes without heads; read exactly its size."""
    size = st.start["size"]
    recv_exact = conn.recv_exact
    while len(st.received) < size:
        if _stall(conn, "data"):
            return
        chunk = recv_exact(min(PIECE, size - len(st.received)))
        if not chunk:
            st.fault(conn, "connection closed after %d of %d bytes" % (len(st.received), size))
            st.done = True
            return
        if not _take(conn, st, chunk):
            return
    _verify(conn, st)
    st.done = True
    _event(conn, "upgrade-check", received=len(st.received), pieces=0, crc=None,
           faults=len(st.faults), sid=st.start["sid"])
    if _stall(conn, "plain"):
        return
    ack = conn.scenarios.int("upgrade-plain-ack", 1 if st.faults else 0)
    conn.send(T_PLAIN, 0, b"", ack=ack)
