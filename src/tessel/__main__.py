"""``python -m tessel``: the command line front end (see tessel.cli)."""

import sys

from .cli import main

sys.exit(main())
