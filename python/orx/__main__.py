"""``python -m orx``: the command line (see orx._cli)."""

import sys

from ._cli import main

sys.exit(main())
