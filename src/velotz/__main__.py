# `python -m velotz ...`: the command line of velotz._cli (which imports
# numpy and the rest only when a command runs).
import sys

from velotz._cli import main

if __name__ == "__main__":
    sys.exit(main())
