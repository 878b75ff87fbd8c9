"""Keep test traffic off the machine's real network: the one check of every test
peer and test (run as a script, it answers by its exit status).

Anything beyond loopback (binding a non-loopback address, sending to one or
to a broadcast address) is allowed only inside a network namespace other
than the machine's initial one, which the kernel gives a fixed inode.  Any
other namespace counts as private when it differs from PID 1's; where
/proc/1/ns/net cannot be read (some sandboxes deny it even to root) it must in
addition carry no IPv4 address outside loopback and the two test networks.
"""

import functools
import ipaddress
import os

# The inode the kernel gives the initial network namespace (PROC_NET_INIT_INO).
INIT_NET_INODE = 0xEFFFFFF9

TEST_NETWORKS = (
    ipaddress.ip_network("127.0.0.0/8"),
    ipaddress.ip_network("198.51.100.0/24"),
    ipaddress.ip_network("203.0.113.0/24"),
)


class SafetyError(Exception):
    pass


def _local_ipv4_addresses():
    """Addresses of this namespace's interfaces, from the local routing table."""
    addresses = set()
    last = None
    with open("/proc/net/fib_trie") as trie:
        for line in trie:
            text = line.strip()
            if text.startswith(("|--", "+--")):
                last = text.split()[1].split("/")[0]
            elif text == "/32 host LOCAL" and last:
                addresses.add(last)
    return addresses


@functools.lru_cache(maxsize=1)
def private_namespace():
    """True when this process runs in a network namespace of its own."""
    own = os.stat("/proc/self/ns/net").st_ino
    # The initial namespace has a fixed inode: decide that first, since PID 1 itself may
    # run in a namespace of its own (a container) while this process does not.
    if own == INIT_NET_INODE:
        return False
    try:
        return own != os.stat("/proc/1/ns/net").st_ino
    except OSError:
        pass
    return all(any(ipaddress.ip_address(a) in net for net in TEST_NETWORKS)
               for a in _local_ipv4_addresses())


def is_loopback(address):
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:
        return address == "localhost"


def check_address(address, what):
    """Raise SafetyError unless address may be used for `what`."""
    if is_loopback(address) or private_namespace():
        return
    raise SafetyError(
        "refusing to %s %s: only loopback is allowed outside a private "
        "network namespace" % (what, address or "0.0.0.0"))


if __name__ == "__main__":
    # The same check for the tests in other languages: exit 0 inside a private network
    # namespace, 1 outside.
    import sys
    sys.exit(0 if private_namespace() else 1)
