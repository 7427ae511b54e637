#include "trelvar/kinematics.hpp"

#include <cmath>
#include <string>

#include "algorithms.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

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

}  // namespace

VectorX neutral(const Model& model) {
  VectorX q = VectorX::Zero(static_cast<Eigen::Index>(model.nq));
  std::size_t o = 0;
  auto put = [&](std::initializer_list<double> values) {
    for (double x : values) {
      if (o < model.nq) q[static_cast<Eigen::Index>(o)] = x;
      ++o;
    }
  };
  for (std::size_t i = 1; i < model.njoints; ++i) {
    switch (model.joints[i].joint_type) {
      case JointType::Fixed: break;
      case JointType::Revolute:
      case JointType::Prismatic: put({0.0}); break;
      case JointType::Continuous: put({1.0, 0.0}); break;
      case JointType::Planar: put({0.0, 0.0, 1.0, 0.0}); break;
      case JointType::Floating: put({0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}); break;
      case JointType::Spherical: put({0.0, 0.0, 0.0, 1.0}); break;
    }
  }
  if (o != model.nq) throw Error(configuration_size_message(model.nq, o));
  return q;
}

VectorX integrate(const Model& model, const Eigen::Ref<const VectorX>& q,
                  const Eigen::Ref<const VectorX>& v) {
  VectorX r(q.size());
  integrate(model, q, v, r);
  return r;
}

void integrate(const Model& model, const Eigen::Ref<const VectorX>& q,
               const Eigen::Ref<const VectorX>& v, Eigen::Ref<VectorX> r) {
  const auto qlen = static_cast<std::size_t>(q.size());
  const auto vlen = static_cast<std::size_t>(v.size());
  if (qlen != model.nq) throw Error(configuration_size_message(model.nq, qlen));
  if (vlen != model.nv) throw Error(velocity_size_message(model.nv, vlen));
  if (static_cast<std::size_t>(r.size()) != qlen) {
    throw Error("integrate: the output has " + std::to_string(r.size()) + " entries, expected nq = " +
                std::to_string(qlen));
  }

  r.setZero();
  std::size_t f = 0, e = 0;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const JointType type = model.joints[i].joint_type;
    const std::size_t jnq = joint_nq(type), jnv = joint_nv(type);
    if (type == JointType::Planar) {
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
                    ", nq_joint=" + std::to_string(model.nqs[i]) +
                    ", q.len()=" + std::to_string(qlen) + ", joint_id=" + std::to_string(i));
      }
      if (e + model.nvs[i] > vlen) {
        throw Error("v index out of bounds: v_idx=" + std::to_string(e) +
                    ", nv_joint=" + std::to_string(model.nvs[i]) +
                    ", v.len()=" + std::to_string(vlen) + ", joint_id=" + std::to_string(i));
      }
    } else if (f + jnq > qlen || e + jnv > vlen) {
      // Only reachable for a model whose slices do not add up to nq / nv.
      throw Error(configuration_size_message(model.nq, qlen));
    }
    const double* qi = q.data() + f;
    const double* vi = v.data() + e;
    double* ri = r.data() + f;
    switch (type) {
      case JointType::Fixed:
        break;
      case JointType::Revolute:
      case JointType::Prismatic:
        ri[0] = qi[0] + vi[0];
        break;
      case JointType::Continuous: {
        const double c = qi[0], s = qi[1], d = vi[0];
        ri[0] = c * std::cos(d) - s * std::sin(d);
        ri[1] = c * std::sin(d) + s * std::cos(d);
        break;
      }
      case JointType::Planar: {
        const double x = qi[0], y = qi[1], c = qi[2], s = qi[3];
        const double vx = vi[0], vy = vi[1], w = vi[2];
        double dx = vx, dy = vy;
        if (std::abs(w) > 1e-14) {
          dx = (std::sin(w) * vx - (1.0 - std::cos(w)) * vy) / w;
          dy = ((1.0 - std::cos(w)) * vx + std::sin(w) * vy) / w;
        }
        ri[0] = x + c * dx - s * dy;
        ri[1] = y + s * dx + c * dy;
        ri[2] = c * std::cos(w) - s * std::sin(w);
        ri[3] = s * std::cos(w) + c * std::sin(w);
        break;
      }
      case JointType::Floating: {
        Eigen::Vector4d quat(qi[3], qi[4], qi[5], qi[6]);
        quat /= std::sqrt(quat[0] * quat[0] + quat[1] * quat[1] + quat[2] * quat[2] +
                          quat[3] * quat[3]);
        const Vec3 qv = quat.head<3>();
        const Vec3 u(vi[0], vi[1], vi[2]);
        const Vec3 t = 2.0 * cross(qv, u);
        const Vec3 ru = u + quat[3] * t + cross(qv, t);
        ri[0] = qi[0] + ru[0];
        ri[1] = qi[1] + ru[1];
        ri[2] = qi[2] + ru[2];
        integrate_quaternion(qi + 3, Vec3(vi[3], vi[4], vi[5]), ri + 3);
        break;
      }
      case JointType::Spherical:
        integrate_quaternion(qi, Vec3(vi[0], vi[1], vi[2]), ri);
        break;
    }
    f += jnq;
    e += jnv;
  }
}

void forward_kinematics(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::set_identity(data.omi[0]);
  detail::set_identity(data.limi[0]);
  for (std::size_t i = 1; i < model.njoints; ++i) detail::placement_step(model, data, i, q.data());
}

}  // namespace trelvar
