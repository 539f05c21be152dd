"""MCAP export and import of recordings, checked with the mcap library's own reader; hostile and
unusual MCAP files crafted with it."""

import datetime
import io
import itertools
import importlib.util
import math
import os
import re
import struct
import zlib
from collections import Counter

import numpy as np
import pytest
import zstandard
from mcap.data_stream import RecordBuilder
from mcap.opcode import Opcode
from mcap.reader import make_reader
from mcap.records import (Channel, Chunk, ChunkIndex, DataEnd, Footer, Header, Message, MessageIndex, Schema, Statistics,
                          SummaryOffset)
from mcap.stream_reader import StreamReader
from mcap.writer import MCAP0_MAGIC, IndexType, Writer
from mcap_protobuf.decoder import DecoderFactory
from mcap_protobuf.schema import build_file_descriptor_set
from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate

from conftest import laid_out
from dravik.api import data_pb2, export_pb2, geometry_pb2, system_pb2
from mirvane.analysis.events import product_events
from mirvane.data import Data
from mirvane.formats.mcap import LayoutWriter, McapError, export_mcap, import_mcap
from mirvane.formats.productstream import ProductStream
from mirvane.formats.recorder import Recorder
from mirvane.scene import ARM_HEIGHT
from mirvane.sightings import Sightings
from mirvane.simulation.cell import make_recording, simulate
from helpers import MIRVANE, assert_shown, foreign, mirvane, odd_records, peak_memory, rewrite, save
from replay_fakes import Rig

PARTS = ("perception", "decision", "planner", "controller")
# The events' channels: foxglove.Event ones where the installed schemas have it.
EVENT_TOPICS = {"/events"} | ({"/events/spans"} if importlib.util.find_spec("foxglove_schemas_protobuf.Event_pb2")
                              else set())
TOPICS = {"/record", "/workspace/start", "/scene", "/perception", "/decision", "/planner", "/controller"} | EVENT_TOPICS


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    path = tmp_path_factory.mktemp("recordings") / "sim.rec"
    make_recording(runs=3, duration_s=1.5, seed=2).save(path)
    return path


# Which records an index picks, by recording: -1 the greatest stop time, others by position.
@pytest.mark.parametrize("index, chosen", [(None, {}), (-1, {"simulated": [2], "odd": [0]}),
                                           (1, {"simulated": [1], "odd": [1]}),
                                           (-2, {"simulated": [1], "odd": [2]})])
@pytest.mark.parametrize("kind", ["simulated", "odd"])
def test_export_then_import_gives_equal_records(tmp_path, simulated, kind, index, chosen):
    source = simulated if kind == "simulated" else save(odd_records(), tmp_path / "odd.rec")
    chosen = chosen.get(kind)
    original = Data.fromFile(source)._data_records
    counts = export_mcap(source, tmp_path / "out.mcap", index)
    again = import_mcap(tmp_path / "out.mcap", tmp_path / "back.rec")
    expected = data_pb2.Records(records=[original.records[i] for i in chosen] if chosen else original.records)
    assert Data.fromFile(tmp_path / "back.rec")._data_records == expected
    assert counts == again
    assert (counts.records, counts.products) == (len(expected.records), sum(len(r.products) for r in expected.records))


@pytest.mark.parametrize("kind", ["simulated", "odd"])
def test_the_mcap_library_reads_every_message_with_its_embedded_schema(tmp_path, simulated, kind):
    source = simulated if kind == "simulated" else save(odd_records(), tmp_path / "odd.rec")
    records = Data.fromFile(source)._data_records.records
    export_mcap(source, tmp_path / "out.mcap", events=product_events)
    with open(tmp_path / "out.mcap", "rb") as f:
        reader = make_reader(f, validate_crcs=True, decoder_factories=[DecoderFactory()])
        summary = reader.get_summary()
        decoded = [(channel.topic, proto) for _, channel, _, proto in reader.iter_decoded_messages(log_time_order=False)]

    assert {c.topic for c in summary.channels.values()} == TOPICS
    counts = Counter(topic for topic, _ in decoded)
    expected = Counter({"/record": len(records), "/workspace/start": len(records)})
    for record in records:
        expected.update("/" + part for p in record.products for part in PARTS if p.HasField(part))
    drawn = {"/scene"} | EVENT_TOPICS
    assert {t: counts[t] for t in TOPICS - drawn} == {t: expected[t] for t in TOPICS - drawn}
    assert {summary.channels[i].topic: n for i, n in summary.statistics.channel_message_counts.items()} == \
        {t: counts[t] for t in TOPICS}
    # What the embedded schemas decode is what was recorded, in the recorded order.
    parts = [getattr(p, part) for r in records for p in r.products for part in PARTS if p.HasField(part)]
    assert [type(part).FromString(m.SerializeToString()) for (t, m), part in
            zip([d for d in decoded if d[0] in ("/perception", "/decision", "/planner", "/controller")], parts)] \
        == parts
    assert [system_pb2.WorkspaceState.FromString(m.SerializeToString()) for t, m in decoded
            if t == "/workspace/start"] == [r.project.workspace.state for r in records]
    assert all(type(m).DESCRIPTOR.full_name == "foxglove.SceneUpdate" for t, m in decoded if t == "/scene")
    # Each chunk's message indexes point at its messages, on their channel at their times: all of them.
    indexed = 0
    with open(tmp_path / "out.mcap", "rb") as f:
        for index in summary.chunk_indexes:
            f.seek(index.chunk_start_offset)
            chunk = next(StreamReader(f, skip_magic=True, emit_chunks=True).records)
            data = zstandard.ZstdDecompressor().decompress(chunk.data, max_output_size=chunk.uncompressed_size)
            for channel, at in index.message_index_offsets.items():
                f.seek(at)
                entries = next(StreamReader(f, skip_magic=True).records)
                assert isinstance(entries, MessageIndex) and entries.channel_id == channel
                for time, offset in entries.records:
                    assert data[offset] == Opcode.MESSAGE
                    assert struct.unpack_from("<HIQ", data, offset + 9)[::2] == (channel, time)
                indexed += len(entries.records)
    assert indexed == summary.statistics.message_count


def mcap_records(data, at=len(MCAP0_MAGIC), end=-len(MCAP0_MAGIC)):
    """Each record of an MCAP file's bytes (of a chunk's with ``at`` and ``end`` 0), by the format's own
    framing: (offset, length, record)."""
    found = []
    while at < len(data) + end:
        length = 9 + struct.unpack_from("<Q", data, at + 1)[0]
        found.append((at, length, next(StreamReader(io.BytesIO(data[at:at + length]), skip_magic=True,
                                                    emit_chunks=True).records)))
        at += length
    return found


def write_mcap(made, path, simulated):
    if made in ("simulated", "odd"):
        export_mcap(simulated if made == "simulated" else save(odd_records(), path.with_suffix(".rec")), path,
                    events=product_events)
    elif made == "recorder, its clock a year behind":   # its products stamped before the file opened
        with Recorder(path, simulate(0.5).project) as recorder:
            for product in simulate(0.5).products:
                product.timestamp_ns -= 365 * 86400 * 10 ** 9
                recorder.add(product)
    else:       # a chunk ended after each product (some of several parts), or after a few stamped backwards
        backwards = made != "a chunk a product"
        with open(path, "wb") as f:
            out = LayoutWriter(f, chunk_bytes=2000 if backwards else 1)
            record = odd_records().records[0]
            out.open_record(export_pb2.RecordHeader(record=data_pb2.Record(project=record.project)), 0, 0)
            for n, product in enumerate(reversed(record.products) if backwards else record.products):
                out.serialized(product.SerializeToString(), product.timestamp_ns, n)
            out.finish()


@pytest.mark.parametrize("made", ["simulated", "odd", "recorder, its clock a year behind", "a chunk a product",
                                  "stamps backwards"])
def test_an_mcap_files_summary_and_indexes_say_what_its_records_hold(tmp_path, simulated, made):
    write_mcap(made, tmp_path / "out.mcap", simulated)
    data = (tmp_path / "out.mcap").read_bytes()
    records = mcap_records(data)
    footer = records[-1][2]
    assert isinstance(footer, Footer)
    # The summary's CRC runs from its start through the footer's fields before the CRC itself.
    assert footer.summary_crc == zlib.crc32(data[footer.summary_start:len(data) - len(MCAP0_MAGIC) - 4])
    summary = [(at, length, r) for at, length, r in records
               if footer.summary_start <= at < footer.summary_offset_start]
    grouped = []
    for offset in (r for at, _, r in records if isinstance(r, SummaryOffset)):
        group = [(at, length) for at, length, _ in summary
                 if offset.group_start <= at < offset.group_start + offset.group_length]
        assert all(data[at] == offset.group_opcode for at, _ in group)
        assert sum(length for _, length in group) == offset.group_length
        grouped += group
    assert grouped == [(at, length) for at, length, _ in summary]

    topics = {r.id: r.topic for _, _, r in summary if isinstance(r, Channel)}
    chunk_indexes = [r for _, _, r in summary if isinstance(r, ChunkIndex)]
    positions = [k for k, (_, _, r) in enumerate(records) if isinstance(r, Chunk)]
    assert len(positions) == len(chunk_indexes)
    times, chunks_of = [], Counter()      # chunks_of: a product's chunks, in the one-record file
    for k, index in zip(positions, chunk_indexes):
        at, length, chunk = records[k]
        held = zstandard.ZstdDecompressor().decompress(chunk.data, max_output_size=chunk.uncompressed_size)
        messages = [r for _, _, r in mcap_records(held, 0, 0) if isinstance(r, Message)]
        logged = [m.log_time for m in messages]
        assert (index.chunk_start_offset, index.chunk_length) == (at, length)
        assert (index.message_start_time, index.message_end_time) == (min(logged), max(logged)) == \
            (chunk.message_start_time, chunk.message_end_time)
        assert (index.compressed_size, index.uncompressed_size) == (len(chunk.data), len(held))
        indexes = list(itertools.takewhile(lambda r: isinstance(r[2], MessageIndex), records[k + 1:]))
        assert sorted(index.message_index_offsets.values()) == [at for at, _, _ in indexes]
        assert index.message_index_length == sum(length for _, length, _ in indexes)
        times += logged
        chunks_of.update({m.sequence for m in messages if topics[m.channel_id].lstrip("/") in PARTS})
    if made == "a chunk a product":     # chunks end only between products: none has its parts in two
        assert max(chunks_of.values()) == 1 and len(positions) > 10
    statistics = next(r for _, _, r in summary if isinstance(r, Statistics))
    assert (statistics.message_count, statistics.chunk_count) == (len(times), len(positions))
    assert (statistics.message_start_time, statistics.message_end_time) == (min(times), max(times))
    assert (statistics.schema_count, statistics.channel_count) == \
        (sum(isinstance(r, Schema) for _, _, r in summary), len(topics))


def exported_record(where, *products):
    """The messages (topic, sequence, data) of a recording file of one record of serialized ``products``
    (their bytes as given, as another writer may have written them), exported to MCAP."""
    from google.protobuf.internal.encoder import _VarintBytes

    record = data_pb2.Record(start_timestamp_ns=1)
    record.project.workspace.robots["arm"].link_lengths.extend([0.5, 0.5])
    blob = record.SerializeToString() + b"".join(b"\x22" + _VarintBytes(len(p)) + p for p in products)
    (where / "run.rec").write_bytes(b"\x0a" + _VarintBytes(len(blob)) + blob)
    export_mcap(where / "run.rec", where / "run.mcap", events=product_events)
    with open(where / "run.mcap", "rb") as f:
        return [(channel.topic, message.sequence, message.data)
                for _, channel, message in make_reader(f).iter_messages(log_time_order=False)]


@pytest.mark.parametrize("written", ["laid out", "exported"])
@pytest.mark.parametrize("part, again", [
    ("controller", system_pb2.Controller(grasped_item="box", feedback=system_pb2.Feedback(
        joint=system_pb2.JointFeedback(positions=geometry_pb2.Positions(values=[0.5]))))),
    ("perception", system_pb2.Perception(item_poses={"box": geometry_pb2.Pose(), "a": geometry_pb2.Pose()})),
])
def test_a_part_given_twice_in_a_product_is_written_merged_as_protobuf_reads_it(tmp_path, part, again, written):
    first = data_pb2.Product(timestamp_ns=2, controller=system_pb2.Controller(robot="arm", feedback=system_pb2.Feedback(
        joint=system_pb2.JointFeedback(positions=geometry_pb2.Positions(values=[0.25])))),
        perception=system_pb2.Perception(item_poses={"c": geometry_pb2.Pose()})).SerializeToString()
    data = first + data_pb2.Product(**{part: again}).SerializeToString()
    merged = data_pb2.Product.FromString(data)
    if written == "laid out":
        messages = {topic: message for topic, _, message in laid_out(data)}
    else:   # between two products, in a block of a recording file: each keeps its place
        around = [data_pb2.Product(timestamp_ns=t, decision=system_pb2.Decision(step=str(t))).SerializeToString()
                  for t in (1, 3)]
        exported = exported_record(tmp_path, around[0], data, around[1])
        assert [(t, n) for t, n, _ in exported if t in ("/decision", "/controller")] == \
            [("/decision", 0), ("/controller", 1), ("/decision", 2)]
        messages = {topic: message for topic, _, message in exported}
    assert (messages["/controller"], messages["/perception"]) == \
        (merged.controller.SerializeToString(deterministic=True), merged.perception.SerializeToString(deterministic=True))


def test_scene_at_a_product_time_shows_what_replay_shows_then(tmp_path, monkeypatch):
    record = simulate(2.0, seed=4)
    save(data_pb2.Records(records=[record]), tmp_path / "sim.rec")
    export_mcap(tmp_path / "sim.rec", tmp_path / "out.mcap")
    with open(tmp_path / "out.mcap", "rb") as f:
        scenes = [(message.log_time, scene) for _, _, message, scene in make_reader(
            f, decoder_factories=[DecoderFactory()]).iter_decoded_messages(topics=["/scene"])]

    # Clock times that are product times held by one product only (a tie replays the first).
    times = [p.timestamp_ns for p in record.products]
    unique = [t for t, n in Counter(times).items() if n == 1]
    chosen = [unique[i] for i in np.linspace(1, len(unique) - 1, 7).astype(int)]
    clock = [0.0] + [(t - times[0]) / 1e9 for t in chosen] + [1e9]
    rig = Rig(monkeypatch, tmp_path, record, clock=clock)
    rig.play()

    model = record.project.workspace
    sightings = Sightings(record)
    for t, shown in zip(chosen, rig.shown):
        scene = [s for log_time, s in scenes if log_time <= t][-1]
        seen = sightings.at(times.index(t))     # items not held: where the picture draws them
        entities = {e.id: e for e in scene.entities}
        for name, robot in model.robots.items():
            heading, joints = yaw(robot.base_pose), []
            for link in entities["robot/" + name].cubes:
                joints.append(wrap(yaw(link.pose) - heading))
                heading = yaw(link.pose)
                # Arms move at their working height, above the boxes on the floor.
                assert link.pose.position.z == robot.base_pose.position.z + ARM_HEIGHT
            assert joints == pytest.approx([wrap(q) for q in shown.workspace.robots[name].joint_positions.values],
                                           abs=1e-9)
        for name in model.items:
            pose = entities["item/" + name].cubes[0].pose
            state = seen.get(name, shown.workspace.items[name].base_pose)
            assert (pose.position.x, pose.position.y, pose.position.z) == \
                (state.position.x, state.position.y, state.position.z)
            assert (pose.orientation.w, pose.orientation.z) == (state.orientation.w, state.orientation.z)


def yaw(pose):
    q = pose.orientation
    return math.atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z))


def wrap(angle):
    return math.remainder(angle, 2.0 * math.pi)


def test_mcap_of_another_program_is_read_a_record_per_starting_state(tmp_path):
    s1, s2 = system_pb2.WorkspaceState(), system_pb2.WorkspaceState()
    s1.items["box"].base_pose.position.x = 1.0
    s2.robots["arm"].joint_positions.values.append(0.5)
    seen = system_pb2.Perception()
    seen.item_poses["box"].position.y = 2.0
    held = system_pb2.Controller(robot="arm", grasped_item="box")
    foreign(tmp_path / "in.mcap",
            ("/workspace/start", s1, 10, 0), ("/controller", held, 20, 7), ("/perception", seen, 20, 7),
            ("/controller", held, 20, 8), ("/decision", system_pb2.Decision(step="grasp"), 30, 7),
            ("/workspace/start", s2, 40, 0), ("/planner", system_pb2.Planner(robot="arm"), 50, 0))
    import_mcap(tmp_path / "in.mcap", tmp_path / "out.rec")

    first = data_pb2.Record(start_timestamp_ns=10, stop_timestamp_ns=30, products=[
        data_pb2.Product(timestamp_ns=20, controller=held, perception=seen),
        data_pb2.Product(timestamp_ns=20, controller=held),
        data_pb2.Product(timestamp_ns=30, decision=system_pb2.Decision(step="grasp"))])
    first.project.workspace.state.CopyFrom(s1)
    second = data_pb2.Record(start_timestamp_ns=40, stop_timestamp_ns=50, products=[
        data_pb2.Product(timestamp_ns=50, planner=system_pb2.Planner(robot="arm"))])
    second.project.workspace.state.CopyFrom(s2)
    assert Data.fromFile(tmp_path / "out.rec")._data_records == data_pb2.Records(records=[first, second])


def changed_schema(path):
    """/workspace/start under mirvane's schema name, one of its fields given another type."""
    schema = build_file_descriptor_set(system_pb2.WorkspaceState)
    message = next(m for f in schema.file for m in f.message_type if m.name == "Positions")
    message.field[0].type = message.field[0].TYPE_FLOAT
    with open(path, "wb") as f:
        writer = Writer(f)
        writer.start()
        schema_id = writer.register_schema("dravik.api.WorkspaceState", "protobuf", schema.SerializeToString())
        channel = writer.register_channel("/workspace/start", "protobuf", schema_id)
        writer.add_message(channel, log_time=1, data=b"", publish_time=1)
        writer.finish()


DAMAGE = {
    "not MCAP": (lambda src, bad: bad.write_bytes(src.with_suffix(".rec").read_bytes()), "not an MCAP file"),
    "truncated": (lambda src, bad: bad.write_bytes(src.read_bytes()[:len(src.read_bytes()) // 2]), "truncated"),
    "corrupted": (lambda src, bad: bad.write_bytes(flip(src.read_bytes(), len(src.read_bytes()) // 3)), "damaged"),
    "no starting state": (lambda src, bad: foreign(bad, ("/controller", system_pb2.Controller(), 1, 0)),
                          "no /workspace/start channel"),
    "other schema": (lambda src, bad: foreign(bad, ("/workspace/start", SceneUpdate(), 1, 0)),
                     "/workspace/start carries foxglove.SceneUpdate"),
    "changed schema": (lambda src, bad: changed_schema(bad), "/workspace/start: its schema .* differs"),
}


def flip(blob, at):
    return blob[:at] + bytes(b ^ 0xFF for b in blob[at:at + 64]) + blob[at + 64:]


@pytest.mark.parametrize("damage", DAMAGE)
def test_damaged_input_is_refused_naming_the_file(tmp_path, damage):
    make_recording(runs=1, duration_s=3.0).save(tmp_path / "good.rec")
    export_mcap(tmp_path / "good.rec", tmp_path / "good.mcap")
    make, words = DAMAGE[damage]
    make(tmp_path / "good.mcap", tmp_path / "bad.mcap")
    with pytest.raises(McapError, match=f"^{tmp_path / 'bad.mcap'}: .*{words}"):
        import_mcap(tmp_path / "bad.mcap", tmp_path / "out.rec")
    assert sorted(os.listdir(tmp_path)) == ["bad.mcap", "good.mcap", "good.rec"]


@pytest.mark.parametrize("read", [
    lambda bad, out: import_mcap(bad, out),
    lambda bad, out: [list(products) for _, products in ProductStream(bad).blocks()],     # as events reads
], ids=["import", "blocks"])
@pytest.mark.parametrize("chunk", [0, -1])
def test_a_chunk_whose_bytes_fail_its_crc_is_refused(tmp_path, simulated, read, chunk):
    export_mcap(simulated, tmp_path / "good.mcap")
    data = bytearray((tmp_path / "good.mcap").read_bytes())
    at = [at for at, _, record in mcap_records(data) if isinstance(record, Chunk)][chunk]
    data[at + 33] ^= 0x01       # its uncompressed_crc, after the opcode, length, times and size
    (tmp_path / "bad.mcap").write_bytes(data)
    with pytest.raises(McapError, match=f"^{tmp_path / 'bad.mcap'}: damaged MCAP file.*(crc|CRC)"):
        read(tmp_path / "bad.mcap", tmp_path / "out.rec")
    assert not (tmp_path / "out.rec").exists()


@pytest.mark.parametrize("content, words", [
    (lambda good: good[:-100], "truncated"),
    (lambda good: b"\x89MCAP0\r\n" + good, "not a recording file"),
])
def test_damaged_recording_is_refused_naming_the_file(tmp_path, content, words):
    make_recording(runs=1, duration_s=1.0).save(tmp_path / "good.rec")
    (tmp_path / "bad.rec").write_bytes(content((tmp_path / "good.rec").read_bytes()))
    with pytest.raises(McapError, match=f"^{tmp_path / 'bad.rec'}: .*{words}"):
        export_mcap(tmp_path / "bad.rec", tmp_path / "out.mcap")
    assert sorted(os.listdir(tmp_path)) == ["bad.rec", "good.rec"]


@pytest.mark.parametrize("direction", ["export", "import"])
@pytest.mark.parametrize("existing", [False, True])
def test_interrupted_conversion_leaves_no_partial_output(tmp_path, simulated, direction, existing):
    export_mcap(simulated, tmp_path / "in.mcap")
    convert, source, out = ((export_mcap, simulated, tmp_path / "out.mcap") if direction == "export"
                            else (import_mcap, tmp_path / "in.mcap", tmp_path / "out.rec"))
    if existing:
        out.write_bytes(b"what was there before")
    calls = []

    def interrupt(done, total):
        calls.append((done, total))
        if 0 < done < total:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        convert(source, out, progress=interrupt)
    assert 0 < calls[-1][0] < calls[-1][1] == os.path.getsize(source)
    assert sorted(os.listdir(tmp_path)) == sorted(["in.mcap"] + ([out.name] if existing else []))
    if existing:
        assert out.read_bytes() == b"what was there before"


def test_progress_bar_on_request(tmp_path, simulated, capsys):
    export_mcap(simulated, tmp_path / "out.mcap", progress=True)
    import_mcap(tmp_path / "out.mcap", tmp_path / "back.rec", progress=True)
    err = capsys.readouterr().err
    assert "export sim.rec" in err and "import out.mcap" in err and "100%" in err


GIB = 1024 ** 3


def bomb(path, declared, holds, summary=False):
    """A whole MCAP file of one zstd chunk that declares ``declared`` bytes uncompressed and holds a
    message of ``holds`` bytes on a channel of its own, compressed to a few kB; ``summary``: the
    footer names the chunk as the summary too."""
    channel = RecordBuilder()
    Channel(id=1, topic="/camera", message_encoding="raw", schema_id=0, metadata={}).write(channel)
    head = channel.end() + struct.pack("<BQHIQQ", Opcode.MESSAGE, 2 + 4 + 8 + 8 + holds, 1, 0, 1, 1)
    compressor = zstandard.ZstdCompressor(level=1).compressobj(size=len(head) + holds)
    data = compressor.compress(head)
    zeros = bytes(64 * 1024 * 1024)
    for _ in range(holds // len(zeros)):
        data += compressor.compress(zeros)
    data += compressor.compress(bytes(holds % len(zeros))) + compressor.flush()
    out = RecordBuilder()
    Header(profile="", library="hostile").write(out)
    at = len(MCAP0_MAGIC) + out.count
    Chunk(message_start_time=1, message_end_time=1, uncompressed_size=declared, uncompressed_crc=0,
          compression="zstd", data=data).write(out)
    DataEnd(data_section_crc=0).write(out)
    DataEnd(data_section_crc=0).write(out)
    Footer(summary_start=at if summary else 0, summary_offset_start=0, summary_crc=0).write(out)
    path.write_bytes(MCAP0_MAGIC + out.end() + MCAP0_MAGIC)


BEYOND = (r"the chunk at byte \d+ declares 1,610,612,736 bytes uncompressed, beyond the bound of [\d,]+ "
          r"\(the lesser of 1000 times the file's size and 512 MiB\)")


@pytest.mark.parametrize("declared, summary, said", [
    (3 * GIB // 2, False, BEYOND),
    (3 * GIB // 2, True, BEYOND),
    (1000, False, r"the chunk at byte \d+ holds other than the 1,000 bytes it declares"),
])
@pytest.mark.parametrize("command", [["import", "bomb.mcap", "out.rec"], ["info", "bomb.mcap"],
                                     ["recover", "bomb.mcap", "out.mcap"]])
def test_a_chunk_beyond_the_bounds_is_refused_in_one_line_before_decompressing(tmp_path, declared, summary, said,
                                                                               command):
    bomb(tmp_path / "bomb.mcap", declared, holds=3 * GIB // 2, summary=summary)
    with open(tmp_path / "out", "w+") as out:
        status, said_all, peak = peak_memory([MIRVANE, *command], tmp_path, out)
    assert status == 2
    assert re.fullmatch(rf"mirvane: error: bomb.mcap: .*{said}.*\n", said_all)
    assert peak < 400 * 1024      # kB: nothing near the 1.5 GB it holds was decompressed
    assert sorted(os.listdir(tmp_path)) == ["bomb.mcap", "out"]


@pytest.mark.parametrize("sort, options", [
    (False, {"repeat_channels": False, "repeat_schemas": False, "use_summary_offsets": False}),
    (False, {"index_types": IndexType.NONE, "repeat_channels": False, "use_statistics": False}),
    (True, {}),
])
@pytest.mark.parametrize("kind", ["simulated", "odd"])
def test_valid_mcap_files_without_a_summary_or_re_sorted_are_imported(tmp_path, simulated, kind, sort, options):
    source = simulated if kind == "simulated" else save(odd_records(), tmp_path / "odd.rec")
    export_mcap(source, tmp_path / "out.mcap")
    rewrite(tmp_path / "out.mcap", tmp_path / "again.mcap", sort, **options)
    done = mirvane("import", "again.mcap", "back.rec", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert Data.fromFile(tmp_path / "back.rec")._data_records == Data.fromFile(source)._data_records


LEVELS = {2: "info", 3: "warning", 4: "error"}     # foxglove.Log's levels


def test_events_are_logged_at_their_times_and_import_leaves_them_out(every_fault, tmp_path):
    where, events = every_fault
    assert mirvane("export", where / "run.rec", "run.mcap", "--quiet", cwd=tmp_path).returncode == 0
    first = Data.fromFile(where / "run.rec").records()[0].products[0].timestamp_ns
    with open(tmp_path / "run.mcap", "rb") as f:
        decoded = [(channel.topic, message.log_time, proto) for _, channel, message, proto in make_reader(
            f, decoder_factories=[DecoderFactory()]).iter_decoded_messages(topics=["/events", "/events/spans"])]
    logs = [(time, log) for topic, time, log in decoded if topic == "/events"]
    assert all(log.timestamp.ToNanoseconds() == time for time, log in logs)
    assert_shown([((time - first) * 1e-9, LEVELS[log.level], log.name, log.message) for time, log in logs], events)
    # Where the installed schemas have foxglove.Event, each event is one too, spanning its range.
    spans = sorted((({pair.key: pair.value for pair in span.metadata}, (span.start_time.ToNanoseconds() - first) * 1e-9,
                     (span.end_time.ToNanoseconds() - first) * 1e-9) for topic, _, span in decoded
                    if topic == "/events/spans"), key=lambda span: int(span[0]["number"]))
    if "/events/spans" in EVENT_TOPICS:
        keys = ("kind", "severity", "subject", "robot", "text", "number")
        assert [meta for meta, _, _ in spans] == [{key: str(e[key]) for key in keys} for e in events]
        assert [t for _, *times in spans for t in times] == pytest.approx([t for e in events for t in (e["time"], e["end"])],
                                                                          abs=1e-6)
    else:
        assert spans == []
    assert mirvane("import", "run.mcap", "back.rec", "--quiet", cwd=tmp_path).returncode == 0
    assert Data.fromFile(tmp_path / "back.rec")._data_records == Data.fromFile(where / "run.rec")._data_records


def stamped(*starts):
    """Records of a short run each, the first product of each stamped as given (None: as simulated);
    ``(a, b)``: the first product stamped ``a`` and the last ``b``."""
    records = data_pb2.Records()
    for n, start in enumerate(starts):
        first, last = start if isinstance(start, tuple) else (start, None)
        record = records.records.add()
        record.CopyFrom(simulate(0.3, seed=n + 1, **({} if first is None or last else {"start_ns": first})))
        if last is not None:
            record.products[0].timestamp_ns, record.products[-1].timestamp_ns = first, last
    return records


IN_1716 = int(datetime.datetime(1716, 6, 1, tzinfo=datetime.timezone.utc).timestamp()) * 10 ** 9
INT64 = 2 ** 63


@pytest.mark.parametrize("starts, out, refused", [
    ([(-INT64, INT64 - 1)], "x.mcap", r"record 0's product 0 is stamped -9223372036854775808 ns, earlier than an "
                                      r"MCAP file's time axis reaches \(from -9223372036854775807 ns\)"),
    ([(-INT64, INT64 - 1)], "x.rrd", r"record 0's product 70 is stamped 9223372036854775807 ns, beyond a Rerun "
                                     r"timeline \(up to 9223372036854775807 ns\) once the record moves "
                                     r"9223372036854775808 ns later to start at 0"),
    ([(-INT64 + 1, INT64 - 1)], "x.mcap", None),
    ([None, IN_1716], "x.mcap", r"record 1's product 0 is stamped -8002367\d{12} ns, too long before the end of the "
                                r"record before it for an MCAP file's time axis to hold it after that; export it "
                                r"alone \(--index 1\)"),
    ([None, IN_1716], "x.rrd", None),
], ids=["int64 to mcap", "int64 to rrd", "int64 but its least to mcap", "1716 to mcap", "1716 to rrd"])
def test_stamps_at_the_ends_of_int64_are_exported_where_the_format_holds_them(tmp_path, starts, out, refused):
    save(stamped(*starts), tmp_path / "x.rec")
    done = mirvane("export", "x.rec", out, "--quiet", cwd=tmp_path)
    if refused:
        assert done.returncode == 2 and re.fullmatch(rf"mirvane: error: x\.rec: {refused}; [^\n]*\n", done.stderr)
        assert not (tmp_path / out).exists()
    else:
        assert done.returncode == 0, done.stderr
        if out.endswith(".mcap"):
            assert mirvane("import", out, "back.rec", cwd=tmp_path).returncode == 0
            assert Data.fromFile(tmp_path / "back.rec")._data_records == stamped(*starts)
