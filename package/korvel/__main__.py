"""``python -m korvel``: the same as the ``korvel`` command."""

import sys

from .cli import main

sys.exit(main())
