// The cell drawn as foxglove.SceneUpdate messages; each function draws as its namesake in
// mirvane/formats/mcap/scene_channel.py does, operation for operation, so that its bytes are the same.
#include "scene.hpp"

#include <cmath>
#include <cstring>
#include <set>
#include <utility>

namespace columns::scene {

namespace {

// Field numbers of the foxglove schemas this writes, and of google.protobuf.Timestamp.
namespace fox {
enum SceneUpdate { DELETIONS = 1, ENTITIES = 2 };
enum Deletion { DELETION_TIMESTAMP = 1, DELETION_TYPE = 2, DELETE_ALL = 1 };
enum Entity { TIMESTAMP = 1, FRAME_ID = 2, ID = 3, METADATA = 6, CUBES = 8, SPHERES = 9, CYLINDERS = 10, LINES = 11,
              TEXTS = 13 };
enum Primitive { POSE = 1, SIZE = 2, COLOR = 3, CYLINDER_COLOR = 5 };
enum Line { LINE_TYPE = 1, LINE_POSE = 2, THICKNESS = 3, POINTS = 5, LINE_COLOR = 6, LINE_LOOP = 1 };
enum Text { BILLBOARD = 2, FONT_SIZE = 3, SCALE_INVARIANT = 4, TEXT_COLOR = 5, TEXT = 6 };
}  // namespace fox

constexpr double ROBOT_COLOR[4] = {0.95, 0.55, 0.15, 1.0};
constexpr double ITEM_COLOR[4] = {0.25, 0.5, 0.9, 1.0};
constexpr double CAMERA_COLOR[4] = {0.2, 0.75, 0.3, 1.0};
constexpr double JOINT_COLOR[4] = {0.92, 0.92, 0.92, 1.0};
constexpr double NAME_COLOR[4] = {1.0, 1.0, 1.0, 1.0};
constexpr double DAMAGE_COLOR[4] = {0.85, 0.0, 0.0, 1.0};
constexpr double NAME_PIXELS = 14.0;
constexpr double NAME_ABOVE = 0.06;
constexpr double DAMAGE_SIZE = 0.1;
constexpr double JOINT_RADIUS = 0.03;
constexpr double VIEW_LINE = 0.01;

// A message being written: proto3's, a number left out where it is zero (a -0.0 is not).
class Message {
 public:
  void varint(std::uint64_t v) {
    for (; v >= 0x80; v >>= 7) bytes_.push_back(static_cast<char>(v | 0x80));
    bytes_.push_back(static_cast<char>(v));
  }
  void tag(int field, int wire) { varint(static_cast<std::uint64_t>(field) << 3 | static_cast<unsigned>(wire)); }
  void number(int field, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    if (bits == 0) return;
    tag(field, 1);
    bytes_.append(reinterpret_cast<const char*>(&bits), 8);
  }
  void integer(int field, std::int64_t v) {
    if (v == 0) return;
    tag(field, 0);
    varint(static_cast<std::uint64_t>(v));
  }
  void flag(int field, bool v) { integer(field, v ? 1 : 0); }
  void text(int field, std::string_view v) {
    if (v.empty()) return;
    tag(field, 2);
    varint(v.size());
    bytes_.append(v);
  }
  // A message field, written though it be empty: one of its fields was set.
  void sub(int field, const Message& m) {
    tag(field, 2);
    varint(m.bytes_.size());
    bytes_.append(m.bytes_);
  }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

Message timestamp(Time time) {
  Message m;
  m.integer(1, time.seconds);
  m.integer(2, time.nanos);
  return m;
}

Message triple(double x, double y, double z) {
  Message m;
  m.number(1, x), m.number(2, y), m.number(3, z);
  return m;
}

Message color(const double (&rgba)[4]) {
  Message m;
  for (int i = 0; i < 4; ++i) m.number(i + 1, rgba[i]);
  return m;
}

// w, x, y, z as they are kept; the wire's Quaternion is x, y, z, w.
Message pose(double x, double y, double z, double qw, double qx, double qy, double qz) {
  Message orientation;
  orientation.number(1, qx), orientation.number(2, qy), orientation.number(3, qz), orientation.number(4, qw);
  Message m;
  m.sub(1, triple(x, y, z));
  m.sub(2, orientation);
  return m;
}

Message copied(const Pose& p) { return pose(p.v[0], p.v[1], p.v[2], p.v[3], p.v[4], p.v[5], p.v[6]); }

// geometry.set_pose: at (x, y, z), turned `yaw` about z after `pitch` about y (roll none).
Message set_pose(double x, double y, double z, double yaw = 0.0, double pitch = 0.0) {
  const double roll = 0.0;
  if (pitch != 0.0 || std::isnan(pitch)) {
    const double cr = std::cos(roll / 2.0), sr = std::sin(roll / 2.0);
    const double cp = std::cos(pitch / 2.0), sp = std::sin(pitch / 2.0);
    const double cy = std::cos(yaw / 2.0), sy = std::sin(yaw / 2.0);
    return pose(x, y, z, cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
                cr * cp * sy - sr * sp * cy);
  }
  return pose(x, y, z, std::cos(yaw / 2.0), 0.0, 0.0, std::sin(yaw / 2.0));
}

// Halfway between p and q, facing from p towards q seen from above, turned `pitch` about its y axis.
Message along(const Point3& p, const Point3& q, double pitch) {
  return set_pose((p[0] + q[0]) / 2.0, (p[1] + q[1]) / 2.0, (p[2] + q[2]) / 2.0,
                  std::atan2(q[1] - p[1], q[0] - p[0]), pitch);
}

double flat(const Point3& p, const Point3& q) {
  const double d[2] = {q[0] - p[0], q[1] - p[1]};
  return cell::hypot(d, 2);
}

Message shape(Message pose_of, Message size, const double (&rgba)[4], int color_field = fox::COLOR) {
  Message m;
  m.sub(fox::POSE, pose_of);
  m.sub(fox::SIZE, size);
  m.sub(color_field, color(rgba));
  return m;
}

double bounded(double v) { return std::isnan(v) ? 0.0 : cell::py_min(cell::py_max(v, -cell::FAR), cell::FAR); }

bool usable(const Pose& p) { return cell::usable(p.v, p.v + 3); }

Point3 at(const Pose& p) { return {p.v[0], p.v[1], p.v[2]}; }

// An entity's fields by number, gathered apart and written in order.
struct Entity {
  Message metadata, cubes, spheres, cylinders, lines, texts;

  void name(std::string_view text, double x, double y, double z) {
    Message m;
    m.sub(fox::POSE, set_pose(x, y, z + NAME_ABOVE));
    m.flag(fox::BILLBOARD, true);
    m.number(fox::FONT_SIZE, NAME_PIXELS);
    m.flag(fox::SCALE_INVARIANT, true);
    m.sub(fox::TEXT_COLOR, color(NAME_COLOR));
    m.text(fox::TEXT, text);
    texts.sub(fox::TEXTS, m);
  }

  // Red spheres at the damaged places, and what is damaged in the metadata.
  void mark(const std::vector<Point3>& markers, const std::vector<std::string>& problems) {
    for (const Point3& p : markers)
      spheres.sub(fox::SPHERES, shape(set_pose(bounded(p[0]), bounded(p[1]), bounded(p[2])),
                                      triple(DAMAGE_SIZE, DAMAGE_SIZE, DAMAGE_SIZE), DAMAGE_COLOR));
    if (problems.empty()) return;
    std::string joined;
    for (const std::string& problem : problems) joined += (joined.empty() ? "" : ", ") + problem;
    Message pair;
    pair.text(1, "bad values");
    pair.text(2, joined);
    metadata.sub(fox::METADATA, pair);
  }

  // As a one-entity SceneUpdate.
  std::string update(std::string_view kind, std::string_view name, Time time) {
    Message m;
    m.sub(fox::TIMESTAMP, timestamp(time));
    m.text(fox::FRAME_ID, "world");
    m.text(fox::ID, std::string(kind) + "/" + std::string(name));
    for (Message* field : {&metadata, &cubes, &spheres, &cylinders, &lines, &texts}) m.bytes() += field->bytes();
    Message one;
    one.sub(fox::ENTITIES, m);
    return std::move(one.bytes());
  }
};

bool same(const Placed& a, const Pose& b) {
  const Pose& p = a.set ? a.pose : Pose();
  return p.present == b.present && std::memcmp(p.v, b.v, sizeof p.v) == 0;
}

}  // namespace

Drawing::Drawing(std::vector<Robot> robots, std::vector<Fixture> cameras, std::vector<Fixture> items)
    : robots_(std::move(robots)), cameras_(std::move(cameras)), items_(std::move(items)) {
  for (std::size_t k = 0; k < robots_.size(); ++k) robot_at_.emplace(robots_[k].name, k);
  for (std::size_t k = 0; k < cameras_.size(); ++k) camera_at_.emplace(cameras_[k].name, k);
  for (std::size_t k = 0; k < items_.size(); ++k) item_at_.emplace(items_[k].name, k);
  joints_.resize(robots_.size());
  robot_held_.assign(robots_.size(), false);
  camera_state_.resize(cameras_.size());
  item_state_.resize(items_.size());
  drawn_cameras_.resize(cameras_.size());
  robot_bytes_.resize(robots_.size());
  camera_bytes_.resize(cameras_.size());
  item_bytes_.resize(items_.size());
  robot_due_.assign(robots_.size(), false);
  camera_due_.assign(cameras_.size(), false);
  item_due_.assign(items_.size(), false);
}

void Drawing::camera_state(std::size_t k, const Placed& placed) { camera_state_[k] = placed; }

void Drawing::draw_all(Time time) {
  for (std::size_t k = 0; k < robots_.size(); ++k) draw_robot(k, time);
  for (std::size_t k = 0; k < cameras_.size(); ++k) draw_camera(k, time);
  for (std::size_t k = 0; k < items_.size(); ++k) draw_item(k, time);
}

template <typename Due>
void Drawing::mark(const std::map<std::string, std::size_t>& at, Due& due, const std::string& name) {
  moved_ = true;     // a name the layout lacks moves nothing drawn, yet counts, as it does in the state
  const auto found = at.find(name);
  if (found != at.end()) due[found->second] = true;
}

bool Drawing::apply(Reader r) {
  product_.read(r);
  const std::uint8_t parts = product_.parts;
  // Only the first kind a product carries counts, in the order replay applies them.
  if (parts & PERCEPTION) return perception(product_);
  if ((parts & (DECISION | PLANNER)) || !(parts & CONTROLLER)) return false;
  return controller(product_);
}

bool Drawing::perception(const events::Product& p) {
  for (const auto& [camera, pose] : p.cameras) {
    const auto found = camera_at_.find(camera);
    if (found == camera_at_.end()) {    // never drawn, so never as drawn
      moved_ = true;
      continue;
    }
    const std::size_t k = found->second;
    camera_state_[k] = Placed{true, true, pose};
    if (!drawn_cameras_[k] || !same(*drawn_cameras_[k], pose)) mark(camera_at_, camera_due_, camera);
  }
  std::set<std::string_view> held;
  for (const auto& [robot, item] : holding_) held.insert(item);
  bool seen = false;
  for (const auto& [name, pose] : p.items) {
    if (held.count(name) || !usable(pose)) continue;
    seen_[name] = pose;
    seen = true;
    if (!name.empty()) mark(item_at_, item_due_, name);
  }
  return !p.cameras.empty() || seen;
}

bool Drawing::controller(const events::Product& p) {
  if (!p.robot.empty()) {
    const auto found = robot_at_.find(p.robot);
    if (found != robot_at_.end()) {
      joints_[found->second] = p.joints;
      robot_held_[found->second] = true;
    }
    mark(robot_at_, robot_due_, p.robot);
  }
  if (!p.grasped_item.empty()) {
    const auto found = item_at_.find(p.grasped_item);
    if (found != item_at_.end()) item_state_[found->second] = Placed{true, true, p.grasped_pose};
    mark(item_at_, item_due_, p.grasped_item);
  }
  // Whom the robot holds: the item it let go is drawn where it was let go, or next seen.
  std::string& holds = holding_[p.robot];
  const std::string before = std::exchange(holds, p.grasped_item);
  seen_.erase(p.grasped_item);    // its grasp, in the state, is newer
  if (!before.empty()) mark(item_at_, item_due_, before);
  return !p.robot.empty() || !p.grasped_item.empty() || !before.empty();
}

std::string Drawing::update(Time time, bool clear) {
  for (std::size_t k = 0; k < robots_.size(); ++k)
    if (robot_due_[k]) draw_robot(k, time);
  for (std::size_t k = 0; k < cameras_.size(); ++k)
    if (camera_due_[k]) draw_camera(k, time);
  for (std::size_t k = 0; k < items_.size(); ++k)
    if (item_due_[k]) draw_item(k, time);
  moved_ = false;
  Message out;
  if (clear) {
    Message deletion;
    deletion.sub(fox::DELETION_TIMESTAMP, timestamp(time));
    deletion.integer(fox::DELETION_TYPE, fox::DELETE_ALL);
    out.sub(fox::DELETIONS, deletion);
  }
  std::string& bytes = out.bytes();
  for (const auto* drawn : {&robot_bytes_, &camera_bytes_, &item_bytes_})
    for (const std::string& entity : *drawn) bytes += entity;
  return std::move(bytes);
}

void Drawing::draw_robot(std::size_t k, Time time) {
  robot_due_[k] = false;
  const Robot& model = robots_[k];
  static const std::vector<double> none;
  const std::vector<double>& joints = robot_held_[k] ? joints_[k] : none;
  std::vector<std::string> problems;
  if (!model.base_ok) {
    problems.push_back(model.name + " base pose");
  } else {
    if (!cell::joints_ok(joints.data(), joints.size())) problems.push_back(model.name + " joints");
    problems.insert(problems.end(), model.problems.begin(), model.problems.end());
  }
  Entity entity;
  if (problems.empty()) {
    const cell::Arm arm = cell::forward_kinematics(model.mount, model.links, joints.data(), joints.size());
    const std::vector<Point3>& points = arm.points;
    const double width = model.mount.link_width;
    for (std::size_t i = 0; i + 1 < points.size() && i < model.links.size(); ++i) {
      const Point3 &p = points[i], &q = points[i + 1];
      entity.cubes.sub(fox::CUBES, shape(along(p, q, -std::atan2(q[2] - p[2], flat(p, q))),
                                         triple(model.links[i], width, width), ROBOT_COLOR));
    }
    const double joint = 2.0 * JOINT_RADIUS;
    for (std::size_t i = 0; i + 1 < points.size(); ++i)
      entity.spheres.sub(fox::SPHERES, shape(set_pose(points[i][0], points[i][1], points[i][2]),
                                             triple(joint, joint, joint), JOINT_COLOR));
    if (!points.empty()) {
      const std::vector<Point3> stand = cell::stand(model.mount, points[0]);
      for (std::size_t i = 0; i + 1 < stand.size(); ++i) {
        const Point3 &p = stand[i], &q = stand[i + 1];
        entity.cylinders.sub(fox::CYLINDERS, shape(along(p, q, std::atan2(flat(p, q), q[2] - p[2])),
                                                   triple(joint, joint, cell::dist(p, q)), JOINT_COLOR,
                                                   fox::CYLINDER_COLOR));
      }
      entity.name(model.name, points[0][0], points[0][1], points[0][2] + width);
    }
    entity.mark({}, problems);
  } else {
    entity.mark({model.base}, problems);
  }
  robot_bytes_[k] = entity.update("robot", model.name, time);
}

namespace {

// Where a fixture is now: its state's pose if usable, else its layout (marked if damaged).
const Pose& current(const Fixture& model, const Placed& state, std::vector<std::string>& problems,
                    std::vector<Point3>& markers) {
  if (!model.layout_ok) markers.push_back(at(model.layout));
  if (state.held && state.set) {
    if (usable(state.pose)) return state.pose;
    problems.push_back(model.name + " pose");
  }
  return model.layout;
}

}  // namespace

void Drawing::draw_camera(std::size_t k, Time time) {
  camera_due_[k] = false;
  const Fixture& model = cameras_[k];
  const Placed& state = camera_state_[k];
  if (state.held) drawn_cameras_[k] = state;
  std::vector<std::string> problems = model.problems;
  std::vector<Point3> markers;
  const Pose& where = current(model, state, problems, markers);
  const bool drawable = usable(where) && model.shape_ok;
  if (!drawable) markers.push_back(at(where));
  Entity entity;
  if (drawable) {
    Message view;
    view.integer(fox::LINE_TYPE, fox::LINE_LOOP);
    view.sub(fox::LINE_POSE, copied(where));
    view.number(fox::THICKNESS, VIEW_LINE);
    for (const auto& [x, y] : model.wedge) {
      Message point;
      point.number(1, x), point.number(2, y);
      view.sub(fox::POINTS, point);
    }
    view.sub(fox::LINE_COLOR, color(CAMERA_COLOR));
    entity.lines.sub(fox::LINES, view);
    entity.name(model.name, where.v[0], where.v[1], where.v[2]);
  }
  entity.mark(markers, problems);
  camera_bytes_[k] = entity.update("camera", model.name, time);
}

void Drawing::draw_item(std::size_t k, Time time) {
  item_due_[k] = false;
  const Fixture& model = items_[k];
  std::vector<std::string> problems = model.problems;
  std::vector<Point3> markers;
  const auto seen = seen_.find(model.name);
  const Pose& where = seen != seen_.end() ? seen->second : current(model, item_state_[k], problems, markers);
  const bool drawable = usable(where) && model.shape_ok;
  if (!drawable) markers.push_back(at(where));
  Entity entity;
  if (drawable) {
    const Point3& size = model.size;
    entity.cubes.sub(fox::CUBES, shape(copied(where), triple(size[0], size[1], size[2]), ITEM_COLOR));
    entity.name(model.name, where.v[0], where.v[1], where.v[2] + size[2] / 2.0);
  }
  entity.mark(markers, problems);
  item_bytes_[k] = entity.update("item", model.name, time);
}

}  // namespace columns::scene
