"""Commands that read a recording a product at a time: memory that does not grow with its length."""

import re
import subprocess
import sys
import time

import pytest

from dravik.api import data_pb2, export_pb2, system_pb2
from helpers import MIRVANE, measured, mirvane, peak_memory, request, rewrite, said_and_peak
from mirvane.data import Data
from mirvane.formats.productstream import ProductStream
from mirvane.formats.spool_source import record_source
from mirvane.records import DataFileError
from mirvane.formats.mcap import LayoutWriter, part_messages


@pytest.fixture(scope="module")
def lengths(tmp_path_factory):
    """A 1-minute and a 4-minute run of the sample cell, ``run60`` and ``run240``, each as ``.rec`` and ``.mcap``,
    each with one error (a damaged value)."""
    where = tmp_path_factory.mktemp("lengths")
    for seconds in (60, 240):
        done = mirvane("record", f"run{seconds}.rec", "--seconds", seconds, "--faults", "damaged-value", "--fault-rate",
                       0.1, cwd=where)
        assert done.returncode == 0, done.stderr
        write_mcap(where / f"run{seconds}.rec", where / f"run{seconds}.mcap")
    return where


def write_mcap(source, path):
    """The record at ``source`` in the export's layout, without the /scene drawings that make an export slow."""
    [record] = Data.fromFile(source).records()
    with open(path, "wb") as f:
        out = LayoutWriter(f)
        header = export_pb2.RecordHeader(product_count=len(record.products))
        header.record.CopyFrom(record)
        del header.record.products[:]
        out.open_record(header, record.products[0].timestamp_ns, 0)
        for n, product in enumerate(record.products):
            for topic, data in part_messages(product):
                out.write(topic, product.timestamp_ns, data, n)
            if n % 5000 == 0:
                out.flush()
        out.finish()


#: What a command (before any ":") is given: the recording ``{}``, its project ``{stem}.mvproj``, a file it
#: writes ``{out}``, the recording's length ``{seconds}`` and its last second ``{last}`` (default: the recording alone).
OPERANDS = {
    "index": ("--db", "{}.duckdb", "--quiet", "{}"),
    "diff": ("{}", "{}"),
    "export": ("{}", "{out}.mcap", "--quiet"),
    "export:rrd": ("{}", "{out}.rrd", "--quiet"),
    "export:span": ("{}", "{out}.mcap", "--from", "30", "--to", "31", "--quiet"),
    "import": ("{}", "{out}.rec", "--quiet"),
    "record": ("{out}.rec", "--seconds", "{seconds}"),
    "show": ("{stem}.mvproj", "--recording", "{}"),
    "recover": ("{}", "{out}.mcap", "--force"),
    "replay:clip": ("{}", "--movie", "{out}.mp4", "--from", "{last}", "--quiet"),
    "render": ("--db", "{out}.duckdb", "--clips", "{out}", "--workers", "1"),
}
#: What a command needs done first, given as the command is (default: nothing).
BEFORE = {"render": ("index", "--db", "{out}.duckdb", "--quiet", "{}")}
#: The recordings a command is measured on, by their ending (default: both).
READS = {"import": ("mcap",), "record": ("rec",), "recover": ("mcap",), "export:rrd": ("rec",), "render": ("rec",)}


@pytest.mark.memory
@pytest.mark.parametrize("command", [
    "events",
    "info",
    "index",
    "diff",
    "export",
    "import",
    "record",
    "export:rrd",
    "export:span",
    "show",
    "recover",
    "replay:clip",
    "render",
])
def test_peak_memory_does_not_grow_with_the_recordings_length(lengths, tmp_path, command):
    said = {}
    for ext in READS.get(command, ("rec", "mcap")):
        peaks = []
        for seconds in (60, 240):
            def given(operands):
                return [operand.format(f"run{seconds}.{ext}", stem=f"run{seconds}", out=tmp_path / f"written{seconds}",
                                       seconds=seconds, last=seconds - 1) for operand in operands]
            args = given(OPERANDS.get(command, ("{}",)))
            if command in BEFORE:
                assert mirvane(*given(BEFORE[command]), cwd=lengths).returncode == 0
            with open(tmp_path / "out", "w+") as out:
                status, said[ext, seconds], peak = peak_memory([MIRVANE, command.split(":")[0], *args], lengths, out)
            assert status == 0, said[ext, seconds]
            peaks.append(peak)
        assert peaks[1] <= 1.25 * peaks[0] + 8 * 1024, (ext, peaks)     # kB
    if len(READS.get(command, "both")) == 2:
        assert said["mcap", 240] == said["rec", 240].replace(".rec", ".mcap")


@pytest.mark.memory
@pytest.mark.parametrize("ext, runs", [("rec", 1), ("mcap", 1), ("mcap", 2)])
def test_the_live_players_peak_memory_does_not_grow_with_the_recordings_length(lengths, tmp_path, ext, runs):
    peaks = []
    for seconds in (60, 240):
        with open(tmp_path / f"{seconds}.out", "w+") as out:
            process = subprocess.Popen(measured([MIRVANE, "replay", *[f"run{seconds}.{ext}"] * runs, "--serve", "0",
                                                 "--paused"]),
                                       cwd=lengths, stdout=out, stderr=out)
            while not (url := re.search(r"Live view at (\S+/) ", (tmp_path / f"{seconds}.out").read_text())):
                assert process.poll() is None and time.sleep(0.1) is None
            # The first picture, the run's events, its plots and a window near its end.
            while request(url[1], "frame.jpg")[0] != 200 or request(url[1], "status.json")[1]["events"] == 0:
                time.sleep(0.2)
            assert request(url[1], "series.json")[1]["plots"]
            request(url[1], "control", {"action": "seek", "time": seconds - 1})
            assert request(url[1], "control", {"action": "stop"})[0] == 200
            assert process.wait(60) == 0
            said, peak = said_and_peak(out)
        peaks.append(peak)
    assert peaks[1] <= 1.25 * peaks[0] + 8 * 1024, (peaks, said)     # kB


@pytest.mark.parametrize("command, said", [
    (("import", "{}/run.mcap", "back.rec", "--quiet"),
     r"back.rec: record 0 would take more than 100,000 bytes[^\n]*keep the recording as an MCAP file[^\n]*"),
    (("record", "back.rec", "--seconds", "5"),
     r"back.rec: 5 s of the cell take more than a recording file holds in one record \(100,000 bytes\); "
     r"record fewer --seconds"),
])
def test_a_record_too_long_for_a_recording_file_is_refused_up_front(recorded, tmp_path, command, said):
    limited = ("import sys, mirvane.formats.recordstream as r; from mirvane.cli import main; "
               "r.MOST_RECORD_BYTES = 100_000; sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", limited, *(operand.format(recorded) for operand in command)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and not list(tmp_path.iterdir())
    assert re.fullmatch(rf"mirvane: error: {said}\n", done.stderr), done.stderr


@pytest.mark.parametrize("variant", [{"sort": True}, {"sort": False, "drop": ["/record"]}])
def test_an_mcap_files_products_streamed_give_the_events_of_its_records_read_whole(recorded, tmp_path, variant):
    rewrite(recorded / "run.mcap", tmp_path / "run.mcap", **variant)     # re-sorted, or as another tool writes
    assert mirvane("import", "run.mcap", "run.rec", cwd=tmp_path).returncode == 0
    said = [mirvane("events", name, "--format", "json", cwd=tmp_path) for name in ("run.mcap", "run.rec")]
    assert said[0].returncode == 0 and said[0].stdout == said[1].stdout


def varint(n):
    return bytes([n & 0x7F | 0x80]) + varint(n >> 7) if n >= 0x80 else bytes([n])


def record(body):
    return b"\x0a" + varint(len(body)) + body


@pytest.mark.parametrize("sizes, header_at", [
    ([3, 0, 5, 3 << 20, 1], 2),                         # a field between products; a product past a block
    ([n * 37 % 700 for n in range(4000)], 3999),       # blocks ending inside a product and its length
])
def test_a_records_products_come_in_blocks_as_the_record_holds_them_whatever_lies_between(tmp_path, sizes, header_at):
    # Blocks end where a header field comes between products, where the buffer ends (inside a
    # product), and a product longer than a block is one of its own; the header gathers the rest.
    products = [data_pb2.Product(timestamp_ns=n, decision=system_pb2.Decision(behavior="b" * size))
                for n, size in enumerate(sizes)]
    pieces = [data_pb2.Record(products=[product]) for product in products]
    pieces.insert(header_at, data_pb2.Record(stop_timestamp_ns=9))
    (tmp_path / "run.rec").write_bytes(record(b"".join(piece.SerializeToString() for piece in pieces)))
    [(header, blocks)] = [(header, list(blocks)) for header, blocks in ProductStream(tmp_path / "run.rec").blocks()]
    assert [bytes(data[start:end]) for data, starts, ends in blocks for start, end in zip(starts, ends)] == \
        [product.SerializeToString() for product in products]
    assert header.stop_timestamp_ns == 9


@pytest.mark.parametrize("newer_first", [False, True])
def test_the_players_spool_refuses_a_damaged_product_whatever_came_before(tmp_path, newer_first):
    # An item's entry holding more than its key and pose, which no version writes, past the first
    # batch: refused even when an earlier product held a newer version's fields.
    good = data_pb2.Product(timestamp_ns=1).SerializeToString()
    entry = b"\x0a\x01b\x18\x01"                                    # key "b", then a field 3
    damaged = b"\x08\x02\x12" + bytes([len(entry) + 2, 0x0a, len(entry)]) + entry
    products = [good + b"\x48\x07" * newer_first] + [good] * 5000 + [damaged]
    (tmp_path / "run.rec").write_bytes(record(b"".join(b"\x22" + bytes([len(p)]) + p for p in products)))
    source = record_source(tmp_path / "run.rec", 0, lambda note: None)
    with pytest.raises(DataFileError, match="not a recording file"):
        for _ in source.batches:
            pass
    assert source.newer() == newer_first


@pytest.mark.parametrize("content, reason", [
    (record(b"\x10\x05")[:-1], r"truncated: the record at byte 0 ends past the end of the file"),
    (record(b"\x22" + varint(2 ** 40) + b"\x08\x01"),
     r"the record at byte 2: the field at byte 2 declares 1,099,511,627,776 bytes, past the record's end"),
    (record(b"\x22\x02\x08\x01") + record(b"\x22\x02\xff\xff"), r"the record at byte 8: a product: a varint runs past the end of its message"),
    (record(b"\x10" + b"\xff" * 11), r"the record at byte 2: unexpected content at byte 3"),
    (record(b"\x23\x24"), r"the record at byte 2: unexpected content at byte 2"),
])
def test_damaged_records_are_refused_in_one_line_when_their_products_are_reached(tmp_path, content, reason):
    (tmp_path / "bad.rec").write_bytes(content)
    done = mirvane("events", "bad.rec", "--format", "json", cwd=tmp_path)
    assert done.returncode == 2
    assert re.fullmatch(rf"mirvane: error: bad.rec: [^\n]*{reason}[^\n]*; check the file or make one[^\n]*\n",
                        done.stderr), done.stderr
