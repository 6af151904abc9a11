"""``python -m zscanfit``: the command line (cli.py). Relies on cli.py."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
