"""Errors in one line, as messages and reports give them: the command's refusals, a render's or an
index's reasons, a query's."""

import errno
import os
from typing import Optional

#: What to do when writing fails, by the cause the system gives.
WRITE_ADVICE = {
    errno.ENOSPC: "free some space or write elsewhere",
    errno.EDQUOT: "free some space or write elsewhere",
    errno.EFBIG: "write to a file system that takes larger files",
    errno.EROFS: "choose a writable file system",
    errno.EACCES: "choose a writable place or change its permissions",
    errno.EPERM: "choose a writable place or change its permissions",
    errno.ENAMETOOLONG: "choose a shorter name",
}


def first_line(error: BaseException, limit: Optional[int] = 200, empty: Optional[str] = None) -> str:
    """``error`` in one line: the start of its text (which names the file first where the error is
    about one: ``path: reason``); ``empty`` (by default its type's name) when there is none. At most
    ``limit`` characters are kept."""
    lines = str(error).strip().splitlines()
    if not lines:
        return type(error).__name__ if empty is None else empty
    return lines[0][:limit] if limit else lines[0]


def cannot_write(path: str, error: BaseException, what: str = "it", advice: str = "") -> str:
    """In words, that writing ``path`` failed with ``error``, and what to do.

    A writer that ran in another process (ffmpeg) only reports its cause in
    words, after what it led to here (a broken pipe): a cause of the table
    named in those words is the one given.
    """
    code = getattr(error, "errno", None)
    if code not in WRITE_ADVICE:
        text = str(error)
        code = next((c for c in WRITE_ADVICE if os.strerror(c) in text), code)
    cause = os.strerror(code) if isinstance(code, int) else first_line(error, empty="no details")
    advice = advice or (WRITE_ADVICE.get(code, "choose another path") if isinstance(code, int)
                        else "choose another path")
    return f"{path}: cannot write {what} ({cause[:1].lower() + cause[1:]}); {advice}"
