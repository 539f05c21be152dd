"""What ``mirvane export`` and ``mirvane import`` share: the optional extras, progress and errors."""

import contextlib
from typing import Any, Callable, Iterator, Type

from . import UserError, first_line
from ._paths import write_failure

MCAP_EXT = ".mcap"
RRD_EXT = ".rrd"

#: A progress callback of ``mirvane.formats.mcap``: (bytes done, bytes in all).
Progress = Callable[[int, int], None]


@contextlib.contextmanager
def converting(out: str, label: str, hint: str, quiet: bool, extra: str = "mcap") -> Iterator[Progress]:
    """Run a conversion writing ``out``: give it a progress callback that drives a bar on
    stderr (none if ``quiet``), and turn its failures into ``UserError``s, a bad input's
    message followed by ``hint``. The module of ``extra`` (``mirvane.formats.mcap`` for "mcap",
    ``mirvane.formats.rrd`` for "rerun") can be imported inside the block."""
    from tqdm import tqdm

    from ..data import DataFileError, RecordIndexError, UnfinishedFileError
    from ..formats.recordstream import RecordTooLongError

    refused: Type[Exception]
    try:
        if extra == "rerun":
            from ..formats.rrd import RrdError as refused
        else:
            from ..formats.mcap import McapError as refused
    except ImportError:
        files = "Rerun recordings" if extra == "rerun" else "MCAP files"
        raise UserError(f"{files} need the {extra} extra; run pip install 'mirvane[{extra}]'") from None

    bar = None

    def progress(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:     # a file refused at once shows no bar
            bar = tqdm(total=total, desc=label, unit="B", unit_scale=True, disable=quiet, leave=False)
        bar.update(done - bar.n)
        if done >= total:   # drawn at once: the bar redraws only so often, and would miss its end
            bar.refresh()

    try:
        yield progress
    except (UnfinishedFileError, RecordTooLongError) as e:   # its message says what to do
        raise UserError(str(e)) from None
    except (refused, DataFileError) as e:
        raise UserError(f"{first_line(e)}; {hint}") from None
    except RecordIndexError as e:
        raise UserError(str(e)) from None
    except OSError as e:
        raise write_failure(out, e) from None
    finally:
        if bar is not None:
            bar.close()


def counted(counts: Any) -> str:
    """The ``Counts`` of an export or import in words."""
    return f"{counts.records} record{'s' * (counts.records != 1)} ({counts.products} products)"
