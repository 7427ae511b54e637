// Forward dynamics: the articulated-body algorithm and the inverse mass matrix.
//
// Both passes keep every intermediate quantity in Data::work.fd and write
// their result field (ddq, Minv) only once it is known to be finite, so a call
// that fails leaves the Data's results as they were.
//
// From the internal headers this file uses: the checks of the vector sizes and
// the body inertia of a joint (algorithms.hpp), and the joint kernel: joint
// transform, joint velocity and motion-subspace columns (kernel.hpp).
#include "trelvar/forward_dynamics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "algorithms.hpp"
#include "kernel.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

namespace {

using FdWork = Data::Work::ForwardDynamics;

// ---------------------------------------------------------------------------
// 6x6 spatial inertias, rows and columns angular part first: the matrix maps
// a motion [w; v] to the force [n; f]. Written in 3x3 blocks [[A, B], [B^T, C]].

// The body inertia: A = Ic - m [c]x [c]x, B = m [c]x, C = m 1 (the matrix of
// Inertia::apply).
Mat6 inertia_matrix(const Inertia& in) {
  const Mat3 cx = skew(in.lever);
  Mat6 out;
  out.topLeftCorner<3, 3>() = in.rotational() - in.mass * cx * cx;
  out.topRightCorner<3, 3>() = in.mass * cx;
  out.bottomLeftCorner<3, 3>() = -in.mass * cx;
  out.bottomRightCorner<3, 3>() = in.mass * Mat3::Identity();
  return out;
}

// out += X* ia X^-1 for X = (R, t), a placement of a child frame in its
// parent's: the inertia ia, given in the child frame, expressed in the parent
// frame. With the blocks rotated first, A' = R A R^T, B' = R B R^T,
// C' = R C R^T, and P = [t]x, the parent-frame blocks are
//   C_p = C',  B_p = B' + P C',  A_p = A' + P B'^T - B_p P.
void add_in_parent_frame(const SE3& x, const Mat6& ia, Mat6& out) {
  const Mat3& r = x.rotation;
  const Mat3 a = r * ia.topLeftCorner<3, 3>() * r.transpose();
  const Mat3 b = r * ia.topRightCorner<3, 3>() * r.transpose();
  const Mat3 c = r * ia.bottomRightCorner<3, 3>() * r.transpose();
  const Mat3 p = skew(x.translation);
  const Mat3 bp = b + p * c;
  const Mat3 ap = a + p * b.transpose() - bp * p;
  out.topLeftCorner<3, 3>() += ap;
  out.topRightCorner<3, 3>() += bp;
  out.bottomLeftCorner<3, 3>() += bp.transpose();
  out.bottomRightCorner<3, 3>() += c;
}

// Column k of joint i's motion subspace S as a motion vector (angular first).
Vec6 subspace_motion(const Model& model, std::size_t i, std::size_t k) {
  return swap_halves(detail::subspace_column(model.joints[i], model.unit_axes[i], k));
}

// ---------------------------------------------------------------------------
// Numerics: the joint-space inertia D = S^T Ia S of each joint is factored as
// L diag(d) L^T (L unit lower triangular). D is singular, and the call fails,
// when a pivot d_k is not above kSingularTolerance times the scale of its
// coordinate: the trace of the rotational block of Ia (about the joint's
// origin, in its frame) for a rotation coordinate, the trace of the
// translational block for a translation coordinate. Both traces are
// independent of how the joint frame is turned, and of the units the model
// uses, so the test asks whether the bodies the joint carries have (almost) no
// inertia along its motion compared with their inertia in other directions.
// 1e-12 is about 5000 times the rounding of one double operation: a pivot
// below it is lost in the rounding of the sums that form D.
constexpr double kSingularTolerance = 1e-12;

std::string joint_label(const Model& model, std::size_t i) {
  const std::string name = i < model.names.size() ? model.names[i] : std::string();
  return "joint '" + name + "' (index " + std::to_string(i) + ")";
}

std::string number(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", x);
  return buf;
}

// The first non-finite entry of x, or -1.
Eigen::Index first_non_finite(const double* x, Eigen::Index n) {
  for (Eigen::Index k = 0; k < n; ++k) {
    if (!std::isfinite(x[k])) return k;
  }
  return -1;
}

// The inputs of one call, checked for size.
struct Inputs {
  const double* q = nullptr;
  const double* v = nullptr;
  const double* tau = nullptr;
  const std::vector<Vec6>* fext = nullptr;
};

// Throws naming the first non-finite input, if there is one.
void check_inputs_finite(const Model& model, const Inputs& in) {
  const auto nq = static_cast<Eigen::Index>(model.nq), nv = static_cast<Eigen::Index>(model.nv);
  const std::pair<const double*, const char*> vectors[] = {
      {in.q, "Configuration"}, {in.v, "Velocity"}, {in.tau, "Torque"}};
  for (const auto& [x, what] : vectors) {
    if (x == nullptr) continue;
    const Eigen::Index k = first_non_finite(x, x == in.q ? nq : nv);
    if (k >= 0) {
      throw Error(std::string(what) + " vector holds a non-finite value at index " +
                  std::to_string(k));
    }
  }
  if (in.fext != nullptr) {
    for (std::size_t i = 1; i < model.njoints; ++i) {
      if (first_non_finite((*in.fext)[i].data(), 6) >= 0) {
        throw Error("External force on " + joint_label(model, i) + " holds a non-finite value");
      }
    }
  }
}

// D^-1 for the nv_i x nv_i joint-space inertia D of joint i (lower triangle
// read), into d_inv; throws when D is singular or not finite (see above).
// scale[k]: the scale of coordinate k.
using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 6, 6>;
using SmallVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 6, 1>;

void invert_joint_inertia(const Model& model, std::size_t i, const SmallMatrix& d,
                          const double* scale, const Inputs& in, SmallMatrix& d_inv) {
  const Eigen::Index n = d.rows();
  SmallMatrix l = SmallMatrix::Identity(n, n);
  double pivot[6];
  for (Eigen::Index k = 0; k < n; ++k) {
    double dk = d(k, k);
    for (Eigen::Index j = 0; j < k; ++j) dk -= l(k, j) * l(k, j) * pivot[j];
    if (!(dk > kSingularTolerance * scale[k]) || !std::isfinite(dk) || !std::isfinite(scale[k])) {
      check_inputs_finite(model, Inputs{in.q, nullptr, nullptr, nullptr});
      if (!std::isfinite(dk) || !std::isfinite(scale[k])) {
        throw Error("Articulated inertia of " + joint_label(model, i) +
                    " is not finite: the model's inertias or placements hold values too large "
                    "for double precision");
      }
      throw Error("Articulated inertia of " + joint_label(model, i) + " is singular (pivot " +
                  number(dk) + " against scale " + number(scale[k]) +
                  "): the bodies it carries have no inertia along its motion");
    }
    pivot[k] = dk;
    for (Eigen::Index r = k + 1; r < n; ++r) {
      double x = d(r, k);
      for (Eigen::Index j = 0; j < k; ++j) x -= l(r, j) * l(k, j) * pivot[j];
      l(r, k) = x / dk;
    }
  }
  // D^-1 = L^-T diag(1/d) L^-1.
  const SmallMatrix l_inv = l.triangularView<Eigen::UnitLower>().solve(SmallMatrix::Identity(n, n));
  d_inv.resize(n, n);
  for (Eigen::Index r = 0; r < n; ++r) {
    for (Eigen::Index c = 0; c < n; ++c) {
      double x = 0.0;
      for (Eigen::Index k = std::max(r, c); k < n; ++k) x += l_inv(k, r) * l_inv(k, c) / pivot[k];
      d_inv(r, c) = x;
    }
  }
}

// ---------------------------------------------------------------------------
// Stages shared by the two algorithms.

// Placement of each joint in its parent: X_i = placement_i T_i(q_i).
inline void placement_step(const Model& model, FdWork& fd, std::size_t i, const double* q) {
  fd.limi[i] = model.placements[i].compose(
      detail::joint_transform(model.joints[i], model.unit_axes[i], q + model.idx_qs[i]));
}

// One joint of the backward sweep over the articulated inertias:
//   U_i = Ia_i S_i,  D_i = S_i^T U_i  (factored, checked and inverted),
//   Ia_p += X_i* (Ia_i - U_i D_i^-1 U_i^T) X_i^-1   (p not the universe).
// Ia_i is complete here: every child has added its part.
void articulated_inertia_step(const Model& model, FdWork& fd, std::size_t i, const Inputs& in) {
  const std::size_t k = model.nvs[i];
  const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
  const Mat6& ia = fd.ia[i];
  Mat6 reduced = ia;
  if (k > 0) {
    const auto n = static_cast<Eigen::Index>(k);
    Eigen::Matrix<double, 6, Eigen::Dynamic, 0, 6, 6> s(6, n);
    double scale[6];
    const double rotational = ia(0, 0) + ia(1, 1) + ia(2, 2);
    const double translational = ia(3, 3) + ia(4, 4) + ia(5, 5);
    for (Eigen::Index c = 0; c < n; ++c) {
      s.col(c) = subspace_motion(model, i, static_cast<std::size_t>(c));
      scale[c] = s.col(c).head<3>().squaredNorm() > 0.0 ? rotational : translational;
    }
    fd.ia_s.middleCols(b, n) = ia.lazyProduct(s);
    const auto u = fd.ia_s.middleCols(b, n);
    const SmallMatrix d = s.transpose().lazyProduct(u);
    SmallMatrix d_inv;
    invert_joint_inertia(model, i, d, scale, in, d_inv);
    fd.d_inv.block(0, b, n, n) = d_inv;
    const Eigen::Matrix<double, 6, Eigen::Dynamic, 0, 6, 6> ud = u.lazyProduct(d_inv);
    reduced -= ud.lazyProduct(u.transpose());
  }
  const std::size_t p = model.parents[i];
  if (p != 0) add_in_parent_frame(fd.limi[i], reduced, fd.ia[p]);
}

// ---------------------------------------------------------------------------
// The articulated-body algorithm, for checked inputs.

// Forward sweep: placements, velocities and velocity-product terms.
//   X_i  = placement_i T_i(q_i)
//   v_i  = X_i^-1 v_p + S_i qd_i           (v_0 = 0)
//   c_i  = v_i x (S_i qd_i)
//   Ia_i = I_i,  pA_i = v_i x* (I_i v_i) - fext_i
void aba_velocity_sweep(const Model& model, FdWork& fd, const Inputs& in) {
  fd.v[0].setZero();
  for (std::size_t i = 1; i < model.njoints; ++i) {
    placement_step(model, fd, i, in.q);
    const std::size_t p = model.parents[i];
    const Vec6 vj = detail::joint_velocity(model.joints[i], model.unit_axes[i], in.v + model.idx_vs[i]);
    const Vec6 vi = act_inv_motion(fd.limi[i], fd.v[p]) + vj;
    fd.v[i] = vi;
    fd.c[i] = cross_motion(vi, vj);
    const Inertia& body = detail::body_inertia(model, i);
    fd.ia[i] = inertia_matrix(body);
    fd.pa[i] = cross_force(vi, body.apply(vi));
    if (in.fext != nullptr) fd.pa[i] -= (*in.fext)[i];
  }
}

// Backward sweep: articulated inertias (articulated_inertia_step) and bias
// forces:
//   u_i = tau_i - S_i^T pA_i
//   pA_p += X_i* (pA_i + Ia^a c_i + U_i D_i^-1 u_i)   (p not the universe)
// with Ia^a = Ia_i - U_i D_i^-1 U_i^T, so that
//   Ia^a c_i + U_i D_i^-1 u_i = Ia_i c_i + U_i D_i^-1 (u_i - U_i^T c_i).
void aba_backward_sweep(const Model& model, FdWork& fd, const Inputs& in) {
  for (std::size_t i = model.njoints - 1; i >= 1; --i) {
    articulated_inertia_step(model, fd, i, in);
    const std::size_t k = model.nvs[i];
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    const auto n = static_cast<Eigen::Index>(k);
    Vec6 pa = fd.pa[i] + fd.ia[i] * fd.c[i];
    for (Eigen::Index c = 0; c < n; ++c) {
      const Vec6 s = subspace_motion(model, i, static_cast<std::size_t>(c));
      fd.u[b + c] = in.tau[b + c] - s.dot(fd.pa[i]);
    }
    if (k > 0) {
      const auto u = fd.ia_s.middleCols(b, n);
      const SmallVector r = fd.u.segment(b, n) - u.transpose().lazyProduct(fd.c[i]);
      const SmallVector m = fd.d_inv.block(0, b, n, n).lazyProduct(r);
      pa += u.lazyProduct(m);
    }
    const std::size_t p = model.parents[i];
    if (p != 0) fd.pa[p] += act_force(fd.limi[i], pa);
  }
}

// Forward sweep: accelerations.
//   a'_i   = X_i^-1 a_p + c_i               (a_0 = -gravity)
//   ddq_i  = D_i^-1 (u_i - U_i^T a'_i)
//   a_i    = a'_i + S_i ddq_i
void aba_acceleration_sweep(const Model& model, FdWork& fd) {
  fd.a[0] = -model.gravity;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const std::size_t p = model.parents[i];
    Vec6 ai = act_inv_motion(fd.limi[i], fd.a[p]) + fd.c[i];
    const std::size_t k = model.nvs[i];
    if (k > 0) {
      const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
      const auto n = static_cast<Eigen::Index>(k);
      const auto u = fd.ia_s.middleCols(b, n);
      const SmallVector r = fd.u.segment(b, n) - u.transpose().lazyProduct(ai);
      fd.ddq.segment(b, n) = fd.d_inv.block(0, b, n, n).lazyProduct(r);
      for (Eigen::Index c = 0; c < n; ++c) {
        ai += subspace_motion(model, i, static_cast<std::size_t>(c)) * fd.ddq[b + c];
      }
    }
    fd.a[i] = ai;
  }
}

// The checks every entry point makes first, in this order.
void check_common(const Model& model, const Data& data, Eigen::Index q_size) {
  check_data_matches(model, data);
  detail::check_configuration(model, q_size);
}

void check_vector(const char* what, std::size_t expected, Eigen::Index got) {
  if (static_cast<std::size_t>(got) != expected) {
    throw Error(std::string(what) + " vector size mismatch: expected " + std::to_string(expected) +
                ", got " + std::to_string(got));
  }
}

const VectorX& aba_checked(const Model& model, Data& data, const Inputs& in) {
  FdWork& fd = data.work.fd;
  aba_velocity_sweep(model, fd, in);
  aba_backward_sweep(model, fd, in);
  aba_acceleration_sweep(model, fd);
  const Eigen::Index bad = first_non_finite(fd.ddq.data(), fd.ddq.size());
  if (bad >= 0) {
    check_inputs_finite(model, in);
    std::size_t joint = 1;
    while (joint + 1 < model.njoints &&
           !(static_cast<std::size_t>(bad) < model.idx_vs[joint] + model.nvs[joint])) {
      ++joint;
    }
    throw Error("Joint accelerations are not finite (velocity index " + std::to_string(bad) +
                ", " + joint_label(model, joint) +
                "): the inputs are too large for double precision");
  }
  data.ddq = fd.ddq;
  return data.ddq;
}

// ---------------------------------------------------------------------------
// The inverse mass matrix, for checked inputs: the articulated-body algorithm
// run for the nv unit joint forces at once (zero velocity, no gravity), the
// unit forces' bias forces and accelerations carried as 6 x nv matrices in
// the frame with the world's axes centred on the first joint, where moving
// them from a joint to its parent changes nothing.

// Forward sweep: placements X_i, placements oX_i in that frame, Ia_i = I_i.
void minverse_placement_sweep(const Model& model, FdWork& fd, const double* q) {
  Vec3 origin = Vec3::Zero();
  bool first = true;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    placement_step(model, fd, i, q);
    const std::size_t p = model.parents[i];
    if (p == 0) {
      if (first) origin = fd.limi[i].translation;
      first = false;
      fd.omi[i] = fd.limi[i];
      fd.omi[i].translation -= origin;
    } else {
      fd.omi[i] = fd.omi[p].compose(fd.limi[i]);
    }
    fd.ia[i] = inertia_matrix(detail::body_inertia(model, i));
  }
}

// Backward sweep over the joints: articulated inertias, then for each
// coordinate r of joint i and each coordinate c of its subtree (in world
// columns: oS_i, oU_i),
//   M^-1(r, c) = [D_i^-1 (e_c - oS_i^T F_c)]_r     (e_c: unit on i's own coordinates)
//   F_c       += oU_i M^-1(i, c)
// where F_c, the bias force of unit force c seen from the joint being
// visited, starts at zero. Entries of rows i outside the subtree start at 0.
void minverse_backward_sweep(const Model& model, FdWork& fd, const Inputs& in) {
  const auto nv = static_cast<Eigen::Index>(model.nv);
  fd.f.setZero();
  for (std::size_t i = model.njoints - 1; i >= 1; --i) {
    articulated_inertia_step(model, fd, i, in);
    const std::size_t k = model.nvs[i];
    if (k == 0) continue;
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    const auto n = static_cast<Eigen::Index>(k);
    for (Eigen::Index c = 0; c < n; ++c) {
      fd.s_world.col(b + c) = act_motion(fd.omi[i], subspace_motion(model, i, static_cast<std::size_t>(c)));
      fd.u_world.col(b + c) = act_force(fd.omi[i], fd.ia_s.col(b + c));
    }
    fd.minv.block(b, b, n, nv - b).setZero();
    const auto d_inv = fd.d_inv.block(0, b, n, n);
    const auto s = fd.s_world.middleCols(b, n);
    const auto u = fd.u_world.middleCols(b, n);
    const bool to_parent = model.parents[i] != 0;
    detail::for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
      for (auto c = static_cast<Eigen::Index>(first); c < static_cast<Eigen::Index>(first + count); ++c) {
        SmallVector rhs = -s.transpose().lazyProduct(fd.f.col(c));
        if (c >= b && c < b + n) rhs[c - b] += 1.0;
        const SmallVector m = d_inv.lazyProduct(rhs);
        fd.minv.block(b, c, n, 1) = m;
        if (to_parent) fd.f.col(c) += u.lazyProduct(m);
      }
    });
  }
}

// Forward sweep over the joints, for the coordinates c >= idx_v(i) (the upper
// triangle), with A_p,c the acceleration of joint i's parent under unit force
// c (zero for the universe):
//   M^-1(i, c) -= D_i^-1 oU_i^T A_p,c
//   A_i,c       = A_p,c + oS_i M^-1(i, c)
// A fixed joint moves with its parent: it shares its parent's accelerations.
void minverse_forward_sweep(const Model& model, FdWork& fd) {
  const auto nv = static_cast<Eigen::Index>(model.nv);
  fd.acc_owner[0] = 0;
  std::size_t next = 0;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const std::size_t owner = fd.acc_owner[model.parents[i]];
    if (model.nvs[i] == 0) {
      fd.acc_owner[i] = owner;
      continue;
    }
    fd.acc_owner[i] = i;
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    const auto n = static_cast<Eigen::Index>(model.nvs[i]);
    fd.acc_start[i] = next;
    next += static_cast<std::size_t>(nv - b);
    const auto d_inv = fd.d_inv.block(0, b, n, n);
    const auto s = fd.s_world.middleCols(b, n);
    const auto u = fd.u_world.middleCols(b, n);
    const auto own = static_cast<Eigen::Index>(fd.acc_start[i]) - b;
    const auto from = owner != 0 ? static_cast<Eigen::Index>(fd.acc_start[owner]) -
                                       static_cast<Eigen::Index>(model.idx_vs[owner])
                                 : 0;
    for (Eigen::Index c = b; c < nv; ++c) {
      const Vec6 ap = owner != 0 ? Vec6(fd.acc.col(from + c)) : Vec6::Zero();
      const SmallVector t = u.transpose().lazyProduct(ap);
      const SmallVector m = fd.minv.block(b, c, n, 1) - d_inv.lazyProduct(t);
      fd.minv.block(b, c, n, 1) = m;
      fd.acc.col(own + c) = ap + s.lazyProduct(m);
    }
  }
}

const MatrixX& minverse_checked(const Model& model, Data& data, const Inputs& in) {
  FdWork& fd = data.work.fd;
  minverse_placement_sweep(model, fd, in.q);
  minverse_backward_sweep(model, fd, in);
  minverse_forward_sweep(model, fd);
  const auto nv = static_cast<Eigen::Index>(model.nv);
  for (Eigen::Index c = 0; c < nv; ++c) {
    for (Eigen::Index r = 0; r <= c; ++r) {
      if (!std::isfinite(fd.minv(r, c))) {
        check_inputs_finite(model, in);
        throw Error("Inverse mass matrix is not finite at (" + std::to_string(r) + ", " +
                    std::to_string(c) + "): the model's inertias are too small or too large "
                    "for double precision");
      }
    }
  }
  for (Eigen::Index c = 0; c < nv; ++c) {
    for (Eigen::Index r = 0; r < nv; ++r) data.Minv(r, c) = r <= c ? fd.minv(r, c) : fd.minv(c, r);
  }
  return data.Minv;
}

}  // namespace

const VectorX& aba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                   const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& tau) {
  check_common(model, data, q.size());
  detail::check_velocity(model, v.size());
  check_vector("Torque", model.nv, tau.size());
  return aba_checked(model, data, Inputs{q.data(), v.data(), tau.data(), nullptr});
}

const VectorX& aba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                   const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& tau,
                   const std::vector<Vec6>& fext) {
  check_common(model, data, q.size());
  detail::check_velocity(model, v.size());
  check_vector("Torque", model.nv, tau.size());
  if (fext.size() != model.njoints) {
    throw Error("External force vector size mismatch: expected " + std::to_string(model.njoints) +
                ", got " + std::to_string(fext.size()));
  }
  return aba_checked(model, data, Inputs{q.data(), v.data(), tau.data(), &fext});
}

const MatrixX& compute_minverse(const Model& model, Data& data,
                                const Eigen::Ref<const VectorX>& q) {
  check_common(model, data, q.size());
  return minverse_checked(model, data, Inputs{q.data(), nullptr, nullptr, nullptr});
}

}  // namespace trelvar
