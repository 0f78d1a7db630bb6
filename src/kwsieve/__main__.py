"""`python -m kwsieve`: the command line."""

import sys

from kwsieve.cli import main

if __name__ == "__main__":
    sys.exit(main())
