// Every joint kind in one place (internal).
//
// A kind is a struct of static functions. `axis` is the joint's unit axis
// (UnitAxis: Model::unit_axes with Model::axis_index; kinds without an axis
// ignore it); q points at the joint's slice of a configuration and x, v at its
// slice of a velocity-type vector. Callers have checked the vector lengths.
//
//   transform(axis, q)        X_J(q), the placement of the moving frame in the
//                             fixed frame: an IdentityPlacement, PureRotation,
//                             PureTranslation or SE3 (compose() takes each)
//   motion(axis, x)           S x: the joint's motion for its slice x of a
//                             velocity or an acceleration
//   project(axis, F, out)     out = S^T F: the generalized forces of F
//   column(axis, k)           column k of S: a Motion, or an AngularMotion /
//                             LinearMotion when one half is zero
//   neutral(q)                the reference configuration
//   integrate(q, v, out)      the configuration reached from q by v in unit time
//   check_slices(...)         integrate's check of the joint's slices
//
// The printed name, the URDF / Python name, nq and nv of each kind are in the
// public table of trelvar/joint.hpp. Adding a kind: a JointType value and its
// table entry there, a struct here and its case in visit_kind.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>

#include "spatial/articulated_inertia.hpp"
#include "spatial/motion.hpp"
#include "spatial/rotation.hpp"
#include "trelvar/error.hpp"
#include "trelvar/joint.hpp"
#include "trelvar/model.hpp"

namespace trelvar::detail {

// ---------------------------------------------------------------------------
// Subspace columns.

// The unit vector of an axis column.
inline const Vec3& unit_vector(const UnitAxis& a) {
  return a.u;
}
inline const Vec3& unit_vector(const Vec3& u) {
  return u;
}

// The motion of a subspace column with all six components.
template <class A>
inline Motion<> dense(const AngularMotion<A>& m) {
  return {unit_vector(m.w), Vec3::Zero()};
}
template <class A>
inline Motion<> dense(const LinearMotion<A>& m) {
  return {Vec3::Zero(), unit_vector(m.v)};
}
inline const Motion<>& dense(const Motion<>& m) {
  return m;
}

// The axis divided by its Euclidean norm (a zero axis gives non-finite values).
inline Vec3 unit_axis(const Vec3& a) {
  const double n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  return Vec3(a[0] / n, a[1] / n, a[2] / n);
}

// The unit axis of a joint record whose kind reads one, zero otherwise. Models
// keep it per joint (Model::unit_axes, with Model::axis_index).
inline Vec3 joint_unit_axis(const Joint& joint) {
  const JointKindInfo* info = joint_kind_info(joint.joint_type);
  return info != nullptr && info->reads_axis ? unit_axis(joint.axis) : Vec3::Zero();
}

// Rotation by the quaternion increment of an angular rate (the stored
// quaternion q normalised first, then one Newton step towards unit length);
// used by Floating and Spherical.
void integrate_quaternion(const double* q, const Vec3& w, double* out);

// ---------------------------------------------------------------------------
// The kinds.

// What every kind shares: integrate's slice check for kinds without a check
// of their own.
struct KindBase {
  static void check_slices(const Model& model, std::size_t, std::size_t f, std::size_t e,
                           std::size_t nq, std::size_t nv, std::size_t qlen, std::size_t vlen) {
    // Only reachable for a model whose slices do not add up to nq / nv.
    if (f + nq > qlen || e + nv > vlen) throw Error(configuration_size_message(model.nq, qlen));
  }
};

struct FixedKind : KindBase {
  static constexpr JointType type = JointType::Fixed;
  static IdentityPlacement transform(const UnitAxis&, const double*) { return {}; }
  static Motion<> motion(const UnitAxis&, const double*) { return zero_motion(); }
  static void project(const UnitAxis&, const Force<>&, double*) {}
  static Motion<> column(const UnitAxis&, std::size_t) { return zero_motion(); }
  static void neutral(double*) {}
  static void integrate(const double*, const double*, double*) {}
};

// Revolute and Continuous: a rotation about the unit axis u. S = (u, 0).
struct RotationAboutAxis : KindBase {
  // The identity at an angle of exactly zero (before u is read).
  static PureRotation rotation(const UnitAxis& axis, double angle) {
    if (angle == 0.0) return {Mat3::Identity()};
    return {rotation_from_unit_axis_angle(axis.u, angle)};
  }
  static Motion<> motion(const UnitAxis& axis, const double* x) {
    return {x[0] * axis.u, Vec3::Zero()};
  }
  static void project(const UnitAxis& axis, const Force<>& f, double* out) {
    const Vec3& u = axis.u;
    out[0] = u[0] * f.n[0] + u[1] * f.n[1] + u[2] * f.n[2];
  }
  static AngularMotion<UnitAxis> column(const UnitAxis& axis, std::size_t) { return {axis}; }
  // S x when u is +-e_K.
  template <int K>
  static AxisMotion<K> motion_about(const UnitAxis& axis, const double* x) {
    return {x[0] * axis.u[K]};
  }
};

struct Revolute : RotationAboutAxis {
  static constexpr JointType type = JointType::Revolute;
  static double angle(const double* q) { return q[0]; }
  static PureRotation transform(const UnitAxis& axis, const double* q) {
    return rotation(axis, angle(q));
  }
  static void neutral(double* q) { q[0] = 0.0; }
  static void integrate(const double* q, const double* v, double* out) { out[0] = q[0] + v[0]; }
};

// q = (cos, sin) of the angle, taken as atan2(sin, cos).
struct Continuous : RotationAboutAxis {
  static constexpr JointType type = JointType::Continuous;
  static double angle(const double* q) { return std::atan2(q[1], q[0]); }
  static PureRotation transform(const UnitAxis& axis, const double* q) {
    return rotation(axis, angle(q));
  }
  static void neutral(double* q) {
    q[0] = 1.0;
    q[1] = 0.0;
  }
  // The stored pair turned by v[0] (not renormalised).
  static void integrate(const double* q, const double* v, double* out) {
    const double c = q[0], s = q[1], d = v[0];
    out[0] = c * std::cos(d) - s * std::sin(d);
    out[1] = c * std::sin(d) + s * std::cos(d);
  }
};

// A translation along the unit axis u. S = (0, u).
struct Prismatic : KindBase {
  static constexpr JointType type = JointType::Prismatic;
  static PureTranslation transform(const UnitAxis& axis, const double* q) {
    return {q[0] * axis.u};
  }
  static Motion<> motion(const UnitAxis& axis, const double* x) {
    return {Vec3::Zero(), x[0] * axis.u};
  }
  static void project(const UnitAxis& axis, const Force<>& f, double* out) {
    const Vec3& u = axis.u;
    out[0] = u[0] * f.f[0] + u[1] * f.f[1] + u[2] * f.f[2];
  }
  static LinearMotion<UnitAxis> column(const UnitAxis& axis, std::size_t) { return {axis}; }
  static void neutral(double* q) { q[0] = 0.0; }
  static void integrate(const double* q, const double* v, double* out) { out[0] = q[0] + v[0]; }
};

// Motion in the x-y plane of the joint frame: q = (x, y, cos, sin) with the
// pair taken as stored, v = (vx, vy, wz). S = (e_z, 0), (0, e_x), (0, e_y)
// for v's order (vx, vy, wz).
struct Planar : KindBase {
  static constexpr JointType type = JointType::Planar;
  static SE3 transform(const UnitAxis&, const double* q) {
    SE3 t;
    const double c = q[2], s = q[3];
    t.rotation << c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0;
    t.translation = Vec3(q[0], q[1], 0.0);
    return t;
  }
  static Motion<> motion(const UnitAxis&, const double* x) {
    return {Vec3(0.0, 0.0, x[2]), Vec3(x[0], x[1], 0.0)};
  }
  static void project(const UnitAxis&, const Force<>& f, double* out) {
    out[0] = f.f[0];
    out[1] = f.f[1];
    out[2] = f.n[2];
  }
  static Motion<> column(const UnitAxis&, std::size_t k) {
    Motion<> s = zero_motion();
    if (k == 2) {
      s.w[2] = 1.0;
    } else {
      s.v[static_cast<Eigen::Index>(k)] = 1.0;
    }
    return s;
  }
  static void neutral(double* q) {
    q[0] = 0.0;
    q[1] = 0.0;
    q[2] = 1.0;
    q[3] = 0.0;
  }
  // The displacement over the arc of angle w, in the joint's moving axes,
  // turned by the stored angle; the pair turned by w (not renormalised).
  static void integrate(const double* q, const double* v, double* out) {
    const double x = q[0], y = q[1], c = q[2], s = q[3];
    const double vx = v[0], vy = v[1], w = v[2];
    double dx = vx, dy = vy;
    if (std::abs(w) > 1e-14) {
      dx = (std::sin(w) * vx - (1.0 - std::cos(w)) * vy) / w;
      dy = ((1.0 - std::cos(w)) * vx + std::sin(w) * vy) / w;
    }
    out[0] = x + c * dx - s * dy;
    out[1] = y + s * dx + c * dy;
    out[2] = c * std::cos(w) - s * std::sin(w);
    out[3] = s * std::cos(w) + c * std::sin(w);
  }
  static void check_slices(const Model& model, std::size_t i, std::size_t f, std::size_t e,
                           std::size_t, std::size_t, std::size_t qlen, std::size_t vlen);
};

// q = (position, quaternion x y z w), v = (linear, angular) rates in the
// moving axes. S = 1 for v's order (linear first).
struct Floating : KindBase {
  static constexpr JointType type = JointType::Floating;
  static SE3 transform(const UnitAxis&, const double* q) {
    return SE3(rotation_from_quaternion(q[3], q[4], q[5], q[6]), Vec3(q[0], q[1], q[2]));
  }
  static Motion<> motion(const UnitAxis&, const double* x) {
    return {Vec3(x[3], x[4], x[5]), Vec3(x[0], x[1], x[2])};
  }
  static void project(const UnitAxis&, const Force<>& f, double* out) {
    for (int k = 0; k < 3; ++k) {
      out[k] = f.f[k];
      out[3 + k] = f.n[k];
    }
  }
  static Motion<> column(const UnitAxis&, std::size_t k) {
    Motion<> s = zero_motion();
    if (k < 3) {
      s.v[static_cast<Eigen::Index>(k)] = 1.0;
    } else {
      s.w[static_cast<Eigen::Index>(k - 3)] = 1.0;
    }
    return s;
  }
  static void neutral(double* q) {
    for (int k = 0; k < 6; ++k) q[k] = 0.0;
    q[6] = 1.0;
  }
  static void integrate(const double* q, const double* v, double* out);
};

// q = quaternion (x, y, z, w), v = angular rates in the moving axes. S = (1, 0).
struct Spherical : KindBase {
  static constexpr JointType type = JointType::Spherical;
  static PureRotation transform(const UnitAxis&, const double* q) {
    return {rotation_from_quaternion(q[0], q[1], q[2], q[3])};
  }
  static Motion<> motion(const UnitAxis&, const double* x) {
    return {Vec3(x[0], x[1], x[2]), Vec3::Zero()};
  }
  static void project(const UnitAxis&, const Force<>& f, double* out) {
    for (int k = 0; k < 3; ++k) out[k] = f.n[k];
  }
  static Motion<> column(const UnitAxis&, std::size_t k) {
    Motion<> s = zero_motion();
    s.w[static_cast<Eigen::Index>(k)] = 1.0;
    return s;
  }
  static void neutral(double* q) {
    for (int k = 0; k < 3; ++k) q[k] = 0.0;
    q[3] = 1.0;
  }
  static void integrate(const double* q, const double* v, double* out) {
    integrate_quaternion(q, Vec3(v[0], v[1], v[2]), out);
  }
};

// Calls f(Kind{}) for the kind of `type`.
template <class F>
inline decltype(auto) visit_kind(JointType type, F&& f) {
  switch (type) {
    case JointType::Revolute:
      return f(Revolute{});
    case JointType::Continuous:
      return f(Continuous{});
    case JointType::Prismatic:
      return f(Prismatic{});
    case JointType::Planar:
      return f(Planar{});
    case JointType::Floating:
      return f(Floating{});
    case JointType::Spherical:
      return f(Spherical{});
    case JointType::Fixed:
      break;
  }
  return f(FixedKind{});
}

// Revolute and Continuous, the kinds that turn about their axis.
inline bool rotates_about_axis(JointType type) {
  return type == JointType::Revolute || type == JointType::Continuous;
}
// Their joint angle.
inline double rotation_angle(JointType type, const double* q) {
  return type == JointType::Revolute ? Revolute::angle(q) : Continuous::angle(q);
}

// ---------------------------------------------------------------------------
// The kind's operations for a runtime JointType.

// The unit axis of joint i of the model.
inline UnitAxis joint_axis(const Model& model, std::size_t i) {
  return {model.unit_axes[i], model.axis_index[i]};
}

inline SE3 joint_transform(JointType type, const UnitAxis& axis, const double* q) {
  return visit_kind(type, [&](auto kind) { return to_se3(kind.transform(axis, q)); });
}

// fixed X_J(q): the joint's placement in its parent.
inline SE3 joint_placement(JointType type, const SE3& fixed, const UnitAxis& axis,
                           const double* q) {
  return visit_kind(type, [&](auto kind) { return compose(fixed, kind.transform(axis, q)); });
}

// S x.
inline Motion<> joint_motion(JointType type, const UnitAxis& axis, const double* x) {
  return visit_kind(type, [&](auto kind) { return kind.motion(axis, x); });
}

// out = S^T F.
inline void project_force(JointType type, const UnitAxis& axis, const Force<>& f, double* out) {
  visit_kind(type, [&](auto kind) { kind.project(axis, f, out); });
}

// Column k of S with all six components.
inline Motion<> subspace_column(JointType type, const UnitAxis& axis, std::size_t k) {
  return visit_kind(type, [&](auto kind) { return dense(kind.column(axis, k)); });
}

// X S_k: column k of S expressed through the placement X.
template <class X>
inline Motion<> act_on_column(const X& x, JointType type, const UnitAxis& axis, std::size_t k) {
  return visit_kind(type, [&](auto kind) { return act(x, kind.column(axis, k)); });
}

// U = Ia S, one force column per joint coordinate.
template <class S>
inline JointColumns times_subspace(JointType type, const UnitAxis& axis,
                                   const ArticulatedInertiaOf<S>& ia) {
  const auto nv = static_cast<Eigen::Index>(joint_nv(type));
  JointColumns u(6, nv);
  for (Eigen::Index k = 0; k < nv; ++k) {
    const Force<> f = ia * subspace_column(type, axis, static_cast<std::size_t>(k));
    u.col(k) << f.n, f.f;
  }
  return u;
}

// D = S^T U for force columns U (angular part first), column by column.
inline JointMatrix project_columns(JointType type, const UnitAxis& axis, const JointColumns& u) {
  const auto nv = static_cast<Eigen::Index>(joint_nv(type));
  JointMatrix d(nv, u.cols());
  for (Eigen::Index c = 0; c < u.cols(); ++c) {
    const Force<> f{u.col(c).head<3>(), u.col(c).tail<3>()};
    project_force(type, axis, f, d.col(c).data());
  }
  return d;
}

}  // namespace trelvar::detail
