"""Device side of the network re-addressing (UDP, type 13 with the 744-byte body and
type 12 with the 116-byte legacy body): the device named by the MAC text checks the
credentials, takes the new values and answers with the request's token, by unicast
to the sender or by broadcast to 255.255.255.255 at the sender's port."""

import struct
import threading
import time

from ..registry import UDP, handles, scenario
from . import search

scenario("readdress-broadcast", "answer re-addressing by broadcast to the sender's port")
scenario("readdress-ack", "=N: every re-addressing answer carries AckFlag N (values unchanged)")
scenario("readdress-bad-token", "answer with another token")
scenario("readdress-silent", "never answer re-addressing")
scenario("readdress-junk", "after a re-addressing request send non-answers every 20 ms for 30 s")
scenario("device-password", "=TEXT: password of every device (user name admin)")

TYPE_FULL = 13
TYPE_LEGACY = 12
JUNK_PERIOD = 0.02
JUNK_LIMIT = 30.0


def _cstr(b):
    return b.split(b"\0", 1)[0].decode("latin-1")


def _ip(b):
    return "%d.%d.%d.%d" % tuple(b[:4])


def parse(msg_type, body):
    """The request as a dict, or None when the body is too short for its form."""
    if msg_type == TYPE_FULL:
        if len(body) < 744:
            return None
        user, pwd, addrs, mac = body[16:80], body[80:144], body[144:168], body[168:204]
        media, web = struct.unpack_from("<II", body, 216)
        mode = body[224]
    else:
        if len(body) < 116:
            return None
        user, pwd, addrs, mac = body[16:26], body[26:40], body[40:64], body[80:116]
        media, web = struct.unpack_from("<HH", body, 64)
        mode = body[68]
    return {"user": _cstr(user), "pwd": _cstr(pwd), "ip": _ip(addrs[4:8]), "mask": _ip(addrs[8:12]),
            "gateway": _ip(addrs[12:16]), "extra1": _ip(addrs[16:20]), "extra2": _ip(addrs[20:24]),
            "mac": _cstr(mac), "media_port": media, "web_port": web, "mode": mode}


def _credentials_ok(dev, req, msg_type, password):
    if msg_type == TYPE_LEGACY:
        return req["user"] == dev.user[:10] and req["pwd"] == password[:14]
    return req["user"] == dev.user and req["pwd"] == password


def _apply(dev, req):
    dev.ip, dev.mask, dev.gateway = req["ip"], req["mask"], req["gateway"]
    dev.extra1, dev.extra2 = req["extra1"], req["extra2"]
    dev.media_port, dev.web_port, dev.mode = req["media_port"], req["web_port"], req["mode"]


def _junk(conn, msg):
    junk = search.head(msg.head.type, msg.head.subtype, 16, msg.head.seq + 7) + b"J" * 16
    end = time.monotonic() + JUNK_LIMIT
    while time.monotonic() < end and not conn.closed:
        conn.send_raw(junk)
        time.sleep(JUNK_PERIOD)


@handles(TYPE_FULL, TYPE_LEGACY, proto=UDP)
def readdress(conn, msg):
    sc = conn.scenarios
    if "readdress-junk" in sc:
        threading.Thread(target=_junk, args=(conn, msg), daemon=True).start()
    req = parse(msg.head.type, msg.body)
    if req is None:
        search.not_mine(conn, msg)  # too short for its form
        return
    if "readdress-silent" in sc:
        return
    devs, lock = search.devices(sc)
    with lock:
        dev = next((d for d in devs if d.mac == req["mac"]), None)
        if dev is None:
            return
        if "readdress-ack" in sc:
            ack = sc.int("readdress-ack")
        elif _credentials_ok(dev, req, msg.head.type, sc.arg("device-password", "")):
            ack = 0
            _apply(dev, req)
        else:
            ack = 50  # no right
    token = msg.body[0:16] if "readdress-bad-token" not in sc else b"XX-not-the-token"
    body = token + b"\0" * 16
    dest = ("255.255.255.255", conn.peer[1]) if "readdress-broadcast" in sc else None
    conn.reply(msg, body, ack=ack, dest=dest)
