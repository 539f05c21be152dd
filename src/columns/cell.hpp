// The cell's geometry, as the scene model and the event rules both use it: each function is the
// arithmetic of its namesake in mirvane/scene.py and mirvane/geometry.py, operation for operation,
// so that a distance here is the same double there (thresholds are compared on them).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace columns::cell {

using Point3 = std::array<double, 3>;

// Metres (and radians) beyond which a value is taken for damage.
constexpr double FAR = 1.0e4;

// The Euclidean norm, correctly rounded (as math.hypot and math.dist are from Python 3.12), not libm's hypot.
double hypot(const double* values, std::size_t n);
double dist(const Point3& p, const Point3& q);

// Python's min and max over floats: the first of equals, NaN kept where Python keeps it.
inline double py_max(double a, double b) { return b > a ? b : a; }
inline double py_min(double a, double b) { return b < a ? b : a; }

// All numbers within reach (none is fine), of `a` then `b` as one list.
bool joints_ok(const double* a, std::size_t na, const double* b = nullptr, std::size_t nb = 0);

// A pose's position if usable (within reach, a finite heading); `q` is w, x, y, z.
bool usable(const double* p, const double* q);

struct Mount {
  double x = 0, y = 0, z = 0, roll = 0, pitch = 0, yaw = 0, arm_height = 0, link_width = 0;
};

struct Arm {
  std::vector<Point3> points;
  double heading = 0;
};

Arm forward_kinematics(const Mount& mount, const std::vector<double>& links, const double* joints, std::size_t n);

// What holds an arm on `mount` up, from its foot to its first joint `first`: from the floor through the
// mount for one standing on a raised mount (a pedestal), from the mount for one on the floor or hung.
std::vector<Point3> stand(const Mount& mount, const Point3& first);

double links_moved(const std::vector<double>& links, const double* before, const double* after, std::size_t n);

double segments_apart(const Point3& p, const Point3& q, const Point3& r, const Point3& s);

// Surface to surface; exact up to `within` (non-empty point lists).
double links_gap(const std::vector<Point3>& a, const std::vector<Point3>& b, double within, double width_a,
                 double width_b);

}  // namespace columns::cell
