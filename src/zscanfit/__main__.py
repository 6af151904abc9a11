"""``python -m zscanfit``: the command line (cli/main.py)."""
import sys

from .cli.main import main

if __name__ == "__main__":
    sys.exit(main())
