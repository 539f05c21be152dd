// The cell drawn as foxglove.SceneUpdate messages, following the workspace state as playback rebuilds
// it from serialized products: what mirvane/formats/mcap/scene_channel.py describes. Each entity is kept
// serialized as a one-entity SceneUpdate; concatenated, they are the update of the whole cell.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cell.hpp"
#include "decode.hpp"
#include "events.hpp"

namespace columns::scene {

using cell::Point3;
using Pose = events::Pose;

// A google.protobuf.Timestamp: seconds, and nanoseconds from 0 to 999,999,999.
struct Time {
  std::int64_t seconds = 0, nanos = 0;
};

// What of a robot's model never changes. `problems` are those its layout has (the joints' aside,
// which its state may bring); with `base_ok` false only the base's is drawn.
struct Robot {
  std::string name;
  bool base_ok = true;
  Point3 base{};
  std::vector<double> links;
  cell::Mount mount;
  std::vector<std::string> problems;
};

// An item's or camera's model: its layout pose, whether the layout can be drawn (`layout_ok`, and
// `shape_ok` for its size or field of view), its layout's problems; an item's size, a camera's
// field of view as seen from itself (`wedge`, three points in its own frame).
struct Fixture {
  std::string name;
  Pose layout;
  bool layout_ok = true, shape_ok = true;
  std::vector<std::string> problems;
  Point3 size{};
  std::vector<std::array<double, 2>> wedge;
};

// A pose of the state, if it holds one (`held`: the state names the thing; `set`: it has a pose).
struct Placed {
  bool held = false, set = false;
  Pose pose;
};

class Drawing {
 public:
  Drawing(std::vector<Robot> robots, std::vector<Fixture> cameras, std::vector<Fixture> items);

  // The state to begin from, before the first update.
  void robot_state(std::size_t k, std::vector<double> joints) {
    joints_[k] = std::move(joints);
    robot_held_[k] = true;
  }
  void camera_state(std::size_t k, const Placed& placed);
  void item_state(std::size_t k, const Placed& placed) { item_state_[k] = placed; }
  void seen(std::string name, const Pose& pose) { seen_[std::move(name)] = pose; }

  // Every entity drawn at `time`: the drawing as it begins.
  void draw_all(Time time);
  // Apply one serialized Product (refused, unchanged, when malformed); `moved` tells whether it moved anything.
  void apply(Reader r);
  bool moved() const { return moved_; }
  // The whole cell's SceneUpdate at `time`, what moved drawn anew; `clear` first deletes all else.
  std::string update(Time time, bool clear);
  // As `update`, appended to `bytes`.
  void update_into(std::string& bytes, Time time, bool clear);

 private:
  void draw_robot(std::size_t k, Time time);
  void draw_camera(std::size_t k, Time time);
  void draw_item(std::size_t k, Time time);
  void perception(const events::Product& p);
  void controller(const events::Product& p);
  template <typename Due>
  void mark(const std::map<std::string, std::size_t>& at, Due& due, const std::string& name);

  std::vector<Robot> robots_;
  std::vector<Fixture> cameras_, items_;
  std::map<std::string, std::size_t> robot_at_, camera_at_, item_at_;
  std::vector<std::vector<double>> joints_;
  std::vector<bool> robot_held_;
  std::vector<Placed> camera_state_, item_state_;
  std::vector<std::optional<Placed>> drawn_cameras_;
  std::map<std::string, Pose> seen_;           // where items no robot holds were last seen
  std::map<std::string, std::string> holding_;  // robot -> the item it holds
  std::vector<std::string> robot_bytes_, camera_bytes_, item_bytes_;
  std::vector<bool> robot_due_, camera_due_, item_due_;
  bool moved_ = false;
  events::Product product_;
};

}  // namespace columns::scene
