"""Replacing a file whole or not at all, the way project files are saved."""

import errno
import os
import re
import stat
from contextlib import contextmanager, suppress
from typing import Collection, Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


@contextmanager
def replacing(path: PathLike) -> Iterator[str]:
    """Give a fresh temporary path beside ``path``; on success it replaces ``path``.

    The caller writes the new content to the temporary path. When the block ends
    normally the temporary file is synced to disk, given the old file's permission
    bits and renamed over ``path`` in one step; when it raises, the temporary file
    is removed and ``path`` is left byte for byte as it was. A symbolic link is
    followed, so the file it names is replaced and the link stays. The temporary
    name keeps ``path``'s extension, for writers that choose a format by it.

    Before anything is written, a file that could not be opened for writing
    (write-protected, say) gives the ``PermissionError`` that opening it would,
    and anything but a regular file (a directory, a device) is refused.
    """
    target = os.path.realpath(os.fspath(path))
    _check_replaceable(target, os.fspath(path))
    directory, name = os.path.split(target)
    stem, extension = os.path.splitext(name)
    try:
        temporary = _create_unique(directory, f".{stem[:40]}.{os.getpid()}-", f".tmp{extension}")
    except PermissionError as e:
        # The user named the file, not our temporary: say which file could not be written.
        raise PermissionError(e.errno, e.strerror, os.fspath(path)) from None
    try:
        yield temporary
        with open(temporary, "rb+") as f:
            os.fsync(f.fileno())
        _keep_mode(target, temporary)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


def remove_left(directory: PathLike, pids: Collection[int]) -> None:
    """Remove the temporary files ``replacing`` made in ``directory`` from the processes ``pids``,
    ended before they could remove them (stopped amid a write)."""
    if not pids:
        return
    # As replacing names them: a dot, the stem's first 40 characters, a dot, the pid, a number,
    # ".tmp" and the extension.
    ours = re.compile(r"\.(?s:.{0,40})\.(%s)-[0-9]+\.tmp(\.[^.]*)?" % "|".join(map(str, pids)))
    with os.scandir(directory) as entries:
        for entry in entries:
            if ours.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
                with suppress(FileNotFoundError):
                    os.remove(entry.path)


def _check_replaceable(target: str, given: str) -> None:
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), given)
    if not stat.S_ISREG(mode):
        raise OSError(errno.EINVAL, "not a regular file, so it is not replaced", given)
    # The atomic rename would replace a file its owner protected; an ordinary
    # open for writing would not. The file is not truncated by this open.
    os.close(os.open(target, os.O_WRONLY | os.O_NONBLOCK))


def _create_unique(directory: str, prefix: str, suffix: str) -> str:
    """Create an empty file named ``prefix``, a number, ``suffix`` in ``directory``."""
    # Numbered by concatenation: the names come from the user's file name and
    # may hold braces, which str.format would take for fields.
    for attempt in range(1, 101):
        candidate = os.path.join(directory, f"{prefix}{attempt}{suffix}")
        try:
            os.close(os.open(candidate, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
        except FileExistsError:
            continue
        return candidate
    raise FileExistsError(f"no free temporary name beside {directory!r}")


def _keep_mode(original: str, replacement: str) -> None:
    try:
        mode = stat.S_IMODE(os.stat(original).st_mode)
    except FileNotFoundError:
        return
    os.chmod(replacement, mode)
