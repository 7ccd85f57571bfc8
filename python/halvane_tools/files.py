"""Files the commands read and write, opened so that a name standing for
something other than a file on disk cannot hang or flood them.

Opening a FIFO for reading waits for a writer, and for writing waits for a
reader; a device such as /dev/zero never ends. Inputs are therefore opened
without waiting and must be regular files, read up to a bound; outputs are
opened without waiting, so a FIFO that nobody reads is refused at once
rather than blocking the run.

Refusals are OSError whose strerror is the reason, so every caller's
existing "cannot read X: reason" handling words them.
"""
from __future__ import annotations

import errno
import os
import stat
from pathlib import Path

# Text inputs (lens files, CSVs of times) are small; this leaves room for
# a night of many thousand frames.
MAX_TEXT_BYTES = 64 * 1024 * 1024


def _refuse(code: int, reason: str, path) -> OSError:
    return OSError(code, reason, str(path))


def open_regular(path) -> "os.FileIO":
    """path opened for binary reading; it must be a regular file. The open
    never waits (a FIFO without a writer is refused, not waited on)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _refuse(errno.EINVAL, "not a regular file", path)
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_bytes(path, limit: int = MAX_TEXT_BYTES) -> bytes:
    """The contents of a regular file of at most limit bytes."""
    with open_regular(path) as stream:
        data = stream.read(limit + 1)
    if len(data) > limit:
        raise _refuse(errno.EFBIG, f"larger than {limit} bytes", path)
    return data


def read_text(path, limit: int = MAX_TEXT_BYTES) -> str:
    """read_bytes decoded as UTF-8 (UnicodeDecodeError otherwise)."""
    return read_bytes(path, limit).decode("utf-8")


def check_output(path) -> None:
    """Refuse an output path that would hang or cannot take a file: an
    existing FIFO with no reader (the open would wait for one) or a
    directory. A new path, a regular file, a device such as /dev/null and a
    pipe someone reads pass."""
    path = Path(path)
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    if stat.S_ISREG(mode):
        return
    if stat.S_ISDIR(mode):
        raise _refuse(errno.EISDIR, "is a directory", path)
    try:
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as e:
        if e.errno == errno.ENXIO:
            raise _refuse(errno.ENXIO, "a FIFO that nothing reads", path) from None
        raise
    os.close(fd)


def open_output(path, mode: str = "w"):
    """path opened for text writing ("w" or "a"), never waiting on a FIFO
    without a reader (refused instead); a pipe with a reader blocks as usual."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
    flags |= os.O_APPEND if mode == "a" else 0
    try:
        fd = os.open(path, flags, 0o666)
    except OSError as e:
        if e.errno == errno.ENXIO:
            raise _refuse(errno.ENXIO, "a FIFO that nothing reads", path) from None
        raise
    try:
        info = os.fstat(fd)
        if stat.S_ISREG(info.st_mode) and mode == "w":
            os.ftruncate(fd, 0)
        os.set_blocking(fd, True)
        return os.fdopen(fd, mode, encoding="utf-8")
    except BaseException:
        os.close(fd)
        raise


def is_regular(path) -> bool:
    """Whether path is a regular file (following links), without opening it."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False
