"""What ``mirvane export`` and ``mirvane import`` share: the optional mcap extra, progress and errors."""

import contextlib
from typing import Any, Callable, Iterator

from . import UserError
from ._files import first_line, write_failure

MCAP_EXT = ".mcap"

#: A progress callback of ``mirvane.mcap``: (bytes done, bytes in all).
Progress = Callable[[int, int], None]


@contextlib.contextmanager
def converting(out: str, label: str, hint: str, quiet: bool) -> Iterator[Progress]:
    """Run an MCAP conversion writing ``out``: give it a progress callback that drives a bar
    on stderr (none if ``quiet``), and turn its failures into ``UserError``s, a bad input's
    message followed by ``hint``. ``mirvane.mcap`` can be imported inside the block."""
    from tqdm import tqdm

    from ..data import RecordIndexError

    try:
        from ..mcap import McapError
    except ImportError:
        raise UserError("MCAP files need the mcap extra; run pip install 'mirvane[mcap]'") from None

    bar = None

    def progress(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:     # a file refused at once shows no bar
            bar = tqdm(total=total, desc=label, unit="B", unit_scale=True, disable=quiet, leave=False)
        bar.update(done - bar.n)

    try:
        yield progress
    except McapError as e:
        raise UserError(f"{first_line(e)}; {hint}") from None
    except RecordIndexError as e:
        raise UserError(str(e)) from None
    except OSError as e:
        raise write_failure(out, e) from None
    finally:
        if bar is not None:
            bar.close()


def counted(counts: Any) -> str:
    """``mirvane.mcap.Counts`` in words."""
    return f"{counts.records} record{'s' * (counts.records != 1)} ({counts.products} products)"
