"""python -m velmora_huebit: the velmora-huebit command line."""

import sys

from velmora_huebit.cli import main

if __name__ == "__main__":
    sys.exit(main())
