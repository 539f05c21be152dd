"""Where a batch's tasks run: in this process, on a local process pool, or on a Ray cluster.

``Workers`` runs a function over tasks and yields the results as they finish, with a progress
bar; the calling process gathers them (into the database, the render's manifest). The function
must be importable by name (a module's top level) and its tasks and results picklable; on Ray
it runs wherever the cluster puts it, so the files it reads and writes must be at the same paths
there (a shared file system).
"""

import multiprocessing
import os
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Callable, Generator, Iterator, List, Optional, Sequence, Set, TypeVar

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
            quiet: bool = False) -> Generator[R, None, None]:
        """``work(task)`` for every task, yielded as each finishes, with a bar saying ``what``; closing
        the generator cancels what has not begun."""
        if not tasks:
            return
        with tqdm(total=len(tasks), desc=what, unit=unit, disable=quiet, leave=False) as bar:
            for result in self._results(work, tasks):
                bar.update()
                yield result

    def _results(self, work: Callable[[T], R], tasks: Sequence[T]) -> Iterator[R]:
        if self.ray is not None:
            yield from _on_ray(self.ray, work, tasks)
        elif self.count <= 1 or len(tasks) == 1:
            yield from map(work, tasks)
        else:
            yield from _on_pool(min(self.count, len(tasks)), work, tasks)


def _on_pool(count: int, work: Callable[[T], R], tasks: Sequence[T]) -> Iterator[R]:
    # Workers start from a clean server process: this one may hold a database and its threads.
    context = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(max_workers=count, mp_context=context) as pool:
        pending: Set["Future[R]"] = {pool.submit(work, task) for task in tasks}
        try:
            while pending:
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
                for future in done:
                    yield future.result()
        finally:
            for future in pending:
                future.cancel()


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
