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

#include "binding.hpp"
#include "decode.hpp"
#include "events.hpp"
#include "mcap.hpp"
#include "schema.hpp"

namespace nb = nanobind;
using columns::Columns;
using columns::Refused;

namespace {

using namespace columns::binding;

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
using Limits = std::tuple<double, double, double, double, double, double, double, double, double, double, double,
                          std::int64_t, std::int64_t, std::int64_t>;


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
  bind_writing(m);
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
