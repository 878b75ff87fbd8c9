"""What the simulator does with a message: handlers and scenarios.

Handler modules in kvsim/handlers/ register themselves at import time:

    from kvsim.registry import TCP, UDP, handles, scenario, intercept, on_accept

    scenario("login-ack", "=N: login replies carry AckFlag N")

    @handles(31, 617, proto=TCP)
    def login(conn, msg):
        conn.reply(msg, body=..., ack=conn.scenarios.int("login-ack", 0))

A handler gets the connection (kvsim.conn.Connection) and the message
(kvsim.proto.Message) and answers through conn.reply()/conn.send(), as often
as it likes, or not at all.  A message whose type has no handler goes to the
protocol's default handler (echo).

A scenario is a name given on the command line (--scenario NAME[=ARG]).
Handlers read it through conn.scenarios; an intercept runs for every message
while its scenario is active, before the type handler, and returns True when
it has dealt with the message; an on_accept hook runs when a TCP connection
is accepted and returns True when the connection needs nothing more.
"""

TCP = "tcp"
UDP = "udp"

_handlers = {TCP: {}, UDP: {}}
_defaults = {}
_scenarios = {}          # name -> one-line description
_intercepts = []         # (scenario, proto, fn), in registration order
_accept_hooks = []       # (scenario, fn)


def scenario(name, doc):
    """Declare a scenario name so the command line accepts it."""
    if name in _scenarios:
        raise ValueError("scenario %r declared twice" % name)
    _scenarios[name] = doc
    return name


def handles(*types, proto=TCP):
    """Register fn(conn, msg) for the given MsgType values."""
    def register(fn):
        for msg_type in types:
            if msg_type in _handlers[proto]:
                raise ValueError("%s type %d already handled by %s" % (
                    proto, msg_type, _handlers[proto][msg_type].__module__))
            _handlers[proto][msg_type] = fn
        return fn
    return register


def default_handler(proto):
    def register(fn):
        _defaults[proto] = fn
        return fn
    return register


def intercept(name, proto=TCP):
    """Register fn(conn, msg) -> bool, run while scenario `name` is active."""
    def register(fn):
        _intercepts.append((name, proto, fn))
        return fn
    return register


def on_accept(name):
    """Register fn(conn) -> bool, run on a TCP accept while `name` is active."""
    def register(fn):
        _accept_hooks.append((name, fn))
        return fn
    return register


def scenarios():
    return dict(_scenarios)


def handler_for(proto, msg_type):
    return _handlers[proto].get(msg_type) or _defaults[proto]


def intercepts(proto, active):
    return [fn for name, p, fn in _intercepts if p == proto and name in active]


def accept_hooks(active):
    return [fn for name, fn in _accept_hooks if name in active]
