#include "trelvar/dynamics.hpp"

#include <algorithm>
#include <string>
#include <type_traits>

#include "algorithms.hpp"
#include "inertia_lanes.hpp"
#include "motion.hpp"
#include "pairs.hpp"

namespace trelvar {

namespace {

// Recursive Newton-Euler, for inputs checked by the callers. v is read when
// kVelocity and a when kAcceleration; otherwise each is a zero vector (and may
// be null). kVelocity = false is the gravity pass: every body velocity is
// zero and the velocity products (all exact zeros) are left out.
template <bool kVelocity, bool kAcceleration>
[[gnu::flatten]] void rnea_pass(const Model& model, Data& data, const double* q,
                                 const double* v, const double* a) {
  using detail::Motion;
  // Raw views, taken once: writes into data cannot move the model's lists,
  // but the compiler would otherwise reload them after every store.
  const std::size_t n = model.njoints;
  const std::size_t* parents = model.parents.data();
  const std::size_t* idx_vs = model.idx_vs.data();
  const std::size_t* nvs = model.nvs.data();
  const Joint* joints = model.joints.data();
  const Vec3* axes = model.unit_axes.data();
  const Inertia* inertias = model.inertias.data();
  const std::size_t ninertias = model.inertias.size();
  const Inertia none;
  Vec6* dv = data.v.data();
  Vec6* da = data.a.data();
  Vec6* df = data.f.data();
  std::int8_t* kinds = data.work.axis.data();
  dv[0].setZero();
  da[0] = -model.gravity;
  detail::set_identity(data.omi[0]);
  detail::set_identity(data.limi[0]);
  detail::joint_sines(model, data, q);
  // Forward: placements, velocities, accelerations, and each body's own force.
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t p = parents[i];
    const auto forward = [&](const auto& rot, const Vec3& t) {
      Motion ai = detail::inv_act(rot, t, detail::load(da[p]));
      const Inertia& inertia = i < ninertias ? inertias[i] : none;
      if constexpr (!kVelocity) {
        if (kAcceleration && nvs[i] > 0) {
          ai += detail::joint_motion(joints[i].joint_type, axes[i], a + idx_vs[i]);
        }
        dv[i].setZero();
        detail::store(da[i], ai);
        detail::store(df[i], detail::apply(inertia, ai));
        return;
      }
      // Velocity (lane 0) and acceleration (lane 1) go through the same
      // transform and the same inertia side by side.
      detail::MotionPair va = detail::inv_act(rot, t, detail::load_pair(dv[p], da[p]));
      Motion vi;
      using Rot = std::decay_t<decltype(rot)>;
      if constexpr (detail::IsAxisRotation<Rot>::value) {
        // A revolute joint about +-e_k: its velocity and acceleration have one
        // non-zero component, and vi x vj = (vi.w x wq e_k, vi.v x wq e_k) has
        // two non-zero products per half (the general products add exact zeros).
        constexpr int k = Rot::k;
        const std::size_t iv = idx_vs[i];
        const double sigma = axes[i][k];
        const double wq = v[iv] * sigma;
        const double wa = kAcceleration ? a[iv] * sigma : 0.0;
        va.w[k] += detail::lanes(wq, wa);
        vi = detail::lane(va, 0);
        detail::add_axis_bias<k, false>(va, vi, wq);
      } else if (nvs[i] > 0) {
        const JointType type = joints[i].joint_type;
        const std::size_t iv = idx_vs[i];
        const Vec3& u = axes[i];
        const Motion vj = detail::joint_motion(type, u, v + iv);
        const Motion aj = kAcceleration ? detail::joint_motion(type, u, a + iv) : Motion::zero();
        va = va + detail::pair_of(vj, aj);
        vi = detail::lane(va, 0);
        va = va + detail::pair_of(Motion::zero(), detail::cross_motion(vi, vj));
      } else {
        vi = detail::lane(va, 0);
      }
      detail::store_lane(dv[i], va, 0);
      detail::store_lane(da[i], va, 1);
      detail::store(df[i], detail::body_wrench(detail::apply(inertia, va), vi));
    };
    kinds[i] = static_cast<std::int8_t>(detail::placement_step<true>(model, data, i, q, forward));
  }
  // Backward: project on the joint's subspace, transmit to the parent. Every
  // entry of tau belongs to exactly one joint and is assigned there.
  double* tau = data.tau.data();
  const SE3* limi = data.limi.data();
  for (std::size_t i = n - 1; i >= 1; --i) {
    const Motion fi = detail::load(df[i]);
    if (nvs[i] > 0) detail::project_force(joints[i].joint_type, axes[i], fi, tau + idx_vs[i]);
    const std::size_t p = parents[i];
    if (p != 0) {
      const SE3& x = limi[i];
      const int axis = kinds[i];
      const Motion fx = detail::with_rotation(axis, x.rotation, [&](const auto& r) {
        return detail::act_force(r, x.translation, fi);
      });
      detail::store(df[p], detail::load(df[p]) + fx);
    }
  }
}

// A 6-row column in three lane pairs.
struct Column6 {
  detail::Lanes p[3];
  explicit Column6(const double* x) {
    __builtin_memcpy(&p[0], x, sizeof p[0]);
    __builtin_memcpy(&p[1], x + 2, sizeof p[1]);
    __builtin_memcpy(&p[2], x + 4, sizeof p[2]);
  }
  // x . y, summed as Eigen sums the dot product of fixed 6-vectors:
  // lanes (0, 1) + ((2, 3) + (4, 5)), then lane 0 + lane 1.
  double dot(const Column6& y) const {
    const detail::Lanes s = p[0] * y.p[0] + (p[1] * y.p[1] + p[2] * y.p[2]);
    return s[0] + s[1];
  }
};

// Writes the mass-matrix entries of the rows of joint i: for each of its
// coordinates r and each coordinate s of its subtree, M(min, max) = j_r . w_s
// where w holds the composite-inertia-weighted Jacobian columns. j and w have
// nv columns and M is nv x nv (Data's sizes are checked by the callers).
void mass_matrix_rows(const Model& model, MatrixX& m, const Matrix6X& j, const Matrix6X& w,
                      std::size_t i) {
  const std::size_t b = model.idx_vs[i], nv = model.nv;
  const auto ld = static_cast<std::size_t>(m.rows());
  double* md = m.data();
  const double* wd = w.data();
  for (std::size_t c = 0; c < model.nvs[i]; ++c) {
    const std::size_t r = b + c;
    const Column6 jr(j.data() + 6 * r);
    detail::for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
      const std::size_t end = std::min(first + count, nv);
      for (std::size_t s = first; s < end; ++s) {
        const double x = jr.dot(Column6(wd + 6 * s));
        if (r <= s) {
          md[r + s * ld] = x;
        } else {
          md[s + r * ld] = x;
        }
      }
    });
  }
}

// out = Y in for the 6x6 matrix Y of an inertia (linear-first order) and a
// 6-row column, computed through the inertia's action on a motion.
inline void inertia_times_column(const Inertia& inertia, const double* in, double* out) {
  const detail::Motion f = detail::apply(inertia, {Vec3(in[3], in[4], in[5]), Vec3(in[0], in[1], in[2])});
  for (int k = 0; k < 3; ++k) {
    out[k] = f.v[k];
    out[3 + k] = f.w[k];
  }
}

inline void inertia_times_column(const Inertia& inertia, const Matrix6X& in, Eigen::Index c,
                                 Matrix6X& out, Eigen::Index d) {
  inertia_times_column(inertia, in.col(c).data(), out.col(d).data());
}

inline Vec6 inertia_times_column(const Inertia& inertia, const Vec6& column) {
  Vec6 out;
  inertia_times_column(inertia, column.data(), out.data());
  return out;
}

// b += h x-bar* for a momentum h = (n; f) (angular first), the matrix in
// linear-first order with (h x-bar*) w = w x* h: blocks 0, -[f]x; -[f]x, -[n]x.
// Only its non-zero entries are added, in place. The others are the zero top
// left (where b holds +0 from the inertia variation) and the diagonals of the
// -[x]x blocks, which are -0; adding them would leave b as it is.
void add_momentum_cross(const Vec6& h, Mat6& b) {
  // The block at (r, c) += -[x]x.
  const auto add = [&b](const Vec3& x, int r, int c) {
    b(r, c + 1) += x[2];
    b(r, c + 2) += -x[1];
    b(r + 1, c) += -x[2];
    b(r + 1, c + 2) += x[0];
    b(r + 2, c) += x[1];
    b(r + 2, c + 1) += -x[0];
  };
  const Vec3 f = linear(h), n = angular(h);
  add(f, 0, 3);
  add(f, 3, 0);
  add(n, 3, 3);
}

}  // namespace

const VectorX& rnea(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                    const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& a) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  if (static_cast<std::size_t>(a.size()) != model.nv) {
    throw Error("Acceleration vector size mismatch: expected " + std::to_string(model.nv) +
                ", got " + std::to_string(a.size()));
  }
  rnea_pass<true, true>(model, data, q.data(), v.data(), a.data());
  return data.tau;
}

const VectorX& non_linear_effects(const Model& model, Data& data,
                                  const Eigen::Ref<const VectorX>& q,
                                  const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  rnea_pass<true, false>(model, data, q.data(), v.data(), nullptr);
  data.nle = data.tau;
  return data.nle;
}

const VectorX& compute_gravity(const Model& model, Data& data,
                               const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  rnea_pass<false, false>(model, data, q.data(), nullptr, nullptr);
  data.g = data.tau;
  return data.g;
}

namespace {

// The mass matrix for inputs already checked.
[[gnu::flatten]] void crba_pass(const Model& model, Data& data, const double* q) {
  detail::kinematics_and_jacobian(model, data, q);
  // Raw views, taken once (see rnea_pass).
  const std::size_t n = model.njoints;
  const std::size_t* parents = model.parents.data();
  const std::size_t* idx_vs = model.idx_vs.data();
  const std::size_t* nvs = model.nvs.data();
  const Inertia* inertias = model.inertias.data();
  const std::size_t ninertias = model.inertias.size();
  const Inertia none;
  const SE3* omi = data.omi.data();
  Inertia* oycrb = data.oycrb.data();
  const double* jd = data.j.data();
  double* wd = data.work.cols.data();
  detail::set_zero(oycrb[0]);
  for (std::size_t i = 1; i < n; ++i) {
    oycrb[i] = detail::act_on_inertia(omi[i], i < ninertias ? inertias[i] : none);
  }
  data.M.setZero();
  for (std::size_t i = n - 1; i >= 1; --i) {
    const Inertia& composite = oycrb[i];
    if (nvs[i] > 0) {
      const std::size_t b = idx_vs[i];
      for (std::size_t c = b; c < b + nvs[i]; ++c) {
        inertia_times_column(composite, jd + 6 * c, wd + 6 * c);
      }
      mass_matrix_rows(model, data.M, data.j, data.work.cols, i);
    }
    const std::size_t p = parents[i];
    if (p != 0) detail::add_inertia(oycrb[p], composite);
  }
}

}  // namespace

const MatrixX& crba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  crba_pass(model, data, q.data());
  return data.M;
}

namespace {

// [x]x M, leaving out the products with the zero diagonal of [x]x (each entry
// is the same sum as in the full product).
inline Mat3 skew_times(const Vec3& x, const Mat3& m) {
  Mat3 out;
  for (int c = 0; c < 3; ++c) {
    out(0, c) = (-x[2]) * m(1, c) + x[1] * m(2, c);
    out(1, c) = x[2] * m(0, c) + (-x[0]) * m(2, c);
    out(2, c) = (-x[1]) * m(0, c) + x[0] * m(1, c);
  }
  return out;
}

// [x]x [y]x with only its non-zero products.
inline Mat3 skew_skew(const Vec3& x, const Vec3& y) {
  Mat3 out;
  out(0, 0) = (-x[2]) * y[2] + x[1] * (-y[1]);
  out(0, 1) = x[1] * y[0];
  out(0, 2) = (-x[2]) * (-y[0]);
  out(1, 0) = (-x[0]) * (-y[1]);
  out(1, 1) = x[2] * (-y[2]) + (-x[0]) * y[0];
  out(1, 2) = x[2] * y[1];
  out(2, 0) = x[0] * y[2];
  out(2, 1) = (-x[1]) * (-y[2]);
  out(2, 2) = (-x[1]) * y[1] + x[0] * (-y[0]);
  return out;
}

}  // namespace

namespace {

// compute_inertia_variation written straight into `out`, entry by entry.
void inertia_variation_into(const Inertia& inertia, const Vec6& w, Mat6& out) {
  // w x* Y - Y w x in 3x3 blocks, with Y = [m 1, -m [c]x; m [c]x, J]
  // (J the rotational inertia about the origin), A = [w_ang]x, B = [w_lin]x:
  //   top left     0
  //   top right    -m [w_lin + w_ang x c]x   (bottom left is its transpose)
  //   bottom right -m (B C + C B) + A J - J A, with C = [c]x; as J is symmetric
  //                and A skew, A J - J A = A J + (A J)^T.
  // The products of cross-product matrices skip their structural zeros.
  const Vec3 wa = angular(w), wl = linear(w);
  const double m = inertia.mass;
  const Vec3& c = inertia.lever;
  const Mat3 cc = skew_skew(c, -c);
  const std::array<double, 6>& i = inertia.inertia;
  const double rot[3][3] = {{i[0], i[1], i[3]}, {i[1], i[2], i[4]}, {i[3], i[4], i[5]}};
  double j[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int q = 0; q < 3; ++q) j[r][q] = rot[r][q] + m * cc(r, q);
  }
  const Vec3 u = wl + cross(wa, c);
  const double nm = -m;
  const double tr[3][3] = {{nm * 0.0, nm * -u[2], nm * u[1]},
                           {nm * u[2], nm * 0.0, nm * -u[0]},
                           {nm * -u[1], nm * u[0], nm * 0.0}};
  double aj[3][3];
  for (int q = 0; q < 3; ++q) {
    aj[0][q] = (-wa[2]) * j[1][q] + wa[1] * j[2][q];
    aj[1][q] = wa[2] * j[0][q] + (-wa[0]) * j[2][q];
    aj[2][q] = (-wa[1]) * j[0][q] + wa[0] * j[1][q];
  }
  const Mat3 bc = skew_skew(wl, c), cb = skew_skew(c, wl);
  for (int r = 0; r < 3; ++r) {
    for (int q = 0; q < 3; ++q) {
      out(r, q) = 0.0;
      out(r, 3 + q) = tr[r][q];
      out(3 + q, r) = tr[r][q];
      out(3 + r, 3 + q) = nm * (bc(r, q) + cb(r, q)) + aj[r][q] + aj[q][r];
    }
  }
}

}  // namespace

Mat6 compute_inertia_variation(const Inertia& inertia, const Vec6& w) {
  Mat6 out;
  inertia_variation_into(inertia, w, out);
  return out;
}

namespace {

// The combined pass for inputs already checked.
[[gnu::flatten]] void all_terms_pass(const Model& model, Data& data, const double* q,
                                     const double* vq) {
  detail::velocity_jacobian_pass(model, data, q, vq);

  data.a[0].setZero();
  data.h[0].setZero();
  data.f[0].setZero();
  data.a_gf[0] = -model.gravity;
  detail::set_zero(data.oycrb[0]);
  data.doycrb[0].setZero();

  using detail::Motion;
  const Vec3 g_lin = model.gravity_linear();
  double kinetic = 0.0, potential = 0.0;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const std::size_t p = model.parents[i];
    const SE3& x = data.limi[i];
    const Motion vi = detail::load(data.v[i]);
    const Inertia& body = detail::body_inertia(model, i);
    // The body's kinetic and potential energy (bodies past the inertia list or
    // without mass carry none). The translational term uses the velocity of
    // the centre of mass, u + w x c, not that of the body frame's origin.
    if (i < model.inertias.size() && !(body.mass < 1e-10)) {
      const Vec3& w = vi.w;
      const Vec3 uc = vi.v + cross(w, body.lever);
      // Ic w with the stored triangle (the sums of the 3x3 product).
      const std::array<double, 6>& ic = body.inertia;
      const Vec3 iw(ic[0] * w[0] + ic[1] * w[1] + ic[3] * w[2], ic[1] * w[0] + ic[2] * w[1] + ic[4] * w[2],
                    ic[3] * w[0] + ic[4] * w[1] + ic[5] * w[2]);
      kinetic += 0.5 * w.dot(iw) + 0.5 * body.mass * uc.squaredNorm();
      const SE3& xo = data.omi[i];
      potential -= body.mass * g_lin.dot(mul(xo.rotation, body.lever) + xo.translation);
    }
    data.oycrb[i] = detail::act_on_inertia(data.omi[i], body);
    inertia_variation_into(data.oycrb[i], data.ov[i], data.doycrb[i]);
    // a (lane 0) and a_gf (lane 1) go through the same transform and take the
    // same bias vi x vj. A body on a fixed joint moves with its parent: no
    // bias term.
    const detail::MotionPair acc = detail::with_rotation(data.work.axis[i], x.rotation, [&](const auto& rot) {
      detail::MotionPair out = detail::inv_act(rot, x.translation, detail::load_pair(data.a[p], data.a_gf[p]));
      using Rot = std::decay_t<decltype(rot)>;
      if constexpr (detail::IsAxisRotation<Rot>::value) {
        // vj = wq e_k: the short bias of add_axis_bias.
        constexpr int k = Rot::k;
        detail::add_axis_bias<k, true>(out, vi, vq[model.idx_vs[i]] * model.unit_axes[i][k]);
      } else if (model.nvs[i] > 0) {
        const Motion vj = detail::joint_motion(model.joints[i].joint_type, model.unit_axes[i],
                                               vq + model.idx_vs[i]);
        const Motion bias = detail::cross_motion(vi, vj);
        out = out + detail::pair_of(bias, bias);
      }
      return out;
    });
    detail::store_lane(data.a[i], acc, 0);
    detail::store_lane(data.a_gf[i], acc, 1);
    // The body's momentum (lane 0, from vi) and inertial force (lane 1, from a_gf).
    const detail::MotionPair inertial = detail::apply(body, detail::pair_of(vi, detail::lane(acc, 1)));
    const Motion hi = detail::lane(inertial, 0);
    detail::store(data.h[i], hi);
    detail::store(data.f[i], detail::lane(inertial, 1) + detail::cross_force(vi, hi));
  }

  // Every column of ag and dag belongs to one moving joint and is written
  // whole below.
  for (std::size_t i = model.njoints - 1; i >= 1; --i) {
    const std::size_t p = model.parents[i];
    if (model.nvs[i] > 0) {
      const std::size_t b = model.idx_vs[i];
      const Inertia& composite = data.oycrb[i];
      for (std::size_t c = 0; c < model.nvs[i]; ++c) {
        const auto col = static_cast<Eigen::Index>(b + c);
        inertia_times_column(composite, data.j, col, data.ag, col);
        data.dag.col(col) = data.doycrb[i] * data.j.col(col) +
                            inertia_times_column(composite, data.dJ.col(col));
      }
      mass_matrix_rows(model, data.M, data.j, data.ag, i);
      const Joint& joint = model.joints[i];
      detail::project_force(joint.joint_type, model.unit_axes[i], detail::load(data.f[i]),
                            data.nle.data() + b);
    }
    detail::add_inertia(data.oycrb[p], data.oycrb[i]);
    data.doycrb[p] += data.doycrb[i];
    // Momentum (lane 0) and force (lane 1) go to the parent through one transform.
    const SE3& x = data.limi[i];
    const detail::MotionPair moved =
        detail::with_rotation(data.work.axis[i], x.rotation, [&](const auto& rot) {
          return detail::act_force(rot, x.translation, detail::load_pair(data.h[i], data.f[i]));
        });
    const detail::MotionPair sum = detail::load_pair(data.h[p], data.f[p]) + moved;
    detail::store_lane(data.h[p], sum, 0);
    detail::store_lane(data.f[p], sum, 1);

    data.mass[i] = data.oycrb[i].mass;
    if (data.mass[i] > 1e-10) {
      data.com[i] = mul_transpose(data.omi[i].rotation,
                                  data.oycrb[i].lever - data.omi[i].translation);
      data.vcom[i] = linear(data.h[i]) / data.mass[i];
    } else {
      data.com[i].setZero();
      data.vcom[i].setZero();
    }
  }

  const double total = data.oycrb[0].mass;
  data.mass[0] = total;
  if (total > 1e-10) {
    data.com[0] = data.oycrb[0].lever;
    data.vcom[0] = linear(data.h[0]) / total;
  } else {
    data.com[0].setZero();
    data.vcom[0].setZero();
  }
  const Vec3 com = data.com[0];
  const Vec3 vcom = data.vcom[0];
  // Column by column: the centroidal ag and dag (the moments taken about the
  // centre of mass, the two products with com side by side), the
  // centre-of-mass Jacobian and the gravity torques, which read the linear
  // rows that the moment shift leaves alone.
  const bool has_mass = total > 1e-10;
  double* jcom = data.jcom.data();
  for (std::size_t k = 0; k < model.nv; ++k) {
    double* ag = data.ag.data() + 6 * k;
    double* dag = data.dag.data() + 6 * k;
    const Vec3 lin(ag[0], ag[1], ag[2]);
    detail::Vec3Pair lins;
    for (int r = 0; r < 3; ++r) lins[r] = detail::lanes(ag[r], dag[r]);
    const detail::Vec3Pair moved = detail::cross(com, lins);
    const Vec3 vx = cross(vcom, lin);
    for (int r = 0; r < 3; ++r) {
      ag[3 + r] -= moved[r][0];
      dag[3 + r] -= moved[r][1] + vx[r];
      if (has_mass) jcom[3 * k + static_cast<std::size_t>(r)] = ag[r] / total;
    }
    data.g[static_cast<Eigen::Index>(k)] = -(ag[0] * g_lin[0] + ag[1] * g_lin[1] + ag[2] * g_lin[2]);
  }
  data.hg = data.h[0];
  data.hg.head<3>() -= cross(com, linear(data.h[0]));
  data.dhg = data.f[0];
  data.dhg.head<3>() -= cross(com, linear(data.f[0]));
  data.ig = data.oycrb[0];
  data.ig.mass = total;
  data.ig.lever.setZero();

  data.kinetic_energy = kinetic;
  data.potential_energy = potential;
  data.mechanical_energy = kinetic + potential;
}

}  // namespace

void compute_all_terms(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                       const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  all_terms_pass(model, data, q.data(), v.data());
}

namespace {

// The Coriolis matrix for inputs already checked.
[[gnu::flatten]] void coriolis_pass(const Model& model, Data& data, const double* q,
                                    const double* v) {
  data.C.setZero();
  std::vector<Mat6>& bmat = data.work.b;
  std::vector<Vec6>& hw = data.work.h;
  Matrix6X& t = data.work.cols;
  // Forward: kinematics, velocities, Jacobian and its variation, world
  // inertias and the body Coriolis matrices.
  for (std::size_t i = 1; i < model.njoints; ++i) {
    detail::velocity_jacobian_step(model, data, i, q, v);
    data.oycrb[i] = detail::act_on_inertia(data.omi[i], detail::body_inertia(model, i));
    hw[i] = data.oycrb[i].apply(data.ov[i]);
    inertia_variation_into(data.oycrb[i], 0.5 * data.ov[i], bmat[i]);
    add_momentum_cross(0.5 * hw[i], bmat[i]);
  }

  // Previous column on each column's support chain.
  std::vector<std::int32_t>& prev = data.work.prev;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    if (model.nvs[i] == 0) continue;
    const std::size_t s = model.idx_vs[i];
    prev[s] = -1;
    for (std::size_t a = model.parents[i]; a != 0; a = model.parents[a]) {
      if (model.nvs[a] > 0) {
        prev[s] = static_cast<std::int32_t>(model.idx_vs[a] + model.nvs[a] - 1);
        break;
      }
    }
    for (std::size_t k = 1; k < model.nvs[i]; ++k) {
      prev[s + k] = static_cast<std::int32_t>(s + k - 1);
    }
  }

  // Backward: composite inertias and Coriolis matrices, entries of C.
  for (std::size_t i = model.njoints - 1; i >= 1; --i) {
    const std::size_t p = model.parents[i];
    if (model.nvs[i] > 0) {
      const std::size_t s = model.idx_vs[i];
      const std::size_t n = model.nvs[i];
      const Mat6& bi = bmat[i];
      const Inertia& composite = data.oycrb[i];
      for (std::size_t k = 0; k < n; ++k) {
        const auto c = static_cast<Eigen::Index>(s + k);
        t.col(c) = bi * data.j.col(c) + inertia_times_column(composite, data.dJ.col(c));
      }
      for (std::size_t k = 0; k < n; ++k) {
        const auto r = static_cast<Eigen::Index>(s + k);
        const auto jr = data.j.col(r);
        detail::for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
          for (std::size_t l = first; l < first + count && l < model.nv; ++l) {
            data.C(r, static_cast<Eigen::Index>(l)) = jr.dot(t.col(static_cast<Eigen::Index>(l)));
          }
        });
      }
      for (std::size_t k = 0; k < n; ++k) {
        const auto c = static_cast<Eigen::Index>(s + k);
        inertia_times_column(composite, data.j, c, data.ag, c);
      }
      for (std::int32_t a = prev[s]; a >= 0; a = prev[static_cast<std::size_t>(a)]) {
        const Vec6 ja = data.j.col(a);
        const Vec6 dja = data.dJ.col(a);
        const Vec6 bja = bi * ja;
        for (std::size_t k = 0; k < n; ++k) {
          const auto m = static_cast<Eigen::Index>(s + k);
          data.C(m, a) = dja.dot(data.ag.col(m)) + data.j.col(m).dot(bja);
        }
      }
    }
    if (p != 0) {
      detail::add_inertia(data.oycrb[p], data.oycrb[i]);
      bmat[p] += bmat[i];
    }
  }
}

}  // namespace

const MatrixX& compute_coriolis_matrix(const Model& model, Data& data,
                                       const Eigen::Ref<const VectorX>& q,
                                       const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  coriolis_pass(model, data, q.data(), v.data());
  return data.C;
}

}  // namespace trelvar
