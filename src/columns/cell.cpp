#include "cell.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

namespace columns::cell {

namespace {

// A double and the rounding error it leaves: x * y and a + b (|a| >= |b|) worked out without loss.
struct DoubleLength {
  double hi, lo;
};

DoubleLength exact_product(double x, double y) {
  const double hi = x * y;
  return {hi, std::fma(x, y, -hi)};
}

DoubleLength exact_sum(double a, double b) {
  const double hi = a + b;
  return {hi, b - (hi - a)};
}

// The Euclidean norm, correctly rounded but for rare ties: each value scaled by a power of two
// (losslessly) below 1, the squares and their sum kept with their rounding errors, and the square
// root corrected by one differential step (as CPython 3.12's math.hypot and math.dist work it out),
// so that a distance compared with a threshold is the true one on every interpreter.
double vector_norm(std::size_t n, double* vec, double max, bool found_nan) {
  if (std::isinf(max)) return max;
  if (found_nan) return NAN;
  if (max == 0.0 || n <= 1) return max;
  int max_e = 0;
  std::frexp(max, &max_e);
  if (max_e < -1023) {   // subnormal: scaled up to normal first, as ldexp(1, -max_e) would overflow
    for (std::size_t i = 0; i < n; ++i) vec[i] /= DBL_MIN;
    return DBL_MIN * vector_norm(n, vec, max / DBL_MIN, found_nan);
  }
  const double scale = std::ldexp(1.0, -max_e);
  double csum = 1.0, frac1 = 0.0, frac2 = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = vec[i] * scale;
    const DoubleLength square = exact_product(x, x);
    const DoubleLength sum = exact_sum(csum, square.hi);
    csum = sum.hi;
    frac1 += square.lo;
    frac2 += sum.lo;
  }
  double h = std::sqrt(csum - 1.0 + (frac1 + frac2));
  const DoubleLength square = exact_product(-h, h);
  const DoubleLength sum = exact_sum(csum, square.hi);
  frac1 += square.lo;
  frac2 += sum.lo;
  const double x = sum.hi - 1.0 + (frac1 + frac2);
  h += x / (2.0 * h);
  return h / scale;
}

double norm_of(double* values, std::size_t n) {
  double max = 0.0;
  bool found_nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = std::fabs(values[i]);
    found_nan |= std::isnan(values[i]);
    if (values[i] > max) max = values[i];
  }
  return vector_norm(n, values, max, found_nan);
}

// math.cos and math.sin: an infinite angle is a domain error, as Python raises it.
double cos_of(double angle) {
  if (std::isinf(angle)) throw std::domain_error("math domain error");
  return std::cos(angle);
}

double sin_of(double angle) {
  if (std::isinf(angle)) throw std::domain_error("math domain error");
  return std::sin(angle);
}

Point3 minus(const Point3& a, const Point3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Point3& a, const Point3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double clamp(double t) { return py_min(py_max(t, 0.0), 1.0); }

// The planar arm from (x, y) facing yaw: its joints' points; `heading` its effector's.
std::vector<std::array<double, 2>> arm_points(double x, double y, double yaw, const std::vector<double>& links,
                                              const double* joints, std::size_t n, double& heading) {
  std::vector<std::array<double, 2>> points{{x, y}};
  points.reserve(links.size() + 1);
  heading = yaw;
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (i < n) heading += joints[i];
    x += links[i] * cos_of(heading);
    y += links[i] * sin_of(heading);
    points.push_back({x, y});
  }
  return points;
}

}  // namespace

double hypot(const double* values, std::size_t n) {
  double copy[8];
  std::vector<double> many;
  double* at = copy;
  if (n > 8) {
    many.assign(values, values + n);
    at = many.data();
  } else {
    std::copy(values, values + n, copy);
  }
  return norm_of(at, n);
}

double dist(const Point3& p, const Point3& q) {
  double d[3] = {p[0] - q[0], p[1] - q[1], p[2] - q[2]};
  return norm_of(d, 3);
}

bool joints_ok(const double* a, std::size_t na, const double* b, std::size_t nb) {
  if (na + nb == 0) return true;
  double total = 0.0;   // not a number if any is; then min and max would not tell
  for (std::size_t i = 0; i < na; ++i) total += a[i];
  for (std::size_t i = 0; i < nb; ++i) total += b[i];
  if (total != total) return false;
  for (std::size_t i = 0; i < na; ++i)
    if (a[i] < -FAR || a[i] > FAR) return false;
  for (std::size_t i = 0; i < nb; ++i)
    if (b[i] < -FAR || b[i] > FAR) return false;
  return true;
}

bool usable(const double* p, const double* q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  const double yaw = std::atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z));
  return std::fabs(p[0]) <= FAR && std::fabs(p[1]) <= FAR && std::fabs(p[2]) <= FAR && std::isfinite(yaw);
}

Arm forward_kinematics(const Mount& m, const std::vector<double>& links, const double* joints, std::size_t n) {
  Arm arm;
  if (m.roll == 0.0 && m.pitch == 0.0) {   // standing level
    const auto floor = arm_points(m.x, m.y, m.yaw, links, joints, n, arm.heading);
    const double z = m.z + m.arm_height;
    for (const auto& p : floor) arm.points.push_back({p[0], p[1], z});
    return arm;
  }
  double turned;
  const auto plane = arm_points(0.0, 0.0, 0.0, links, joints, n, turned);
  const double cr = cos_of(m.roll), sr = sin_of(m.roll), cp = cos_of(m.pitch), sp = sin_of(m.pitch);
  const double cy = cos_of(m.yaw), sy = sin_of(m.yaw);
  const Point3 ax{cy * cp, sy * cp, -sp};
  const Point3 ay{cy * sp * sr - sy * cr, sy * sp * sr + cy * cr, cp * sr};
  const Point3 up{cy * sp * cr + sy * sr, sy * sp * cr - cy * sr, cp * cr};
  const double h = m.arm_height;
  const Point3 origin{m.x + up[0] * h, m.y + up[1] * h, m.z + up[2] * h};
  for (const auto& [u, v] : plane)
    arm.points.push_back({origin[0] + ax[0] * u + ay[0] * v, origin[1] + ax[1] * u + ay[1] * v,
                          origin[2] + ax[2] * u + ay[2] * v});
  if (std::fabs(sin_of(m.pitch)) < 1e-9 && std::fabs(sin_of(m.roll)) < 1e-9) {   // hung level
    arm.heading = m.yaw + std::copysign(turned, up[2]);
  } else {
    const Point3& a = arm.points[arm.points.size() - 2];
    const Point3& b = arm.points.back();
    arm.heading = std::atan2(b[1] - a[1], b[0] - a[0]);
  }
  return arm;
}

std::vector<Point3> stand(const Mount& mount, const Point3& first) {
  const Point3 foot{mount.x, mount.y, mount.z};
  if (mount.z > 0.0 && first[2] > mount.z) return {Point3{mount.x, mount.y, 0.0}, foot, first};
  return {foot, first};
}

double links_moved(const std::vector<double>& links, const double* before, const double* after, std::size_t n) {
  double moved = 0.0, reach = 0.0;
  for (double length : links) reach += length;
  for (std::size_t i = 0; i < std::min(n, links.size()); ++i) {
    moved += std::fabs(after[i] - before[i]) * reach;
    reach -= links[i];
  }
  return moved;
}

double segments_apart(const Point3& p, const Point3& q, const Point3& r, const Point3& s) {
  const Point3 d1 = minus(q, p), d2 = minus(s, r), w = minus(p, r);
  const double a = dot(d1, d1), e = dot(d2, d2), f = dot(d2, w);
  if (a == 0.0 && e == 0.0) return dist(p, r);
  double t, u;
  if (a == 0.0) {
    t = 0.0, u = clamp(f / e);
  } else {
    const double c = dot(d1, w);
    if (e == 0.0) {
      t = clamp(-c / a), u = 0.0;
    } else {
      const double b = dot(d1, d2);
      const double denominator = a * e - b * b;   // 0 when parallel: any t will do
      t = denominator > 0.0 ? clamp((b * f - c * e) / denominator) : 0.0;
      u = (b * t + f) / e;
      if (u < 0.0) {
        t = clamp(-c / a), u = 0.0;
      } else if (u > 1.0) {
        t = clamp((b - c) / a), u = 1.0;
      }
    }
  }
  const Point3 x{p[0] + d1[0] * t, p[1] + d1[1] * t, p[2] + d1[2] * t};
  const Point3 y{r[0] + d2[0] * u, r[1] + d2[1] * u, r[2] + d2[2] * u};
  return dist(x, y);
}

double links_gap(const std::vector<Point3>& a, const std::vector<Point3>& b, double within, double width_a,
                 double width_b) {
  const double thick = (width_a + width_b) / 2.0;
  double d[3];
  for (int k = 0; k < 3; ++k) {
    double amin = a[0][k], amax = a[0][k], bmin = b[0][k], bmax = b[0][k];
    for (const auto& p : a) amin = py_min(amin, p[k]), amax = py_max(amax, p[k]);
    for (const auto& p : b) bmin = py_min(bmin, p[k]), bmax = py_max(bmax, p[k]);
    d[k] = py_max(py_max(amin - bmax, bmin - amax), 0.0);
  }
  const double bound = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) - thick;
  if (bound > within) return bound;
  double least = INFINITY;
  bool first = true;
  for (std::size_t i = 0; i + 1 < a.size(); ++i)
    for (std::size_t j = 0; j + 1 < b.size(); ++j) {
      const double gap = segments_apart(a[i], a[i + 1], b[j], b[j + 1]);
      if (first || gap < least) least = gap, first = false;
    }
  if (first) throw std::invalid_argument("links_gap needs arms of a link or more");
  return least - thick;
}

}  // namespace columns::cell
