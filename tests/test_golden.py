"""Today's outputs, kept under tests/golden/, made again through the commands and compared byte for byte:
each recording's events (``mirvane events --format json``), its records' figures, and the hashes of its
MCAP export's messages and of a recording file written back from that MCAP. A change to how products are read must
leave them all as they are; the figures gathered from the products' columns are those too.

Refresh them (after a change that rightly alters an output) with ``MIRVANE_GOLDEN=refresh``.
"""

import dataclasses
import hashlib
import json
import os
from pathlib import Path

import pytest

from helpers import mirvane
from mirvane.analysis.events import product_events
from mirvane.analysis.metrics import MetricsFold
from mirvane.formats.columns import product_columns
from mirvane.formats.productstream import ProductStream

ROOT = Path(__file__).parents[1]
GOLDEN = Path(__file__).parent / "golden"
#: The recordings: a file kept from an old version, the own-cell example's MCAP, and a short run with faults.
CASES = {
    "v0.1.0": ROOT / "tests" / "data" / "run-v0.1.0.rec",
    "own_cell": ROOT / "examples" / "own_cell.mcap",
    "sample": ("record", "--seconds", 6, "--seed", 7, "--faults", "all", "--fault-rate", 60),
}


def ran(*args, cwd):
    done = mirvane(*args, cwd=cwd)
    assert done.returncode == 0, done.stderr
    return done.stdout


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


#: Written only where the installed foxglove schemas have an ``Event`` message.
_OPTIONAL_TOPICS = {"/events/spans"}


def messages_digest(path):
    """The hash of an MCAP file's messages (topic, schema name, times, sequence, bytes): the embedded
    schemas' bytes depend on the installed schema packages, the messages on mirvane alone."""
    from mcap.reader import make_reader

    h = hashlib.sha256()
    with open(path, "rb") as f:
        for schema, channel, message in make_reader(f).iter_messages(log_time_order=False):
            if channel.topic in _OPTIONAL_TOPICS:
                continue
            for part in (channel.topic, schema.name if schema else "", message.log_time, message.publish_time,
                         message.sequence, len(message.data)):
                h.update(f"{part}\0".encode())
            h.update(message.data)
    return h.hexdigest()


def kept(products, blobs):
    """``products`` as they come, each one's bytes added to ``blobs``."""
    for product in products:
        blobs.append(product.SerializeToString())
        yield product


def outputs(case, where):
    """The case's outputs by file name, as text."""
    source = CASES[case]
    hashes = {}
    if isinstance(source, tuple):
        ran(*source[:1], "run.rec", *source[1:], cwd=where)
        source = where / "run.rec"
        hashes["recording"] = digest(source)
    ran("export", source, "export.mcap", "--quiet", cwd=where)
    hashes["mcap export"] = messages_digest(where / "export.mcap")
    ran("import", "--quiet", source if source.suffix == ".mcap" else "export.mcap", "back.rec", cwd=where)
    hashes["recording from MCAP"] = digest(where / "back.rec")
    metrics = []
    for position, (header, products) in enumerate(ProductStream(source).records()):
        fold, from_columns, blobs = MetricsFold(), MetricsFold(), []
        found = product_events(header.project, kept(fold.counted(products), blobs), position)
        from_columns.add_columns(product_columns(blobs))
        assert from_columns.metrics(header.project, found) == fold.metrics(header.project, found)
        metrics.append(dataclasses.asdict(fold.metrics(header.project, found)))
    figures = {"sha256": hashes, "metrics": metrics}
    return {f"{case}.events.jsonl": ran("events", source, "--format", "json", cwd=where),
            f"{case}.json": json.dumps(figures, indent=1, sort_keys=True) + "\n"}


@pytest.mark.parametrize("case", CASES)
def test_outputs_as_kept(case, tmp_path):
    made = outputs(case, tmp_path)
    if os.environ.get("MIRVANE_GOLDEN") == "refresh":
        GOLDEN.mkdir(exist_ok=True)
        for name, text in made.items():
            (GOLDEN / name).write_text(text)
    for name, text in made.items():
        assert (GOLDEN / name).read_text() == text, f"{name} differs (MIRVANE_GOLDEN=refresh if rightly)"


#: The figures a catalog row holds from the products (the rest are events), as ``Metrics`` names them.
FOLDED = ("span_s", "products", "behaviors", "steps", "cycles", "cycle_s", "items_moved")


@pytest.mark.parametrize("case", CASES)
def test_index_stores_the_kept_figures_of_a_recording_file(case, tmp_path):
    """``mirvane index`` reads a recording file's figures from its products' columns: they are the kept ones."""
    from mirvane.scene import KINDS

    source = CASES[case]
    if isinstance(source, tuple):
        ran(*source[:1], "run.rec", *source[1:], cwd=tmp_path)
        source = tmp_path / "run.rec"
    elif source.suffix == ".mcap":
        ran("import", "--quiet", source, "run.rec", cwd=tmp_path)
        source = tmp_path / "run.rec"
    ran("index", source, "--db", "c.duckdb", "--quiet", cwd=tmp_path)
    rows = [json.loads(line) for line in ran("runs", "--db", "c.duckdb", "--format", "json", cwd=tmp_path).splitlines()]
    stored = [{**{name: row[name] for name in FOLDED}, **{kind: row[f"{kind}_products"] for kind in KINDS}}
              for row in sorted(rows, key=lambda row: row["position"])]
    kept = json.loads((GOLDEN / f"{case}.json").read_text())["metrics"]
    assert stored == [{**{name: figures[name] for name in FOLDED}, **{kind: figures["products_by_kind"][kind]
                                                                      for kind in KINDS}} for figures in kept]
