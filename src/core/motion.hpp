// Spatial motions and forces as pairs of 3-vectors for the inner loops of the
// recursive algorithms (internal). The Data buffers keep six-vectors, angular
// part first; these helpers read and write them half by half, so that every
// value stays in 3-vector form between loads and stores.
#pragma once

#include "kernel.hpp"
#include "trelvar/joint.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

// Angular part first: (w, v) for a motion, (n, f) for a force.
struct Motion {
  Vec3 w;
  Vec3 v;

  static Motion zero() { return {Vec3::Zero(), Vec3::Zero()}; }
  Motion operator+(const Motion& o) const { return {w + o.w, v + o.v}; }
  Motion& operator+=(const Motion& o) {
    w += o.w;
    v += o.v;
    return *this;
  }
};

inline Motion load(const Vec6& x) { return {x.head<3>(), x.tail<3>()}; }
inline void store(Vec6& x, const Motion& m) {
  x.head<3>() = m.w;
  x.tail<3>() = m.v;
}

// X^-1 . m (parent frame to child frame) for X = (R, t); R is a Mat3 wrapped
// in FullRotation or an AxisRotation.
template <class Rot>
inline Motion inv_act(const Rot& r, const Vec3& t, const Motion& m) {
  return {r.mul_transpose(m.w), r.mul_transpose(m.v - cross(t, m.w))};
}

// X . F for a force (child frame to parent frame).
template <class Rot>
inline Motion act_force(const Rot& r, const Vec3& t, const Motion& f) {
  const Vec3 rf = r.mul(f.v);
  return {r.mul(f.w) + cross(t, rf), rf};
}

// m1 x m2.
inline Motion cross_motion(const Motion& a, const Motion& b) {
  return {cross(a.w, b.w), cross(a.w, b.v) + cross(a.v, b.w)};
}

// m x* F.
inline Motion cross_force(const Motion& m, const Motion& f) {
  return {cross(m.w, f.w) + cross(m.v, f.v), cross(m.w, f.v)};
}

// The inertia applied to a motion: f = m (v - c x w), n = Ic w + c x f.
inline Motion apply(const Inertia& in, const Motion& m) {
  const std::array<double, 6>& i = in.inertia;
  const Vec3& w = m.w;
  const Vec3 f = in.mass * (m.v - cross(in.lever, w));
  const Vec3 iw(i[0] * w[0] + i[1] * w[1] + i[3] * w[2], i[1] * w[0] + i[2] * w[1] + i[4] * w[2],
                i[3] * w[0] + i[4] * w[1] + i[5] * w[2]);
  return {iw + cross(in.lever, f), f};
}

// S x for the joint's slice x of a velocity or acceleration, given the unit
// axis u of the joint (see joint_unit_axis): the joint velocity of the kernel.
inline Motion joint_motion(JointType type, const Vec3& u, const double* x) {
  switch (type) {
    case JointType::Fixed: break;
    case JointType::Revolute:
    case JointType::Continuous: return {x[0] * u, Vec3::Zero()};
    case JointType::Prismatic: return {Vec3::Zero(), x[0] * u};
    case JointType::Planar: return {Vec3(0.0, 0.0, x[2]), Vec3(x[0], x[1], 0.0)};
    case JointType::Floating: return {Vec3(x[3], x[4], x[5]), Vec3(x[0], x[1], x[2])};
    case JointType::Spherical: return {Vec3(x[0], x[1], x[2]), Vec3::Zero()};
  }
  return Motion::zero();
}

// S^T F: the generalized forces of the joint's coordinates for the force F.
inline void project_force(JointType type, const Vec3& u, const Motion& f, double* out) {
  switch (type) {
    case JointType::Fixed: break;
    case JointType::Revolute:
    case JointType::Continuous:
      out[0] = u[0] * f.w[0] + u[1] * f.w[1] + u[2] * f.w[2];
      break;
    case JointType::Prismatic:
      out[0] = u[0] * f.v[0] + u[1] * f.v[1] + u[2] * f.v[2];
      break;
    case JointType::Planar:
      out[0] = f.v[0];
      out[1] = f.v[1];
      out[2] = f.w[2];
      break;
    case JointType::Floating:
      for (int k = 0; k < 3; ++k) {
        out[k] = f.v[k];
        out[3 + k] = f.w[k];
      }
      break;
    case JointType::Spherical:
      for (int k = 0; k < 3; ++k) out[k] = f.w[k];
      break;
  }
}

}  // namespace trelvar::detail
