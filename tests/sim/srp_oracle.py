#!/usr/bin/python3
"""Test oracle for the client's SRP-6a and envelope: generates cases with the device-side
arithmetic of kvsim/handlers/srp6_math.py and prints one JSON object per line.

    srp_oracle.py gen COUNT SEED

Each case: user, I, P, salt, a, b (hex), A, B, S, M1, M2 (hex texts as the client
writes them), key, iv (32 hex digits each), counter, inner (hex of an inner message)
and envelope (hex of its sealed body).  Some cases are forced to have S or M1 with a
leading zero byte, an empty password or a long user name.
"""

import json
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "kvsim", "handlers"))
import srp6_math as m  # noqa: E402


def case(rng, user, P, force=None):
    I = m.identity(user)
    while True:
        salt = rng.getrandbits(rng.choice([32, 64, 128, 160]))
        if rng.random() < 0.1:
            salt >>= 8  # a salt whose text is shorter than its nominal size
        salt = max(salt, 1)
        a = rng.getrandbits(256)
        b = rng.getrandbits(256)
        v = m.verifier(salt, I, P)
        B = m.server_B(v, b)
        A = m.client_A(a)
        S = m.server_S(A, b, v, B)
        M1 = m.m1(I, salt, A, B, S)
        if force == "S" and S >> (8 * (m.NLEN - 1)) != 0:
            continue
        if force == "M1" and M1 >> 152 != 0:
            continue
        break
    assert S == m.client_S(a, B, salt, I, P)
    M2 = m.m2(A, M1, S)
    key, iv = m.key_iv(S)
    counter = rng.getrandbits(32)
    body = bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 1, 80, 520, 1500])))
    inner = struct.pack("<BBHHHII", 0, 0, 0, rng.choice([31, 32, 111, 1234]),
                        rng.getrandbits(16), len(body), rng.getrandbits(32)) + body
    env = m.seal(key, iv, counter, inner)
    return {
        "user": user, "I": I, "P": P,
        "salt": m.bn_hex(salt), "a": m.bn_hex(a), "b": m.bn_hex(b),
        "A": m.bn_hex(A), "B": m.bn_hex(B), "S": m.bn_hex(S),
        "M1": m.bn_hex(M1), "M2": m.bn_hex(M2),
        "key": key.hex(), "iv": iv.hex(), "counter": counter,
        "inner": inner.hex(), "envelope": env.hex(), "force": force or "",
    }


def main(argv):
    if len(argv) != 4 or argv[1] != "gen":
        print(__doc__, file=sys.stderr)
        return 2
    count, rng = int(argv[2]), random.Random(int(argv[3]))
    alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-@"
    for i in range(count):
        force = {0: "S", 1: "M1", 2: "S", 3: "M1"}.get(i)
        ulen = rng.choice([1, 5, 8, 35, 36, 64, 200]) if i != 4 else 300
        user = "".join(rng.choice(alphabet) for _ in range(ulen))
        P = "" if i % 7 == 5 else "".join(rng.choice(alphabet) for _ in range(rng.choice([1, 6, 12, 35, 64])))
        print(json.dumps(case(rng, user, P, force)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
