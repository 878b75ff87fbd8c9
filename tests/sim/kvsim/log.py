"""The received-message log: one JSON object per line, flushed per line so a
test can read it while the simulator runs.

Keys: proto ("tcp"/"udp"), peer ("host:port"), conn (connection id), raw
(hex of the exact wire bytes), head (decoded and unscrambled, or null),
dst (UDP: the datagram's destination address),
ext and body (hex, plain), probe (body ends with the login probe trailer),
scrambled (the message arrived scrambled), time (seconds since the epoch).
A cut or unreadable message has partial: true and error: the reason.
"""

import json
import threading
import time


class MessageLog:
    def __init__(self, path):
        self._file = open(path, "a", encoding="ascii") if path else None
        self._lock = threading.Lock()

    def _write(self, entry):
        if self._file is None:
            return
        line = json.dumps(entry, separators=(",", ":")) + "\n"
        with self._lock:
            self._file.write(line)
            self._file.flush()

    @staticmethod
    def _base(conn):
        return {"proto": conn.proto, "peer": "%s:%d" % conn.peer[:2],
                "conn": conn.id, "time": round(time.time(), 6)}

    def message(self, conn, msg):
        entry = self._base(conn)
        entry.update(raw=msg.raw.hex(), head=msg.head.as_dict(),
                     ext=msg.ext.hex(), body=msg.body.hex(), probe=msg.probe,
                     scrambled=msg.scrambled)
        if getattr(msg, "dst", None):
            entry["dst"] = msg.dst
        self._write(entry)

    def event(self, conn, name, **fields):
        """A handler's own finding (a verified proof, an opened envelope): one
        line with "event": name and the given fields."""
        entry = self._base(conn)
        entry["event"] = name
        entry.update(fields)
        self._write(entry)

    def partial(self, conn, raw, reason):
        entry = self._base(conn)
        entry.update(raw=raw.hex(), head=None, ext="", body="", probe=False,
                     scrambled=bool(raw) and raw[0] & 0x03 == 2,
                     partial=True, error=reason)
        self._write(entry)

    def close(self):
        if self._file is not None:
            with self._lock:
                self._file.close()
                self._file = None


class JsonLines:
    """A plain JSON-lines log for the small peers: write(entry) adds the time and
    flushes the line; nothing is written without a path."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="ascii") if path else None
        self._lock = threading.Lock()

    def write(self, entry):
        if self._file is None:
            return
        entry["time"] = round(time.time(), 6)
        line = json.dumps(entry, separators=(",", ":")) + "\n"
        with self._lock:
            self._file.write(line)
            self._file.flush()
