"""The command line's exit statuses, importable before anything heavy is.
Relies on nothing."""

__all__ = ["EXIT_OK", "EXIT_INTERNAL", "EXIT_USAGE", "EXIT_WARNINGS", "EXIT_INTERRUPTED"]

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_WARNINGS = 3       # --strict and the run warned
EXIT_INTERRUPTED = 130
