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

// A message written into one buffer, reused entity after entity: proto3's, a number left out where it
// is zero (a -0.0 is not); a message field's length written once it is known (`open`, `close`).
class Out {
 public:
  explicit Out(std::string& bytes) : bytes_(bytes) {}
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
  // A message field, written though it be empty (one of its fields was set): its content follows.
  std::size_t open(int field) {
    tag(field, 2);
    bytes_.push_back(0);
    return bytes_.size();
  }
  void close(std::size_t start) {
    const std::size_t length = bytes_.size() - start;
    if (length < 0x80) {
      bytes_[start - 1] = static_cast<char>(length);
      return;
    }
    char prefix[10];
    std::size_t n = 0;
    std::uint64_t v = length;
    for (; v >= 0x80; v >>= 7) prefix[n++] = static_cast<char>(v | 0x80);
    prefix[n++] = static_cast<char>(v);
    bytes_[start - 1] = prefix[0];
    bytes_.insert(start, prefix + 1, n - 1);
  }

 private:
  std::string& bytes_;
};

void timestamp(Out& out, int field, Time time) {
  const std::size_t at = out.open(field);
  out.integer(1, time.seconds);
  out.integer(2, time.nanos);
  out.close(at);
}

void triple(Out& out, int field, double x, double y, double z) {
  const std::size_t at = out.open(field);
  out.number(1, x), out.number(2, y), out.number(3, z);
  out.close(at);
}

void color(Out& out, int field, const double (&rgba)[4]) {
  const std::size_t at = out.open(field);
  for (int i = 0; i < 4; ++i) out.number(i + 1, rgba[i]);
  out.close(at);
}

// w, x, y, z as they are kept; the wire's Quaternion is x, y, z, w.
void pose(Out& out, int field, double x, double y, double z, double qw, double qx, double qy, double qz) {
  const std::size_t at = out.open(field);
  triple(out, 1, x, y, z);
  const std::size_t orientation = out.open(2);
  out.number(1, qx), out.number(2, qy), out.number(3, qz), out.number(4, qw);
  out.close(orientation);
  out.close(at);
}

void copied(Out& out, int field, const Pose& p) { pose(out, field, p.v[0], p.v[1], p.v[2], p.v[3], p.v[4], p.v[5], p.v[6]); }

// geometry.set_pose: at (x, y, z), turned `yaw` about z after `pitch` about y (roll none).
void set_pose(Out& out, int field, double x, double y, double z, double yaw = 0.0, double pitch = 0.0) {
  const double roll = 0.0;
  if (pitch != 0.0 || std::isnan(pitch)) {
    const double cr = std::cos(roll / 2.0), sr = std::sin(roll / 2.0);
    const double cp = std::cos(pitch / 2.0), sp = std::sin(pitch / 2.0);
    const double cy = std::cos(yaw / 2.0), sy = std::sin(yaw / 2.0);
    pose(out, field, x, y, z, cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
         cr * cp * sy - sr * sp * cy);
    return;
  }
  pose(out, field, x, y, z, std::cos(yaw / 2.0), 0.0, 0.0, std::sin(yaw / 2.0));
}

// Halfway between p and q, facing from p towards q seen from above, turned `pitch` about its y axis.
void along(Out& out, int field, const Point3& p, const Point3& q, double pitch) {
  set_pose(out, field, (p[0] + q[0]) / 2.0, (p[1] + q[1]) / 2.0, (p[2] + q[2]) / 2.0,
           std::atan2(q[1] - p[1], q[0] - p[0]), pitch);
}

double flat(const Point3& p, const Point3& q) {
  const double d[2] = {q[0] - p[0], q[1] - p[1]};
  return cell::hypot(d, 2);
}

double bounded(double v) { return std::isnan(v) ? 0.0 : cell::py_min(cell::py_max(v, -cell::FAR), cell::FAR); }

bool usable(const Pose& p) { return cell::usable(p.v, p.v + 3); }

Point3 at(const Pose& p) { return {p.v[0], p.v[1], p.v[2]}; }

// One entity as a one-entity SceneUpdate, written into `bytes` (over what it held): its fields in
// their numbers' order, each written by the caller between `begin` and `end`.
class Entity {
 public:
  Entity(std::string& bytes, std::string_view kind, std::string_view name, Time time) : out(bytes) {
    bytes.clear();
    update_ = out.open(fox::ENTITIES);
    timestamp(out, fox::TIMESTAMP, time);
    out.text(fox::FRAME_ID, "world");
    id_.assign(kind).append("/").append(name);
    out.text(fox::ID, id_);
  }
  ~Entity() { out.close(update_); }
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  void metadata(const std::vector<std::string>& problems) {
    if (problems.empty()) return;
    std::string joined;
    for (const std::string& problem : problems) joined += (joined.empty() ? "" : ", ") + problem;
    const std::size_t pair = out.open(fox::METADATA);
    out.text(1, "bad values");
    out.text(2, joined);
    out.close(pair);
  }

  // A cube, sphere or cylinder: its pose written by `place`, its size, its colour.
  template <typename Place>
  void shape(int field, Place place, double x, double y, double z, const double (&rgba)[4],
             int color_field = fox::COLOR) {
    const std::size_t at = out.open(field);
    place(fox::POSE);
    triple(out, fox::SIZE, x, y, z);
    color(out, color_field, rgba);
    out.close(at);
  }

  // Red spheres where the drawing is damaged.
  void markers(const std::vector<Point3>& markers) {
    for (const Point3& p : markers)
      shape(fox::SPHERES, [&](int field) { set_pose(out, field, bounded(p[0]), bounded(p[1]), bounded(p[2])); },
            DAMAGE_SIZE, DAMAGE_SIZE, DAMAGE_SIZE, DAMAGE_COLOR);
  }

  void name(std::string_view text, double x, double y, double z) {
    const std::size_t at = out.open(fox::TEXTS);
    set_pose(out, fox::POSE, x, y, z + NAME_ABOVE);
    out.flag(fox::BILLBOARD, true);
    out.number(fox::FONT_SIZE, NAME_PIXELS);
    out.flag(fox::SCALE_INVARIANT, true);
    color(out, fox::TEXT_COLOR, NAME_COLOR);
    out.text(fox::TEXT, text);
    out.close(at);
  }

  Out out;

 private:
  std::string id_;
  std::size_t update_;
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

void Drawing::apply(Reader r) {
  product_.read(r);
  const std::uint8_t parts = product_.parts;
  // Only the first kind a product carries counts, in the order replay applies them.
  if (parts & PERCEPTION)
    perception(product_);
  else if (!(parts & (DECISION | PLANNER)) && (parts & CONTROLLER))
    controller(product_);
}

void Drawing::perception(const events::Product& p) {
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
  for (const auto& [name, pose] : p.items) {
    if (held.count(name) || !usable(pose)) continue;
    seen_[name] = pose;
    if (!name.empty()) mark(item_at_, item_due_, name);
  }
}

void Drawing::controller(const events::Product& p) {
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
}

void Drawing::update_into(std::string& bytes, Time time, bool clear) {
  for (std::size_t k = 0; k < robots_.size(); ++k)
    if (robot_due_[k]) draw_robot(k, time);
  for (std::size_t k = 0; k < cameras_.size(); ++k)
    if (camera_due_[k]) draw_camera(k, time);
  for (std::size_t k = 0; k < items_.size(); ++k)
    if (item_due_[k]) draw_item(k, time);
  moved_ = false;
  if (clear) {
    Out out(bytes);
    const std::size_t deletion = out.open(fox::DELETIONS);
    timestamp(out, fox::DELETION_TIMESTAMP, time);
    out.integer(fox::DELETION_TYPE, fox::DELETE_ALL);
    out.close(deletion);
  }
  for (const auto* drawn : {&robot_bytes_, &camera_bytes_, &item_bytes_})
    for (const std::string& entity : *drawn) bytes += entity;
}

std::string Drawing::update(Time time, bool clear) {
  std::string bytes;
  update_into(bytes, time, clear);
  return bytes;
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
  Entity entity(robot_bytes_[k], "robot", model.name, time);
  Out& out = entity.out;
  entity.metadata(problems);
  if (!problems.empty()) {
    entity.markers({model.base});
    return;
  }
  const cell::Arm arm = cell::forward_kinematics(model.mount, model.links, joints.data(), joints.size());
  const std::vector<Point3>& points = arm.points;
  const double width = model.mount.link_width;
  for (std::size_t i = 0; i + 1 < points.size() && i < model.links.size(); ++i) {
    const Point3 &p = points[i], &q = points[i + 1];
    entity.shape(fox::CUBES, [&](int field) { along(out, field, p, q, -std::atan2(q[2] - p[2], flat(p, q))); },
                 model.links[i], width, width, ROBOT_COLOR);
  }
  const double joint = 2.0 * JOINT_RADIUS;
  for (std::size_t i = 0; i + 1 < points.size(); ++i)
    entity.shape(fox::SPHERES, [&](int field) { set_pose(out, field, points[i][0], points[i][1], points[i][2]); },
                 joint, joint, joint, JOINT_COLOR);
  if (points.empty()) return;
  const std::vector<Point3> stand = cell::stand(model.mount, points[0]);
  for (std::size_t i = 0; i + 1 < stand.size(); ++i) {
    const Point3 &p = stand[i], &q = stand[i + 1];
    entity.shape(fox::CYLINDERS, [&](int field) { along(out, field, p, q, std::atan2(flat(p, q), q[2] - p[2])); },
                 joint, joint, cell::dist(p, q), JOINT_COLOR, fox::CYLINDER_COLOR);
  }
  entity.name(model.name, points[0][0], points[0][1], points[0][2] + width);
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
  Entity entity(camera_bytes_[k], "camera", model.name, time);
  Out& out = entity.out;
  entity.metadata(problems);
  entity.markers(markers);
  if (!drawable) return;
  const std::size_t view = out.open(fox::LINES);
  out.integer(fox::LINE_TYPE, fox::LINE_LOOP);
  copied(out, fox::LINE_POSE, where);
  out.number(fox::THICKNESS, VIEW_LINE);
  for (const auto& [x, y] : model.wedge) {
    const std::size_t point = out.open(fox::POINTS);
    out.number(1, x), out.number(2, y);
    out.close(point);
  }
  color(out, fox::LINE_COLOR, CAMERA_COLOR);
  out.close(view);
  entity.name(model.name, where.v[0], where.v[1], where.v[2]);
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
  Entity entity(item_bytes_[k], "item", model.name, time);
  entity.metadata(problems);
  const Point3& size = model.size;
  if (drawable)
    entity.shape(fox::CUBES, [&](int field) { copied(entity.out, field, where); }, size[0], size[1], size[2],
                 ITEM_COLOR);
  entity.markers(markers);
  if (drawable) entity.name(model.name, where.v[0], where.v[1], where.v[2] + size[2] / 2.0);
}

}  // namespace columns::scene
