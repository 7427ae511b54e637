// Forward dynamics: the articulated-body algorithm and the inverse mass matrix.
//
// Both passes keep every intermediate quantity in Data::work.fd and write
// their result field (ddq, Minv) only once it is known to be finite, so a call
// that fails leaves the Data's results as they were.
//
// From the internal headers this file uses: the checks of the vector sizes,
// the body inertia of a joint, the joint angle and the subtree runs
// (algorithms.hpp); the joint kernel and the rotation forms AxisRotation /
// FullRotation with their dispatcher with_rotation (kernel.hpp); motions and
// forces as pairs of 3-vectors with their transforms, cross products, inertia
// action, joint motion S x and projection S^T f (motion.hpp).
#include "trelvar/forward_dynamics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "algorithms.hpp"
#include "kernel.hpp"
#include "motion.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

namespace {

using detail::Motion;
using FdWork = Data::Work::ForwardDynamics;
using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 6, 6>;
using SmallVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 6, 1>;
using Columns = Eigen::Matrix<double, 6, Eigen::Dynamic, 0, 6, 6>;

// ---------------------------------------------------------------------------
// Articulated inertias. A 6x6 spatial inertia, angular part first, maps a
// motion [w; v] to the force [n; f]; in 3x3 blocks it is [[A, B], [B^T, C]]
// with A and C symmetric: n = A w + B v, f = B^T w + C v. Data::work.fd.ia
// keeps A, B and C in their places in a Mat6 (the B^T block is not kept).

// Column j of a 6-row matrix as a motion or force, and back.
inline Motion load_column(const Matrix6X& m, Eigen::Index j) {
  const double* x = m.data() + 6 * j;
  return {Vec3(x[0], x[1], x[2]), Vec3(x[3], x[4], x[5])};
}
inline void store_column(Matrix6X& m, Eigen::Index j, const Motion& v) {
  double* x = m.data() + 6 * j;
  for (int k = 0; k < 3; ++k) {
    x[k] = v.w[k];
    x[3 + k] = v.v[k];
  }
}

inline Mat3 block_a(const Mat6& m) { return m.topLeftCorner<3, 3>(); }
inline Mat3 block_b(const Mat6& m) { return m.topRightCorner<3, 3>(); }
inline Mat3 block_c(const Mat6& m) { return m.bottomRightCorner<3, 3>(); }

// The body inertia (the matrix of Inertia::apply): with m the mass, c the
// centre of mass and Ic the rotational inertia about it,
//   A = Ic + m (|c|^2 1 - c c^T),  B = m [c]x,  C = m 1.
void set_body_inertia(const Inertia& in, Mat6& ia) {
  const double m = in.mass;
  const Vec3& c = in.lever;
  const Vec3 mc = m * c;
  const std::array<double, 6>& i = in.inertia;
  auto a = ia.topLeftCorner<3, 3>();
  a(0, 0) = i[0] + (mc[1] * c[1] + mc[2] * c[2]);
  a(1, 1) = i[2] + (mc[0] * c[0] + mc[2] * c[2]);
  a(2, 2) = i[5] + (mc[0] * c[0] + mc[1] * c[1]);
  a(1, 0) = a(0, 1) = i[1] - mc[1] * c[0];
  a(2, 0) = a(0, 2) = i[3] - mc[2] * c[0];
  a(2, 1) = a(1, 2) = i[4] - mc[2] * c[1];
  ia.topRightCorner<3, 3>() = skew(mc);
  auto cc = ia.bottomRightCorner<3, 3>();
  cc.setZero();
  cc.diagonal().setConstant(m);
}

// Ia m.
inline Motion apply_articulated(const Mat6& ia, const Motion& m) {
  return {mul(block_a(ia), m.w) + mul(block_b(ia), m.v),
          mul_transpose(block_b(ia), m.w) + mul(block_c(ia), m.v)};
}

// R M R^T for a rotation R in a form of kernel.hpp (AxisRotation, FullRotation).
template <class Rot>
inline Mat3 congruence(const Rot& r, const Mat3& m) {
  Mat3 n;  // M R^T, row by row
  for (int i = 0; i < 3; ++i) n.row(i) = r.mul(m.row(i).transpose()).transpose();
  Mat3 out;
  for (int j = 0; j < 3; ++j) out.col(j) = r.mul(n.col(j));
  return out;
}

// [t]x M, column by column.
inline Mat3 skew_times(const Vec3& t, const Mat3& m) {
  Mat3 out;
  for (int j = 0; j < 3; ++j) out.col(j) = cross(t, m.col(j));
  return out;
}

// out += X* Ia X^-1 for X = (R, t), the placement of a child frame in its
// parent's: the inertia (a, b, c), given in the child frame, expressed in the
// parent frame. With the blocks rotated first, A' = R A R^T, B' = R B R^T,
// C' = R C R^T, and P = [t]x, Y = P C', X = P B'^T, the parent-frame blocks are
//   C_p = C',  B_p = B' + Y,  A_p = A' + X + X^T - Y P.
template <class Rot>
void add_in_parent_frame(const Rot& r, const Vec3& t, const Mat3& a, const Mat3& b, const Mat3& c,
                         Mat6& out) {
  const Mat3 ar = congruence(r, a), br = congruence(r, b), cr = congruence(r, c);
  const Mat3 y = skew_times(t, cr);
  const Mat3 x = skew_times(t, br.transpose());
  Mat3 yp;  // Y P, row by row: (Y P)(i, :) = -(t x Y(i, :))^T
  for (int i = 0; i < 3; ++i) yp.row(i) = -cross(t, y.row(i).transpose()).transpose();
  out.topLeftCorner<3, 3>() += ar + x + x.transpose() - yp;
  out.topRightCorner<3, 3>() += br + y;
  out.bottomRightCorner<3, 3>() += cr;
}

// ---------------------------------------------------------------------------
// Numerics: the joint-space inertia D = S^T Ia S of each joint is factored as
// L diag(d) L^T (L unit lower triangular; a one-coordinate joint's D is its
// own pivot). D is singular, and the call fails, when a pivot d_k is not above
// kSingularTolerance times the scale of its coordinate: the trace of the
// rotational block A of Ia (about the joint's origin) for a rotation
// coordinate, the trace of the translational block C for a translation
// coordinate. Both traces are independent of how the joint frame is turned
// and of the units the model uses, so the test asks whether the bodies the
// joint carries have (almost) no inertia along its motion compared with their
// inertia in other directions. 1e-12 is about 5000 times the rounding of one
// double operation: a pivot below it is lost in the rounding of the sums that
// form D.
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

// True when the pivot passes the test above.
inline bool pivot_ok(double pivot, double scale) {
  return pivot > kSingularTolerance * scale && pivot <= std::numeric_limits<double>::max() &&
         scale <= std::numeric_limits<double>::max();
}

// Throws the error for a pivot of joint i that failed the test: a non-finite
// configuration first (only q and the model enter D), then a non-finite D,
// then a singular one.
[[noreturn]] void fail_pivot(const Model& model, std::size_t i, double pivot, double scale,
                             const Inputs& in) {
  check_inputs_finite(model, Inputs{in.q, nullptr, nullptr, nullptr});
  if (!std::isfinite(pivot) || !std::isfinite(scale)) {
    throw Error("Articulated inertia of " + joint_label(model, i) +
                " is not finite: the model's inertias or placements hold values too large for "
                "double precision");
  }
  throw Error("Articulated inertia of " + joint_label(model, i) + " is singular (pivot " +
              number(pivot) + " against scale " + number(scale) +
              "): the bodies it carries have no inertia along its motion");
}

// D^-1 for the n x n joint-space inertia D of a joint with several
// coordinates (lower triangle read); scale[k] is the scale of coordinate k.
void invert_joint_inertia(const Model& model, std::size_t i, const SmallMatrix& d,
                          const double* scale, const Inputs& in, SmallMatrix& d_inv) {
  const Eigen::Index n = d.rows();
  SmallMatrix l = SmallMatrix::Identity(n, n);
  double pivot[6];
  for (Eigen::Index k = 0; k < n; ++k) {
    double dk = d(k, k);
    for (Eigen::Index j = 0; j < k; ++j) dk -= l(k, j) * l(k, j) * pivot[j];
    if (!pivot_ok(dk, scale[k])) fail_pivot(model, i, dk, scale[k], in);
    pivot[k] = dk;
    for (Eigen::Index r = k + 1; r < n; ++r) {
      double x = d(r, k);
      for (Eigen::Index j = 0; j < k; ++j) x -= l(r, j) * l(k, j) * pivot[j];
      l(r, k) = x / dk;
    }
  }
  // D^-1 = L^-T diag(1/d) L^-1, with L^-1 by forward substitution.
  SmallMatrix l_inv = SmallMatrix::Identity(n, n);
  for (Eigen::Index c = 0; c < n; ++c) {
    for (Eigen::Index r = c + 1; r < n; ++r) {
      double x = 0.0;
      for (Eigen::Index j = c; j < r; ++j) x -= l(r, j) * l_inv(j, c);
      l_inv(r, c) = x;
    }
  }
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

// Column k of joint i's motion subspace S as a motion vector (angular first).
inline Vec6 subspace_motion(const Model& model, std::size_t i, std::size_t k) {
  return swap_halves(detail::subspace_column(model.joints[i], model.unit_axes[i], k));
}

// X_i = placement_i T_i(q_i) into fd.limi[i]. Returns k when its rotation
// turns about e_k (a Revolute or Continuous joint about +-e_k under an
// unrotated placement; the rotation is then written out from its sine and
// cosine), else -1.
inline int placement_step(const Model& model, FdWork& fd, std::size_t i, const double* q) {
  const Joint& joint = model.joints[i];
  const SE3& fixed = model.placements[i];
  SE3& x = fd.limi[i];
  const double* qi = q + model.idx_qs[i];
  const int k = model.axis_index[i];
  switch (joint.joint_type) {
    case JointType::Fixed:
      x = fixed;
      return -1;
    case JointType::Revolute:
    case JointType::Continuous:
      if (k >= 0 && detail::is_identity(fixed.rotation)) {
        double s = 0.0, c = 1.0;
        detail::sin_cos(detail::joint_angle(joint.joint_type, qi), s, c);
        x.translation = fixed.translation;
        detail::with_axis_rotation(k, c, model.unit_axes[i][k] * s,
                                   [&](const auto& r) { x.rotation = r.matrix(); });
        return k;
      }
      break;
    case JointType::Prismatic:
      x.rotation = fixed.rotation;
      x.translation = mul(fixed.rotation, qi[0] * model.unit_axes[i]) + fixed.translation;
      return -1;
    default:
      break;
  }
  x = fixed.compose(detail::joint_transform(joint, model.unit_axes[i], qi));
  return -1;
}

// One joint of the backward sweep over the articulated inertias:
//   U_i = Ia_i S_i,  D_i = S_i^T U_i  (factored, checked and inverted),
//   Ia^a = Ia_i - U_i D_i^-1 U_i^T,   Ia_p += X_i* Ia^a X_i^-1 (p not the universe).
// Ia_i is complete here: every child has added its part. U_i and D_i^-1 go
// to fd.ia_s and fd.d_inv.
template <class Rot>
void articulated_inertia_step(const Model& model, FdWork& fd, std::size_t i, const Rot& r,
                              const Inputs& in) {
  const Mat6& ia = fd.ia[i];
  Mat3 a = block_a(ia), b = block_b(ia), c = block_c(ia);
  const auto col = static_cast<Eigen::Index>(model.idx_vs[i]);
  const JointType type = model.joints[i].joint_type;
  switch (type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
    case JointType::Continuous:
    case JointType::Prismatic: {
      // S = [u; 0] (rotation) or [0; u] (translation).
      const Vec3& u = model.unit_axes[i];
      const bool rotation = type != JointType::Prismatic;
      const Motion uc = rotation ? Motion{mul(a, u), mul_transpose(b, u)} : Motion{mul(b, u), mul(c, u)};
      const double d = u.dot(rotation ? uc.w : uc.v);
      const double scale = rotation ? a.trace() : c.trace();
      if (!pivot_ok(d, scale)) fail_pivot(model, i, d, scale, in);
      const double d_inv = 1.0 / d;
      store_column(fd.ia_s, col, uc);
      fd.d_inv(0, col) = d_inv;
      const Vec3 w = d_inv * uc.w, v = d_inv * uc.v;
      a -= w * uc.w.transpose();
      b -= w * uc.v.transpose();
      c -= v * uc.v.transpose();
      break;
    }
    default: {
      const auto n = static_cast<Eigen::Index>(model.nvs[i]);
      Columns s(6, n);
      double scale[6];
      for (Eigen::Index k = 0; k < n; ++k) {
        s.col(k) = subspace_motion(model, i, static_cast<std::size_t>(k));
        scale[k] = s.col(k).head<3>().squaredNorm() > 0.0 ? a.trace() : c.trace();
      }
      Columns u(6, n);
      for (Eigen::Index k = 0; k < n; ++k) {
        const Motion uk = apply_articulated(ia, detail::load(Vec6(s.col(k))));
        u.col(k) << uk.w, uk.v;
      }
      const SmallMatrix d = s.transpose().lazyProduct(u);
      SmallMatrix d_inv;
      invert_joint_inertia(model, i, d, scale, in, d_inv);
      fd.ia_s.middleCols(col, n) = u;
      fd.d_inv.block(0, col, n, n) = d_inv;
      const Columns w = u.lazyProduct(d_inv);
      a -= w.topRows<3>().lazyProduct(u.topRows<3>().transpose());
      b -= w.topRows<3>().lazyProduct(u.bottomRows<3>().transpose());
      c -= w.bottomRows<3>().lazyProduct(u.bottomRows<3>().transpose());
      break;
    }
  }
  const std::size_t p = model.parents[i];
  if (p != 0) add_in_parent_frame(r, fd.limi[i].translation, a, b, c, fd.ia[p]);
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
    const int axis = placement_step(model, fd, i, in.q);
    fd.axis[i] = static_cast<std::int8_t>(axis);
    const std::size_t p = model.parents[i];
    const SE3& x = fd.limi[i];
    Motion vi = detail::with_rotation(axis, x.rotation, [&](const auto& r) {
      return p != 0 ? detail::inv_act(r, x.translation, detail::load(fd.v[p])) : Motion::zero();
    });
    Motion ci = Motion::zero();
    if (model.nvs[i] > 0) {
      const Motion vj = detail::joint_motion(model.joints[i].joint_type, model.unit_axes[i],
                                             in.v + model.idx_vs[i]);
      vi += vj;
      ci = detail::cross_motion(vi, vj);
    }
    detail::store(fd.v[i], vi);
    detail::store(fd.c[i], ci);
    const Inertia& body = detail::body_inertia(model, i);
    set_body_inertia(body, fd.ia[i]);
    Motion pa = detail::cross_force(vi, detail::apply(body, vi));
    if (in.fext != nullptr) {
      const Motion f = detail::load((*in.fext)[i]);
      pa = {pa.w - f.w, pa.v - f.v};
    }
    detail::store(fd.pa[i], pa);
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
    const SE3& x = fd.limi[i];
    detail::with_rotation(fd.axis[i], x.rotation, [&](const auto& r) {
      const Motion ci = detail::load(fd.c[i]);
      const Motion pai = detail::load(fd.pa[i]);
      Motion pa = pai + apply_articulated(fd.ia[i], ci);
      articulated_inertia_step(model, fd, i, r, in);
      const std::size_t k = model.nvs[i];
      if (k > 0) {
        const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
        const auto n = static_cast<Eigen::Index>(k);
        const JointType type = model.joints[i].joint_type;
        detail::project_force(type, model.unit_axes[i], pai, fd.u.data() + b);
        for (Eigen::Index j = 0; j < n; ++j) fd.u[b + j] = in.tau[b + j] - fd.u[b + j];
        const auto u = fd.ia_s.middleCols(b, n);
        const SmallVector rhs = fd.u.segment(b, n) - u.transpose().lazyProduct(Vec6(fd.c[i]));
        const SmallVector m = fd.d_inv.block(0, b, n, n).lazyProduct(rhs);
        const Vec6 um = u.lazyProduct(m);
        pa += detail::load(um);
      }
      const std::size_t p = model.parents[i];
      if (p != 0) detail::store(fd.pa[p], detail::load(fd.pa[p]) + detail::act_force(r, x.translation, pa));
    });
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
    const SE3& x = fd.limi[i];
    Motion ai = detail::with_rotation(fd.axis[i], x.rotation, [&](const auto& r) {
      return detail::inv_act(r, x.translation, detail::load(fd.a[p]));
    });
    ai += detail::load(fd.c[i]);
    const std::size_t k = model.nvs[i];
    if (k > 0) {
      const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
      const auto n = static_cast<Eigen::Index>(k);
      Vec6 a6;
      detail::store(a6, ai);
      const SmallVector rhs = fd.u.segment(b, n) - fd.ia_s.middleCols(b, n).transpose().lazyProduct(a6);
      fd.ddq.segment(b, n) = fd.d_inv.block(0, b, n, n).lazyProduct(rhs);
      ai += detail::joint_motion(model.joints[i].joint_type, model.unit_axes[i], fd.ddq.data() + b);
    }
    detail::store(fd.a[i], ai);
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
    const int axis = placement_step(model, fd, i, q);
    fd.axis[i] = static_cast<std::int8_t>(axis);
    const std::size_t p = model.parents[i];
    const SE3& x = fd.limi[i];
    SE3& o = fd.omi[i];
    if (p == 0) {
      if (first) origin = x.translation;
      first = false;
      o.rotation = x.rotation;
      o.translation = x.translation - origin;
    } else {
      const SE3& op = fd.omi[p];
      detail::with_rotation(axis, x.rotation, [&](const auto& r) {
        using Rot = std::decay_t<decltype(r)>;
        if constexpr (detail::IsAxisRotation<Rot>::value) {
          o.rotation = r.right_of(op.rotation);
        } else {
          o.rotation = matmul(op.rotation, x.rotation);
        }
      });
      o.translation = mul(op.rotation, x.translation) + op.translation;
    }
    set_body_inertia(detail::body_inertia(model, i), fd.ia[i]);
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
    detail::with_rotation(fd.axis[i], fd.limi[i].rotation,
                          [&](const auto& r) { articulated_inertia_step(model, fd, i, r, in); });
    const std::size_t k = model.nvs[i];
    if (k == 0) continue;
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    const auto n = static_cast<Eigen::Index>(k);
    const SE3& o = fd.omi[i];
    for (Eigen::Index c = 0; c < n; ++c) {
      const Motion s = detail::load(subspace_motion(model, i, static_cast<std::size_t>(c)));
      const Vec3 rw = mul(o.rotation, s.w);
      const Motion sw{rw, mul(o.rotation, s.v) + cross(o.translation, rw)};
      store_column(fd.s_world, b + c, sw);
      const Motion uc = load_column(fd.ia_s, b + c);
      const Vec3 rf = mul(o.rotation, uc.v);
      const Motion uw{mul(o.rotation, uc.w) + cross(o.translation, rf), rf};
      store_column(fd.u_world, b + c, uw);
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
    if (owner == 0) {
      for (Eigen::Index c = b; c < nv; ++c) {
        fd.acc.col(own + c) = s.lazyProduct(fd.minv.block(b, c, n, 1));
      }
      continue;
    }
    const auto from = static_cast<Eigen::Index>(fd.acc_start[owner]) -
                      static_cast<Eigen::Index>(model.idx_vs[owner]);
    for (Eigen::Index c = b; c < nv; ++c) {
      const Vec6 ap = fd.acc.col(from + c);
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
