#!/usr/bin/python3
"""Simulated device: /usr/bin/python3 tests/sim/kvsim.py --help"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kvsim.main import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
