"""The keyless bit scrambler of scrambled connections.

A unit of n bytes has 8n bits; bit 8i+j is bit j of byte i counted from the
most significant bit.  The bit numbers stand on a circle with a cursor on
number 1; 8n times the cursor moves three places forward over the numbers
still on the circle, the number it lands on is taken (the k-th taken is s(k))
and removed, and the cursor steps back to the number before it.
Scrambling: out bit k = in bit s(k).  Unscrambling: out bit s(k) = in bit k.

After a removal at index q of the shrunk circle the next one is at
(q + 2) mod (size - 1): in terms of the circle as it was before, every third
number from q on until the end of the circle.  One trip around the circle is
therefore an extended slice (``v[q::3]``), done by the interpreter in C, and
each trip removes a third of what is left.  A trip schedule (start, size) per
unit length is all that is needed, so a unit of a few megabytes costs a
fraction of a second and no per-bit Python loop runs.
"""

import functools

__all__ = ["scramble", "unscramble", "permutation", "naive_permutation"]

# 0/1 byte per bit, MSB first, for bytes.translate / bytes.join.
_TO_BITCHARS = bytes.maketrans(b"01", b"\x00\x01")
_FROM_BITCHARS = bytes.maketrans(b"\x00\x01", b"01")


@functools.lru_cache(maxsize=64)
def _schedule(nbits):
    """Trips around the circle for nbits numbers: a tuple of (start, size)."""
    trips = []
    size = nbits
    start = (1 + 3) % size
    while size:
        count = (size - start + 2) // 3      # len(range(start, size, 3))
        trips.append((start, size))
        last = start + 3 * (count - 1)
        size -= count
        if size:
            # last's successor sits at index last - (count - 1) of the shrunk
            # circle; the cursor stops one before it and moves three.
            start = (last - (count - 1) + 2) % size
    return tuple(trips)


def _to_bits(data):
    """One byte (0 or 1) per bit, most significant bit of each byte first."""
    text = format(int.from_bytes(data, "big"), "0%db" % (8 * len(data)))
    return bytearray(text.encode("ascii").translate(_TO_BITCHARS))


def _from_bits(bits):
    text = bytes(bits).translate(_FROM_BITCHARS)
    return int(text, 2).to_bytes(len(bits) // 8, "big")


def scramble(data):
    """Scramble one unit; returns bytes of the same length (b"" stays b"")."""
    if not data:
        return b""
    left = _to_bits(data)
    taken = []
    for start, _size in _schedule(8 * len(data)):
        taken.append(left[start::3])
        del left[start::3]
    return _from_bits(b"".join(taken))


def unscramble(data):
    """Undo scramble() for one unit."""
    if not data:
        return b""
    bits = _to_bits(data)
    trips = _schedule(len(bits))
    # Rebuild the circle backwards, from the last trip (whose numbers were
    # taken last) to the first.
    pos = len(bits)
    left = bytearray()
    for start, size in reversed(trips):
        count = (size - start + 2) // 3
        pos -= count
        circle = bytearray(size)
        circle[start::3] = bits[pos:pos + count]
        circle[:start] = left[:start]
        # The survivors after start alternate between the two other residues.
        circle[start + 1::3] = left[start::2]
        circle[start + 2::3] = left[start + 1::2]
        left = circle
    return _from_bits(left)


def permutation(nbytes):
    """The list s(0), s(1), ... of a unit of nbytes, computed by trips."""
    left = list(range(8 * nbytes))
    taken = []
    for start, _size in _schedule(8 * nbytes):
        taken.extend(left[start::3])
        del left[start::3]
    return taken


def naive_permutation(nbytes):
    """Literal walk around the circle, one removal at a time (reference)."""
    circle = list(range(8 * nbytes))
    cursor = 1
    taken = []
    while circle:
        index = (cursor + 3) % len(circle)
        taken.append(circle.pop(index))
        if circle:
            cursor = (index - 1) % len(circle)
    return taken
