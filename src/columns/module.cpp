// mirvane._columns: serialized products in, numpy columns out (see decode.hpp for their shape).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <utility>

#include "decode.hpp"

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
  columns::Reader reader() const {
    const auto* begin = static_cast<const std::uint8_t*>(view_.buf);
    return {begin, begin, begin + view_.len};
  }

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

}  // namespace

NB_MODULE(_columns, m) {
  nb::exception<Refused>(m, "Refused", PyExc_ValueError);
  m.def("record", &record, nb::arg("data"), "The columns of the products of one serialized Record.");
  m.def("products", &products, nb::arg("items"), "The columns of serialized Products, one a row.");
}
