"""``python -m csv_rowvane``: the command line."""

import sys

from .cli import main

sys.exit(main())
