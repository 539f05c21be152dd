"""The catalog of runs: mirvane index, runs and render as a user runs them, on a process pool and
a Ray cluster, and the catalog's page in headless Chromium."""

import contextlib
import csv
import dataclasses
import hashlib
import importlib.util
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from helpers import MIRVANE, mirvane, read_until, save
from mirvane.data import Data
from replay_fakes import SECOND

pytestmark = pytest.mark.skipif(importlib.util.find_spec("duckdb") is None, reason="the catalog extra is not installed")

#: The runs a catalog is made of: clean and faulty, a recording file and an MCAP file.
RUNS = {
    "clean_1.rec": ("--seconds", 8, "--seed", 1),
    "clean_2.rec": ("--seconds", 8, "--seed", 2),
    "faulty.rec": ("--seconds", 8, "--seed", 11, "--faults", "slip,damaged-value", "--fault-rate", 15),
    "nested/faulty.mcap": ("--seconds", 8, "--seed", 12, "--faults", "all", "--fault-rate", 30),
}

#: Files that are no recordings, and why the index says it cannot read them.
UNREADABLE = {"junk.rec": (b"not a recording", "not a recording file (unexpected content at byte 0)"),
              "nested/foreign.mcap": (b"hello", "not an MCAP file (it does not begin as one)")}


def make_runs(folder):
    for name, options in RUNS.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        made = mirvane("record", path.with_suffix(".rec"), *options, cwd=folder)
        assert made.returncode == 0, made.stderr
        if path.suffix == ".mcap":
            assert mirvane("export", path.with_suffix(".rec"), path, "--quiet", cwd=folder).returncode == 0
            path.with_suffix(".rec").unlink()
    for name, (content, _) in UNREADABLE.items():
        (folder / name).write_bytes(content)


def readable_runs(folder, into):
    """The runs of ``folder`` copied into ``into``, without the files that are no recordings."""
    shutil.copytree(folder, into)
    for name in UNREADABLE:
        (into / name).unlink()


@pytest.fixture(scope="module")
def catalog(tmp_path_factory):
    """A folder of runs (and one unreadable file) indexed into runs.duckdb beside it; the index's run."""
    where = tmp_path_factory.mktemp("catalog")
    make_runs(where / "runs")
    done = mirvane("index", "runs", "--workers", 2, cwd=where)
    return where, done


def runs(where, *args):
    """``mirvane runs`` of the catalog in ``where`` as JSON lines: its rows."""
    done = mirvane("runs", *args, "--format", "json", cwd=where)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def test_an_unreadable_file_is_listed_and_the_rest_indexed(catalog):
    where, done = catalog
    assert done.returncode == 1
    assert re.findall(r"cannot index (\S+): (.*)", done.stderr) == sorted(
        (str(where / "runs" / name), why) for name, (_, why) in UNREADABLE.items())
    assert "Indexed 4 files (4 records" in done.stdout
    assert sorted(os.path.relpath(row["file"], where) for row in runs(where)) == sorted(f"runs/{n}" for n in RUNS)


@pytest.mark.parametrize("name", RUNS)
def test_each_records_metrics_and_events_are_as_the_events_command_finds_them(catalog, name):
    from mirvane.data import Data, span_seconds

    where, _ = catalog
    path = where / "runs" / name
    found = [json.loads(line) for line in mirvane("events", path, "--format", "json", cwd=where).stdout.splitlines()]
    record, = runs(where, "--where", f"file = '{path}'")
    stored = runs(where, "--sql", f"SELECT * EXCLUDE (record_id) FROM events WHERE record_id = '{record['record_id']}' "
                                  "ORDER BY number")
    assert stored == found
    read = Data.fromFile(path).records()[0]
    severities = [event["severity"] for event in found]
    assert (record["products"], record["span_s"], record["events"], record["warnings"], record["errors"]) == (
        len(read.products), span_seconds(read), len(found), severities.count("warning"), severities.count("error"))
    assert record["first_error"] == next((e["text"] for e in found if e["severity"] == "error"), None)
    assert record["drop_events"] == sum(event["kind"] == "drop" for event in found)
    assert record["items_moved"] == sum(event["kind"] == "release" for event in found) > 0
    assert record["robots"] == ["arm_a", "arm_b"] and record["cycles"] > 0
    assert ("faulty" in name) == (record["warnings"] + record["errors"] > 0)


def test_index_again_reads_only_added_and_changed_files_and_drops_removed_ones(catalog, tmp_path):
    where, _ = catalog
    readable_runs(where / "runs", tmp_path / "runs")
    first = mirvane("index", "runs", cwd=tmp_path)
    again = mirvane("index", "runs", cwd=tmp_path)
    assert first.returncode == again.returncode == 0
    assert "Indexed 0 files (0 records, 0 events) into runs.duckdb; 4 unchanged, 0 removed" in again.stdout
    runs_ = tmp_path / "runs"
    assert mirvane("record", runs_ / "clean_1.rec", "--seconds", 3, "--seed", 9, cwd=tmp_path).returncode == 0
    assert mirvane("record", runs_ / "added.rec", "--seconds", 3, "--seed", 8, cwd=tmp_path).returncode == 0
    (runs_ / "clean_2.rec").unlink()
    os.utime(runs_ / "faulty.rec", ns=(1, 1))      # touched: its content hashes as before
    changed = mirvane("index", "runs", cwd=tmp_path)
    assert "Indexed 2 files (2 records" in changed.stdout and "2 unchanged, 1 removed" in changed.stdout
    # The same rows as a catalog made afresh of the folder as it is now.
    assert mirvane("index", "runs", "--db", "fresh.duckdb", "--workers", 1, cwd=tmp_path).returncode == 0
    table = "SELECT * FROM {} ORDER BY ALL"
    for name in ("records", "events", "files"):
        assert runs(tmp_path, "--sql", table.format(name)) == runs(tmp_path, "--db", "fresh.duckdb", "--sql",
                                                                    table.format(name))


@pytest.mark.parametrize("args, holds", [
    (("--where", "errors > 0", "--sort", "errors desc"), lambda rows, every: rows == sorted(
        (row for row in every if row["errors"] > 0), key=lambda row: -row["errors"]) != []),
    (("--sort", "span_s"), lambda rows, every: [row["span_s"] for row in rows] == sorted(
        row["span_s"] for row in every)),
    (("--sql", "SELECT sum(drop_events) AS drops FROM records"), lambda rows, every: rows == [
        {"drops": sum(row["drop_events"] for row in every)}]),
])
def test_runs_lists_chosen_records_and_answers_queries(catalog, args, holds):
    assert holds(runs(catalog[0], *args), runs(catalog[0]))


@pytest.mark.parametrize("format", ["table", "csv"])
def test_runs_prints_the_same_records_as_a_table_or_csv(catalog, format):
    where, _ = catalog
    every = runs(where)
    printed = mirvane("runs", "--format", format, cwd=where).stdout
    if format == "csv":
        assert [(row["record_id"], int(row["errors"]), row["robots"]) for row in csv.DictReader(io.StringIO(printed))
                ] == [(row["record_id"], row["errors"], ",".join(row["robots"])) for row in every]
    else:
        lines = printed.splitlines()
        assert lines[0].split()[:3] == ["record_id", "file", "position"] and lines[-1] == f"{len(every)} rows"
        assert [line.split()[:3] for line in lines[1:-1]] == [
            [row["record_id"], os.path.relpath(row["file"], where), "0"] for row in every]


@pytest.mark.parametrize("args, refusal", [
    (("--sql", "DROP TABLE events"), "this statement is a DROP"),
    (("--sql", "SELECT 1; DELETE FROM records"), "give one statement, not 2"),
    (("--sql", "COPY records TO 'out.csv'"), "this statement is a COPY"),
    (("--sql", "SELECT * FROM read_csv('runs/junk.rec')"), "file system operations are disabled"),
    (("--sort", "nothing"), "no column 'nothing' to sort by"),
    (("--where", "nothing > 0"), 'column "nothing" not found'),
    (("--where", "true) UNION SELECT * FROM records WHERE (true"), "give one condition on the records' columns"),
    (("--where", "true) --"), "give one condition on the records' columns"),
    (("--db", "missing.duckdb"), "no catalog there"),
])
def test_runs_refuses_writes_and_what_it_cannot_answer(catalog, args, refusal):
    where, _ = catalog
    before = sorted(os.listdir(where)), (where / "runs.duckdb").read_bytes()
    done = mirvane("runs", *args, cwd=where)
    assert done.returncode == 2 and refusal in done.stderr and done.stderr.count("\n") == 1, done.stderr
    assert (sorted(os.listdir(where)), (where / "runs.duckdb").read_bytes()) == before


def catalog_row(columns, **values):
    """A row of ``columns`` (a ``store`` table's) with a plain value of each column's type, or as given."""
    plain = {"VARCHAR[]": [], "VARCHAR": "x", "DOUBLE": 1.0}
    return {name: values.get(name, plain.get(kind.split()[0], 1)) for name, kind in columns}


def catalog_contents(con):
    return [con.execute(f"SELECT * FROM {table} ORDER BY ALL").fetchall() for table in ("records", "events", "files")]


@pytest.mark.parametrize("table, column, value", [
    ("records", "span_s", None),    # a column missing
    ("events", "time", "noon"),     # a value that is no number
], ids=["missing column", "bad value"])
def test_a_failing_put_leaves_the_catalog_as_before_and_usable(tmp_path, table, column, value):
    from mirvane.catalog import store

    rows = {"records": (catalog_row(store.RECORD_COLUMNS, record_id="a", file="a.rec"),),
            "events": (catalog_row(store.EVENT_COLUMNS, record_id="a"),)}
    good = store.Scanned("a.rec", 1, 1, "f", **rows)
    broken = {name: given for name, given in rows[table][0].items() if name != column}
    if value is not None:
        broken[column] = value
    with store.connect(str(tmp_path / "runs.duckdb"), write=True) as con:
        store.put(con, [good])
        before = catalog_contents(con)
        with pytest.raises(Exception):
            store.put(con, [dataclasses.replace(good, size=2, **{table: (broken,)})])
        assert catalog_contents(con) == before
        store.drop(con, ["a.rec"])
        assert catalog_contents(con) == [[], [], []]



# -- hostile files and databases --------------------------------------------------------------

def test_index_keeps_odd_names_and_files_with_their_real_size_and_time(catalog, tmp_path):
    runs_ = tmp_path / "runs"
    runs_.mkdir()
    shutil.copy(catalog[0] / "runs" / "clean_1.rec", os.fsdecode(bytes(runs_) + b"/odd\xff\\.rec"))  # not UTF-8
    (runs_ / "empty.rec").write_bytes(b"")
    (runs_ / "junk.rec").write_bytes(b"not a recording")
    first = mirvane("index", "runs", cwd=tmp_path)
    assert first.returncode == 1 and "Indexed 2 files (1 records" in first.stdout, first.stderr
    assert f"mirvane: note: {runs_ / 'empty.rec'}: empty (0 bytes)" in first.stderr
    files = {os.path.basename(row["file"]): row for row in runs(tmp_path, "--sql", "SELECT * FROM files")}
    junk = os.stat(runs_ / "junk.rec")
    assert (files["junk.rec"]["size"], files["junk.rec"]["mtime_ns"]) == (junk.st_size, junk.st_mtime_ns)
    assert (files["odd\\xff\\\\.rec"]["records"], files["empty.rec"]["records"]) == (1, 0)
    assert "2 unchanged, 0 removed, 1 unreadable" in mirvane("index", "runs", cwd=tmp_path).stdout
    done = mirvane("render", "--export", "mcap", "--out", "out", cwd=tmp_path, timeout=120)
    assert done.returncode == 0 and len(os.listdir(tmp_path / "out")) == 2, done.stderr     # and its manifest


def changed_behind_its_back(path, replace):
    """``path`` with its last byte changed, its size and time as before: in place, or a copy renamed over it."""
    status, content = os.stat(path), bytearray(Path(path).read_bytes())
    content[-1] ^= 1
    target = f"{path}.new" if replace else path
    Path(target).write_bytes(bytes(content))
    os.utime(target, ns=(status.st_atime_ns, status.st_mtime_ns))
    os.replace(target, path)


def swapping_hashlib(path, real=hashlib.sha256):
    """``hashlib`` whose first digest has ``path`` replaced: between hashing it and reading it."""
    def sha256(*args):
        digest = real(*args)
        def hexdigest():
            if not os.path.exists(f"{path}.swapped"):
                Path(f"{path}.swapped").touch()
                changed_behind_its_back(path, replace=True)
            return digest.hexdigest()
        return types.SimpleNamespace(update=digest.update, hexdigest=hexdigest)
    return types.SimpleNamespace(sha256=sha256)


@pytest.mark.parametrize("change", ["replaced while read", "edited in place"])
def test_a_file_changed_behind_the_catalogs_back_is_read_by_the_next_index(catalog, tmp_path, monkeypatch, change):
    from mirvane.catalog import scan
    from mirvane.catalog.index import index

    (tmp_path / "runs").mkdir()
    path, db = tmp_path / "runs" / "faulty.rec", str(tmp_path / "runs.duckdb")
    shutil.copy(catalog[0] / "runs" / "faulty.rec", path)
    with monkeypatch.context() as patched:
        if change == "replaced while read":
            patched.setattr(scan, "hashlib", swapping_hashlib(path))
        index([str(path)], db, quiet=True)
    if change == "edited in place":
        changed_behind_its_back(path, replace=False)
    again = index([str(path)], db, quiet=True)
    assert again.read + len(again.unreadable) == 1
    index([str(path)], str(tmp_path / "fresh.duckdb"), quiet=True)
    table = "SELECT * EXCLUDE (ctime_ns) FROM files ORDER BY ALL"
    assert runs(tmp_path, "--sql", table) == runs(tmp_path, "--db", "fresh.duckdb", "--sql", table)


def refused_by_the_page(db, record_id):
    """Why the page refuses to open ``record_id``; answered within 30 s."""
    from mirvane.catalog.page import CatalogView

    why = []
    with CatalogView("127.0.0.1", 0, str(db)) as view:
        opening = threading.Thread(target=lambda: why.append(pytest.raises(ValueError, view.open, record_id)),
                                   daemon=True)
        opening.start()
        opening.join(30)
    return str(why[0].value)


@pytest.mark.parametrize("replacement", ["fifo", "link to /dev/zero"])
def test_a_catalogued_file_that_is_no_regular_file_is_refused_by_the_page_and_render(catalog, tmp_path, replacement):
    readable_runs(catalog[0] / "runs", tmp_path / "runs")
    assert mirvane("index", "runs", cwd=tmp_path).returncode == 0
    path = tmp_path / "runs" / "faulty.rec"
    path.unlink()
    os.mkfifo(path) if replacement == "fifo" else path.symlink_to("/dev/zero")
    chosen = ("--where", f"file = '{path}'")
    done = mirvane("render", "--export", "mcap", "--out", "out", *chosen, cwd=tmp_path, timeout=60)
    assert done.returncode == 1 and "not a regular file" in done.stderr, done.stderr
    key, = [row["record_id"] for row in runs(tmp_path, *chosen)]
    assert "not a regular file" in refused_by_the_page(tmp_path / "runs.duckdb", key)


def index_backward_stamped(recorded, tmp_path):
    """``runs/odd.rec`` in ``tmp_path``: the recorded run with its last product stamped before its
    first, which ``replay`` refuses, indexed into the catalog beside it."""
    records = Data.fromFile(recorded / "run.rec")._data_records
    products = records.records[0].products
    products[-1].timestamp_ns = products[0].timestamp_ns - SECOND
    (tmp_path / "runs").mkdir()
    save(records, tmp_path / "runs" / "odd.rec")
    assert mirvane("index", "runs", cwd=tmp_path).returncode == 0


def test_the_page_refuses_a_record_replay_refuses(recorded, tmp_path):
    index_backward_stamped(recorded, tmp_path)
    refused = mirvane("replay", tmp_path / "runs" / "odd.rec", "--project", recorded / "run.mvproj",
                      "--movie", "odd.mp4", cwd=tmp_path)
    row, = runs(tmp_path)
    why = refused_by_the_page(tmp_path / "runs.duckdb", row["record_id"])
    assert refused.returncode == 2 and why in refused.stderr and "nothing to show" in why


def earlier_catalog(con):
    """The tables a catalog of version 1 had: today's but the files' change time, marked by ``catalog``."""
    from mirvane.catalog import store

    for table, columns in store.TABLES.items():
        kept = ", ".join(f'"{name}" {kind}' for name, kind in columns if name != "ctime_ns")
        con.execute(f"CREATE TABLE {table} ({kept})")
    con.execute("CREATE TABLE catalog (version INTEGER); INSERT INTO catalog VALUES (1)")


@pytest.mark.parametrize("tables, ours", [
    (earlier_catalog, "a catalog of another version of mirvane"),
    (lambda con: None, "an empty database, no catalog yet"),
    ("CREATE TABLE catalog (version INTEGER); INSERT INTO catalog VALUES (1); CREATE TABLE orders (n INTEGER)", None),
    ("CREATE TABLE catalog (version VARCHAR); INSERT INTO catalog VALUES ('x')", None),
    ("CREATE TABLE mirvane_catalog (version VARCHAR); INSERT INTO mirvane_catalog VALUES ('2')", None),
], ids=["earlier catalog", "empty", "another program's catalog table", "a text version", "a text mark"])
def test_index_rebuilds_an_earlier_catalog_and_refuses_any_other_database(recorded, tmp_path, tables, ours):
    import duckdb

    with duckdb.connect(str(tmp_path / "their.duckdb")) as con:
        tables(con) if callable(tables) else con.execute(tables)
    before = (tmp_path / "their.duckdb").read_bytes()
    listed = mirvane("runs", "--db", "their.duckdb", cwd=tmp_path)
    done = mirvane("index", recorded / "run.rec", "--db", "their.duckdb", cwd=tmp_path)
    if ours:
        assert listed.returncode == 2 and ours in listed.stderr and "'mirvane index PATH --db their" in listed.stderr
        assert done.returncode == 0 and len(runs(tmp_path, "--db", "their.duckdb")) == 1, done.stderr
    else:
        refusal = "mirvane: error: their.duckdb: a database, but not a catalog of mirvane; give another --db\n"
        assert (listed.returncode, listed.stderr, done.returncode, done.stderr) == (2, refusal, 2, refusal)
        assert (tmp_path / "their.duckdb").read_bytes() == before


RENDERS = {     # what render makes, of which records, named how, and how many of each
    "clips": (("--clips", "out", "--pad", 0.5), "errors > 0", r".*faulty-0-e\d+\.mp4", lambda row: row["errors"]),
    "movies": (("--movies", "out"), "errors > 0", r".*faulty-0\.mp4", lambda row: 1),
    "mcap": (("--export", "mcap", "--out", "out"), "true", r".*-0\.mcap", lambda row: 1),
}


@pytest.mark.parametrize("kind", RENDERS)
def test_render_makes_each_output_once_and_goes_on_past_a_failing_record(catalog, tmp_path, kind):
    where, _ = catalog
    readable_runs(where / "runs", tmp_path / "runs")
    assert mirvane("index", "runs", cwd=tmp_path).returncode == 0
    option, condition, named, outputs = RENDERS[kind]
    chosen = ("--where", condition)
    rows = runs(tmp_path, *chosen)
    expected = sum(map(outputs, rows))
    first = mirvane("render", *option, *chosen, cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    made = sorted(os.listdir(tmp_path / "out"))
    assert len(made) == expected + 1 and ".mirvane-render.json" in made
    assert all(re.fullmatch(named, name) for name in made if not name.startswith("."))
    if kind == "mcap":
        from mirvane.formats.mcap import McapRecords

        assert sorted(len(list(McapRecords(tmp_path / "out" / name))[0].products) for name in made[1:]) == sorted(
            row["products"] for row in rows)
    again = mirvane("render", *option, *chosen, cwd=tmp_path)
    assert f"0 {kind[:-1] if kind != 'mcap' else 'mcap export'}s made, {expected} already there" in again.stdout
    # A record whose file changed since it was indexed fails; the others are made.
    for name in made[1:]:
        (tmp_path / "out" / name).unlink()
    with open(tmp_path / "runs" / "faulty.rec", "ab") as f:
        f.write(b"\n\x00")
    failed = mirvane("render", *option, *chosen, cwd=tmp_path)
    failing = [name for name in made if name.startswith("runs_faulty-")]
    assert failed.returncode == 1 and failing
    assert re.findall(r"cannot make \S+/(\S+): (.*)", failed.stderr) == [
        (name, f"{tmp_path / 'runs' / 'faulty.rec'} changed since it was indexed; run 'mirvane index' again")
        for name in failing]
    assert sorted(os.listdir(tmp_path / "out")) == [name for name in made if name not in failing]


@pytest.mark.parametrize("option", ["--movies", "--clips"])
def test_render_reports_why_no_movie_can_be_made_of_a_record_in_one_line(recorded, tmp_path, option):
    index_backward_stamped(recorded, tmp_path)
    done = mirvane("render", option, "out", "--quiet", cwd=tmp_path)
    assert done.returncode == 1 and done.stderr, done.stderr
    why = f"{tmp_path / 'runs' / 'odd.rec'}: record 0 has nothing to show: its last product is stamped 1 s before its first"
    for line in done.stderr.splitlines():
        assert re.fullmatch(rf"mirvane: cannot make out/odd-0(-e\d+)?\.mp4: {re.escape(why)}, [^\n]*", line), line
    assert os.listdir(tmp_path / "out") == []


def test_render_gives_recordings_whose_names_join_alike_outputs_of_their_own(recorded, tmp_path):
    for name in ("a_b/c.rec", "a_b_c.rec", "A_B_C.rec"):     # the last apart only by case
        (tmp_path / "runs" / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(recorded / "run.rec", tmp_path / "runs" / name)
    assert mirvane("index", "runs", cwd=tmp_path).returncode == 0
    done = mirvane("render", "--export", "mcap", "--out", "out", cwd=tmp_path)
    assert done.returncode == 0 and "3 mcap exports made" in done.stdout, done.stderr
    made = [name for name in os.listdir(tmp_path / "out") if not name.startswith(".")]
    assert len({name.casefold() for name in made}) == 3, made


def test_render_prints_a_file_name_with_control_characters_escaped(recorded, tmp_path):
    odd = tmp_path / "runs" / "a\nmirvane: forged\x1b[31m.rec"
    odd.parent.mkdir()
    shutil.copy(recorded / "run.rec", odd)
    assert mirvane("index", "runs", cwd=tmp_path).returncode == 0
    with open(odd, "ab") as f:
        f.write(b"\0")
    done = mirvane("render", "--export", "mcap", "--out", "out", "--quiet", cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and "\x1b" not in done.stderr, done.stderr
    assert "a\\nmirvane: forged\\x1b[31m.rec changed since it was indexed" in done.stderr


# -- on a Ray cluster, in a network namespace of its own --------------------------------------

#: A network namespace with loopback alone (Ray takes the machine's address even when told
#: 127.0.0.1; there it keeps to loopback), and a process namespace, so that ``ray stop`` sees only
#: this cluster and everything in it ends with the shell.
ISOLATED = ["unshare", "--net", "--pid", "--fork", "--mount-proc"]


def isolation_refused():
    """Why the namespaces cannot be made here, or None."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return "unshare or ip is missing"
    done = subprocess.run([*ISOLATED, "true"], capture_output=True, text=True)
    return done.returncode and f"no network namespace here: {done.stderr.strip()}"


@pytest.mark.cluster
def test_a_ray_cluster_makes_the_same_rows_and_files_as_the_local_pool(catalog, tmp_path):
    if importlib.util.find_spec("ray") is None:     # found, not imported: the commands import it
        pytest.skip("the cluster extra is not installed")
    if isolation_refused():
        pytest.skip(isolation_refused())
    where, _ = catalog
    readable_runs(where / "runs", tmp_path / "runs")
    ray = str(Path(sys.executable).with_name("ray"))
    on_ray = ("--ray", "127.0.0.1:6391")
    for db, out, options in (("pool.duckdb", "pool", ()), ("ray.duckdb", "ray", on_ray)):
        steps = f"{MIRVANE} index runs --db {db} {' '.join(options)} --quiet; " \
                f"{MIRVANE} render --db {db} --export mcap --out {out} {' '.join(options)} --quiet"
        if not options:
            subprocess.run(steps, shell=True, cwd=tmp_path, timeout=300)
            continue
        # The cluster's sockets under a short path of its own (a socket's path is at most 107 bytes).
        with tempfile.TemporaryDirectory(prefix="ray", dir="/tmp") as scratch:
            script = (f"set -e; ip link set lo up; trap '{ray} stop --force >/dev/null 2>&1' EXIT; "
                      f"{ray} start --head --port 6391 --num-cpus 2 --include-dashboard=false --disable-usage-stats "
                      f"--object-store-memory {10 ** 8} --temp-dir {scratch} >/dev/null; {steps} || true")
            done = subprocess.run([*ISOLATED, "sh", "-c", script], cwd=tmp_path, capture_output=True, text=True,
                                  timeout=300)
        assert done.returncode == 0, done.stderr
    for table in ("records", "events", "files"):
        query = f"SELECT * FROM {table} ORDER BY ALL"
        assert runs(tmp_path, "--db", "ray.duckdb", "--sql", query) == runs(tmp_path, "--db", "pool.duckdb",
                                                                            "--sql", query)
    made = {side: {p.name: p.read_bytes() for p in (tmp_path / side).iterdir()} for side in ("pool", "ray")}
    assert made["ray"] == made["pool"] and len(made["ray"]) == len(RUNS) + 1


# -- queries and signals ----------------------------------------------------------------------

SLOW = "SELECT sum(range) FROM range(100000000000)"


@pytest.mark.parametrize("args, signal_, status, said", [
    (("--sql", SLOW), signal.SIGINT, 130, "mirvane: interrupted\n"),
    (("--sql", SLOW), signal.SIGTERM, 143, "mirvane: terminated\n"),
    (("--where", f"({SLOW}) > 0", "--time-limit", "0.5"), None, 2,
     "mirvane: error: --where/--sort: stopped at the time limit of 0.5 s; ask for less, "
     "or give it longer with --time-limit\n"),
    (("--serve", "0"), signal.SIGINT, 130, "mirvane: interrupted\n"),     # while it answers a slow condition
])
def test_a_slow_query_stops_at_its_time_limit_and_at_once_on_a_signal(catalog, args, signal_, status, said):
    process = subprocess.Popen([MIRVANE, "runs", *args], cwd=catalog[0], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    if "--serve" in args:
        url = re.search(r"Runs at (\S+)", read_until(process, "(Ctrl-C stops)")).group(1)
        asked = url + "records.json?where=" + urllib.parse.quote(f"({SLOW}) > 0")
        def ask():
            with contextlib.suppress(OSError):     # the server stops before it answers
                urllib.request.urlopen(asked, timeout=60)
        threading.Thread(target=ask, daemon=True).start()
    if signal_ is not None:
        time.sleep(2.5)     # under way
        process.send_signal(signal_)
    sent = time.monotonic()
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (status, said)
    assert time.monotonic() - sent < 3


@pytest.fixture(scope="module")
def short_and_long(tmp_path_factory):
    """A catalog of two runs whose movies take a few seconds and many more to make."""
    where = tmp_path_factory.mktemp("short_and_long")
    (where / "runs").mkdir()
    for name, seconds in (("short", 2), ("long", 40)):
        assert mirvane("record", f"runs/{name}.rec", "--seconds", seconds, cwd=where).returncode == 0
    assert mirvane("index", "runs", cwd=where).returncode == 0
    return where / "runs.duckdb"


@pytest.mark.parametrize("signal_, to_group, said", [(signal.SIGTERM, False, "terminated"),
                                                     (signal.SIGINT, True, "interrupted")],
                         ids=["SIGTERM to the command alone", "Ctrl-C"])
def test_a_render_on_the_pool_stops_at_once_leaving_only_whole_outputs(short_and_long, tmp_path, signal_, to_group,
                                                                      said):
    count_frames = pytest.importorskip("imageio_ffmpeg").count_frames_and_secs
    scratch, out = tmp_path / "scratch", tmp_path / "out"
    scratch.mkdir()
    process = subprocess.Popen([MIRVANE, "render", "--db", short_and_long, "--movies", out, "--workers", "2",
                                "--quiet"], env=dict(os.environ, TMPDIR=str(scratch)), stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
    while not (out / ".mirvane-render.json").exists():   # the short run's movie made; the long one's under way
        assert process.poll() is None
        time.sleep(0.05)
    os.killpg(process.pid, signal_) if to_group else process.send_signal(signal_)
    sent = time.monotonic()
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (128 + signal_, f"mirvane: {said}\n")
    assert time.monotonic() - sent < 3
    made = json.loads((out / ".mirvane-render.json").read_text())
    assert sorted(os.listdir(out)) == sorted([".mirvane-render.json", *made])    # no temporary file
    assert all(count_frames(str(out / name))[0] > 0 for name in made)
    assert not os.listdir(scratch)


# -- the page ---------------------------------------------------------------------------------

@pytest.fixture
def serve(catalog):
    """Starts ``mirvane runs --serve ADDRESS`` on the catalog; gives the first URL it printed."""
    started = []

    def start(address="0"):
        process = subprocess.Popen([MIRVANE, "runs", "--serve", address], cwd=catalog[0], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        started.append(process)
        return re.search(r"Runs at (\S+)", read_until(process, "(Ctrl-C stops)")).group(1)

    yield start
    for process in started:
        process.kill()
        process.wait()


def test_catalog_page_sorts_filters_and_opens_a_record_in_the_player_at_its_first_error(browser, serve, catalog):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    wait = WebDriverWait(browser, 30, poll_frequency=0.05)
    def files(b):   # read at once: the rows are made anew as the list changes
        return b.execute_script("return [...document.querySelectorAll('#rows tr')].map((row) => row.title)")

    browser.get(serve())
    wait.until(lambda b: len(files(b)) == len(RUNS))
    # The files that could not be read are named with why; each run shows its file's time.
    assert browser.execute_script("return [...document.querySelectorAll('#unreadable li')].map((li) => li.textContent)"
                                  ) == [f"{catalog[0] / 'runs' / name}: {why}" for name, (_, why) in
                                        sorted(UNREADABLE.items())]
    column = [th.text for th in browser.find_elements(By.CSS_SELECTOR, "th")].index("file time")
    shown = browser.execute_script(f"return [...document.querySelectorAll('#rows tr')].map((row) => "
                                   f"[row.title, row.children[{column}].textContent])")
    assert shown == [[title, time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(
        os.stat(title.removesuffix(" record 0")).st_mtime_ns // 10 ** 9))] for title, _ in shown]
    for _ in ("ascending", "descending"):
        browser.find_element(By.CSS_SELECTOR, "th[data-column=errors]").click()
    rows = runs(catalog[0], "--sort", "errors desc")
    assert files(browser) == [f"{row['file']} record 0" for row in rows]
    browser.find_element(By.ID, "where").send_keys("errors >\n")
    wait.until(lambda b: "the condition cannot be used: syntax error" in b.find_element(By.ID, "problem").text)
    assert files(browser) == []     # no list stands for a condition not used
    browser.find_element(By.ID, "where").send_keys(" 0\n")
    wait.until(lambda b: len(files(b)) == sum(row["errors"] > 0 for row in rows))
    assert browser.find_element(By.ID, "problem").text == ""
    assert browser.find_elements(By.CSS_SELECTOR, "#rows tr:first-child svg rect.error")
    browser.find_element(By.CSS_SELECTOR, "#rows tr").click()
    wait.until(lambda b: b.find_element(By.ID, "player").is_displayed())
    browser.switch_to.frame(browser.find_element(By.ID, "frame"))
    wait.until(lambda b: b.find_element(By.ID, "state").text == "paused")
    assert float(browser.find_element(By.ID, "time").text) == pytest.approx(rows[0]["first_error_time"], abs=0.01)
    browser.switch_to.default_content()
    browser.find_element(By.ID, "back").click()
    wait.until(lambda b: b.find_element(By.ID, "rows").is_displayed() and not b.find_element(By.ID, "player")
               .is_displayed())


@pytest.mark.parametrize("address, token, headers, status", [
    ("0", "", {}, 200),
    ("0", "", {"Host": "evil.example:80"}, 403),                      # a name that is not ours (rebinding)
    ("0", "", {"Origin": "http://evil.example"}, 403),                # another site's page
    ("0.0.0.0:0", "", {}, 403),                                       # off loopback, the token is needed
    ("0.0.0.0:0", "printed", {}, 200),
])
def test_catalog_page_is_served_under_the_players_rules(serve, address, token, headers, status):
    url = serve(address)
    port, printed = re.search(r":(\d+)/(\?token=\S+)?", url).groups()
    asked = f"http://127.0.0.1:{port}/records.json{printed if token else ''}"
    try:
        with urllib.request.urlopen(urllib.request.Request(asked, headers=headers), timeout=10) as answer:
            assert (answer.status, len(json.loads(answer.read())["rows"])) == (status, len(RUNS))
    except urllib.error.HTTPError as refused:
        assert refused.code == status
