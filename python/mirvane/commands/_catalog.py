"""What the catalog's subcommands (``index``, ``runs``, ``render``) share: the catalog's and the
cluster's failures as one-line errors, and the workers the options ask for."""

import argparse
import contextlib
from typing import TYPE_CHECKING, Any, Iterator

from . import UserError

#: The exit status when some file or output failed (the others were done).
EXIT_SOME_FAILED = 1
#: What a catalog's name ends in.
DB_EXT = ".duckdb"

if TYPE_CHECKING:
    from ..catalog.workers import Workers


def needs_duckdb() -> None:
    """Refuse to go on without the catalog extra."""
    try:
        import duckdb  # noqa: F401
    except ImportError:
        raise UserError("the catalog needs DuckDB: pip install 'mirvane[catalog]'") from None


@contextlib.contextmanager
def catalog_errors() -> Iterator[None]:
    """The catalog's and the cluster's failures in the block as ``UserError``s."""
    from ..catalog.store import CatalogError
    from ..catalog.workers import ClusterError

    try:
        yield
    except (CatalogError, ClusterError) as e:
        raise UserError(str(e)) from None


@contextlib.contextmanager
def catalog(db: str, write: bool = False) -> Iterator[Any]:
    """A connection to the catalog ``db`` for the block (``store.connect``)."""
    from ..catalog import store

    needs_duckdb()
    with catalog_errors(), store.connect(db, write) as con:
        yield con


def workers(args: argparse.Namespace) -> "Workers":
    """The workers ``--workers`` and ``--ray`` ask for."""
    from ..catalog.workers import Workers, cpu_count

    if args.ray is not None and args.workers is not None:
        raise UserError("--workers sets the local pool and --ray runs on a cluster instead; give one of them")
    return Workers(args.workers or cpu_count(), args.ray)
