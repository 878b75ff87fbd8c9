"""Handler modules: every module of this package is imported once, and
registers its handlers and scenarios with kvsim.registry at import time."""

import importlib
import pkgutil

_loaded = False


def load_all():
    global _loaded
    if _loaded:
        return
    for info in sorted(pkgutil.iter_modules(__path__), key=lambda i: i.name):
        importlib.import_module("%s.%s" % (__name__, info.name))
    _loaded = True
