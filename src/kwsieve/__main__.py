"""`python -m kwsieve`: the command line."""

import sys

from kwsieve.cli import main

sys.exit(main())
