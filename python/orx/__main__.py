"""``python -m orx``: the command line (see orx._cli)."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
