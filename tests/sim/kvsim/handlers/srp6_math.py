"""SRP-6a (RFC 5054 1024-bit group, SHA-1) of the device side and the AES-128-OFB
envelope, with Python integers, hashlib and python3-cryptography only.

Numbers travel as upper-case hex texts without leading zero bytes (two digits per
byte), the way the client writes them.  The salt enters x as its minimal big-endian
bytes and M1 padded to the length of N.  This module registers no handler.
"""

import hashlib
import struct

N = int(
    "EEAF0AB9ADB38DD69C33F80AFA8FC5E860726187"
    "75FF3C0B9EA2314C9C256576D674DF7496EA81D3"
    "383B4813D692C6E0E0D5D8E250B98BE48E495C1D"
    "6089DAD15DC7D7B46154D6B6CE8EF4AD69B15D49"
    "82559B297BCF1885C529F566660E57EC68EDBC3C"
    "05726CC02FD4CBF4976EAA9AFD5138FE8376435B"
    "9FC61D2FC0EB06E3", 16)
G = 2
NLEN = (N.bit_length() + 7) // 8  # 128

ENVELOPE_TYPE = 10003
BLOCK = 400
MIN_BLOCK = 144


def sha1(*parts):
    h = hashlib.sha1()
    for p in parts:
        h.update(p)
    return h.digest()


def pad(x):
    return x.to_bytes(NLEN, "big")


def minimal(x):
    return x.to_bytes((x.bit_length() + 7) // 8, "big")


def bn_hex(x):
    """Upper-case hex, two digits per byte, no leading zero bytes; "0" for zero."""
    if x == 0:
        return "0"
    return minimal(x).hex().upper()


def identity(user):
    """The SRP identity of a user name: SHA-256 as 64 upper-case hex digits."""
    return hashlib.sha256(user.encode("latin-1")).hexdigest().upper()


def k_value():
    return int.from_bytes(sha1(pad(N), pad(G)), "big")


def u_value(A, B):
    return int.from_bytes(sha1(pad(A), pad(B)), "big")


def x_value(salt, I, P):
    return int.from_bytes(sha1(minimal(salt), sha1(I.encode() + b":" + P.encode("latin-1"))), "big")


def verifier(salt, I, P):
    return pow(G, x_value(salt, I, P), N)


def server_B(v, b):
    return (k_value() * v + pow(G, b, N)) % N


def client_A(a):
    return pow(G, a, N)


def client_S(a, B, salt, I, P):
    A = client_A(a)
    u = u_value(A, B)
    x = x_value(salt, I, P)
    base = (B - k_value() * pow(G, x, N)) % N
    return pow(base, a + u * x, N)


def server_S(A, b, v, B):
    u = u_value(A, B)
    return pow(A * pow(v, u, N) % N, b, N)


def m1(I, salt, A, B, S):
    hn = sha1(pad(N))
    hg = sha1(minimal(G))
    x = bytes(p ^ q for p, q in zip(hn, hg))
    return int.from_bytes(sha1(x, sha1(I.encode()), pad(salt), pad(A), pad(B), pad(S)), "big")


def m2(A, M1, S):
    return int.from_bytes(sha1(pad(A), pad(M1), pad(S)), "big")


def key_iv(S):
    """Key and IV (16 bytes each) from S: its hex text, and the text reversed."""
    text = bn_hex(S)
    key = bytes.fromhex(text)
    iv = bytes.fromhex(text[::-1])
    return (key + bytes(16))[:16], (iv + bytes(16))[:16]


try:  # newer releases keep OFB apart from the recommended modes
    from cryptography.hazmat.decrepit.ciphers.modes import OFB as _OFB
except ImportError:
    from cryptography.hazmat.primitives.ciphers.modes import OFB as _OFB


def _ofb(key, iv, data):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms
    enc = Cipher(algorithms.AES(key), _OFB(iv)).encryptor()
    return enc.update(data) + enc.finalize()


def digest_text(body, L, inner):
    return hashlib.sha1(body[:8] + body[MIN_BLOCK:L] + inner).hexdigest().upper()


def seal(key, iv, counter, inner, block=BLOCK):
    """Envelope body (encrypted) for the inner message bytes."""
    head = struct.pack("<II", block, counter)
    plain = bytearray(head + bytes(block - 8))
    text = digest_text(bytes(plain), block, inner).encode()
    plain[8:8 + len(text)] = text
    return _ofb(key, iv, bytes(plain) + inner)


class EnvelopeError(Exception):
    pass


def open_body(key, iv, body):
    """(counter, inner message bytes, digest text) of an envelope body; raises
    EnvelopeError on a wrong length or digest."""
    plain = _ofb(key, iv, bytes(body))
    if len(plain) < MIN_BLOCK + 16:
        raise EnvelopeError("envelope of %d bytes is too short" % len(plain))
    L, counter = struct.unpack_from("<II", plain)
    if L < MIN_BLOCK or L > len(plain) - 16:
        raise EnvelopeError("block length %d out of range" % L)
    flags = plain[L]
    size = struct.unpack_from("<I", plain, L + 8)[0]
    end = L + 16 + (flags & 0xFC) + size
    if end > len(plain):
        raise EnvelopeError("inner message does not fit")
    inner = plain[L:end]
    field = plain[8:8 + 136].split(b"\0", 1)[0].decode("latin-1")
    want = digest_text(plain, L, inner)
    if field != want:
        raise EnvelopeError("digest %s, expected %s" % (field, want))
    return counter, inner, field
