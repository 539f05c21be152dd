"""The ``mirvane`` command: record, inspect, replay and convert work-cell runs from the shell.

Each subcommand lives in a module of ``mirvane.commands`` listed in ``COMMANDS``.
Everything the subcommands share about failing is here: a mistake the user can
mend (``UserError``, or a wrong argument) is one line ``mirvane: error: ...`` and
exit status 2; Ctrl-C is exit status 130 and a termination (SIGTERM)
143. The subcommands clean up after themselves on the way out, so none of these
leaves a partial file behind.
"""

import argparse
import contextlib
import ctypes
import os
import signal
import sys
import threading
from typing import Any, NoReturn, Optional, Sequence

from ._version import __version__
from .commands import Command, UserError, escaped


def _commands() -> Sequence[Command]:
    """The subcommand modules, in the order ``mirvane --help`` lists them: imported once the
    signals are handled, so that Ctrl-C while they load is one line too."""
    from .commands import diff, events, export, import_, index, info, record, recover, render, replay, runs, show

    return (record, info, events, diff, show, replay, export, import_, recover, index, runs, render)


def __getattr__(name: str) -> Any:
    if name == "COMMANDS":
        return _commands()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

EXIT_USER_ERROR = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 128 + signal.SIGTERM


class _Parser(argparse.ArgumentParser):
    """An argument parser whose complaints are one line, like every other user error."""

    def error(self, message: str) -> NoReturn:
        raise UserError(f"{message} (see '{self.prog} --help')")


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command, with a subparser per module of ``COMMANDS``."""
    parser = _Parser(prog="mirvane", description="Record, inspect, replay and export robot work-cell runs.",
                     epilog="example:\n"
                            "  mirvane record run.rec && mirvane replay run.rec --project run.mvproj --serve\n\n"
                            "Run 'mirvane COMMAND --help' for a command's options and an example.",
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"mirvane {__version__}")
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command")
    subparsers.required = True
    for command in _commands():
        command.add_parser(subparsers).set_defaults(run=command.run)
    return parser


class _Terminated(BaseException):
    """SIGTERM arrived: unwind like Ctrl-C, so that every clean-up runs."""


def _raise_terminated(signum: int, frame: object) -> None:
    raise _Terminated


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line ``argv`` (default: the process's) and return the exit status."""
    in_main_thread = threading.current_thread() is threading.main_thread()
    if argv is None:
        _big_buffers_given_back()
    previous = signal.signal(signal.SIGTERM, _raise_terminated) if in_main_thread else None
    try:
        args = build_parser().parse_args(argv)
        # An empty name would otherwise pass for one left out.
        empty = next((name for name, value in vars(args).items() if value == ""), None)
        if empty is not None:
            raise UserError(f"argument {empty}: is empty; give a value (see 'mirvane {args.command} --help')")
        status: Optional[int] = args.run(args)
    except UserError as e:
        print(f"mirvane: error: {escaped(str(e))}", file=sys.stderr)
        return EXIT_USER_ERROR
    except KeyboardInterrupt:
        return _stopped("interrupted", EXIT_INTERRUPTED, argv is None)
    except _Terminated:
        return _stopped("terminated", EXIT_TERMINATED, argv is None)
    finally:
        if in_main_thread:
            signal.signal(signal.SIGTERM, previous)
    return status or 0


# glibc's mallopt parameter for the size from which a buffer is mapped on its own.
_M_MMAP_THRESHOLD = -3


def _big_buffers_given_back() -> None:
    """As the process's own command, have glibc map each buffer of 128 KiB or more on its own, so
    that it goes back to the system when freed. glibc otherwise raises that size to the largest
    buffer freed so far, and the blocks an hours-long run is read in, taken and dropped for hours,
    then fragment its heaps (the player held some 8 MB more on eight hours). A size the user set
    in ``MALLOC_MMAP_THRESHOLD_`` stands."""
    if "MALLOC_MMAP_THRESHOLD_" in os.environ:
        return
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (AttributeError, OSError, TypeError):    # not glibc: its own allocator's ways stand
        return
    mallopt(_M_MMAP_THRESHOLD, 128 * 1024)


def _stopped(how: str, status: int, whole_process: bool) -> int:
    """Say ``how`` the command was stopped, its clean-up done; as the process's own command, end
    the process here: a library's threads stopped midway (DuckDB's, on an interrupted query) may
    otherwise abort it on the way out, losing the status."""
    print(f"mirvane: {how}", file=sys.stderr)
    if whole_process:
        if "multiprocessing.util" in sys.modules:   # a process pool's, removed at a normal exit
            sys.modules["multiprocessing.util"]._exit_function()    # its temporary folder, its semaphores
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):     # a reader gone, or a stream closed
                stream.flush()
        os._exit(status)
    return status
