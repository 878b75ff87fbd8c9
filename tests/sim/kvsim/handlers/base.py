"""Base behaviours: echo, and the scenarios that exercise message framing."""

from ..registry import TCP, UDP, default_handler, intercept, on_accept, scenario

scenario("echo", "TCP default: reply with the same type, subtype, Seq and body")
scenario("udp-echo", "UDP default: the same as echo, as one datagram")
scenario("ack", "=N: echo replies carry AckFlag N")
scenario("reply-size", "=N: echo replies carry N bytes of pattern() instead")
scenario("reply-delay", "=MS: wait MS milliseconds before every reply")
scenario("plain-replies", "answer a scrambled connection in plain")
scenario("silent", "read and log every message, never answer")
scenario("close-on-accept", "close every TCP connection as soon as it is accepted")
scenario("close-mid-head", "answer the first message with 8 bytes of a head, then close")
scenario("close-mid-body", "answer with a head announcing 1000 bytes, 10 of them, then close")
scenario("oversize", "answer with a head announcing 0x1000001 bytes and nothing more")
scenario("udp-lying-size", "UDP: the reply's MsgSize is 10 more than the body it carries")

# The session id a login answer carries unless the scenario session-id=N says otherwise;
# media, still and record connections must name it.
SESSION_ID_DEFAULT = 0x5E55107D
OVERSIZE = 0x1000001
_PERIOD = bytes(((i * 7 + 3) & 0xFF) for i in range(256))


def pattern(n):
    """n bytes with byte i = (i*7 + 3) & 0xFF."""
    return (_PERIOD * (n // 256 + 1))[:n]


def echo_body(conn, msg):
    if "reply-size" in conn.scenarios:
        return pattern(conn.scenarios.int("reply-size"))
    return msg.body


@default_handler(TCP)
@default_handler(UDP)
def echo(conn, msg):
    conn.reply(msg, echo_body(conn, msg), ack=conn.scenarios.int("ack", 0))


@intercept("silent", TCP)
@intercept("silent", UDP)
def silent(conn, msg):
    return True


@on_accept("close-on-accept")
def close_on_accept(conn):
    return True


def _reply_bytes(conn, msg, body, size=None):
    head = msg.head
    return conn.encode(head.type, head.subtype, body, 0, head.seq, size=size)


@intercept("close-mid-head", TCP)
def close_mid_head(conn, msg):
    conn.send_raw(_reply_bytes(conn, msg, echo_body(conn, msg))[:8])
    conn.close()
    return True


@intercept("close-mid-body", TCP)
def close_mid_body(conn, msg):
    conn.send_raw(_reply_bytes(conn, msg, pattern(1000))[:16 + 10])
    conn.close()
    return True


@intercept("oversize", TCP)
def oversize(conn, msg):
    conn.send_raw(_reply_bytes(conn, msg, b"", size=OVERSIZE))
    return True


@intercept("udp-lying-size", UDP)
def udp_lying_size(conn, msg):
    body = echo_body(conn, msg)
    conn.reply(msg, body, ack=conn.scenarios.int("ack", 0), size=len(body) + 10)
    return True


def log_event(conn, name, **fields):
    """One line in the simulator's JSON log, when it has one."""
    log = getattr(conn, "log", None)
    if log is not None:
        log.event(conn, name, **fields)


def session_ok(conn, sid):
    return sid == conn.scenarios.int("session-id", SESSION_ID_DEFAULT)


def hold_until_closed(conn):
    """Read and drop until the client closes, then close: a stream's end leaves the
    connection to the client, as a device does."""
    try:
        while conn.recv_exact(1):
            pass
    except OSError:
        pass
    conn.close()
