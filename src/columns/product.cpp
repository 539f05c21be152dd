// One product's fields the event rules read, off the wire with the decoder's reader.
#include <string>
#include <string_view>
#include <unordered_map>

#include "decode.hpp"
#include "events.hpp"

namespace columns::events {

namespace f = fields;

namespace {

std::string text(Reader& r) {
  const std::size_t at = r.offset();
  const std::string_view bytes = r.bytes();
  if (!utf8(bytes)) throw Refused("the string at byte " + std::to_string(at) + " is not UTF-8");
  return std::string(bytes);
}

void entry(Reader r, std::vector<std::pair<std::string, Pose>>& into) {
  std::string key;
  Pose value;
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Perception_ItemPosesEntry::key, "Perception entry")) key = text(r);
    else if (r.is(t, f::Perception_ItemPosesEntry::value, "Perception entry"))
      value.present |= pose_values(r.sub(), value.v);
    else r.skip(t.wire);
  }
  into.emplace_back(std::move(key), value);
}

// A map's entries a key once: a key seen again keeps its first place and takes the last pose.
void dedupe(std::vector<std::pair<std::string, Pose>>& entries) {
  if (entries.size() <= 16) {   // the common case, no key repeated: no map made
    bool repeated = false;
    for (std::size_t i = 1; i < entries.size() && !repeated; ++i)
      for (std::size_t j = 0; j < i && !repeated; ++j) repeated = entries[i].first == entries[j].first;
    if (!repeated) return;
  }
  std::unordered_map<std::string_view, std::size_t> first;
  std::vector<std::pair<std::string, Pose>> kept;
  for (auto& each : entries) {
    auto [at, added] = first.emplace(each.first, kept.size());
    if (added) kept.push_back(each);
    else kept[at->second].second = each.second;
  }
  if (kept.size() != entries.size()) entries = std::move(kept);
}

void controller(Reader r, Product& p) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Controller::robot, "Controller")) p.robot = text(r);
    else if (r.is(t, f::Controller::grasped_item, "Controller")) p.grasped_item = text(r);
    else if (r.is(t, f::Controller::feedback, "Controller")) feedback_values(r.sub(), p.joints, p.effector);
    else if (r.is(t, f::Controller::grasped_item_pose, "Controller")) pose_values(r.sub(), p.grasped_pose.v);
    else r.skip(t.wire);
  }
}

void decision(Reader r, Product& p) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Decision::behavior, "Decision")) p.behavior = text(r);
    else if (r.is(t, f::Decision::step, "Decision")) p.step = text(r);
    else if (r.is(t, f::Decision::target_item, "Decision")) p.target_item = text(r);
    else r.skip(t.wire);
  }
}

void planner(Reader r, Product& p) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Planner::robot, "Planner")) {
      p.plan_robot = text(r);
    } else if (r.is(t, f::Planner::duration_s, "Planner")) {
      p.duration_s = r.fixed64();
    } else if (r.is(t, f::Planner::waypoints, "Planner")) {
      p.waypoints.emplace_back();
      positions(r.sub(), p.waypoints.back());
    } else {
      r.skip(t.wire);
    }
  }
}

void perception(Reader r, Product& p) {
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Perception::item_poses, "Perception")) entry(r.sub(), p.items);
    else if (r.is(t, f::Perception::camera_poses, "Perception")) entry(r.sub(), p.cameras);
    else r.skip(t.wire);
  }
}

}  // namespace

void Product::read(Reader r) {
  stamp = 0;
  parts = 0;
  robot.clear(), grasped_item.clear(), behavior.clear(), step.clear(), target_item.clear(), plan_robot.clear();
  joints.clear(), effector.clear(), waypoints.clear(), cameras.clear(), items.clear();
  grasped_pose = Pose();
  duration_s = 0;
  while (r.more()) {
    const Tag t = r.tag();
    if (r.is(t, f::Product::timestamp_ns, "Product")) {
      stamp = static_cast<std::int64_t>(r.varint());
    } else if (r.is(t, f::Product::perception, "Product")) {
      parts |= PERCEPTION;
      perception(r.sub(), *this);
    } else if (r.is(t, f::Product::decision, "Product")) {
      parts |= DECISION;
      decision(r.sub(), *this);
    } else if (r.is(t, f::Product::planner, "Product")) {
      parts |= PLANNER;
      planner(r.sub(), *this);
    } else if (r.is(t, f::Product::controller, "Product")) {
      parts |= CONTROLLER;
      controller(r.sub(), *this);
    } else {
      r.skip(t.wire);
    }
  }
  if (cameras.size() > 1) dedupe(cameras);
  if (items.size() > 1) dedupe(items);
}

}  // namespace columns::events
