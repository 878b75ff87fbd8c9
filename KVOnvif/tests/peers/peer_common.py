"""Network-safety check shared by the ONVIF test peers (standard library only).

A peer may bind or send beyond loopback only inside a network namespace other than the
machine's initial one. The initial namespace is /proc/1/ns/net; where that is not
readable, the test that created the namespace passes the inode of the namespace it
started in (KV_HOST_NETNS_INO). Without either, the peer assumes the initial namespace.
"""
import os


def _ino(path):
    try:
        return os.stat(path).st_ino
    except OSError:
        return None


def in_private_netns():
    mine = _ino('/proc/self/ns/net')
    if mine is None:
        return False
    host = _ino('/proc/1/ns/net')
    if host is None:
        text = os.environ.get('KV_HOST_NETNS_INO', '')
        if not text.isdigit():
            return False
        host = int(text)
    return mine != host


def require_private_netns(what):
    if not in_private_netns():
        raise SystemExit('%s: refused outside a private network namespace' % what)


def require_loopback_or_private(host, what):
    if host.startswith('127.') or host == '::1' or host == 'localhost':
        return
    require_private_netns(what)
