"""python -m velmora_huebit: the velmora-huebit command line."""

from velmora_huebit.cli import run

if __name__ == "__main__":
    run()
