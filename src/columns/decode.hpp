// A batch of products decoded into columns: one row a product, variable-length parts as offsets
// into flat values, strings as codes into one table (code 0 is the empty string: proto3's absent).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wire.hpp"

namespace columns {

// Parts present in a product, one bit each, in the order replay applies them.
enum Part : std::uint8_t { PERCEPTION = 1, DECISION = 2, PLANNER = 4, CONTROLLER = 8 };

// A pose as seven numbers: position x, y, z, then orientation w, x, y, z.
constexpr std::size_t POSE = 7;

// Well-formed UTF-8, as proto3 strings must be.
bool utf8(std::string_view text);

// A Positions message's values, appended to `out` (packed or not).
void positions(Reader r, std::vector<double>& out);

// A Feedback message's joint and effector positions, appended.
void feedback_values(Reader r, std::vector<double>& joints, std::vector<double>& effector);

// A Pose message's seven numbers (see POSE) into at[0..6], over what they were; which of its two
// messages it held (a message present but empty is not one absent: it serializes apart).
enum PoseSet : std::uint8_t { POSITION_SET = 1, ORIENTATION_SET = 2 };
std::uint8_t pose_values(Reader r, double* at);

struct Ragged {
  std::vector<std::int64_t> offsets{0};
  std::vector<double> values;
  void close() { offsets.push_back(static_cast<std::int64_t>(values.size())); }
};

// Map entries of a name and a pose, per product.
struct Named {
  std::vector<std::int64_t> offsets{0};
  std::vector<std::int32_t> name;
  std::vector<double> pose;
  void close() { offsets.push_back(static_cast<std::int64_t>(name.size())); }
};

struct Strings {
  Strings() { codes.emplace(table.emplace_back(), 0); }
  // Its code, a new one for a text not seen before (refused unless UTF-8, as proto3 strings are).
  std::int32_t code(std::string_view text, std::size_t at);
  // Copies: a batch's buffers need not outlive their product.
  std::deque<std::string> table;
  std::unordered_map<std::string_view, std::int32_t> codes;
  // The code last found for texts of each (length, last byte): names repeat, product after product.
  std::int32_t recent[64] = {};
};

struct Columns {
  std::vector<std::int64_t> stamp;
  std::vector<std::uint8_t> parts;
  // controller
  std::vector<std::int32_t> robot, grasped_item;
  std::vector<std::uint8_t> grasped_pose_set;
  std::vector<double> grasped_pose;
  Ragged joints, effector;
  // decision
  std::vector<std::int32_t> behavior, step, target_item;
  // planner
  std::vector<std::int32_t> plan_robot;
  std::vector<double> plan_s;
  std::vector<std::int64_t> plan_waypoints{0};   // per product, into the rows of waypoints
  Ragged waypoints;
  // perception
  Named items, cameras;
  Strings strings;
  std::int64_t start_ns = 0, stop_ns = 0;

  // The products of one serialized Record (its other fields but its times skipped).
  void record(Reader r);
  // Room for `rows` more products in every column of one row each.
  void reserve(std::size_t rows);
  // One serialized Product.
  void product(Reader r);

 private:
  void controller(Reader r);
  void feedback(Reader r);
  void decision(Reader r);
  void planner(Reader r);
  void perception(Reader r);
  void entry(Reader r, Named& into);
  std::int32_t text(Reader& r) {
    const std::size_t at = r.offset();
    return strings.code(r.bytes(), at);
  }
};

}  // namespace columns
