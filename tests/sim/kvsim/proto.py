"""Wire format of device messages: the 16-byte head, the login probe trailer
and the scrambled framing, as the device side sees them.

Head, little-endian: flags (bits 0-1 security: 0 plain, 2 scrambled;
flags & 0xFC = extension length), second byte, u16 AckFlag, u16 MsgType,
u16 MsgSubType, u32 MsgSize (body length), u32 Seq.  The extension follows
the head, then the body.

In a scrambled message bytes 0-1 of the head stay plain; head bytes 2..15
together with the extension are one scrambled unit and the body is another.
"""

import struct
from dataclasses import dataclass

from .scrambler import scramble, unscramble

__all__ = [
    "HEAD_SIZE", "HEAD", "Head", "Message", "MAX_BODY", "PROBE_TRAILER",
    "SECURITY_PLAIN", "SECURITY_SCRAMBLED", "ProtocolError",
    "has_probe", "encode", "read_message", "decode_datagram",
    "scramble", "unscramble",
]

HEAD = struct.Struct("<BBHHHII")
HEAD_SIZE = HEAD.size  # 16

SECURITY_PLAIN = 0
SECURITY_SCRAMBLED = 2

# The largest body a peer may announce; the client refuses anything larger.
MAX_BODY = 0x1000000

# Appended by the client to the body of the first login message of a
# connection (and counted in MsgSize).
PROBE_TRAILER = struct.pack("<I4sI", 272, b"TEDD", 3) + bytes(260)
assert len(PROBE_TRAILER) == 272


class ProtocolError(Exception):
    """Bytes that cannot be a message; .raw holds what was read."""

    def __init__(self, reason, raw=b""):
        super().__init__(reason)
        self.raw = raw


@dataclass
class Head:
    flags: int = 0
    second: int = 0
    ack: int = 0
    type: int = 0
    subtype: int = 0
    size: int = 0
    seq: int = 0

    @property
    def security(self):
        return self.flags & 0x03

    @property
    def ext_len(self):
        return self.flags & 0xFC

    def pack(self):
        return HEAD.pack(self.flags, self.second, self.ack, self.type,
                         self.subtype, self.size, self.seq)

    @classmethod
    def unpack(cls, data):
        return cls(*HEAD.unpack(bytes(data[:HEAD_SIZE])))

    def as_dict(self):
        return {"flags": self.flags, "second": self.second, "ack": self.ack,
                "type": self.type, "subtype": self.subtype,
                "size": self.size, "seq": self.seq}


def has_probe(body):
    return len(body) >= len(PROBE_TRAILER) and body.endswith(PROBE_TRAILER)


@dataclass
class Message:
    """One received message, plain (unscrambled) apart from .raw."""
    head: Head
    ext: bytes
    body: bytes
    raw: bytes          # exact wire bytes
    scrambled: bool
    dst: str = None     # UDP: the datagram's destination address
    ifindex: int = 0    # UDP: the interface it came in on

    @property
    def probe(self):
        return has_probe(self.body)

    @property
    def payload(self):
        """The body without the login probe trailer."""
        return self.body[:-len(PROBE_TRAILER)] if self.probe else self.body


def encode(head, ext=b"", body=b"", scrambled=False):
    """Wire bytes of one message.  head.flags is written as given; a
    scrambled message scrambles head bytes 2..15 + ext, then the body."""
    raw = head.pack()
    if not scrambled:
        return raw + ext + body
    return raw[:2] + scramble(raw[2:] + ext) + scramble(body)


def _unscramble_head(raw_head, ext):
    plain = raw_head[:2] + unscramble(raw_head[2:] + ext)
    return Head.unpack(plain), plain[HEAD_SIZE:]


def read_message(recv_exact, max_body=MAX_BODY):
    """Read one TCP message with recv_exact(n) -> bytes (shorter only at end
    of stream).  Returns None on a clean end before any byte; raises
    ProtocolError with the bytes read on a cut or oversized message."""
    raw = recv_exact(HEAD_SIZE)
    if not raw:
        return None
    if len(raw) < HEAD_SIZE:
        raise ProtocolError("connection closed inside the head", raw)
    scrambled = raw[0] & 0x03 == SECURITY_SCRAMBLED
    ext_len = raw[0] & 0xFC          # byte 0 is never scrambled
    ext = recv_exact(ext_len) if ext_len else b""
    raw += ext
    if len(ext) < ext_len:
        raise ProtocolError("connection closed inside the extension", raw)
    if scrambled:
        head, ext = _unscramble_head(raw[:HEAD_SIZE], ext)
    else:
        head = Head.unpack(raw)
    if head.size > max_body:
        raise ProtocolError("body of %d bytes is too large" % head.size, raw)
    body = recv_exact(head.size) if head.size else b""
    raw += body
    if len(body) < head.size:
        raise ProtocolError("connection closed inside the body", raw)
    if scrambled:
        body = unscramble(body)
    return Message(head, ext, body, raw, scrambled)


def decode_datagram(data):
    """One UDP datagram as a message.  The body is what follows the head and
    extension, whatever MsgSize says (the log shows both)."""
    data = bytes(data)
    if len(data) < HEAD_SIZE:
        raise ProtocolError("datagram shorter than a head", data)
    ext_len = data[0] & 0xFC
    if len(data) < HEAD_SIZE + ext_len:
        raise ProtocolError("datagram shorter than its extension", data)
    ext = data[HEAD_SIZE:HEAD_SIZE + ext_len]
    body = data[HEAD_SIZE + ext_len:]
    scrambled = data[0] & 0x03 == SECURITY_SCRAMBLED
    if scrambled:
        head, ext = _unscramble_head(data[:HEAD_SIZE], ext)
        body = unscramble(body)
    else:
        head = Head.unpack(data)
    return Message(head, ext, body, data, scrambled)
