#include "events.hpp"

#include "decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace columns::events {

const char* const KIND_NAMES[KIND_COUNT] = {
    "step", "grasp", "release", "drop", "missed-grasp", "unseen", "camera-moved", "near-collision", "collision",
    "stall", "plan-overrun", "damaged-value", "time-order"};

namespace {

// Nanoseconds in seconds, as Python divides an int by 1e9 (the int rounded to the nearest double).
double seconds(Stamp ns) { return static_cast<double>(ns) / 1e9; }

// a > b exactly, as Python compares an int with a float.
bool greater(Stamp a, double b) {
  if (std::isnan(b)) return false;
  if (b >= 0x1p126) return false;
  if (b < -0x1p126) return true;
  return a > static_cast<Stamp>(std::floor(b));
}

// As Python's format(value, ".Nf"): no sign on a NaN.
std::string fixed(double value, int digits) {
  if (std::isnan(value)) return "nan";
  char small[64];
  const int n = std::snprintf(small, sizeof small, "%.*f", digits, value);
  if (n < static_cast<int>(sizeof small)) return std::string(small, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), "%.*f", digits, value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

double hypot3(const cell::Point3& a, const cell::Point3& b) {
  const double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
  return cell::hypot(d, 3);
}

bool pose_ok(const Pose& pose) { return cell::usable(pose.v, pose.v + 3); }

// Whether joints turned faster than `still` radians a second since the robot's last report.
bool turning(const std::pair<std::int64_t, std::vector<double>>* last, std::int64_t stamp,
             const std::vector<double>& joints, double still) {
  if (last == nullptr || last->second.size() != joints.size() || stamp <= last->first) return false;
  const double reach = still * seconds(Stamp(stamp) - last->first);
  for (std::size_t i = 0; i < joints.size(); ++i)
    if (std::fabs(joints[i] - last->second[i]) > reach) return true;
  return false;
}

}  // namespace

Engine::Engine(Config config) : items_(std::move(config.items)), limits_(config.limits) {
  for (auto& [name, at] : config.cameras) cameras_.emplace(name, at);
  for (auto& [name, robot] : config.robot_of) robot_of_[name] = robot;
  for (auto& [behavior, table] : config.roles) {
    auto& roles = roles_[behavior];
    for (auto& [step, role] : table) roles[step] = static_cast<Role>(role);
  }
  for (auto& [step, role] : config.default_roles) default_roles_[step] = static_cast<Role>(role);
  robots_.insert(config.robots.begin(), config.robots.end());
  for (auto& model : config.arms) {
    arm_of_[model.name] = arms_.size();
    arms_.push_back(Arm{model.mount, std::move(model.links), std::nullopt, true, {}, {}});
  }
  // Every other arm, with the pair they make (their names in order).
  std::unordered_map<std::string, std::size_t> pair_of;
  for (std::size_t i = 0; i < arms_.size(); ++i)
    for (std::size_t j = 0; j < arms_.size(); ++j) {
      if (i == j) continue;
      const std::string& a = config.arms[i].name;
      const std::string& b = config.arms[j].name;
      Pair pair = a < b ? Pair{a, b} : Pair{b, a};
      const std::string key = pair.a + std::string(1, '\0') + pair.b;
      auto [at, added] = pair_of.emplace(key, pairs_.size());
      if (added) pairs_.push_back(std::move(pair));
      arms_[i].pairs.emplace_back(j, at->second);
    }
}

Role Engine::step_role(const std::string& behavior, const std::string& step) const {
  auto roles = roles_.find(behavior);
  if (roles != roles_.end()) {
    auto role = roles->second.find(step);
    if (role != roles->second.end()) return role->second;
  }
  auto role = default_roles_.find(step);
  return role == default_roles_.end() ? OTHER : role->second;
}

Found Engine::event(Kind kind, std::string subject, std::string text, std::optional<Mark> since,
                    std::optional<Mark> until, const std::string* robot) const {
  const Mark start = since ? *since : now();
  const Mark end = until ? *until : start;
  std::string robots;
  if (robot != nullptr) {
    robots = *robot;
  } else {   // the subject's robots
    for (std::size_t from = 0;;) {
      const std::size_t comma = subject.find(',', from);
      const std::string name = subject.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (robots_.count(name)) robots += (robots.empty() ? "" : ",") + name;
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return Found{kind, std::move(subject), std::move(text), start, end, std::move(robots)};
}

Found Engine::lost(const std::string& robot, const std::string& item, const std::string& step, Mark since) const {
  return event(DROP, item, robot + " lost " + item + " during " + (step.empty() ? "no step" : step), since,
               std::nullopt, &robot);
}

// -- feeding -------------------------------------------------------------------------------

void Engine::feed(Reader r, std::vector<Found>& found) {
  product_.read(r);
  ++position_;
  stamp_ = product_.stamp;
  if (!first_) first_ = stamp_;
  judge_drops(found);
  if (!let_go_.empty()) judge_let_go(found, Stamp(stamp_), "");
  static const std::string PERCEPTION_ = "perception", DECISION_ = "decision", PLANNER_ = "planner",
                           CONTROLLER_ = "controller", NONE = "no part", PRODUCT = "product";
  const auto parts = product_.parts;
  if (parts & PERCEPTION) {
    perception(found);
    order(0, PERCEPTION_, PERCEPTION_, found);
  } else if (parts & DECISION) {
    order(1, DECISION_, decision(found), found);
  } else if (parts & PLANNER) {
    order(2, PLANNER_, planner(found), found);
  } else if (parts & CONTROLLER) {
    order(3, CONTROLLER_, controller(found), found);
  } else {
    order(4, NONE, PRODUCT, found);
  }
  previous_ = stamp_;
}

void Engine::judge_drops(std::vector<Found>& found) {
  if (dropping_.empty()) return;
  for (const std::string& item : dropping_.keys()) {
    if (dropping_.find(item)->first < stamp_) found.push_back(std::move(dropping_.pop(item)->second));
  }
}

void Engine::finish(std::vector<Found>& found) {
  if (!previous_) return;
  const Mark end{*previous_, position_};
  for (const std::string& item : dropping_.keys()) found.push_back(std::move(dropping_.pop(item)->second));
  judge_let_go(found, std::nullopt, "");
  const double skew = static_cast<double>(limits_.skew_ns);
  reports_.each([&](const std::string& robot, Reports& reports) {
    // Sources stop out of step too: a silence at the end is a stall only beyond the skew.
    if (greater(Stamp(end.stamp) - reports.last.stamp, reports.stall_ns + skew)) stall(robot, reports, end, found);
  });
  unseen_.each([&](const std::string& item, Mark& since) { unseen_for(item, since, end, found); });
  close_.each([&](const std::size_t& pair, std::pair<Mark, double>& open) {
    too_close(pair, open.first, open.second, end, found);
  });
  plans_.each([&](const std::string& robot, Plan& plan) { overrun(robot, plan.since, plan.planned, end, found); });
  grasped_.each([&](const std::string& robot, std::pair<Mark, std::string>& missed) {
    found.push_back(event(MISSED_GRASP, robot, missed.second, missed.first));
  });
  reports_.clear(), unseen_.clear(), close_.clear(), plans_.clear(), grasped_.clear();
}

// -- the rules -----------------------------------------------------------------------------

void Engine::order(std::size_t part, const std::string& kind, const std::string& source, std::vector<Found>& found) {
  auto what = [&] { return source == kind ? kind : source + " " + kind; };   // perception is its own source
  auto& stamps = stamps_[part];
  if (previous_ && stamp_ < *previous_) {
    found.push_back(event(TIME_ORDER, source, what() + " stamped " + fixed(seconds(Stamp(*previous_) - stamp_), 6) +
                                                  " s before the product before it"));
  } else if (stamp_ <= latest_) {   // only a stamp seen before repeats one
    auto seen = stamps.find(source);
    if (seen != stamps.end() && seen->second == stamp_) found.push_back(event(TIME_ORDER, source, what() + " stamp repeated"));
  }
  auto at = stamps.find(source);
  if (at == stamps.end()) stamps.emplace(source, stamp_);
  else at->second = stamp_;
  if (stamp_ > latest_) latest_ = stamp_;
}

const std::string& Engine::decision(std::vector<Found>& found) {
  const Product& d = product_;
  auto mapped = robot_of_.find(d.behavior);
  const std::string robot = mapped == robot_of_.end() ? d.behavior : mapped->second;
  auto before = steps_.find(robot);
  if (before != steps_.end() && before->second.role == GRASP_ROLE) {
    auto held = held_.find(robot);
    if (held == held_.end() || held->second.empty()) {
      // Missed unless the robot reports holding something within the skew.
      if (auto* missed = grasped_.find(robot)) found.push_back(event(MISSED_GRASP, robot, missed->second, missed->first));
      const Step& step = before->second;
      grasped_.put(robot, {now(), robot + "'s " + step.step + " of " + (step.target.empty() ? "its item" : step.target) +
                                      " ended holding nothing"});
    }
  }
  const Role role = step_role(d.behavior, d.step);
  if (role == RELEASE_ROLE) {
    releasing_[robot] = std::nullopt;
  } else {
    auto releasing = releasing_.find(robot);
    if (releasing != releasing_.end()) {
      const Stamp until = Stamp(stamp_) + limits_.skew_ns;
      if (!releasing->second || until < *releasing->second) releasing->second = until;
    }
  }
  if (Plan* plan = plans_.find(robot); plan != nullptr && !plan->target) {
    const Plan ended = *plans_.pop(robot);
    overrun(robot, ended.since, ended.planned, now(), found);
  }
  steps_[robot] = Step{d.step, d.target_item, role};
  std::string text = robot + " " + (d.behavior.empty() ? "-" : d.behavior) + ": " + (d.step.empty() ? "-" : d.step);
  if (!d.target_item.empty()) text += " (" + d.target_item + ")";
  found.push_back(event(STEP, robot, std::move(text)));
  return steps_.find(robot)->first;
}

const std::string& Engine::planner(std::vector<Found>& found) {
  const Product& p = product_;
  const std::string& robot = p.plan_robot;
  bool usable = true;
  for (const auto& waypoint : p.waypoints) usable = usable && cell::joints_ok(waypoint.data(), waypoint.size());
  if (!usable) found.push_back(event(DAMAGED_VALUE, robot, "damaged value: " + robot + " planned waypoints"));
  if (Plan* before = plans_.find(robot)) overrun(robot, before->since, before->planned, now(), found);
  Plan plan{now(), p.duration_s, std::nullopt};
  if (usable && !p.waypoints.empty()) plan.target = p.waypoints.back();
  plans_.put(robot, std::move(plan));
  return robot;
}

const std::string& Engine::controller(std::vector<Found>& found) {
  const Product& c = product_;
  const std::string& robot = c.robot;
  const std::string& item = c.grasped_item;
  robots_.insert(robot);
  const std::vector<double>& joints = c.joints;
  // Joints and effector checked at once: apart only when damaged.
  bool joints_ok = cell::joints_ok(joints.data(), joints.size(), c.effector.data(), c.effector.size());
  if (!(joints_ok && (item.empty() || pose_ok(c.grasped_pose)))) {
    joints_ok = cell::joints_ok(joints.data(), joints.size());
    std::string problems;
    const std::pair<const char*, bool> checks[] = {
        {"joints", joints_ok},
        {"effector", cell::joints_ok(c.effector.data(), c.effector.size())},
        {"held pose", item.empty() || pose_ok(c.grasped_pose)}};
    for (const auto& [what, ok] : checks)
      if (!ok) problems += (problems.empty() ? "" : ", ") + robot + " " + what;
    found.push_back(event(DAMAGED_VALUE, robot, "damaged value: " + problems));
  }
  const Mark at = now();
  Reports* reports = reports_.find(robot);
  if (const Plan* plan = plans_.find(robot); plan != nullptr && plan->target)
    arrival(robot, reports ? std::optional<std::int64_t>(reports->last.stamp) : std::nullopt, found);
  std::optional<std::pair<std::int64_t, std::vector<double>>> last;
  if (auto known = joints_.find(robot); known != joints_.end()) last = known->second;
  if (joints_ok) joints_[robot] = {at.stamp, joints};
  if (reports == nullptr) {
    reports_.put(robot, Reports{at, {}, false, INFINITY});
  } else {
    const Stamp silent = Stamp(at.stamp) - reports->last.stamp;
    if (greater(silent, reports->stall_ns)) stall(robot, *reports, at, found);
    if (!reports->period_known) {
      reports->intervals.push_back(silent);
      if (static_cast<std::int64_t>(reports->intervals.size()) >= limits_.period_reports) {
        std::vector<Stamp> sorted = reports->intervals;
        std::sort(sorted.begin(), sorted.end());
        reports->period_known = true;
        reports->stall_ns = limits_.stall_periods * static_cast<double>(sorted[sorted.size() / 2]);
      }
    }
    reports->last = at;
  }
  auto held_at = held_.find(robot);
  const std::string held = held_at == held_.end() ? std::string() : held_at->second;
  if (held != item)
    hand(robot, held, item, joints_ok && turning(last ? &*last : nullptr, at.stamp, joints, limits_.still), found);
  if (auto* grasped = grasped_.find(robot);
      grasped != nullptr && (!item.empty() || Stamp(at.stamp) > Stamp(grasped->first.stamp) + limits_.skew_ns)) {
    auto missed = *grasped_.pop(robot);
    if (item.empty()) found.push_back(event(MISSED_GRASP, robot, missed.second, missed.first));
  }
  if (auto releasing = releasing_.find(robot);
      releasing != releasing_.end() && releasing->second && *releasing->second < at.stamp)
    releasing_.erase(releasing);
  if (auto arm = arm_of_.find(robot); arm != arm_of_.end())
    clearance(arm->second, move(arms_[arm->second], joints_ok ? &joints : nullptr), at, found);
  return robot;
}

void Engine::hand(const std::string& robot, const std::string& held, const std::string& item, bool moving,
                  std::vector<Found>& found) {
  held_[robot] = item;
  if (!held.empty()) {
    resting_.erase(held);
    settling_[held] = Stamp(stamp_) + limits_.settle_ns;
    auto step_at = steps_.find(robot);
    const std::string step = step_at == steps_.end() ? std::string() : step_at->second.step;
    std::optional<cell::Point3> seen;
    if (auto at = seen_held_.find(held); at != seen_held_.end()) seen = at->second, seen_held_.erase(at);
    if (releasing_.count(robot)) {
      found.push_back(event(RELEASE, robot, robot + " released " + held));
    } else if (!moving) {   // put down or dropped: whether it falls tells
      let_go_.put(held, LetGo{now(), robot, step, seen, Stamp(stamp_) + limits_.settle_ns + limits_.skew_ns});
    } else {
      found.push_back(lost(robot, held, step, now()));
    }
  }
  if (!item.empty()) {
    // Seen moving just before this report of the grasp: lifted, not dropped.
    dropping_.pop(item);
    if (let_go_.contains(item)) judge_let_go(found, Stamp(stamp_), item);   // taken again: it had been put down
    found.push_back(event(GRASP, robot, robot + " grasped " + item));
  }
}

double Engine::move(Arm& arm, const std::vector<double>* joints) {
  std::optional<std::vector<double>> before = std::move(arm.joints);
  arm.joints = joints ? std::optional<std::vector<double>>(*joints) : std::nullopt;
  arm.fresh = false;
  arm.points.clear();
  if (!joints || !before || before->size() != joints->size()) return INFINITY;
  return cell::links_moved(arm.links, before->data(), joints->data(), joints->size());
}

const std::vector<cell::Point3>& Engine::points(Arm& arm) {
  if (!arm.fresh) {
    arm.fresh = true;
    if (arm.joints) arm.points = cell::forward_kinematics(arm.mount, arm.links, arm.joints->data(), arm.joints->size()).points;
  }
  return arm.points;
}

void Engine::clearance(std::size_t index, double moved, Mark at, std::vector<Found>& found) {
  const double clearance = limits_.clearance;
  const double within = clearance + limits_.margin;
  for (const auto& [other, pair] : arms_[index].pairs) {
    const auto* open = close_.find(pair);
    const bool closer = open != nullptr;
    const std::pair<Mark, double> was = closer ? *open : std::pair<Mark, double>{};
    // Measured only once they may have come within reach: before, what they were apart less what
    // this arm moved since is as good (it decides alike).
    auto apart = apart_.find(pair);
    double gap = (apart == apart_.end() ? -INFINITY : apart->second) - moved;
    if (!(gap > within + limits_.rounding)) {
      const auto& a = points(arms_[index]);
      const auto& b = points(arms_[other]);
      gap = !a.empty() && !b.empty() ? cell::links_gap(a, b, within, arms_[index].mount.link_width,
                                                       arms_[other].mount.link_width)
                                     : INFINITY;
    }
    apart_[pair] = gap;
    if (gap < clearance) {
      close_.put(pair, closer ? std::pair(was.first, cell::py_min(was.second, gap)) : std::pair(at, gap));
    } else if (closer && gap > within) {
      close_.pop(pair);
      too_close(pair, was.first, was.second, at, found);
    }
  }
}

void Engine::perception(std::vector<Found>& found) {
  const Product& p = product_;
  std::vector<const std::string*> damaged;
  std::vector<std::pair<const std::string*, cell::Point3>> camera_at;
  for (const auto& [name, pose] : p.cameras) {
    if (pose_ok(pose)) camera_at.emplace_back(&name, cell::Point3{pose.v[0], pose.v[1], pose.v[2]});
    else damaged.push_back(&name);
  }
  std::vector<std::optional<cell::Point3>> item_at;   // by p.items' order; none: damaged
  item_at.reserve(p.items.size());
  for (const auto& [name, pose] : p.items) {
    if (pose_ok(pose)) {
      item_at.emplace_back(cell::Point3{pose.v[0], pose.v[1], pose.v[2]});
    } else {
      item_at.emplace_back();
      damaged.push_back(&name);
    }
  }
  std::unordered_map<std::string_view, std::size_t> many;   // only for a perception of many items
  if (p.items.size() > 16)
    for (std::size_t i = 0; i < p.items.size(); ++i) many.emplace(p.items[i].first, i);
  auto perceived = [&](const std::string& name) -> std::optional<std::size_t> {
    if (p.items.size() > 16) {
      auto at = many.find(name);
      return at == many.end() ? std::nullopt : std::optional(at->second);
    }
    for (std::size_t i = 0; i < p.items.size(); ++i)
      if (p.items[i].first == name) return i;
    return std::nullopt;
  };
  auto is_damaged = [&](const std::string& name) {
    return std::any_of(damaged.begin(), damaged.end(), [&](const std::string* each) { return *each == name; });
  };
  if (!damaged.empty()) {
    std::string subject, text = "damaged value: ";
    for (std::size_t i = 0; i < damaged.size(); ++i) {
      subject += (i ? "," : "") + *damaged[i];
      text += (i ? ", " : "") + *damaged[i] + " pose";
    }
    found.push_back(event(DAMAGED_VALUE, std::move(subject), std::move(text)));
  }
  for (const auto& [name, at] : camera_at) {
    auto layout = cameras_.find(*name);
    if (layout == cameras_.end() || is_damaged(*name)) continue;
    auto mount = mounts_.find(*name);
    const double moved = hypot3(at, mount == mounts_.end() ? layout->second : mount->second);
    if (moved > limits_.camera_moved) {
      mounts_[*name] = at;
      const double off = hypot3(at, layout->second);
      found.push_back(event(CAMERA_MOVED, *name, *name + " moved " + fixed(moved * 100, 1) + " cm, now " +
                                                     fixed(off * 100, 1) + " cm from its layout position"));
    }
  }
  auto is_held = [&](const std::string& name) {
    return std::any_of(held_.begin(), held_.end(), [&](const auto& each) { return each.second == name; });
  };
  // A robot overdue may hold what seems to move by itself.
  bool overdue = false;
  reports_.each([&](const std::string&, Reports& r) {
    overdue = overdue || greater(Stamp(stamp_) - r.last.stamp, r.stall_ns);
  });
  for (const std::string& name : items_) {
    const auto index = perceived(name);
    if (!index) {
      if (!unseen_.contains(name)) unseen_.put(name, now());
      continue;
    }
    if (auto since = unseen_.pop(name)) unseen_for(name, *since, now(), found);
    if (is_damaged(name)) continue;
    const cell::Point3 seen = *item_at[*index];
    const bool held = is_held(name);
    if (held) seen_held_[name] = seen;
    if (let_go_.contains(name)) falling(name, seen, found);
    if (held || overdue || let_go_.contains(name)) continue;
    if (auto settling = settling_.find(name); settling != settling_.end() && settling->second > stamp_) continue;
    cell::Point3& rest = resting_.emplace(name, seen).first->second;
    const double moved = hypot3(seen, rest);
    if (moved > limits_.item_moved) {
      rest = seen;
      if (!dropping_.contains(name))
        dropping_.put(name, {Stamp(stamp_) + limits_.skew_ns,
                             event(DROP, name, name + " moved " + fixed(moved * 100, 1) + " cm while nothing held it")});
    }
  }
}

void Engine::arrival(const std::string& robot, std::optional<std::int64_t> previous, std::vector<Found>& found) {
  Plan& plan = *plans_.find(robot);
  const std::vector<double>& target = *plan.target;
  const std::vector<double>* reported[] = {&product_.joints, &product_.effector};
  bool comparable = false, reached = false;
  for (const auto* values : reported) {
    if (values->size() != target.size()) continue;
    comparable = true;
    bool all = true;
    for (std::size_t i = 0; i < target.size() && all; ++i) all = std::fabs((*values)[i] - target[i]) <= limits_.arrival;
    reached = reached || all;
  }
  if (!comparable) {
    // It holds neither: only the robot's next decision can end the motion.
    if (!product_.joints.empty() || !product_.effector.empty()) plan.target.reset();
  } else if (reached) {
    const Plan ended = *plans_.pop(robot);
    overrun(robot, ended.since, ended.planned, now(), found, previous);
  }
}

void Engine::falling(const std::string& item, const cell::Point3& seen, std::vector<Found>& found) {
  LetGo& let_go = *let_go_.find(item);
  if (!let_go.where) {
    let_go.where = seen;
  } else if (cell::dist(seen, *let_go.where) > limits_.item_moved) {
    const LetGo fell = *let_go_.pop(item);
    settling_[item] = Stamp(stamp_) + limits_.settle_ns;   // falling still
    found.push_back(lost(fell.robot, item, fell.step, fell.since));
  }
}

void Engine::judge_let_go(std::vector<Found>& found, std::optional<Stamp> at, const std::string& only) {
  for (const std::string& item : let_go_.keys()) {
    const LetGo& let_go = *let_go_.find(item);
    if ((!at || let_go.until < *at) || item == only) {
      const LetGo done = *let_go_.pop(item);
      found.push_back(event(RELEASE, done.robot, done.robot + " put down " + item, done.since));
    }
  }
}

// -- range events, once they end -----------------------------------------------------------

void Engine::stall(const std::string& robot, const Reports& reports, Mark at, std::vector<Found>& found) {
  const Stamp silent = Stamp(at.stamp) - reports.last.stamp;
  if (greater(silent, reports.stall_ns))
    found.push_back(event(STALL, robot, robot + "'s controller silent for " + fixed(seconds(silent), 2) + " s",
                          reports.last, at));
}

void Engine::unseen_for(const std::string& item, Mark since, Mark at, std::vector<Found>& found) {
  const double unseen = seconds(Stamp(at.stamp) - since.stamp);
  if (unseen > limits_.unseen_s)
    found.push_back(event(UNSEEN, item, item + " unseen for " + fixed(unseen, 2) + " s", since, at));
}

void Engine::too_close(std::size_t index, Mark since, double gap, Mark at, std::vector<Found>& found) {
  const Pair& pair = pairs_[index];
  const bool touched = gap <= 0.0;
  std::string text = pair.a + " and " + pair.b +
                     (touched ? " touched" : " came within " + fixed(gap * 100, 1) + " cm of each other");
  found.push_back(event(touched ? COLLISION : NEAR_COLLISION, pair.a + "," + pair.b, std::move(text), since, at));
}

void Engine::overrun(const std::string& robot, Mark since, double planned, Mark at, std::vector<Found>& found,
                     std::optional<std::int64_t> earliest) {
  const double took = seconds(Stamp(at.stamp) - since.stamp);
  const double least = earliest ? seconds(Stamp(std::max(*earliest, since.stamp)) - since.stamp) : took;
  if (least > cell::py_max(limits_.overrun_factor * planned, planned + limits_.overrun_slack))
    found.push_back(event(PLAN_OVERRUN, robot,
                          robot + "'s motion took " + fixed(took, 2) + " s, planned " + fixed(planned, 2) + " s",
                          since, at));
}

}  // namespace columns::events
