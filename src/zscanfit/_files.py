"""Output files written whole or not at all: the text goes to a temporary
file beside the target, which replaces the target only once it is complete,
so that a reader (or a crash, a full disk, Ctrl-C) never sees half a file
and an earlier file survives a failed write. Relies on the standard library.
"""
import contextlib
import os
import secrets
from typing import IO, Any, Iterator, Optional, Union

__all__ = ["atomic_output"]


@contextlib.contextmanager
def atomic_output(path: Union[str, "os.PathLike[str]"], binary: bool = False,
                  newline: Optional[str] = None) -> Iterator[IO[Any]]:
    """A stream to write ``path`` through: a temporary file in the same
    folder (created with the permissions a new file gets from the umask),
    flushed to disk and renamed over ``path`` when the block ends without
    an exception, removed when it raises."""
    target = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.part")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        if binary:
            stream: IO[Any] = os.fdopen(descriptor, "wb")
        else:
            stream = os.fdopen(descriptor, "w", encoding="utf-8", newline=newline)
    except BaseException:
        os.close(descriptor)
        os.unlink(temporary)
        raise
    try:
        with stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
