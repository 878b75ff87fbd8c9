"""The device side of sessions: login in three device kinds, the SRP-6a exchange, the
AES envelope, one-shot messages, alarm subscriptions and the failure scenarios of a
logged-in session.

Device kinds (scenario device-kind=KIND; without the scenario these handlers step
aside and the messages are echoed, as the framing tests expect):
  plain      plain-only device: refuses the credential-free login probe with AckFlag 11
             (no key exchange), accepts the plain login that follows
  scrambled  the same, but every answer goes out scrambled (the client follows)
  srp        answers the probe with AckFlag 10000, runs the SRP-6a exchange (messages
             10000/10001 and 10000/10002) and then talks only in envelopes (type 10003)

The SRP arithmetic lives in srp6_math.py (Python integers, hashlib,
python3-cryptography).  Findings are logged as events: "srp-hello" (identity, A),
"srp-proof" (M1 received and expected, ok), "envelope" (ok, counter, inner head and
body, or the error) and "login" (the credentials and flags the device saw).
"""

import random
import struct
import time
import threading

from .. import proto, registry
from ..conn import Connection
from ..proto import Head, Message
from ..registry import TCP, handles, intercept, scenario
from . import srp6_math as m
from .base import SESSION_ID_DEFAULT, echo, log_event

scenario("device-kind", "=plain|scrambled|srp: how the device logs in; without it login,\n"
         "                   one-shot and subscription messages are echoed like any other")
scenario("user", "=NAME: the device's user (default admin)")
scenario("password", "=PWD: the user's password (default admin123; may be empty)")
scenario("login-ack", "=N: refuse the real login with AckFlag N")
scenario("login-reply-size", "=N: login reply body of N bytes (default 1232)")
scenario("login-caps", "=N: u32 capability word at byte 572 of the login reply (bit 1: newer upgrade type)")
scenario("login-byte", "=OFF:VAL: byte OFF of the login reply is VAL (repeatable)")
scenario("login-no-magic", "the login reply lacks the 0x4B56 magic")
scenario("login-ext", "=N: extension length at offset 182 of the login reply")
scenario("session-id", "=N: session id at offset 160 of the login reply")
scenario("srp-hello-ack", "=N: answer the client hello with AckFlag N")
scenario("srp-proof-ack", "=N: answer the client proof with AckFlag N")
scenario("srp-bad-m2", "send an M2 that differs from the right one in letter case")
scenario("srp-bad-digest", "send envelopes whose digest text is altered in one digit")
scenario("silent-after-login", "never answer once logged in (heartbeats included)")
scenario("close-mid-reply", "once logged in, answer with part of a head and close")
scenario("drip-after-login", "=MS: once logged in, answer the first message with a 1000-byte "
         "message sent one byte every MS ms (and nothing more)")
scenario("oneshot-ack", "=N: answer the one-shot message (335/416) with AckFlag N")
scenario("oneshot-stray-alarm", "send an alarm report before the one-shot answer")
scenario("alarm-after-login", "=SUB: send an alarm report (890/SUB) right after login")

LOGIN_TYPES = (31, 617, 619, 622, 624, 627)
MAGIC = 0x4B56
_period = bytes(((i * 13 + 5) & 0xFF) for i in range(256))


def _pattern(n):
    return (_period * (n // 256 + 1))[:n]


def _kind(conn):
    return conn.scenarios.arg("device-kind", "plain")


def _active(conn):
    return "device-kind" in conn.scenarios


def _user(conn):
    return conn.scenarios.arg("user", "admin")


def _password(conn):
    return conn.scenarios.arg("password", "admin123")


def _cstr(b):
    return b.split(b"\0", 1)[0].decode("latin-1")


def login_reply_body(conn):
    sc = conn.scenarios
    size = sc.int("login-reply-size", 1232)
    b = bytearray(_pattern(size))
    if size >= 8:
        b[6:8] = struct.pack("<H", 0 if "login-no-magic" in sc else MAGIC)
    if size >= 164:
        b[160:164] = struct.pack("<I", sc.int("session-id", SESSION_ID_DEFAULT))
    if size >= 184:
        b[182:184] = struct.pack("<H", sc.int("login-ext", 0))
    if size >= 576 and "login-caps" in sc:
        b[572:576] = struct.pack("<I", sc.int("login-caps", 0))
    for arg in sc.args("login-byte"):
        off, val = (int(x, 0) for x in arg.split(":"))
        if 0 <= off < size:
            b[off] = val & 0xFF
    return bytes(b)


def _check_credentials(conn, msg):
    """(ack, fields) of a real login: 0, 11 (no such user) or 12 (wrong password)."""
    body = msg.payload
    hashed = msg.head.subtype == 621
    if hashed:
        user, pwd = _cstr(body[0:256]), _cstr(body[256:512])
        sid, flags = struct.unpack_from("<II", body, 512) if len(body) >= 520 else (0, 0)
        want_user = m.hashlib.sha256(_user(conn).encode("latin-1")).hexdigest()
        want_pwd = m.hashlib.sha256(_password(conn).encode("latin-1")).hexdigest()
    else:
        user, pwd = _cstr(body[0:36]), _cstr(body[36:72])
        sid, flags = struct.unpack_from("<II", body, 72) if len(body) >= 80 else (0, 0)
        want_user, want_pwd = _user(conn)[:35], _password(conn)[:35]
    fields = {"user": user, "password": pwd, "session_id": sid, "flags": flags,
              "hashed": hashed, "type": msg.head.type, "subtype": msg.head.subtype,
              "security": msg.head.security, "size": msg.head.size}
    if user != want_user:
        return 11, fields
    if pwd != want_pwd:
        return 12, fields
    return 0, fields


@handles(*LOGIN_TYPES, proto=TCP)
def login(conn, msg):
    if not _active(conn):
        return echo(conn, msg)
    kind = _kind(conn)
    if kind == "scrambled":
        conn.scrambled = True
    if msg.probe:
        creds_zero = not any(msg.payload[:512 if msg.head.subtype == 621 else 72])
        log_event(conn, "login-probe", kind=kind, credentials_zero=creds_zero)
        if kind == "srp":
            conn.data["pending_login"] = msg
            conn.reply(msg, ack=10000)
        else:
            conn.reply(msg, ack=11)
        return
    ack, fields = _check_credentials(conn, msg)
    forced = conn.scenarios.int("login-ack", -1)
    if forced >= 0:
        ack = forced
    log_event(conn, "login", ack=ack, envelope=bool(conn.data.get("in_envelope")), **fields)
    if ack == 0:
        conn.data["logged_in"] = True
        conn.reply(msg, login_reply_body(conn))
        sub = conn.scenarios.int("alarm-after-login", -1)
        if sub >= 0:
            conn.send(890, sub, _pattern(24), seq=0)
    elif ack == 18:
        conn.reply(msg, _pattern(40), ack=18)
    else:
        conn.reply(msg, ack=ack)


def _text_at(body, off):
    """A u32 length (text + NUL) at off, then the text; (text, next offset)."""
    (n,) = struct.unpack_from("<I", body, off)
    t = body[off + 4:off + 4 + n]
    if n < 1 or len(t) != n or t[-1] != 0:
        raise ValueError("bad text at %d" % off)
    return t[:-1].decode("latin-1"), off + 4 + n


@handles(10000, proto=TCP)
def key_exchange(conn, msg):
    if not _active(conn):
        return echo(conn, msg)
    sc = conn.scenarios
    st = conn.data.setdefault("srp", {})
    body = msg.body
    if msg.head.subtype == 10001:
        try:
            (total,) = struct.unpack_from("<I", body, 0)
            A_text, off = _text_at(body, 4)
            I_text, off = _text_at(body, off)
        except (ValueError, struct.error) as err:
            log_event(conn, "srp-hello", ok=False, error=str(err))
            conn.close()
            return
        want_I = m.identity(_user(conn))
        log_event(conn, "srp-hello", ok=True, total=total, size=len(body), A=A_text, I=I_text,
             identity_ok=I_text == want_I, seq=msg.head.seq, flags=msg.head.flags)
        ack = sc.int("srp-hello-ack", -1)
        if ack < 0 and I_text != want_I:
            ack = 11
        if ack >= 0:
            conn.reply(msg, ack=ack)
            return
        A = int(A_text, 16)
        salt = random.getrandbits(128) | 1
        b = random.getrandbits(256)
        v = m.verifier(salt, want_I, _password(conn))
        B = m.server_B(v, b)
        st.update(I=want_I, A=A, salt=salt, b=b, v=v, B=B)
        Bt, st_ = m.bn_hex(B).encode(), m.bn_hex(salt).encode()
        out = struct.pack("<I", 0) + struct.pack("<I", len(Bt) + 1) + Bt + b"\0" + \
            struct.pack("<I", len(st_) + 1) + st_ + b"\0"
        out = struct.pack("<I", len(out)) + out[4:]
        conn.reply(msg, out)
        return
    if msg.head.subtype == 10002:
        try:
            M1_text, _ = _text_at(body, 4)
        except (ValueError, struct.error) as err:
            log_event(conn, "srp-proof", ok=False, error=str(err))
            conn.close()
            return
        if "B" not in st:
            log_event(conn, "srp-proof", ok=False, error="proof before hello")
            conn.close()
            return
        S = m.server_S(st["A"], st["b"], st["v"], st["B"])
        M1 = m.m1(st["I"], st["salt"], st["A"], st["B"], S)
        ok = M1_text == m.bn_hex(M1)
        log_event(conn, "srp-proof", ok=ok, M1=M1_text, expected=m.bn_hex(M1))
        ack = sc.int("srp-proof-ack", -1)
        if ack < 0 and not ok:
            ack = 12
        if ack >= 0:
            conn.reply(msg, ack=ack)
            return
        M2t = m.bn_hex(m.m2(st["A"], M1, S))
        if "srp-bad-m2" in sc:
            M2t = M2t.lower() if M2t.lower() != M2t else M2t[:-1] + "0"
        t = M2t.encode()
        conn.reply(msg, struct.pack("<II", len(t) + 9, len(t) + 1) + t + b"\0")
        key, iv = m.key_iv(S)
        conn.data["env"] = {"key": key, "iv": iv, "counter": 0}
        return
    conn.reply(msg, ack=1)


class EnvelopeConn:
    """The connection as the handlers of an inner message see it: everything it
    builds goes out sealed in an envelope."""

    reply = Connection.reply

    def __init__(self, conn):
        self._conn = conn

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def encode(self, type, subtype=0, body=b"", ack=0, seq=0, ext=b"", scrambled=None, size=None):
        env = self._conn.data["env"]
        env["counter"] += 1
        inner = Head(len(ext), 0, ack, type, subtype, len(body) if size is None else size, seq).pack() + ext + body
        sealed = bytearray(m.seal(env["key"], env["iv"], env["counter"], inner))
        if "srp-bad-digest" in self._conn.scenarios:
            # Flip one digit of the digest text under the key stream.
            plain = m._ofb(env["key"], env["iv"], bytes(sealed))
            d = plain[8]
            alt = ord("0") if d != ord("0") else ord("1")
            sealed[8] ^= d ^ alt
        return Head(0, 0, 0, m.ENVELOPE_TYPE, 0, len(sealed), env["counter"]).pack() + bytes(sealed)

    def send(self, type, subtype=0, body=b"", ack=0, seq=0, ext=b"", scrambled=None, size=None, dest=None):
        self._conn.send_raw(self.encode(type, subtype, body, ack, seq, ext, scrambled, size), dest)


@handles(m.ENVELOPE_TYPE, proto=TCP)
def envelope(conn, msg):
    env = conn.data.get("env")
    if env is None:
        log_event(conn, "envelope", ok=False, error="no key exchange on this connection")
        conn.close()
        return
    try:
        counter, inner, digest = m.open_body(env["key"], env["iv"], msg.body)
    except m.EnvelopeError as err:
        log_event(conn, "envelope", ok=False, error=str(err), seq=msg.head.seq)
        conn.close()
        return
    head = Head.unpack(inner)
    ext = inner[16:16 + head.ext_len]
    body = inner[16 + head.ext_len:]
    L = struct.unpack_from("<I", m._ofb(env["key"], env["iv"], bytes(msg.body[:4])))[0]
    log_event(conn, "envelope", ok=True, counter=counter, seq=msg.head.seq, block=L, digest=digest,
         head=head.as_dict(), body=body.hex(), flags=msg.head.flags)
    inner_msg = Message(head, ext, body, inner, False)
    econn = EnvelopeConn(conn)
    conn.data["in_envelope"] = True
    try:
        for fn in registry.intercepts(TCP, conn.scenarios.names()):
            if fn(econn, inner_msg):
                return
        registry.handler_for(TCP, head.type)(econn, inner_msg)
    finally:
        conn.data["in_envelope"] = False


@intercept("silent-after-login", TCP)
def silent_after_login(conn, msg):
    # Envelopes are opened first (and logged); the silence applies to what they carry.
    return bool(conn.data.get("logged_in")) and msg.head.type not in LOGIN_TYPES + (m.ENVELOPE_TYPE,)


@intercept("close-mid-reply", TCP)
def close_mid_reply(conn, msg):
    if not conn.data.get("logged_in") or msg.head.type in LOGIN_TYPES + (m.ENVELOPE_TYPE,):
        return False
    conn.send_raw(conn.encode(msg.head.type, msg.head.subtype, _pattern(100), 0, msg.head.seq)[:10])
    conn.close()
    return True


@intercept("drip-after-login", TCP)
def drip_after_login(conn, msg):
    if not conn.data.get("logged_in") or msg.head.type in LOGIN_TYPES + (m.ENVELOPE_TYPE,):
        return False
    ms = conn.scenarios.int("drip-after-login", 1000)
    data = conn.encode(msg.head.type, msg.head.subtype, _pattern(1000), 0, msg.head.seq)
    raw = getattr(conn, "_conn", conn)
    log_event(conn, "drip-start", type=msg.head.type)
    for i in range(len(data)):
        if raw.closed:
            break
        raw.send_raw(data[i:i + 1])
        time.sleep(ms / 1000.0)
    return True


@handles(896, proto=TCP)
def alarm_subscribe(conn, msg):
    if not _active(conn):
        return echo(conn, msg)
    log_event(conn, "alarm-subscribe", subtype=msg.head.subtype, size=msg.head.size)


@handles(335, 416, proto=TCP)
def one_shot(conn, msg):
    if not _active(conn):
        return echo(conn, msg)
    log_event(conn, "one-shot", type=msg.head.type, payload=msg.body.hex(), seq=msg.head.seq)
    if "oneshot-stray-alarm" in conn.scenarios:
        conn.send(890, 1, _pattern(8), seq=msg.head.seq)
    conn.reply(msg, ack=conn.scenarios.int("oneshot-ack", 0))
