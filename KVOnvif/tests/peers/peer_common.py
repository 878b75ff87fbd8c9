"""The network-safety check of the ONVIF test peers: the simulator's own (kvsim.safety),
so every peer and test applies one rule."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', '..', 'tests', 'sim'))
from kvsim import safety  # noqa: E402


def require_private_netns(what):
    if not safety.private_namespace():
        raise SystemExit('%s: refused outside a private network namespace' % what)


def require_loopback_or_private(host, what):
    try:
        safety.check_address(host, what)
    except safety.SafetyError as err:
        raise SystemExit('%s: refused: %s' % (what, err))
