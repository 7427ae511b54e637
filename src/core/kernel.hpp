// Unchecked, inlined joint kernel for the recursive algorithms. The callers
// have already checked the lengths of q and v against the model, so the
// pointers passed here always hold the joint's whole slice.
#pragma once

#include <cmath>
#include <type_traits>

#include "trelvar/joint.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

// The axis divided by its Euclidean norm (a zero axis gives non-finite values).
inline Vec3 unit_axis(const Vec3& a) {
  const double n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  return Vec3(a[0] / n, a[1] / n, a[2] / n);
}

// The unit axis where the kind reads one (Revolute, Continuous, Prismatic),
// zero otherwise. Models keep it per joint (Model::unit_axes).
inline Vec3 joint_unit_axis(const Joint& joint) {
  switch (joint.joint_type) {
    case JointType::Revolute:
    case JointType::Continuous:
    case JointType::Prismatic:
      return unit_axis(joint.axis);
    default:
      return Vec3::Zero();
  }
}

// sin x and cos x in one call where the C library offers it (the same values
// as std::sin and std::cos).
inline void sin_cos(double x, double& s, double& c) {
#if defined(__GLIBC__)
  ::sincos(x, &s, &c);
#else
  s = std::sin(x);
  c = std::cos(x);
#endif
}

// Two doubles in one SSE2 register (GCC vector extension): arithmetic on
// Lanes applies the scalar operation to each lane.
using Lanes = double __attribute__((vector_size(16)));

// x becomes the identity placement, written in place (assigning
// SE3::identity() builds a temporary first).
inline void set_identity(SE3& x) {
  x.rotation.setIdentity();
  x.translation.setZero();
}

// x becomes the all-zero inertia, written in place.
inline void set_zero(Inertia& x) {
  x.inertia.fill(0.0);
  x.mass = 0.0;
  x.lever.setZero();
}

// The index k when u is exactly +e_k or -e_k, otherwise -1.
inline int aligned_axis(const Vec3& u) {
  for (int k = 0; k < 3; ++k) {
    const int a = (k + 1) % 3, b = (k + 2) % 3;
    if (u[a] == 0.0 && u[b] == 0.0 && (u[k] == 1.0 || u[k] == -1.0)) return k;
  }
  return -1;
}

// Exactly the identity (a signed zero counts as zero). Compares two entries
// per instruction: placements are tested once per joint on every call.
inline bool is_identity(const Mat3& m) {
  using Mask = long long __attribute__((vector_size(16)));
  const double* d = m.data();  // column by column
  Lanes c0, c1, c2, c3;
  __builtin_memcpy(&c0, d, sizeof c0);
  __builtin_memcpy(&c1, d + 2, sizeof c1);
  __builtin_memcpy(&c2, d + 4, sizeof c2);
  __builtin_memcpy(&c3, d + 6, sizeof c3);
  const Mask same = (c0 == Lanes{1.0, 0.0}) & (c1 == Lanes{0.0, 0.0}) & (c2 == Lanes{1.0, 0.0}) &
                    (c3 == Lanes{0.0, 0.0});
  return same[0] != 0 && same[1] != 0 && d[8] == 1.0;
}

// The rotation by an angle about the coordinate axis K (the sign of a -e_K axis
// folded into s): the matrix with columns a = (K+1)%3 -> c e_a + s e_b,
// b = (K+2)%3 -> -s e_a + c e_b, K -> e_K. Products with it skip the zero and
// unit entries of the full matrix; each entry keeps the same non-zero terms as
// the full 3x3 product, so results are identical for finite values. The axis
// is a template argument so that every index is known when compiling.
template <int K>
struct AxisRotation {
  static constexpr int k = K, a = (K + 1) % 3, b = (K + 2) % 3;
  double c = 1.0, s = 0.0;

  AxisRotation(double cosine, double sine) : c(cosine), s(sine) {}
  // The rotation stored in m (which must be such a rotation about axis K).
  static AxisRotation of(const Mat3& m) { return AxisRotation(m(a, a), m(b, a)); }

  Mat3 matrix() const {
    Mat3 r = Mat3::Zero();
    r(k, k) = 1.0;
    r(a, a) = c;
    r(b, a) = s;
    r(a, b) = -s;
    r(b, b) = c;
    return r;
  }
  Vec3 mul(const Vec3& x) const {
    Vec3 r;
    r[a] = c * x[a] - s * x[b];
    r[b] = s * x[a] + c * x[b];
    r[k] = x[k];
    return r;
  }
  Vec3 mul_transpose(const Vec3& x) const {
    Vec3 r;
    r[a] = c * x[a] + s * x[b];
    r[b] = c * x[b] - s * x[a];
    r[k] = x[k];
    return r;
  }
  // m * R.
  Mat3 right_of(const Mat3& m) const {
    Mat3 r;
    r.col(a) = m.col(a) * c + m.col(b) * s;
    r.col(b) = m.col(b) * c - m.col(a) * s;
    r.col(k) = m.col(k);
    return r;
  }
};

template <class T>
struct IsAxisRotation : std::false_type {};
template <int K>
struct IsAxisRotation<AxisRotation<K>> : std::true_type {};

// Calls f(AxisRotation<k>) for a runtime axis k in 0..2.
template <class F>
inline decltype(auto) with_axis_rotation(int k, double c, double s, F&& f) {
  switch (k) {
    case 0: return f(AxisRotation<0>(c, s));
    case 1: return f(AxisRotation<1>(c, s));
    default: return f(AxisRotation<2>(c, s));
  }
}

// A full rotation matrix behind the same interface.
struct FullRotation {
  const Mat3& m;
  Vec3 mul(const Vec3& x) const { return trelvar::mul(m, x); }
  Vec3 mul_transpose(const Vec3& x) const { return trelvar::mul_transpose(m, x); }
};

// Calls f with the rotation stored in m in its cheapest form: AxisRotation<axis>
// when axis >= 0 (m is a rotation about that coordinate axis), FullRotation
// otherwise.
template <class F>
inline decltype(auto) with_rotation(int axis, const Mat3& m, F&& f) {
  switch (axis) {
    case 0: return f(AxisRotation<0>::of(m));
    case 1: return f(AxisRotation<1>::of(m));
    case 2: return f(AxisRotation<2>::of(m));
    default: return f(FullRotation{m});
  }
}

// Below, u is the joint's unit axis (joint_unit_axis).
inline SE3 joint_transform(const Joint& joint, const Vec3& u, const double* q) {
  SE3 t;
  switch (joint.joint_type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
      if (q[0] != 0.0) t.rotation = rotation_from_unit_axis_angle(u, q[0]);
      break;
    case JointType::Continuous: {
      const double theta = std::atan2(q[1], q[0]);
      if (theta != 0.0) t.rotation = rotation_from_unit_axis_angle(u, theta);
      break;
    }
    case JointType::Prismatic:
      t.translation = q[0] * u;
      break;
    case JointType::Planar: {
      const double c = q[2], s = q[3];
      t.rotation << c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0;
      t.translation = Vec3(q[0], q[1], 0.0);
      break;
    }
    case JointType::Floating:
      t.rotation = rotation_from_quaternion(q[3], q[4], q[5], q[6]);
      t.translation = Vec3(q[0], q[1], q[2]);
      break;
    case JointType::Spherical:
      t.rotation = rotation_from_quaternion(q[0], q[1], q[2], q[3]);
      break;
  }
  return t;
}

// vJ in motion-vector order (angular first).
inline Vec6 joint_velocity(const Joint& joint, const Vec3& u, const double* v) {
  Vec6 out = Vec6::Zero();
  switch (joint.joint_type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
    case JointType::Continuous:
      out.head<3>() = v[0] * u;
      break;
    case JointType::Prismatic:
      out.tail<3>() = v[0] * u;
      break;
    case JointType::Planar:
      out << 0.0, 0.0, v[2], v[0], v[1], 0.0;
      break;
    case JointType::Floating:
      out << v[3], v[4], v[5], v[0], v[1], v[2];
      break;
    case JointType::Spherical:
      out << v[0], v[1], v[2], 0.0, 0.0, 0.0;
      break;
  }
  return out;
}

// Column k of the motion subspace (motion-column order, linear first).
inline Vec6 subspace_column(const Joint& joint, const Vec3& u, std::size_t k) {
  Vec6 s = Vec6::Zero();
  switch (joint.joint_type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
    case JointType::Continuous:
      s.tail<3>() = u;
      break;
    case JointType::Prismatic:
      s.head<3>() = u;
      break;
    case JointType::Planar:
      s[k == 2 ? 5 : k] = 1.0;
      break;
    case JointType::Floating:
      s[static_cast<Eigen::Index>(k)] = 1.0;
      break;
    case JointType::Spherical:
      s[static_cast<Eigen::Index>(3 + k)] = 1.0;
      break;
  }
  return s;
}

}  // namespace trelvar::detail
