// mirvane._columns: serialized products in, numpy columns out (see decode.hpp for their shape).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "decode.hpp"
#include "events.hpp"
#include "layout.hpp"
#include "mcap.hpp"
#include "scene.hpp"
#include "schema.hpp"

namespace nb = nanobind;
using columns::Columns;
using columns::Refused;

namespace {

// A buffer held for the call: bytes, bytearray, memoryview or any other contiguous one.
class Held {
 public:
  explicit Held(nb::handle source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
  }
  ~Held() { PyBuffer_Release(&view_); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  columns::Reader reader() const { return {begin(), begin(), begin() + size()}; }
  const std::uint8_t* begin() const { return static_cast<const std::uint8_t*>(view_.buf); }
  std::int64_t size() const { return static_cast<std::int64_t>(view_.len); }

 private:
  Py_buffer view_{};
};

// The vector handed to numpy, which frees it with the array.
template <class T>
nb::object array(std::vector<T>&& values, std::size_t width = 1) {
  auto* held = new std::vector<T>(std::move(values));
  nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const std::size_t rows = held->size() / width;
  if (width == 1) return nb::cast(nb::ndarray<nb::numpy, T>(held->data(), {rows}, owner));
  return nb::cast(nb::ndarray<nb::numpy, T>(held->data(), {rows, width}, owner));
}

// Bytes as a numpy array that owns them: a chunk's megabyte handed over without a copy.
nb::object byte_array(std::string&& bytes) {
  auto* held = new std::string(std::move(bytes));
  nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::string*>(p); });
  return nb::cast(nb::ndarray<nb::numpy, std::uint8_t>(reinterpret_cast<std::uint8_t*>(held->data()),
                                                       {held->size()}, owner));
}

using Bounds = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig>;

// Products in one buffer, product i from starts[i] to ends[i], their bounds checked on entry.
class Block {
 public:
  Block(nb::handle data, const Bounds& starts, const Bounds& ends)
      : held_(data), starts_(starts.data()), ends_(ends.data()), count_(starts.shape(0)) {
    if (ends.shape(0) != count_) throw Refused("a block needs as many ends as starts");
    for (std::size_t i = 0; i < count_; ++i)
      if (starts_[i] < 0 || starts_[i] > ends_[i] || ends_[i] > held_.size())
        throw Refused("product " + std::to_string(i) + ": its bounds are not within the block");
  }
  std::size_t size() const { return count_; }
  columns::Reader operator[](std::size_t i) const {
    const std::uint8_t* begin = held_.begin();
    return {begin + starts_[i], begin + starts_[i], begin + ends_[i]};
  }
  std::string_view bytes(std::size_t i) const {
    return {reinterpret_cast<const char*>(held_.begin()) + starts_[i], static_cast<std::size_t>(ends_[i] - starts_[i])};
  }

 private:
  Held held_;
  const std::int64_t* starts_;
  const std::int64_t* ends_;
  std::size_t count_;
};

nb::dict columns_of(Columns&& c) {
  nb::list strings;
  for (const std::string& text : c.strings.table) {
    strings.append(nb::str(text.data(), text.size()));   // checked as UTF-8 when first seen
  }
  nb::dict out;
  out["strings"] = strings;
  out["start_ns"] = c.start_ns;
  out["stop_ns"] = c.stop_ns;
  out["stamp"] = array(std::move(c.stamp));
  out["parts"] = array(std::move(c.parts));
  out["robot"] = array(std::move(c.robot));
  out["grasped_item"] = array(std::move(c.grasped_item));
  out["grasped_pose_set"] = array(std::move(c.grasped_pose_set));
  out["grasped_pose"] = array(std::move(c.grasped_pose), columns::POSE);
  out["joint_offsets"] = array(std::move(c.joints.offsets));
  out["joints"] = array(std::move(c.joints.values));
  out["effector_offsets"] = array(std::move(c.effector.offsets));
  out["effector"] = array(std::move(c.effector.values));
  out["behavior"] = array(std::move(c.behavior));
  out["step"] = array(std::move(c.step));
  out["target_item"] = array(std::move(c.target_item));
  out["plan_robot"] = array(std::move(c.plan_robot));
  out["plan_s"] = array(std::move(c.plan_s));
  out["plan_waypoints"] = array(std::move(c.plan_waypoints));
  out["waypoint_offsets"] = array(std::move(c.waypoints.offsets));
  out["waypoints"] = array(std::move(c.waypoints.values));
  out["item_offsets"] = array(std::move(c.items.offsets));
  out["item"] = array(std::move(c.items.name));
  out["item_pose"] = array(std::move(c.items.pose), columns::POSE);
  out["camera_offsets"] = array(std::move(c.cameras.offsets));
  out["camera"] = array(std::move(c.cameras.name));
  out["camera_pose"] = array(std::move(c.cameras.pose), columns::POSE);
  return out;
}

nb::dict record(nb::handle data) {
  Held held(data);
  Columns c;
  c.record(held.reader());
  return columns_of(std::move(c));
}

nb::dict products(nb::iterable items) {
  Columns c;
  const Py_ssize_t size = PyObject_LengthHint(items.ptr(), 0);
  if (size < 0) throw nb::python_error();
  c.reserve(static_cast<std::size_t>(size));
  std::size_t n = 0;
  for (nb::handle item : items) {
    try {
      if (PyBytes_Check(item.ptr())) {   // as MCAP gives them, read without a buffer view
        const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item.ptr()));
        c.product({begin, begin, begin + PyBytes_GET_SIZE(item.ptr())});
      } else {
        c.product(Held(item).reader());
      }
    } catch (const Refused& e) {
      throw Refused("product " + std::to_string(n) + ": " + e.what());
    }
    ++n;
  }
  return columns_of(std::move(c));
}

nb::dict block_columns(nb::handle data, const Bounds& starts, const Bounds& ends) {
  const Block block(data, starts, ends);
  Columns c;
  {
    nb::gil_scoped_release unlocked;   // the other run of a diff decodes meanwhile
    c.reserve(block.size());
    for (std::size_t i = 0; i < block.size(); ++i) {
      try {
        c.product(block[i]);
      } catch (const Refused& e) {
        throw Refused("product " + std::to_string(i) + ": " + e.what());
      }
    }
  }
  return columns_of(std::move(c));
}

// -- the event rules ----------------------------------------------------------------------

namespace ev = columns::events;
using Point3 = columns::cell::Point3;
using Mount8 = std::tuple<double, double, double, double, double, double, double, double>;
using Limits = std::tuple<double, double, double, double, double, double, double, double, double, double, double,
                          std::int64_t, std::int64_t, std::int64_t>;

columns::cell::Mount mount_of(const Mount8& m) {
  const auto& [x, y, z, roll, pitch, yaw, arm_height, link_width] = m;
  return {x, y, z, roll, pitch, yaw, arm_height, link_width};
}

ev::Engine engine(std::vector<std::string> items, std::vector<std::pair<std::string, Point3>> cameras,
                  std::vector<std::pair<std::string, std::string>> robot_of,
                  std::vector<std::pair<std::string, std::vector<std::pair<std::string, int>>>> roles,
                  std::vector<std::pair<std::string, int>> default_roles, std::vector<std::string> robots,
                  std::vector<std::tuple<std::string, Mount8, std::vector<double>>> arms, const Limits& limits) {
  ev::Config config{std::move(items), std::move(cameras), std::move(robot_of), std::move(roles),
                    std::move(default_roles), std::move(robots), {}, {}};
  for (auto& [name, mount, links] : arms) config.arms.push_back({name, mount_of(mount), std::move(links)});
  auto& l = config.limits;
  std::tie(l.clearance, l.margin, l.unseen_s, l.item_moved, l.camera_moved, l.stall_periods, l.overrun_factor,
           l.overrun_slack, l.arrival, l.still, l.rounding, l.skew_ns, l.settle_ns, l.period_reports) = limits;
  return ev::Engine(std::move(config));
}

nb::list events_of(const std::vector<ev::Found>& found) {
  nb::list out;
  for (const ev::Found& e : found)
    out.append(nb::make_tuple(static_cast<int>(e.kind), nb::str(e.subject.data(), e.subject.size()),
                              nb::str(e.text.data(), e.text.size()), e.start.stamp, e.start.position, e.end.stamp,
                              e.end.position, nb::str(e.robot.data(), e.robot.size())));
  return out;
}

columns::Reader reader_of(nb::handle item, std::optional<Held>& held) {
  if (PyBytes_Check(item.ptr())) {   // read without a buffer view
    const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item.ptr()));
    return {begin, begin, begin + PyBytes_GET_SIZE(item.ptr())};
  }
  return held.emplace(item).reader();
}

nb::list feed(ev::Engine& e, nb::handle product) {
  std::vector<ev::Found> found;
  std::optional<Held> held;
  e.feed(reader_of(product, held), found);
  return events_of(found);
}

nb::list feed_many(ev::Engine& e, nb::iterable products) {
  std::vector<ev::Found> found;
  std::size_t n = 0;
  for (nb::handle item : products) {
    std::optional<Held> held;
    try {
      e.feed(reader_of(item, held), found);
    } catch (const Refused& error) {
      throw Refused("product " + std::to_string(n) + ": " + error.what());
    }
    ++n;
  }
  return events_of(found);
}

// Worked through without the interpreter, so another thread runs meanwhile (the engine is fed by
// one thread).
nb::list feed_block(ev::Engine& e, nb::handle data, const Bounds& starts, const Bounds& ends) {
  const Block block(data, starts, ends);
  std::vector<ev::Found> found;
  std::string refused;
  {
    nb::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < block.size(); ++i) {
      try {
        e.feed(block[i], found);
      } catch (const Refused& error) {
        refused = "product " + std::to_string(i) + ": " + error.what();
        break;
      }
    }
  }
  if (!refused.empty()) throw Refused(refused);
  return events_of(found);
}

nb::list finish(ev::Engine& e) {
  std::vector<ev::Found> found;
  e.finish(found);
  return events_of(found);
}

// -- whole products against the schema --------------------------------------------------

bool newer_products(nb::handle data, const Bounds& starts, const Bounds& ends) {
  const Block block(data, starts, ends);
  bool found = false;
  std::string refused;
  {
    nb::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < block.size() && refused.empty(); ++i) {
      try {
        found |= columns::schema::newer(block[i], columns::schema::PRODUCT);
      } catch (const Refused& error) {
        refused = std::string("a product: ") + error.what();   // its place in a block tells the user nothing
      }
    }
  }
  if (!refused.empty()) throw Refused(refused);
  return found;
}

// How many products, from the first of each, two blocks hold alike byte for byte: what a comparison
// of two runs need not parse.
std::size_t equal_products(nb::handle a, const Bounds& a_starts, const Bounds& a_ends, nb::handle b,
                           const Bounds& b_starts, const Bounds& b_ends) {
  const Block x(a, a_starts, a_ends), y(b, b_starts, b_ends);
  const std::size_t n = std::min(x.size(), y.size());
  nb::gil_scoped_release unlocked;
  std::size_t i = 0;
  while (i < n && x.bytes(i) == y.bytes(i)) ++i;
  return i;
}

nb::tuple products_ahead(nb::handle data) {
  const Held held(data);
  const auto found = columns::schema::products_ahead(held.begin(), static_cast<std::size_t>(held.size()));
  std::vector<std::int64_t> starts, ends;
  starts.reserve(found.size()), ends.reserve(found.size());
  for (const auto& [start, end] : found) {
    starts.push_back(static_cast<std::int64_t>(start));
    ends.push_back(static_cast<std::int64_t>(end));
  }
  const std::int64_t used = ends.empty() ? 0 : ends.back();
  return nb::make_tuple(array(std::move(starts)), array(std::move(ends)), used);
}

// -- an MCAP file's products, put together from their messages ------------------------------

using Int32s = nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig>;
using Parts = std::vector<std::pair<std::uint32_t, std::string_view>>;

nb::tuple chunk_messages(nb::handle data, std::size_t start, const Int32s& kinds) {
  const Held held(data);
  columns::mcap::Messages m;
  {
    nb::gil_scoped_release unlocked;
    m = columns::mcap::messages(held.begin(), static_cast<std::size_t>(held.size()), start, kinds.data(),
                                kinds.shape(0));
  }
  return nb::make_tuple(m.stop, array(std::move(m.kinds)), array(std::move(m.sequences)),
                        array(std::move(m.log_times)), array(std::move(m.starts)), array(std::move(m.ends)));
}

std::uint32_t part_number(std::int64_t number) {
  if (number < 1 || number >= (1 << 29)) throw Refused("a part's field number " + std::to_string(number) + " is not one");
  return static_cast<std::uint32_t>(number);
}

void no_part_twice(const Parts& parts) {   // sorted by append_product
  for (std::size_t i = 1; i < parts.size(); ++i)
    if (parts[i].first == parts[i - 1].first) throw Refused("a product has two parts of field " + std::to_string(parts[i].first));
}

nb::bytes product_bytes(std::int64_t stamp, nb::dict parts) {
  Parts pieces;
  for (auto [number, part] : parts) {
    if (!PyBytes_Check(part.ptr())) throw nb::type_error("a product's parts are bytes");
    pieces.emplace_back(part_number(nb::cast<std::int64_t>(number)),
                        std::string_view(PyBytes_AS_STRING(part.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(part.ptr()))));
  }
  std::string out;
  columns::mcap::append_product(out, stamp, pieces);
  return nb::bytes(out.data(), out.size());
}

// Products of parts held in one buffer: product k of parts firsts[k] up to firsts[k + 1], part i the
// message fields[i] from starts[i] to ends[i]. The products' bytes, and where each ends in them.
nb::tuple joined_products(nb::handle data, const Int32s& fields, const Bounds& starts, const Bounds& ends,
                          const Bounds& firsts, const Bounds& stamps) {
  const Block parts(data, starts, ends);
  const std::size_t count = stamps.shape(0);
  if (fields.shape(0) != parts.size() || firsts.shape(0) != count + 1)
    throw Refused("joined products need a field for every part and a first part for every product, and one past");
  const std::int64_t* first = firsts.data();
  if (count > 0 && (first[0] != 0 || first[count] != static_cast<std::int64_t>(parts.size())))
    throw Refused("joined products take every part once");
  std::string out;
  std::vector<std::int64_t> product_ends(count);
  Parts pieces;
  for (std::size_t k = 0; k < count; ++k) {
    if (first[k + 1] < first[k]) throw Refused("product " + std::to_string(k) + ": its parts run backwards");
    pieces.clear();
    for (std::int64_t i = first[k]; i < first[k + 1]; ++i)
      pieces.emplace_back(part_number(fields.data()[i]), parts.bytes(static_cast<std::size_t>(i)));
    columns::mcap::append_product(out, stamps.data()[k], pieces);
    no_part_twice(pieces);
    product_ends[k] = static_cast<std::int64_t>(out.size());
  }
  return nb::make_tuple(nb::bytes(out.data(), out.size()), array(std::move(product_ends)));
}

nb::object usable_position(double x, double y, double z, double w, double qx, double qy, double qz) {
  const double p[3] = {x, y, z}, q[4] = {w, qx, qy, qz};
  if (!columns::cell::usable(p, q)) return nb::none();
  return nb::make_tuple(x, y, z);
}

bool joints_ok(const std::vector<double>& values) { return columns::cell::joints_ok(values.data(), values.size()); }

double links_moved(const std::vector<double>& links, const std::vector<double>& before,
                   const std::vector<double>& after) {
  return columns::cell::links_moved(links, before.data(), after.data(), std::min(before.size(), after.size()));
}

nb::tuple forward_kinematics(const Mount8& mount, const std::vector<double>& links, const std::vector<double>& joints) {
  const auto arm = columns::cell::forward_kinematics(mount_of(mount), links, joints.data(), joints.size());
  nb::list points;
  for (const Point3& p : arm.points) points.append(nb::make_tuple(p[0], p[1], p[2]));
  return nb::make_tuple(points, arm.heading);
}

nb::list stand(const Mount8& mount, const Point3& first) {
  nb::list points;
  for (const Point3& p : columns::cell::stand(mount_of(mount), first)) points.append(nb::make_tuple(p[0], p[1], p[2]));
  return points;
}

double links_gap(const std::vector<Point3>& a, const std::vector<Point3>& b, double within, double width_a,
                 double width_b) {
  if (a.empty() || b.empty()) throw nb::value_error("links_gap needs two arms' points");
  return columns::cell::links_gap(a, b, within, width_a, width_b);
}

// A serialized Pose, what of it is set kept (a drawing compares poses as protobuf does: by their bytes).
columns::scene::Pose pose_of(const nb::bytes& data) {
  columns::scene::Pose pose;
  const auto* begin = static_cast<const std::uint8_t*>(data.data());
  pose.present = columns::pose_values({begin, begin, begin + data.size()}, pose.v);
  return pose;
}

// (name, base usable, base position, link lengths, mount, the layout's problems, joints if in the state)
using RobotIn = std::tuple<std::string, bool, Point3, std::vector<double>, Mount8, std::vector<std::string>,
                           std::optional<std::vector<double>>>;
// (name, layout pose, layout usable, size or field of view usable, the layout's problems, size, wedge,
// (has a pose, the pose) if in the state)
using FixtureIn = std::tuple<std::string, nb::bytes, bool, bool, std::vector<std::string>, Point3,
                             std::vector<std::array<double, 2>>, std::optional<std::pair<bool, nb::bytes>>>;

std::vector<columns::scene::Fixture> fixtures_of(const std::vector<FixtureIn>& given) {
  std::vector<columns::scene::Fixture> out;
  for (const auto& [name, layout, layout_ok, shape_ok, problems, size, wedge, state] : given)
    out.push_back({name, pose_of(layout), layout_ok, shape_ok, problems, size, wedge});
  return out;
}

columns::scene::Placed placed_of(const std::pair<bool, nb::bytes>& state) {
  return {true, state.first, pose_of(state.second)};
}

columns::scene::Drawing scene_drawing(const std::vector<RobotIn>& robots, const std::vector<FixtureIn>& cameras,
                                      const std::vector<FixtureIn>& items,
                                      const std::vector<std::pair<std::string, nb::bytes>>& seen,
                                      const std::pair<std::int64_t, std::int64_t>& time) {
  std::vector<columns::scene::Robot> models;
  for (const auto& [name, base_ok, base, links, mount, problems, joints] : robots)
    models.push_back({name, base_ok, base, links, mount_of(mount), problems});
  columns::scene::Drawing drawing(std::move(models), fixtures_of(cameras), fixtures_of(items));
  for (std::size_t k = 0; k < robots.size(); ++k)
    if (const auto& joints = std::get<6>(robots[k])) drawing.robot_state(k, *joints);
  for (std::size_t k = 0; k < cameras.size(); ++k)
    if (const auto& state = std::get<7>(cameras[k])) drawing.camera_state(k, placed_of(*state));
  for (std::size_t k = 0; k < items.size(); ++k)
    if (const auto& state = std::get<7>(items[k])) drawing.item_state(k, placed_of(*state));
  for (const auto& [name, pose] : seen) drawing.seen(name, pose_of(pose));
  drawing.draw_all({time.first, time.second});
  return drawing;
}

bool scene_apply(columns::scene::Drawing& drawing, nb::handle product) {
  std::optional<Held> held;
  return drawing.apply(reader_of(product, held));
}

nb::bytes scene_update(columns::scene::Drawing& drawing, const std::pair<std::int64_t, std::int64_t>& time,
                       bool clear) {
  const std::string bytes = drawing.update({time.first, time.second}, clear);
  return nb::bytes(bytes.data(), bytes.size());
}

using columns::layout::Layout;
using Given = std::vector<std::pair<std::uint16_t, nb::bytes>>;

bool layout_product(Layout& layout, nb::handle product, std::uint64_t time, std::uint32_t sequence,
                    columns::scene::Drawing* drawing, const std::optional<Given>& given) {
  std::optional<Held> held;
  const columns::Reader r = reader_of(product, held);
  if (!given) return layout.product(r, time, sequence, drawing);
  std::vector<std::pair<std::uint16_t, std::string_view>> parts;
  for (const auto& [channel, data] : *given) parts.emplace_back(channel, std::string_view(data.c_str(), data.size()));
  return layout.product(r, time, sequence, drawing, &parts);
}

// The products of a block at their log times, their events between them; the position of the first
// product not written (one whose parts the caller must merge), or the block's length.
std::size_t layout_products(Layout& layout, nb::handle data, const Bounds& starts, const Bounds& ends,
                            const nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig>& times,
                            std::uint64_t first_sequence, columns::scene::Drawing* drawing) {
  const Block block(data, starts, ends);
  if (times.shape(0) != block.size()) throw Refused("a block needs a time for each product");
  nb::gil_scoped_release unlocked;
  for (std::size_t k = 0; k < block.size(); ++k) {
    const std::uint64_t time = times(k);
    layout.events_before(time);
    if (!layout.product(block[k], time, static_cast<std::uint32_t>(first_sequence + k), drawing)) return k;
    layout.between_products();
  }
  return block.size();
}

// Each product's stamp and the parts it carries (decode.hpp's Part bits), read off its top level.
nb::tuple stamps_and_parts(nb::handle data, const Bounds& starts, const Bounds& ends) {
  const Block block(data, starts, ends);
  std::vector<std::int64_t> stamps(block.size());
  std::vector<std::uint8_t> parts(block.size());
  {
    nb::gil_scoped_release unlocked;
    namespace f = columns::fields;
    for (std::size_t k = 0; k < block.size(); ++k) {
      for (columns::Reader r = block[k]; r.more();) {
        const columns::Tag t = r.tag();
        if (r.is(t, f::Product::timestamp_ns, "Product")) stamps[k] = static_cast<std::int64_t>(r.varint());
        else if (r.is(t, f::Product::perception, "Product")) parts[k] |= columns::PERCEPTION, r.skip(t.wire);
        else if (r.is(t, f::Product::decision, "Product")) parts[k] |= columns::DECISION, r.skip(t.wire);
        else if (r.is(t, f::Product::planner, "Product")) parts[k] |= columns::PLANNER, r.skip(t.wire);
        else if (r.is(t, f::Product::controller, "Product")) parts[k] |= columns::CONTROLLER, r.skip(t.wire);
        else r.skip(t.wire);
      }
    }
  }
  return nb::make_tuple(array(std::move(stamps)), array(std::move(parts)));
}

void layout_events(Layout& layout, const std::vector<std::tuple<std::uint16_t, std::uint64_t, std::uint32_t, nb::bytes>>& given) {
  std::vector<Layout::Event> events;
  for (const auto& [channel, time, sequence, data] : given)
    events.push_back({channel, time, sequence, std::string(data.c_str(), data.size())});
  layout.events(std::move(events));
}

nb::list layout_take(Layout& layout) {
  nb::list out;
  for (auto& chunk : layout.take())
    out.append(nb::make_tuple(byte_array(std::move(chunk.records)),
                              nb::bytes(chunk.indexes.data(), chunk.indexes.size()), chunk.index_at, chunk.start,
                              chunk.end, chunk.messages));
  return out;
}

}  // namespace

NB_MODULE(_columns, m) {
  nb::exception<Refused>(m, "Refused", PyExc_ValueError);
  m.def("record", &record, nb::arg("data"), "The columns of the products of one serialized Record.");
  m.def("products", &products, nb::arg("items"), "The columns of serialized Products, one a row.");
  m.def("block", &block_columns, nb::arg("data"), nb::arg("starts"), nb::arg("ends"),
        "The columns of the serialized Products in data, each from starts[i] to ends[i], one a row.");

  nb::list kinds;
  for (const char* name : ev::KIND_NAMES) kinds.append(nb::str(name));
  m.attr("EVENT_KINDS") = nb::tuple(kinds);
  nb::class_<ev::Engine>(m, "Events", "The event rules over a record's serialized products, one by one.")
      .def(nb::new_(&engine), nb::arg("items"), nb::arg("cameras"), nb::arg("robot_of"), nb::arg("roles"),
           nb::arg("default_roles"), nb::arg("robots"), nb::arg("arms"), nb::arg("limits"))
      .def("feed", &feed, nb::arg("product"), "The events the next serialized Product completes.")
      .def("feed_many", &feed_many, nb::arg("products"), "The events of serialized Products fed in turn.")
      .def("feed_block", &feed_block, nb::arg("data"), nb::arg("starts"), nb::arg("ends"),
           "The events of serialized Products in data, each from starts[i] to ends[i].")
      .def("finish", &finish, "The range events still open at the end of the record.")
      .def_prop_ro("first_ns", &ev::Engine::first_ns)
      .def("__copy__", [](const ev::Engine& e) { return ev::Engine(e); })
      .def("__deepcopy__", [](const ev::Engine& e, nb::handle) { return ev::Engine(e); }, nb::arg("memo"));
  m.def("stamps_and_parts", &stamps_and_parts, nb::arg("data"), nb::arg("starts"), nb::arg("ends"),
        "Each product's stamp and the parts it carries (bits: perception 1, decision 2, planner 4, controller 8).");
  m.def("newer_products", &newer_products, nb::arg("data"), nb::arg("starts"), nb::arg("ends"),
        "Whether the Products in data (each from starts[i] to ends[i]) hold fields a newer version wrote.");
  m.def("equal_products", &equal_products, nb::arg("a"), nb::arg("a_starts"), nb::arg("a_ends"), nb::arg("b"),
        nb::arg("b_starts"), nb::arg("b_ends"),
        "How many Products, from the first, two blocks (data, starts, ends) hold alike byte for byte.");
  m.def("products_ahead", &products_ahead, nb::arg("data"),
        "The whole products that begin a Record's fields in data: (starts, ends, bytes they take).");
  m.def("chunk_messages", &chunk_messages, nb::arg("data"), nb::arg("start"), nb::arg("kinds"),
        "The messages of an MCAP chunk's records from byte start, each taken with kinds[its channel] "
        "(0: undeclared, -1: skipped): (where the walk stopped, kinds, sequences, log times, starts, ends).");
  m.def("product_bytes", &product_bytes, nb::arg("stamp"), nb::arg("parts"),
        "A serialized Product of a stamp and its parts ({field number: message bytes}).");
  m.def("joined_products", &joined_products, nb::arg("data"), nb::arg("fields"), nb::arg("starts"),
        nb::arg("ends"), nb::arg("firsts"), nb::arg("stamps"),
        "Serialized Products of parts in data: (their bytes, where each ends).");
  nb::class_<columns::scene::Drawing>(m, "SceneDrawing",
                                      "The cell drawn as foxglove.SceneUpdate messages, following its products.")
      .def(nb::new_(&scene_drawing), nb::arg("robots"), nb::arg("cameras"), nb::arg("items"), nb::arg("seen"),
           nb::arg("time"), "The cell as its models and state have it at time (seconds, nanoseconds).")
      .def("apply", &scene_apply, nb::arg("product"), "Apply a serialized Product; whether it moved anything.")
      .def_prop_ro("moved", &columns::scene::Drawing::moved)
      .def("update", &scene_update, nb::arg("time"), nb::arg("clear") = false,
           "The whole cell's SceneUpdate at time (seconds, nanoseconds), what moved drawn anew; clear first "
           "deletes whatever was shown.");
  nb::class_<Layout>(m, "Layout", "The export's layout: messages gathered into MCAP chunks, natively.")
      .def(nb::init<std::array<std::uint16_t, 4>, std::uint16_t, std::size_t, std::uint64_t>(), nb::arg("parts"),
           nb::arg("scene"), nb::arg("chunk_bytes"), nb::arg("scene_interval"))
      .def("message", [](Layout& l, std::uint16_t channel, std::uint64_t time, std::uint32_t sequence,
                         const nb::bytes& data) { l.message(channel, time, sequence, {data.c_str(), data.size()}); },
           nb::arg("channel"), nb::arg("time"), nb::arg("sequence"), nb::arg("data"))
      .def("record", [](Layout& l, const nb::bytes& data) { l.record({data.c_str(), data.size()}); },
           nb::arg("data"), "A record that is not a message (a schema, a channel), into the chunk.")
      .def("scene", &Layout::scene, nb::arg("drawing"), nb::arg("time"), nb::arg("sequence"), nb::arg("clear"),
           "The scene as drawing has it now.")
      .def("product", &layout_product, nb::arg("product"), nb::arg("time"), nb::arg("sequence"),
           nb::arg("drawing").none(), nb::arg("given").none() = nb::none(),
           "A serialized Product's parts and the scene after it; False when a part appears twice and the "
           "parts must be given (channel, message).")
      .def("products", &layout_products, nb::arg("data"), nb::arg("starts"), nb::arg("ends"), nb::arg("times"),
           nb::arg("first_sequence"), nb::arg("drawing").none(),
           "A block's products and the events due between them; how many were written.")
      .def("events", &layout_events, nb::arg("events"), "(channel, time, sequence, data) to go between products.")
      .def("events_before", &Layout::events_before, nb::arg("time"))
      .def("between_products", &Layout::between_products)
      .def("end_chunk", &Layout::end_chunk)
      .def("take", &layout_take, "The chunks ended: (records, indexes, index offsets, start, end, messages).")
      .def_prop_ro("statistics", [](const Layout& l) { return nb::make_tuple(l.messages, l.start, l.end, l.counts); });
  m.attr("ALL_EVENTS") = Layout::ALL;
  // The cell's geometry, for mirvane.scene and mirvane.geometry (which describe each).
  m.def("usable_position", &usable_position);
  m.def("joints_ok", &joints_ok, nb::arg("values"));
  m.def("links_moved", &links_moved, nb::arg("links"), nb::arg("before"), nb::arg("after"));
  m.def("forward_kinematics", &forward_kinematics, nb::arg("mount"), nb::arg("links"), nb::arg("joints"));
  m.def("stand", &stand, nb::arg("mount"), nb::arg("first"));
  m.def("segments_apart", &columns::cell::segments_apart, nb::arg("p"), nb::arg("q"), nb::arg("r"), nb::arg("s"));
  m.def("links_gap", &links_gap, nb::arg("a"), nb::arg("b"), nb::arg("within"), nb::arg("width_a"),
        nb::arg("width_b"));
}
