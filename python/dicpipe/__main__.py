"""``python -m dicpipe``: the dicpipe command."""

import sys

from .command import main

sys.exit(main())
