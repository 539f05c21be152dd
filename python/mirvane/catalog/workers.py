"""Where a batch's tasks run: in this process, on a local process pool, or on a Ray cluster.

``Workers`` runs a function over tasks and yields the results as they finish, with a progress
bar; the calling process gathers them (into the database, the render's manifest). The function
must be importable by name (a module's top level) and its tasks and results picklable; on Ray
it runs wherever the cluster puts it, so the files it reads and writes must be at the same paths
there (a shared file system).
"""

import contextlib
import multiprocessing
import multiprocessing.util
import os
import signal
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Callable, Generator, Iterator, List, NoReturn, Optional, Sequence, Set, TypeVar

from tqdm import tqdm

from ..reasons import first_line

T = TypeVar("T")
R = TypeVar("R")


class ClusterError(Exception):
    """The Ray cluster cannot be used: not installed, or not reachable at its address."""


def cpu_count() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


@dataclass(frozen=True)
class Workers:
    """``count`` local processes (1: this process alone), or the Ray cluster at ``ray``."""
    count: int = 1
    ray: Optional[str] = None

    def run(self, work: Callable[[T], R], tasks: Sequence[T], what: str, unit: str,
            quiet: bool = False, stopped: Callable[[List[int]], None] = lambda pids: None
            ) -> Generator[R, None, None]:
        """``work(task)`` for every task, yielded as each finishes, with a bar saying ``what``; closing
        the generator cancels what has not begun. Stopped (a signal, the generator closed), local
        workers stop the tasks under way at once, each unwinding as Ctrl-C does; ``stopped`` is
        then given their pids, once they have ended, to remove what they could not."""
        if not tasks:
            return
        with tqdm(total=len(tasks), desc=what, unit=unit, disable=quiet, leave=False) as bar:
            for result in self._results(work, tasks, stopped):
                bar.update()
                yield result

    def _results(self, work: Callable[[T], R], tasks: Sequence[T], stopped: Callable[[List[int]], None]
                 ) -> Iterator[R]:
        if self.ray is not None:
            yield from _on_ray(self.ray, work, tasks)
        elif self.count <= 1 or len(tasks) == 1:
            yield from map(work, tasks)
        else:
            yield from _on_pool(min(self.count, len(tasks)), work, tasks, stopped)


def _on_pool(count: int, work: Callable[[T], R], tasks: Sequence[T], stopped: Callable[[List[int]], None]
             ) -> Iterator[R]:
    # Workers start from a clean server process: this one may hold a database and its threads.
    context = multiprocessing.get_context("forkserver")
    others = set(multiprocessing.active_children())
    ended: List[int] = []
    try:
        with ProcessPoolExecutor(max_workers=count, mp_context=context, initializer=_worker_started) as pool:
            pending: Set["Future[R]"] = set()
            try:
                pending = {pool.submit(_task, work, task) for task in tasks}
                while pending:
                    done, pending = wait(pending, return_when=FIRST_COMPLETED)
                    for future in done:
                        yield future.result()
            except BaseException:
                # Stopped (Ctrl-C, SIGTERM, the caller gone): the tasks under way end now rather than
                # when they are done. The pool's workers are the children this process started since
                # (the pool names no public way to reach them).
                workers = set(multiprocessing.active_children()) - others
                ended.extend(process.pid for process in workers if process.pid is not None)
                for process in workers:
                    with contextlib.suppress(OSError):
                        process.terminate()
                raise
            finally:
                for future in pending:
                    future.cancel()
    finally:
        if ended:   # the pool has joined its workers
            stopped(ended)


# -- in a pool's worker ----------------------------------------------------------------------
# SIGINT or SIGTERM (Ctrl-C, the pool stopped) unwinds the task under way as Ctrl-C does, its
# clean-ups run, then ends the worker, so that nothing queued behind it runs; between tasks it
# ends the worker at once. Either way the worker first runs what an exit runs (the named
# semaphores it made, tqdm's among them, which their tracker would report as leaked).

_STOPS = (signal.SIGINT, signal.SIGTERM)
_under_way = False
_stopped_by: Optional[int] = None


def _worker_started() -> None:
    for signum in _STOPS:
        signal.signal(signum, _stop)


def _stop(signum: int, _: Any) -> None:
    global _stopped_by
    # The clean-ups are not cut short. Ignored by a handler of Python's, not SIG_IGN, so that one
    # already on its way (Ctrl-C's SIGINT, then the pool's SIGTERM) is let go quietly.
    for other in _STOPS:
        signal.signal(other, _let_go)
    _stopped_by = signum
    if not _under_way:
        _end(signum)
    raise KeyboardInterrupt


def _let_go(signum: int, _: Any) -> None:
    pass


def _end(signum: int) -> NoReturn:
    multiprocessing.util._exit_function()   # type: ignore[attr-defined]
    os._exit(128 + signum)


def _task(work: Callable[[T], R], task: T) -> R:
    global _under_way
    _under_way = True
    try:
        return work(task)
    finally:
        try:
            _under_way = False
        finally:    # a stop before the task's end or as it ends
            if _stopped_by is not None:
                _end(_stopped_by)


def _on_ray(address: str, work: Callable[[T], R], tasks: Sequence[T]) -> Iterator[R]:
    try:
        import ray
    except ImportError:
        raise ClusterError("--ray needs Ray: pip install 'mirvane[cluster]'") from None
    import logging
    import warnings

    try:
        with warnings.catch_warnings():     # Ray's tips about its future are not the user's business
            warnings.simplefilter("ignore", FutureWarning)
            ray.init(address=address, logging_level=logging.ERROR, log_to_driver=False, configure_logging=False)
    except (ConnectionError, ValueError, RuntimeError) as e:
        raise ClusterError(f"cannot reach the Ray cluster at {address} ({first_line(e)}); "
                           "start one with 'ray start --head' or give its address") from None
    pending: List[Any] = []
    try:
        remote: Any = ray.remote(num_cpus=1)(work)
        pending = [remote.remote(task) for task in tasks]
        while pending:
            done, pending = ray.wait(pending, num_returns=1)
            yield ray.get(done[0])
    finally:
        for task in pending:    # stopped early: the cluster drops what it has not finished
            ray.cancel(task, force=True)
        ray.shutdown()
