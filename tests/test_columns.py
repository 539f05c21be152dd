"""Products decoded into columns (``mirvane.formats.columns``): every field, parts left out, fields it does
not know, and bytes no writer makes, refused with a reason."""

import numpy as np
import pytest
from google.protobuf.internal.encoder import _VarintBytes

from dravik.api import data_pb2, geometry_pb2, system_pb2
from mirvane.formats.columns import KIND_CODES, joined, newer_products, product_columns, record_columns
from mirvane.formats.recordstream import RecordReader
from mirvane.records import DataFileError
from mirvane.scene import kind_of


def pose(*seven):
    if not seven:
        return geometry_pb2.Pose()
    return geometry_pb2.Pose(position=geometry_pb2.Vector3(x=seven[0], y=seven[1], z=seven[2]),
                             orientation=geometry_pb2.Quaternion(w=seven[3], x=seven[4], y=seven[5], z=seven[6]))


CONTROLLER = data_pb2.Product(timestamp_ns=-5, controller=system_pb2.Controller(
    robot="arm_a", grasped_item="box_1", grasped_item_pose=pose(1, 2, 3, 4, 5, 6, 7),
    feedback=system_pb2.Feedback(joint=system_pb2.JointFeedback(positions=geometry_pb2.Positions(values=[.1, .2, .3])),
                                 effector=system_pb2.EffectorFeedback(positions=geometry_pb2.Positions(values=[9.5])))))
PERCEPTION = data_pb2.Product(timestamp_ns=2**62, perception=system_pb2.Perception(
    item_poses={"box_1": pose(1, 1, 1, 1, 0, 0, 0), "box_2": pose()}, camera_poses={"cam": pose(0, 0, 2, 0, 0, 0, 1)}))
DECISION = data_pb2.Product(timestamp_ns=3, decision=system_pb2.Decision(behavior="pick", step="grasp", target_item="box_2"))
PLANNER = data_pb2.Product(timestamp_ns=4, planner=system_pb2.Planner(
    robot="arm_b", duration_s=1.5, waypoints=[geometry_pb2.Positions(values=[1, 2]), geometry_pb2.Positions()]))
PRODUCTS = [CONTROLLER, PERCEPTION, DECISION, PLANNER, data_pb2.Product(timestamp_ns=6)]


def named(columns, codes):
    return [columns.strings[code] for code in codes]


def test_every_field_in_its_column():
    c = product_columns(p.SerializeToString() for p in PRODUCTS)
    assert c.stamp.tolist() == [-5, 2**62, 3, 4, 6]
    assert [KIND_CODES[k] for k in c.kinds] == ["controller", "perception", "decision", "planner", "none"]
    assert named(c, c.robot) == ["arm_a", "", "", "", ""] and named(c, c.plan_robot) == ["", "", "", "arm_b", ""]
    assert named(c, c.grasped_item)[0] == "box_1" and c.grasped_pose_set.tolist() == [1, 0, 0, 0, 0]
    assert c.grasped_pose[0].tolist() == [1, 2, 3, 4, 5, 6, 7] and not c.grasped_pose[1:].any()
    assert c.joint_offsets.tolist() == [0, 3, 3, 3, 3, 3] and c.joints.tolist() == [.1, .2, .3]
    assert c.effector_offsets.tolist() == [0, 1, 1, 1, 1, 1] and c.effector.tolist() == [9.5]
    assert [named(c, c.behavior)[2], named(c, c.step)[2], named(c, c.target_item)[2]] == ["pick", "grasp", "box_2"]
    assert c.plan_s.tolist() == [0, 0, 0, 1.5, 0]
    assert c.plan_waypoints.tolist() == [0, 0, 0, 0, 2, 2] and c.waypoint_offsets.tolist() == [0, 2, 2]
    assert c.item_offsets.tolist() == [0, 0, 2, 2, 2, 2] and sorted(named(c, c.item)) == ["box_1", "box_2"]
    seen = dict(zip(named(c, c.item), c.item_pose.tolist()))
    assert seen == {"box_1": [1, 1, 1, 1, 0, 0, 0], "box_2": [0] * 7}
    assert named(c, c.camera) == ["cam"] and c.camera_pose.tolist() == [[0, 0, 2, 0, 0, 0, 1]]
    empty = product_columns([b"\x2a\x08\x12\x06\x0a\x04\x0a\x02\x0a\x00"])   # joint values packed, none
    assert empty.joint_offsets.tolist() == [0, 0] and len(empty.joints) == 0


# Fields of every wire type under numbers no schema uses, in the product and inside its parts.
UNKNOWN = b"\xf8\x07\x96\x01" + b"\xf9\x07" + bytes(8) + b"\xfa\x07\x03abc" + b"\xfd\x07" + bytes(4)


@pytest.mark.parametrize("product", PRODUCTS)
def test_unknown_fields_are_skipped(product):
    plain = product.SerializeToString()
    part = kind_of(product)
    if part:
        inner = getattr(product, part).SerializeToString() + UNKNOWN
        number = product.DESCRIPTOR.fields_by_name[part].number
        plain = data_pb2.Product(timestamp_ns=product.timestamp_ns).SerializeToString() + \
            bytes([number << 3 | 2]) + _VarintBytes(len(inner)) + inner
    with_unknown = product_columns([UNKNOWN + plain + UNKNOWN])
    expected = product_columns([product.SerializeToString()])
    # Found at any depth, as a newer version's fields, which a copy of the bytes keeps.
    assert newer_products(joined([UNKNOWN + plain])) and newer_products(joined([plain, UNKNOWN]))
    assert not newer_products(joined([product.SerializeToString()]))
    assert with_unknown.strings == expected.strings
    for name, column in vars(expected).items():
        assert np.array_equal(getattr(with_unknown, name), column), name


@pytest.mark.parametrize("data, reason", [
    (b"\x08", "a varint runs past the end"),
    (b"\x08" + b"\xff" * 10 + b"\x01", "a varint longer than 10 bytes"),
    (b"\x2a\x05\x0a\x01", "past the end of its message"),          # the controller's length
    (b"\x12\xff\xff\xff\xff\x0f", "declares 4294967295 bytes"),       # a huge length
    (b"\x2a\x02\x0a\xff", "past the end of its message"),           # the robot's length, within the part
    (b"\x09" + bytes(8), r"Product field 1 at byte \d+ has wire type 1"),
    (b"\x0b\x0c", "wire type 3"),                                     # a group
    (b"\x00", "a field numbered 0"),
    (b"\x2a\x03\x0a\x01\xff", "not UTF-8"),
    (b"\x2a\x09\x12\x07\x0a\x05\x0a\x03\x0a\x01\x01", "not a whole number of 8 bytes"),   # packed joint values
    (b"\x2a\x04\x12\x02\x0a\x0b", "past the end of its message"),
])
def test_bytes_no_writer_makes_are_refused_with_the_reason(data, reason):
    with pytest.raises(DataFileError, match=reason) as refused:
        product_columns([b"\x08\x01", data], "run.rec")
    assert refused.value.path == "run.rec" and refused.value.reason.startswith("not a recording file (product 1:")
    with pytest.raises(DataFileError, match=reason):
        record_columns(bytes([0x22, len(data)]) + data)
    with pytest.raises(DataFileError, match="not a recording file"):
        newer_products(joined([b"\x08\x01", data]))


def test_a_recordings_records_as_protobuf_reads_them(recorded):
    path = recorded / "run.rec"
    with RecordReader(path) as reader:
        spans = reader.offsets()
    raw = path.read_bytes()
    for offset, length in spans:
        record = data_pb2.Record.FromString(raw[offset:offset + length])
        c = record_columns(memoryview(raw)[offset:offset + length])
        assert (c.start_ns, c.stop_ns) == (record.start_timestamp_ns, record.stop_timestamp_ns)
        assert c.stamp.tolist() == [p.timestamp_ns for p in record.products]
        assert [KIND_CODES[k] for k in c.kinds] == [kind_of(p) or "none" for p in record.products]
        joints = [list(p.controller.feedback.joint.positions.values) for p in record.products]
        assert [c.joints[a:b].tolist() for a, b in zip(c.joint_offsets, c.joint_offsets[1:])] == joints
