// The out-of-line parts of the joint kinds: the quaternion update shared by
// Floating and Spherical, and the Planar slice checks of integrate.
#include "joint_kinds.hpp"

#include <cmath>
#include <string>

namespace trelvar::detail {

namespace {

// Unit increment quaternion (x, y, z, w) for the angular rate w over unit time.
Eigen::Vector4d increment_quaternion(const Vec3& w) {
  const double theta = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  Eigen::Vector4d d;
  if (theta < 1e-7) {
    d << 0.5 * w[0], 0.5 * w[1], 0.5 * w[2], 1.0;
  } else {
    const double s = std::sin(theta / 2.0);
    d << s * w[0] / theta, s * w[1] / theta, s * w[2] / theta, std::cos(theta / 2.0);
  }
  return d / std::sqrt(d.squaredNorm());
}

}  // namespace

// Normalises the stored quaternion q (x, y, z, w), composes it with the
// increment on the right and applies one Newton step towards unit length.
void integrate_quaternion(const double* q, const Vec3& w, double* out) {
  Eigen::Vector4d quat(q[0], q[1], q[2], q[3]);
  quat /= std::sqrt(quat[0] * quat[0] + quat[1] * quat[1] + quat[2] * quat[2] + quat[3] * quat[3]);
  const Eigen::Vector4d d = increment_quaternion(w);
  const Vec3 qv = quat.head<3>();
  const Vec3 dv = d.head<3>();
  const double qw = quat[3], dw = d[3];
  const Vec3 nv = qw * dv + dw * qv + cross(qv, dv);
  const double nw = qw * dw - qv.dot(dv);
  const double factor = (3.0 - (nv.squaredNorm() + nw * nw)) / 2.0;
  out[0] = nv[0] * factor;
  out[1] = nv[1] * factor;
  out[2] = nv[2] * factor;
  out[3] = nw * factor;
}

// The position moves by the linear rates turned by the old orientation only
// (t = 2 q x u, R u = u + qw t + q x t); the orientation as Spherical.
void Floating::integrate(const double* q, const double* v, double* out) {
  Eigen::Vector4d quat(q[3], q[4], q[5], q[6]);
  quat /= std::sqrt(quat[0] * quat[0] + quat[1] * quat[1] + quat[2] * quat[2] + quat[3] * quat[3]);
  const Vec3 qv = quat.head<3>();
  const Vec3 u(v[0], v[1], v[2]);
  const Vec3 t = 2.0 * cross(qv, u);
  const Vec3 ru = u + quat[3] * t + cross(qv, t);
  out[0] = q[0] + ru[0];
  out[1] = q[1] + ru[1];
  out[2] = q[2] + ru[2];
  integrate_quaternion(q + 3, Vec3(v[3], v[4], v[5]), out + 3);
}

void Planar::check_slices(const Model& model, std::size_t i, std::size_t f, std::size_t e,
                          std::size_t, std::size_t, std::size_t qlen, std::size_t vlen) {
  if (model.nqs[i] < 4) {
    throw Error("Planar joint requires nq>=4, got nq=" + std::to_string(model.nqs[i]) +
                " at joint_id=" + std::to_string(i));
  }
  if (model.nvs[i] < 3) {
    throw Error("Planar joint requires nv>=3, got nv=" + std::to_string(model.nvs[i]) +
                " at joint_id=" + std::to_string(i));
  }
  if (f + model.nqs[i] > qlen) {
    throw Error("q index out of bounds: q_idx=" + std::to_string(f) +
                ", nq_joint=" + std::to_string(model.nqs[i]) + ", q.len()=" + std::to_string(qlen) +
                ", joint_id=" + std::to_string(i));
  }
  if (e + model.nvs[i] > vlen) {
    throw Error("v index out of bounds: v_idx=" + std::to_string(e) +
                ", nv_joint=" + std::to_string(model.nvs[i]) + ", v.len()=" + std::to_string(vlen) +
                ", joint_id=" + std::to_string(i));
  }
}

}  // namespace trelvar::detail
