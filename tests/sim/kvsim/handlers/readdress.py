"""Device side of the network re-addressing (UDP 9333, types 13 and 12): finds the device
by MAC text, checks the credentials, applies the new values and answers with the token,
by unicast to the sender or by broadcast to 255.255.255.255 at the sender's port."""
import struct

try:
    from . import search
except ImportError:  # run from the handlers directory
    import search

TYPE_FULL = 13
TYPE_LEGACY = 12


def _cstr(b):
    return b.split(b"\0", 1)[0].decode("latin-1")


def _ip(b):
    return "%d.%d.%d.%d" % tuple(b[:4])


def parse(msg_type, body):
    """The request as a dict, or None when the body is too short for its form."""
    if msg_type == TYPE_FULL:
        if len(body) < 744:
            return None
        user_raw, pwd_raw = body[16:80], body[80:144]
        addrs = body[144:168]
        mac = body[168:204]
        carry = body[208:216]
        media, web = struct.unpack_from("<II", body, 216)
        mode, flag, b226, unicast = body[224], body[225], body[226], body[227]
    elif msg_type == TYPE_LEGACY:
        if len(body) < 116:
            return None
        user_raw, pwd_raw = body[16:26], body[26:40]
        addrs = body[40:64]
        media, web = struct.unpack_from("<HH", body, 64)
        mode, flag, b226 = body[68], body[69], body[70]
        unicast = None
        carry = body[72:80]
        mac = body[80:116]
    else:
        return None
    return {"token": _cstr(body[0:16]), "token_raw": body[0:16].hex(),
            "user": _cstr(user_raw), "pwd": _cstr(pwd_raw),
            "user_hex": user_raw.hex(), "pwd_hex": pwd_raw.hex(),
            "cur": _ip(addrs[0:4]), "ip": _ip(addrs[4:8]), "mask": _ip(addrs[8:12]),
            "gateway": _ip(addrs[12:16]), "extra1": _ip(addrs[16:20]), "extra2": _ip(addrs[20:24]),
            "mac": _cstr(mac), "carry": carry.hex(), "media_port": media, "web_port": web,
            "mode": mode, "flag": flag, "b226": b226, "unicast": unicast}


def credentials_ok(dev, req, msg_type):
    if msg_type == TYPE_LEGACY:
        return req["user"] == dev.user[:10] and req["pwd"] == dev.password[:14]
    return req["user"] == dev.user and req["pwd"] == dev.password


def apply(dev, req):
    dev.ip, dev.mask, dev.gateway = req["ip"], req["mask"], req["gateway"]
    dev.extra1, dev.extra2 = req["extra1"], req["extra2"]
    dev.media_port, dev.web_port, dev.mode = req["media_port"], req["web_port"], req["mode"]


def answer(devs, hdr, body, opts):
    """(request dict, reply datagram or None). The reply carries the token, or another
    text with --bad-token; its AckFlag is --ack when given, 50 for wrong credentials."""
    _, _, _, msg_type, sub, _, seq = hdr
    req = parse(msg_type, body)
    if req is None:
        return None, None
    dev = next((d for d in devs if d.mac == req["mac"]), None)
    if dev is None or opts.no_readdress_reply:
        return req, None
    if opts.ack is not None:
        ack = opts.ack
    elif credentials_ok(dev, req, msg_type):
        ack = 0
        apply(dev, req)
    else:
        ack = 50
    token = body[0:16] if not opts.bad_token else b"XX-not-the-token"
    reply = token + b"\0" * 16
    return req, search.head(msg_type, sub, len(reply), seq, ack) + reply


def add_arguments(p):
    p.add_argument("--reply", choices=["unicast", "broadcast"], default="unicast",
                   help="how re-addressing answers travel")
    p.add_argument("--ack", type=int, default=None, help="AckFlag of every re-addressing answer")
    p.add_argument("--bad-token", action="store_true")
    p.add_argument("--no-readdress-reply", action="store_true")
    p.add_argument("--junk-flood", action="store_true",
                   help="after a re-addressing request, send non-answers every 20 ms")
    p.add_argument("--password", default="", help="password of every device")
