// What the bindings of mirvane._columns share: buffers held for a call, arrays handed to numpy, blocks.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "cell.hpp"
#include "wire.hpp"

namespace columns::binding {

namespace nb = nanobind;

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
inline nb::object array(std::vector<T>&& values, std::size_t width = 1) {
  auto* held = new std::vector<T>(std::move(values));
  nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const std::size_t rows = held->size() / width;
  if (width == 1) return nb::cast(nb::ndarray<nb::numpy, T>(held->data(), {rows}, owner));
  return nb::cast(nb::ndarray<nb::numpy, T>(held->data(), {rows, width}, owner));
}

// Bytes as a numpy array that owns them: a chunk's megabyte handed over without a copy.
inline nb::object byte_array(std::string&& bytes) {
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

using Point3 = columns::cell::Point3;
using Mount8 = std::tuple<double, double, double, double, double, double, double, double>;

inline columns::cell::Mount mount_of(const Mount8& m) {
  const auto& [x, y, z, roll, pitch, yaw, arm_height, link_width] = m;
  return {x, y, z, roll, pitch, yaw, arm_height, link_width};
}

inline columns::Reader reader_of(nb::handle item, std::optional<Held>& held) {
  if (PyBytes_Check(item.ptr())) {   // read without a buffer view
    const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item.ptr()));
    return {begin, begin, begin + PyBytes_GET_SIZE(item.ptr())};
  }
  return held.emplace(item).reader();
}

// The bindings of the export's writing (writing.cpp).
void bind_writing(nb::module_& m);

}  // namespace columns::binding
