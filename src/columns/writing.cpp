// The bindings of the export's writing: the scene drawing, the layout of chunks, the reorder window.
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
#include <utility>

#include "binding.hpp"
#include "decode.hpp"
#include "layout.hpp"
#include "scene.hpp"

namespace columns::binding {

namespace {

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

// Products (stamp, serialized) of a list, from `start` to `stop`, each at its stamp and numbered on from
// `first_sequence`: (how many were written, whether the next has a part twice for the caller to merge).
// With `stop_after_chunk`, the call returns once a product ends a chunk, for the caller to write it.
std::pair<std::size_t, bool> layout_items(Layout& layout, nb::list items, std::size_t start, std::size_t stop,
                                          std::uint64_t first_sequence, columns::scene::Drawing* drawing,
                                          bool stop_after_chunk) {
  stop = std::min(stop, static_cast<std::size_t>(nb::len(items)));
  struct Taken {
    std::uint64_t stamp;
    columns::Reader product;
  };
  std::vector<Taken> taken;
  for (std::size_t k = start; k < stop; ++k) {
    const nb::tuple item = nb::cast<nb::tuple>(items[k]);
    const std::int64_t stamp = nb::cast<std::int64_t>(item[0]);
    const nb::bytes data = nb::cast<nb::bytes>(item[1]);
    const auto* begin = static_cast<const std::uint8_t*>(data.data());
    taken.push_back({static_cast<std::uint64_t>(stamp), {begin, begin, begin + data.size()}});
  }
  // The list holds the bytes, which never change: the callers' threads go on meanwhile.
  nb::gil_scoped_release unlocked;
  for (std::size_t k = 0; k < taken.size(); ++k) {
    if (!layout.product(taken[k].product, taken[k].stamp, static_cast<std::uint32_t>(first_sequence + k), drawing))
      return {k, true};
    if (layout.between_products() && stop_after_chunk) return {k + 1, false};
  }
  return {taken.size(), false};
}

// Products held until the stamps coming in pass their own by a window, then given in stamp order
// (those of one stamp as they came): what formats/reorder.py describes.
class Reorder {
 public:
  Reorder(std::int64_t window_ns, std::size_t most) : window_(window_ns), most_(most) {}

  // Hold each (stamp, item); the items now due, in order.
  nb::list add(nb::list items) {
    nb::list due;
    for (nb::handle each : items) {
      const nb::tuple item = nb::cast<nb::tuple>(each);
      const std::int64_t stamp = nb::cast<std::int64_t>(item[0]);
      held_.push_back({stamp, arrivals_++, nb::borrow<nb::object>(each)});
      std::push_heap(held_.begin(), held_.end(), Later());
      recent_[recent_count_++ % RECENT] = stamp;
      // The window's clock is the median of the latest stamps: one stamped far ahead does not move it.
      const __int128 clock = static_cast<__int128>(median()) - window_;
      while (!held_.empty() && (held_.front().stamp <= clock || held_.size() > most_ || window_ == 0)) give(due);
    }
    return due;
  }

  nb::list drain() {
    nb::list due;
    while (!held_.empty()) give(due);
    return due;
  }

  std::uint64_t late = 0;   // given after one stamped later than them

 private:
  static constexpr std::size_t RECENT = 5;
  struct Held {
    std::int64_t stamp;
    std::uint64_t arrival;
    nb::object item;
  };
  struct Later {
    bool operator()(const Held& a, const Held& b) const {
      return a.stamp != b.stamp ? a.stamp > b.stamp : a.arrival > b.arrival;
    }
  };

  // The median of the latest stamps (the upper of the middle two of an even count), by insertion.
  std::int64_t median() const {
    const std::size_t n = std::min(recent_count_, RECENT);
    std::int64_t sorted[RECENT] = {};
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t j = i;
      for (; j > 0 && sorted[j - 1] > recent_[i]; --j) sorted[j] = sorted[j - 1];
      sorted[j] = recent_[i];
    }
    return sorted[n / 2];
  }

  void give(nb::list& due) {
    std::pop_heap(held_.begin(), held_.end(), Later());
    Held next = std::move(held_.back());
    held_.pop_back();
    if (given_ && next.stamp < last_) ++late;
    given_ = true;
    last_ = next.stamp;
    due.append(next.item);
  }

  std::int64_t window_;
  std::size_t most_;
  std::vector<Held> held_;
  std::uint64_t arrivals_ = 0;
  std::int64_t recent_[RECENT] = {};
  std::size_t recent_count_ = 0;
  bool given_ = false;
  std::int64_t last_ = 0;
};

}  // namespace

void bind_writing(nb::module_& m) {
  m.def("stamps_and_parts", &stamps_and_parts, nb::arg("data"), nb::arg("starts"), nb::arg("ends"),
        "Each product's stamp and the parts it carries (bits: perception 1, decision 2, planner 4, controller 8).");
  nb::class_<columns::scene::Drawing>(m, "SceneDrawing",
                                      "The cell drawn as foxglove.SceneUpdate messages, following its products.")
      .def(nb::new_(&scene_drawing), nb::arg("robots"), nb::arg("cameras"), nb::arg("items"), nb::arg("seen"),
           nb::arg("time"), "The cell as its models and state have it at time (seconds, nanoseconds).")
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
      .def("items", &layout_items, nb::arg("items"), nb::arg("start"), nb::arg("stop"), nb::arg("first_sequence"),
           nb::arg("drawing").none(), nb::arg("stop_after_chunk"),
           "Products (stamp, bytes) of a list from start to stop: (how many were written, whether the next "
           "has a part twice to merge).")
      .def("events", &layout_events, nb::arg("events"), "(channel, time, sequence, data) to go between products.")
      .def("events_before", &Layout::events_before, nb::arg("time"))
      .def("between_products", &Layout::between_products)
      .def("end_chunk", &Layout::end_chunk)
      .def("take", &layout_take, "The chunks ended: (records, indexes, index offsets, start, end, messages).")
      .def_prop_ro("statistics", [](const Layout& l) { return nb::make_tuple(l.messages, l.start, l.end, l.counts); });
  m.attr("ALL_EVENTS") = Layout::ALL;
  nb::class_<Reorder>(m, "Reorder", "Items (stamp, ...) held until the stamps pass theirs by a window.")
      .def(nb::init<std::int64_t, std::size_t>(), nb::arg("window_ns"), nb::arg("most"))
      .def("add", &Reorder::add, nb::arg("items"), "Hold each (stamp, ...); the items now due, in order.")
      .def("drain", &Reorder::drain, "Every item held, in order.")
      .def_ro("late", &Reorder::late);
}

}  // namespace columns::binding
