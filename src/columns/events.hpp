// The event rules: a record's products in, one by one, the events each completes out. The rules
// are those mirvane/analysis/events.py describes; the Python Detector wraps this engine.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cell.hpp"
#include "ordered.hpp"
#include "wire.hpp"

namespace columns::events {

using Stamp = __int128;   // stamps and their sums and differences: no int64 overflow on hostile stamps

enum Kind : int {
  STEP, GRASP, RELEASE, DROP, MISSED_GRASP, UNSEEN, CAMERA_MOVED, NEAR_COLLISION, COLLISION, STALL,
  PLAN_OVERRUN, DAMAGED_VALUE, TIME_ORDER, KIND_COUNT
};
extern const char* const KIND_NAMES[KIND_COUNT];

enum Role : int { OTHER = 0, GRASP_ROLE = 1, RELEASE_ROLE = 2 };

// Where something began: a product's stamp and position.
struct Mark {
  std::int64_t stamp = 0;
  std::int64_t position = 0;
};

struct Found {
  Kind kind;
  std::string subject, text;
  Mark start, end;
  std::string robot;
};

// What the project tells, as plain data (the Python side works it out of the project).
struct Thresholds {
  double clearance, margin, unseen_s, item_moved, camera_moved, stall_periods, overrun_factor, overrun_slack,
      arrival, still, rounding;
  std::int64_t skew_ns, settle_ns, period_reports;
};

struct ArmModel {
  std::string name;
  cell::Mount mount;
  std::vector<double> links;
};

struct Config {
  std::vector<std::string> items;
  std::vector<std::pair<std::string, cell::Point3>> cameras;
  std::vector<std::pair<std::string, std::string>> robot_of;
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, int>>>> roles;
  std::vector<std::pair<std::string, int>> default_roles;
  std::vector<std::string> robots;
  std::vector<ArmModel> arms;
  Thresholds limits;
};

// One product's fields the rules read (repeated occurrences merged, as protobuf merges them).
struct Pose {
  double v[7] = {0, 0, 0, 0, 0, 0, 0};   // position x, y, z, orientation w, x, y, z
  std::uint8_t present = 0;              // PoseSet bits
};

struct Product {
  std::int64_t stamp = 0;
  std::uint8_t parts = 0;
  std::string robot, grasped_item;
  std::vector<double> joints, effector;
  Pose grasped_pose;
  std::string behavior, step, target_item;
  std::string plan_robot;
  std::vector<std::vector<double>> waypoints;
  double duration_s = 0;
  std::vector<std::pair<std::string, Pose>> cameras, items;   // the wire's order, a key once

  void read(Reader r);   // refused (Refused) when malformed
};

class Engine {
 public:
  explicit Engine(Config config);

  // The events the next product completes; the engine is unchanged when its bytes are refused.
  void feed(Reader r, std::vector<Found>& found);
  void finish(std::vector<Found>& found);
  std::optional<std::int64_t> first_ns() const { return first_; }

 private:
  struct Reports {
    Mark last;
    std::vector<Stamp> intervals;
    bool period_known = false;
    double stall_ns = INFINITY;
  };
  struct Arm {
    cell::Mount mount;
    std::vector<double> links;
    std::optional<std::vector<double>> joints;
    bool fresh = true;                  // its points as they are (none before its first report)
    std::vector<cell::Point3> points;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;   // (other arm, pair index)
  };
  struct Pair {
    std::string a, b;
  };
  struct Plan {
    Mark since;
    double planned;
    std::optional<std::vector<double>> target;
  };
  struct LetGo {
    Mark since;
    std::string robot, step;
    std::optional<cell::Point3> where;
    Stamp until;
  };
  struct Step {
    std::string step, target;
    Role role;
  };

  const std::string& controller(std::vector<Found>& found);
  const std::string& decision(std::vector<Found>& found);
  const std::string& planner(std::vector<Found>& found);
  void perception(std::vector<Found>& found);
  void order(std::size_t part, const std::string& kind, const std::string& source, std::vector<Found>& found);
  void judge_drops(std::vector<Found>& found);
  void judge_let_go(std::vector<Found>& found, std::optional<Stamp> now, const std::string& only);
  void hand(const std::string& robot, const std::string& held, const std::string& item, bool moving,
            std::vector<Found>& found);
  void arrival(const std::string& robot, std::optional<std::int64_t> previous, std::vector<Found>& found);
  void falling(const std::string& item, const cell::Point3& seen, std::vector<Found>& found);
  double move(Arm& arm, const std::vector<double>* joints);
  const std::vector<cell::Point3>& points(Arm& arm);
  void clearance(std::size_t arm, double moved, Mark now, std::vector<Found>& found);
  void stall(const std::string& robot, const Reports& reports, Mark now, std::vector<Found>& found);
  void unseen_for(const std::string& item, Mark since, Mark now, std::vector<Found>& found);
  void too_close(std::size_t pair, Mark since, double gap, Mark now, std::vector<Found>& found);
  void overrun(const std::string& robot, Mark since, double planned, Mark now, std::vector<Found>& found,
               std::optional<std::int64_t> earliest = std::nullopt);
  Found lost(const std::string& robot, const std::string& item, const std::string& step, Mark since) const;
  Found event(Kind kind, std::string subject, std::string text, std::optional<Mark> since = std::nullopt,
              std::optional<Mark> until = std::nullopt, const std::string* robot = nullptr) const;
  Mark now() const { return {stamp_, position_}; }
  Role step_role(const std::string& behavior, const std::string& step) const;

  // The project's.
  std::vector<std::string> items_;
  std::unordered_map<std::string, cell::Point3> cameras_;
  std::unordered_map<std::string, std::string> robot_of_;
  std::unordered_map<std::string, std::unordered_map<std::string, Role>> roles_;
  std::unordered_map<std::string, Role> default_roles_;
  std::unordered_set<std::string> robots_;
  std::vector<Arm> arms_;
  std::unordered_map<std::string, std::size_t> arm_of_;
  std::vector<Pair> pairs_;
  Thresholds limits_;

  // The record's so far.
  Product product_;
  std::int64_t position_ = -1, stamp_ = 0, latest_ = INT64_MIN;
  std::optional<std::int64_t> first_, previous_;
  std::array<std::unordered_map<std::string, std::int64_t>, 5> stamps_;   // by part, then source
  std::unordered_map<std::string, Step> steps_;
  std::unordered_map<std::string, std::string> held_;
  std::unordered_map<std::string, std::optional<Stamp>> releasing_;   // none: while the step goes on
  Ordered<std::string, std::pair<Stamp, Found>> dropping_;
  Ordered<std::string, std::pair<Mark, std::string>> grasped_;
  Ordered<std::string, Plan> plans_;
  std::unordered_map<std::string, std::pair<std::int64_t, std::vector<double>>> joints_;
  std::unordered_map<std::string, cell::Point3> seen_held_;
  Ordered<std::string, LetGo> let_go_;
  Ordered<std::string, Reports> reports_;
  Ordered<std::size_t, std::pair<Mark, double>> close_;
  std::unordered_map<std::size_t, double> apart_;
  Ordered<std::string, Mark> unseen_;
  std::unordered_map<std::string, cell::Point3> resting_;
  std::unordered_map<std::string, Stamp> settling_;
  std::unordered_map<std::string, cell::Point3> mounts_;
};

}  // namespace columns::events
