"""`python -m quellar`: the command line."""

import sys

from quellar._cli import main

# Only when run, not when imported (stub checkers import every module).
if __name__ == "__main__":
    sys.exit(main())
