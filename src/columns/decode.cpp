#include "decode.hpp"

#include <algorithm>
#include <iterator>

namespace columns {

namespace f = fields;

// The decoder's reads assume these types; a schema that changes one must change it too.
static_assert(f::Product::timestamp_ns.type == f::TYPE_INT64);
static_assert(f::Record::start_timestamp_ns.type == f::TYPE_INT64);
static_assert(f::Record::stop_timestamp_ns.type == f::TYPE_INT64);
static_assert(f::Positions::values.type == f::TYPE_DOUBLE && f::Positions::values.repeated);
static_assert(f::Vector3::x.type == f::TYPE_DOUBLE && f::Vector3::y.type == f::TYPE_DOUBLE &&
              f::Vector3::z.type == f::TYPE_DOUBLE && f::Quaternion::w.type == f::TYPE_DOUBLE &&
              f::Quaternion::x.type == f::TYPE_DOUBLE && f::Quaternion::y.type == f::TYPE_DOUBLE &&
              f::Quaternion::z.type == f::TYPE_DOUBLE);
static_assert(f::Planner::duration_s.type == f::TYPE_DOUBLE);
static_assert(f::Controller::robot.type == f::TYPE_STRING && f::Decision::step.type == f::TYPE_STRING);

void refuse_varint(std::size_t at, bool longer) {
  throw Refused(longer ? "a varint longer than 10 bytes at byte " + std::to_string(at)
                       : "a varint runs past the end of its message at byte " + std::to_string(at));
}

void refuse_tag(std::uint64_t raw, std::size_t at) {
  if ((raw >> 3) == 0 || (raw >> 3) > 0x1FFFFFFF)
    throw Refused("a field numbered " + std::to_string(raw >> 3) + " at byte " + std::to_string(at));
  throw Refused("wire type " + std::to_string(raw & 7) + " at byte " + std::to_string(at));
}

void refuse_wire(const Tag& tag, const fields::Field& field, const char* message) {
  throw Refused(std::string(message) + " field " + std::to_string(field.number) + " at byte " +
                std::to_string(tag.at) + " has wire type " + std::to_string(tag.wire) + ", not " +
                std::to_string(field.wire));
}

void refuse_length(std::size_t at, std::uint64_t length, std::size_t end) {
  throw Refused("the field at byte " + std::to_string(at) + " declares " + std::to_string(length) +
                " bytes, past the end of its message at byte " + std::to_string(end));
}

void refuse_past(std::size_t end) {
  throw Refused("a field runs past the end of its message at byte " + std::to_string(end));
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned c = *p++;
    if (c < 0x80) continue;
    int more;
    unsigned low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) more = 1;
    else if (c >= 0xE0 && c <= 0xEF) more = 2, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) more = 3, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    else return false;
    if (end - p < more || *p < low || *p > high) return false;
    for (++p; --more > 0; ++p)
      if (*p < 0x80 || *p > 0xBF) return false;
  }
  return true;
}

std::int32_t Strings::code(std::string_view text, std::size_t at) {
  const std::size_t slot = text.empty() ? 0 : (text.size() * 8 + static_cast<unsigned char>(text.back())) % 64;
  if (table[static_cast<std::size_t>(recent[slot])] == text) return recent[slot];
  auto found = codes.find(text);
  if (found != codes.end()) return recent[slot] = found->second;
  if (!utf8(text)) throw Refused("the string at byte " + std::to_string(at) + " is not UTF-8");
  const auto code = static_cast<std::int32_t>(table.size());
  codes.emplace(table.emplace_back(text), code);
  return recent[slot] = code;
}

namespace {

// The double fields of a message into out[i], in the order `order` lists them.
template <std::size_t N>
void doubles(Reader r, double* out, const fields::Field (&order)[N], const char* message) {
  while (r.more()) {
    const Tag t = r.tag();
    std::size_t i = 0;
    while (i < N && !r.is(t, order[i], message)) ++i;
    if (i < N) out[i] = r.fixed64();
    else r.skip(t.wire);
  }
}

constexpr fields::Field POSITION[] = {f::Vector3::x, f::Vector3::y, f::Vector3::z};
constexpr fields::Field ORIENTATION[] = {f::Quaternion::w, f::Quaternion::x, f::Quaternion::y, f::Quaternion::z};

}  // namespace

void positions(Reader r, std::vector<double>& out) {
  while (r.more()) {
    const Tag t = r.tag();
    if (!r.is(t, f::Positions::values, "Positions")) {
      r.skip(t.wire);
    } else if (t.wire == 2) {
      Reader packed = r.sub();
      const std::size_t n = packed.left() / 8;
      if (packed.left() % 8 != 0)
        throw Refused("packed doubles at byte " + std::to_string(t.at) + " are not a whole number of 8 bytes");
      // The wire's doubles are little-endian, as this machine's are.
      static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
      const std::uint8_t* from = packed.rest();
      if (n == 0) continue;   // an empty vector's data() may be null, which memcpy may not take
      out.resize(out.size() + n);
      std::memcpy(out.data() + out.size() - n, from, n * 8);
    } else {
      out.push_back(r.fixed64());
    }
  }
}

std::uint8_t pose_values(Reader r, double* at) {
  std::uint8_t present = 0;
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Pose::position, "Pose")) {
      doubles(r.sub(), at, POSITION, "Vector3");
      present |= POSITION_SET;
    } else if (r.is(t, f::Pose::orientation, "Pose")) {
      doubles(r.sub(), at + 3, ORIENTATION, "Quaternion");
      present |= ORIENTATION_SET;
    } else {
      r.skip(t.wire);
    }
  }
  return present;
}

namespace {

// Into the last POSE values of `out`.
void pose(Reader r, std::vector<double>& out) { pose_values(r, out.data() + out.size() - POSE); }

}  // namespace

void Columns::reserve(std::size_t rows) {
  for (auto* column : {&stamp, &joints.offsets, &effector.offsets, &plan_waypoints, &items.offsets,
                       &cameras.offsets})
    column->reserve(column->size() + rows);
  for (auto* column : {&robot, &grasped_item, &behavior, &step, &target_item, &plan_robot})
    column->reserve(column->size() + rows);
  parts.reserve(parts.size() + rows);
  grasped_pose_set.reserve(grasped_pose_set.size() + rows);
  plan_s.reserve(plan_s.size() + rows);
  grasped_pose.reserve(grasped_pose.size() + rows * POSE);
}

void Columns::record(Reader r) {
  // Counted first, so that no column grows by copying.
  std::size_t rows = 0;
  for (Reader count = r; count.more();) {
    const Tag t = count.tag();
    rows += count.is(t, f::Record::products, "Record");
    count.skip(t.wire);
  }
  reserve(rows);
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Record::products, "Record")) product(r.sub());
    else if (r.is(t, f::Record::start_timestamp_ns, "Record")) start_ns = static_cast<std::int64_t>(r.varint());
    else if (r.is(t, f::Record::stop_timestamp_ns, "Record")) stop_ns = static_cast<std::int64_t>(r.varint());
    else r.skip(t.wire);
  }
}

void Columns::product(Reader r) {
  stamp.push_back(0);
  parts.push_back(0);
  robot.push_back(0);
  grasped_item.push_back(0);
  grasped_pose_set.push_back(0);
  grasped_pose.resize(grasped_pose.size() + POSE, 0.0);
  behavior.push_back(0);
  step.push_back(0);
  target_item.push_back(0);
  plan_robot.push_back(0);
  plan_s.push_back(0.0);
  struct Read {
    fields::Field field;
    Part bit;
    void (Columns::*part)(Reader);
  };
  static constexpr Read READ[] = {{f::Product::perception, PERCEPTION, &Columns::perception},
                                  {f::Product::decision, DECISION, &Columns::decision},
                                  {f::Product::planner, PLANNER, &Columns::planner},
                                  {f::Product::controller, CONTROLLER, &Columns::controller}};
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Product::timestamp_ns, "Product")) {
      stamp.back() = static_cast<std::int64_t>(r.varint());
      continue;
    }
    const Read* read = std::find_if(std::begin(READ), std::end(READ),
                                    [&](const Read& each) { return r.is(t, each.field, "Product"); });
    if (read == std::end(READ)) {
      r.skip(t.wire);
    } else {
      parts.back() |= read->bit;
      (this->*read->part)(r.sub());
    }
  }
  joints.close();
  effector.close();
  plan_waypoints.push_back(static_cast<std::int64_t>(waypoints.offsets.size() - 1));
  items.close();
  cameras.close();
}

void Columns::controller(Reader r) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Controller::robot, "Controller")) {
      robot.back() = text(r);
    } else if (r.is(t, f::Controller::grasped_item, "Controller")) {
      grasped_item.back() = text(r);
    } else if (r.is(t, f::Controller::feedback, "Controller")) {
      feedback(r.sub());
    } else if (r.is(t, f::Controller::grasped_item_pose, "Controller")) {
      grasped_pose_set.back() = 1;
      pose(r.sub(), grasped_pose);
    } else {
      r.skip(t.wire);
    }
  }
}

void Columns::feedback(Reader r) { feedback_values(r, joints.values, effector.values); }

void feedback_values(Reader r, std::vector<double>& joints, std::vector<double>& effector) {
  while (r.more()) {
    const Tag t = r.tag();
    const bool joint = r.is(t, f::Feedback::joint, "Feedback");
    if (!joint && !r.is(t, f::Feedback::effector, "Feedback")) {
      r.skip(t.wire);
      continue;
    }
    // JointFeedback and EffectorFeedback alike hold their Positions as field 1.
    static_assert(f::JointFeedback::positions.number == f::EffectorFeedback::positions.number);
    Reader inner = r.sub();
    while (inner.more()) {
      const Tag u = inner.tag();
      if (inner.is(u, f::JointFeedback::positions, "Feedback")) positions(inner.sub(), joint ? joints : effector);
      else inner.skip(u.wire);
    }
  }
}

void Columns::decision(Reader r) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Decision::behavior, "Decision")) behavior.back() = text(r);
    else if (r.is(t, f::Decision::step, "Decision")) step.back() = text(r);
    else if (r.is(t, f::Decision::target_item, "Decision")) target_item.back() = text(r);
    else r.skip(t.wire);
  }
}

void Columns::planner(Reader r) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Planner::robot, "Planner")) {
      plan_robot.back() = text(r);
    } else if (r.is(t, f::Planner::duration_s, "Planner")) {
      plan_s.back() = r.fixed64();
    } else if (r.is(t, f::Planner::waypoints, "Planner")) {
      positions(r.sub(), waypoints.values);
      waypoints.close();
    } else {
      r.skip(t.wire);
    }
  }
}

void Columns::perception(Reader r) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Perception::item_poses, "Perception")) entry(r.sub(), items);
    else if (r.is(t, f::Perception::camera_poses, "Perception")) entry(r.sub(), cameras);
    else r.skip(t.wire);
  }
}

void Columns::entry(Reader r, Named& into) {
  static_assert(f::Perception_ItemPosesEntry::key.number == f::Perception_CameraPosesEntry::key.number &&
                f::Perception_ItemPosesEntry::value.number == f::Perception_CameraPosesEntry::value.number);
  into.name.push_back(0);
  into.pose.resize(into.pose.size() + POSE, 0.0);
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Perception_ItemPosesEntry::key, "Perception entry")) into.name.back() = text(r);
    else if (r.is(t, f::Perception_ItemPosesEntry::value, "Perception entry")) pose(r.sub(), into.pose);
    else r.skip(t.wire);
  }
}

}  // namespace columns
