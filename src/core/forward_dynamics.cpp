// Forward dynamics: the articulated-body algorithm and the inverse mass matrix.
//
// Both passes keep every intermediate quantity in Data::work.fd and write
// their result field (ddq, Minv) only once it is known to be finite, so a call
// that fails leaves the Data's results as they were.
//
// From the internal headers this file uses: the checks of the vector sizes,
// the body inertia of a joint, the joint angle and the subtree runs
// (algorithms.hpp); the joint kernel, sin_cos, is_identity and the rotation
// forms AxisRotation / FullRotation with their dispatchers (kernel.hpp);
// motions and forces as pairs of 3-vectors with their transforms, cross
// products, inertia action, joint motion S x and projection S^T f (motion.hpp);
// two of them side by side in SSE2 lanes with the force transform (pairs.hpp).
#include "trelvar/forward_dynamics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "algorithms.hpp"
#include "inertia_lanes.hpp"
#include "kernel.hpp"
#include "motion.hpp"
#include "pairs.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

namespace {

using detail::Motion;
using FdWork = Data::Work::ForwardDynamics;
using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 6, 6>;
using SmallVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 6, 1>;
using Columns = Eigen::Matrix<double, 6, Eigen::Dynamic, 0, 6, 6>;

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

// ---------------------------------------------------------------------------
// Articulated inertias. A 6x6 spatial inertia, angular part first, maps a
// motion [w; v] to the force [n; f]; in 3x3 blocks it is [[A, B], [B^T, C]]
// with A and C symmetric: n = A w + B v, f = B^T w + C v. Data::work.fd.ia
// keeps it whole (both triangles). Column j is the force of the unit motion
// e_j, and by symmetry entries j and j + 1 of a column k are entries k of the
// columns j and j + 1: a pair of columns loads as two forces side by side
// (pairs.hpp), two numbers per instruction.

using detail::Lanes;
using detail::MotionPair;

// Component k (0-2 angular, 3-5 linear) of a pair.
inline Lanes& part(MotionPair& m, int k) { return k < 3 ? m.w[k] : m.v[k - 3]; }
inline const Lanes& part(const MotionPair& m, int k) { return k < 3 ? m.w[k] : m.v[k - 3]; }

// Columns j and j + 1 (j even) of the symmetric x, as forces side by side.
inline MotionPair column_pair(const Mat6& x, int j) {
  MotionPair out;
  for (int k = 0; k < 6; ++k) __builtin_memcpy(&part(out, k), x.data() + 6 * k + j, sizeof(Lanes));
  return out;
}

// The body inertia (the matrix of Inertia::apply) written into x (kAdd:
// added to it): with m the mass, c the centre of mass and Ic the rotational
// inertia about it,
//   A = Ic + m (|c|^2 1 - c c^T),  B = m [c]x,  C = m 1.
// The zero entries of B and the off-diagonal ones of C are written only when
// x is set.
template <bool kAdd>
inline void put_body_inertia(const Inertia& in, Mat6& x) {
  const double m = in.mass;
  const Vec3& c = in.lever;
  const Vec3 mc = m * c;
  const std::array<double, 6>& i = in.inertia;
  double* e = x.data();  // entry (r, s) at 6 s + r
  const auto put = [e](int r, int s, double value) {
    if (kAdd) {
      e[6 * s + r] += value;
      if (r != s) e[6 * r + s] += value;
    } else {
      e[6 * s + r] = value;
      e[6 * r + s] = value;
    }
  };
  put(0, 0, i[0] + (mc[1] * c[1] + mc[2] * c[2]));
  put(1, 1, i[2] + (mc[0] * c[0] + mc[2] * c[2]));
  put(2, 2, i[5] + (mc[0] * c[0] + mc[1] * c[1]));
  put(1, 0, i[1] - mc[1] * c[0]);
  put(2, 0, i[3] - mc[2] * c[0]);
  put(2, 1, i[4] - mc[2] * c[1]);
  // B = m [c]x: rows 0-2, columns 3-5.
  put(0, 4, -mc[2]);
  put(0, 5, mc[1]);
  put(1, 3, mc[2]);
  put(1, 5, -mc[0]);
  put(2, 3, -mc[1]);
  put(2, 4, mc[0]);
  for (int k = 3; k < 6; ++k) put(k, k, m);
  if (!kAdd) {
    for (int k = 0; k < 3; ++k) put(k, 3 + k, 0.0);
    put(4, 3, 0.0);
    put(5, 3, 0.0);
    put(5, 4, 0.0);
  }
}
inline void set_body_inertia(const Inertia& in, Mat6& x) { put_body_inertia<false>(in, x); }

// Column k of x as a force.
inline Motion articulated_column(const Mat6& x, int k) {
  const double* c = x.data() + 6 * k;
  return {Vec3(c[0], c[1], c[2]), Vec3(c[3], c[4], c[5])};
}

// Ia m, column by column.
inline Motion apply_articulated(const Mat6& x, const Motion& m) {
  Lanes sum[3] = {Lanes{0.0, 0.0}, Lanes{0.0, 0.0}, Lanes{0.0, 0.0}};
  for (int k = 0; k < 6; ++k) {
    const double mk = k < 3 ? m.w[k] : m.v[k - 3];
    for (int r = 0; r < 3; ++r) {
      Lanes col;
      __builtin_memcpy(&col, x.data() + 6 * k + 2 * r, sizeof col);
      sum[r] += col * mk;
    }
  }
  return {Vec3(sum[0][0], sum[0][1], sum[1][0]), Vec3(sum[1][1], sum[2][0], sum[2][1])};
}

// x -= w u^T for a term of the sum U D^-1 U^T (w = U D^-1 for one coordinate).
inline void subtract_outer(Mat6& x, const Motion& w, const Motion& u) {
  Vec6 w6, u6;
  detail::store(w6, w);
  detail::store(u6, u);
  x.noalias() -= w6 * u6.transpose();
}

// parent += X* Ia X^-1 - d_inv w w^T for X = (R, t), the placement of a child
// frame in its parent's: the inertia x, given in the child frame, expressed
// in the parent frame, less the rank-one term of a one-coordinate joint (w =
// X* U; d_inv = 0 for none). X* Ia X^-1 = X* (X* Ia)^T, Ia being symmetric:
// the force transform X* applied to the columns of Ia, then to the rows of
// the result, two columns (rows) at a time.
template <class Rot>
inline void add_in_parent_frame(const Rot& r, const Vec3& t, const Mat6& x, const Motion& w,
                                double d_inv, Mat6& parent) {
  MotionPair y[3];  // X* Ia, columns (0, 1), (2, 3), (4, 5)
  for (int j = 0; j < 3; ++j) y[j] = detail::act_force(r, t, column_pair(x, 2 * j));
  MotionPair rows[3];  // rows (0, 1), (2, 3), (4, 5) of X* Ia, as columns of its transpose
  for (int rp = 0; rp < 3; ++rp) {
    for (int j = 0; j < 3; ++j) {
      const Lanes top = part(y[j], 2 * rp), bottom = part(y[j], 2 * rp + 1);
      part(rows[rp], 2 * j) = Lanes{top[0], bottom[0]};
      part(rows[rp], 2 * j + 1) = Lanes{top[1], bottom[1]};
    }
  }
  Vec6 w6;
  detail::store(w6, w);
  for (int rp = 0; rp < 3; ++rp) {
    const MotionPair z = detail::act_force(r, t, rows[rp]);  // columns 2 rp, 2 rp + 1 of the result
    const Lanes wd{d_inv * w6[2 * rp], d_inv * w6[2 * rp + 1]};
    for (int k = 0; k < 6; ++k) {
      Lanes acc;
      double* at = parent.data() + 6 * k + 2 * rp;
      __builtin_memcpy(&acc, at, sizeof acc);
      acc += part(z, k) - wd * w6[k];
      __builtin_memcpy(at, &acc, sizeof acc);
    }
  }
}

// Traces of A and C, the scales of the singularity test below.
inline double trace_a(const Mat6& x) { return x(0, 0) + x(1, 1) + x(2, 2); }
inline double trace_c(const Mat6& x) { return x(3, 3) + x(4, 4) + x(5, 5); }

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

inline double dot(const Motion& a, const Motion& b) { return a.w.dot(b.w) + a.v.dot(b.v); }
inline Motion scaled(double s, const Motion& m) { return {s * m.w, s * m.v}; }

// X_i = placement_i T_i(q_i) into fd.limi[i]. Returns k when its rotation
// turns about e_k (a Revolute or Continuous joint about +-e_k under an
// unrotated placement; the rotation is then written out from its sine and
// cosine), else -1.
inline int placement_step(const Model& model, FdWork& fd, std::size_t i, const double* q,
                          const std::array<double, 2>* sincos) {
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
        const double s = sincos[i][0], c = sincos[i][1];
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
//   Ia_p += X_i* (Ia_i - U_i D_i^-1 U_i^T) X_i^-1    (p not the universe),
// the last as X_i* Ia_i X_i^-1 - W D_i^-1 W^T with W = X_i* U_i, so that
// moving Ia_i to the parent does not wait for the division. Ia_i is complete
// here: every child has added its part. U_i and D_i^-1 go to fd.ia_s and
// fd.d_inv; Ia_i itself is left as it is.
template <class Rot>
void articulated_inertia_step(const Model& model, FdWork& fd, std::size_t i, const Rot& r,
                              const Inputs& in) {
  const Mat6& x = fd.ia[i];
  const std::size_t p = model.parents[i];
  const Vec3& t = fd.limi[i].translation;
  const auto col = static_cast<Eigen::Index>(model.idx_vs[i]);
  const JointType type = model.joints[i].joint_type;
  switch (type) {
    case JointType::Fixed:
      // A fixed leaf carries its own body only: a rigid inertia, moved to the
      // parent as such (ten numbers).
      if (p != 0 && model.subtrees[i].size() == 1) {
        put_body_inertia<true>(detail::act_on_inertia(fd.limi[i], detail::body_inertia(model, i)), fd.ia[p]);
      } else if (p != 0) {
        add_in_parent_frame(r, t, x, Motion::zero(), 0.0, fd.ia[p]);
      }
      break;
    case JointType::Revolute:
    case JointType::Continuous:
    case JointType::Prismatic: {
      // S = [u; 0] (rotation) or [0; u] (translation); about a coordinate axis
      // k, U is column k (or 3 + k) of Ia, signed, and D its diagonal entry.
      const Vec3& u = model.unit_axes[i];
      const int k = model.axis_index[i];
      const bool rotation = type != JointType::Prismatic;
      Motion uc;
      double d;
      if (k >= 0) {
        uc = articulated_column(x, rotation ? k : 3 + k);
        d = rotation ? x(k, k) : x(3 + k, 3 + k);
        if (u[k] < 0.0) uc = scaled(-1.0, uc);
      } else {
        uc = apply_articulated(x, rotation ? Motion{u, Vec3::Zero()} : Motion{Vec3::Zero(), u});
        d = u.dot(rotation ? uc.w : uc.v);
      }
      const double scale = rotation ? trace_a(x) : trace_c(x);
      if (!pivot_ok(d, scale)) fail_pivot(model, i, d, scale, in);
      const double d_inv = 1.0 / d;
      const Motion w = detail::act_force(r, t, uc);
      store_column(fd.ia_s, col, uc);
      store_column(fd.ia_s_parent, col, w);
      fd.d_inv(0, col) = d_inv;
      if (p != 0) add_in_parent_frame(r, t, x, w, d_inv, fd.ia[p]);
      break;
    }
    default: {
      const auto n = static_cast<Eigen::Index>(model.nvs[i]);
      Columns s(6, n), u(6, n);
      double scale[6];
      for (Eigen::Index k = 0; k < n; ++k) {
        s.col(k) = subspace_motion(model, i, static_cast<std::size_t>(k));
        scale[k] = s.col(k).head<3>().squaredNorm() > 0.0 ? trace_a(x) : trace_c(x);
        const Motion uk = apply_articulated(x, detail::load(Vec6(s.col(k))));
        u.col(k) << uk.w, uk.v;
      }
      const SmallMatrix d = s.transpose().lazyProduct(u);
      SmallMatrix d_inv;
      invert_joint_inertia(model, i, d, scale, in, d_inv);
      fd.ia_s.middleCols(col, n) = u;
      fd.d_inv.block(0, col, n, n) = d_inv;
      if (p != 0) {
        add_in_parent_frame(r, t, x, Motion::zero(), 0.0, fd.ia[p]);
        Columns w(6, n);
        for (Eigen::Index k = 0; k < n; ++k) {
          const Motion wk = detail::act_force(r, t, detail::load(Vec6(u.col(k))));
          w.col(k) << wk.w, wk.v;
        }
        const Columns wd = w.lazyProduct(d_inv);
        for (Eigen::Index k = 0; k < n; ++k) {
          subtract_outer(fd.ia[p], detail::load(Vec6(wd.col(k))), detail::load(Vec6(w.col(k))));
        }
      }
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// The articulated-body algorithm, for checked inputs.

// Forward sweep: placements, velocities and velocity-product terms.
//   X_i  = placement_i T_i(q_i)
//   v_i  = X_i^-1 v_p + S_i qd_i           (v_0 = 0)
//   c_i  = v_i x (S_i qd_i)
//   Ia_i = I_i,  pA_i = v_i x* (I_i v_i) - fext_i
// For a joint about the coordinate axis k, S qd = (wq e_k, 0) and c_i has two
// non-zero products per half (the others are exact zeros).
[[gnu::flatten]] void aba_velocity_sweep(const Model& model, Data& data, const Inputs& in) {
  FdWork& fd = data.work.fd;
  detail::joint_sines(model, data, in.q);
  const std::array<double, 2>* sincos = data.work.sincos.data();
  fd.v[0].setZero();
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const int axis = placement_step(model, fd, i, in.q, sincos);
    fd.axis[i] = static_cast<std::int8_t>(axis);
    const std::size_t p = model.parents[i];
    const SE3& x = fd.limi[i];
    const Inertia& body = detail::body_inertia(model, i);
    detail::with_rotation(axis, x.rotation, [&](const auto& r) {
      using Rot = std::decay_t<decltype(r)>;
      Motion vi = p != 0 ? detail::inv_act(r, x.translation, detail::load(fd.v[p])) : Motion::zero();
      Motion ci = Motion::zero();
      if constexpr (detail::IsAxisRotation<Rot>::value) {
        constexpr int k = Rot::k, a = Rot::a, b = Rot::b;
        const double wq = in.v[model.idx_vs[i]] * model.unit_axes[i][k];
        ci.w[a] = vi.w[b] * wq;
        ci.w[b] = -(vi.w[a] * wq);
        ci.v[a] = vi.v[b] * wq;
        ci.v[b] = -(vi.v[a] * wq);
        vi.w[k] += wq;
      } else if (model.nvs[i] > 0) {
        const Motion vj = detail::joint_motion(model.joints[i].joint_type, model.unit_axes[i],
                                               in.v + model.idx_vs[i]);
        vi += vj;
        ci = detail::cross_motion(vi, vj);
      }
      detail::store(fd.v[i], vi);
      detail::store(fd.c[i], ci);
      Motion pa = detail::cross_force(vi, detail::apply(body, vi));
      if (in.fext != nullptr) {
        const Motion f = detail::load((*in.fext)[i]);
        pa = {pa.w - f.w, pa.v - f.v};
      }
      detail::store(fd.pa[i], pa);
    });
    set_body_inertia(body, fd.ia[i]);
  }
}

// Backward sweep: articulated inertias (articulated_inertia_step) and bias
// forces:
//   u_i = tau_i - S_i^T pA_i
//   pA_p += X_i* (pA_i + Ia^a c_i + U_i D_i^-1 u_i)   (p not the universe)
// with Ia^a = Ia_i - U_i D_i^-1 U_i^T, so that
//   Ia^a c_i + U_i D_i^-1 u_i = Ia_i c_i + U_i D_i^-1 (u_i - U_i^T c_i).
[[gnu::flatten]] void aba_backward_sweep(const Model& model, FdWork& fd, const Inputs& in) {
  for (std::size_t i = model.njoints - 1; i >= 1; --i) {
    const SE3& x = fd.limi[i];
    const std::size_t p = model.parents[i];
    detail::with_rotation(fd.axis[i], x.rotation, [&](const auto& r) {
      using Rot = std::decay_t<decltype(r)>;
      const Mat6& ia = fd.ia[i];
      const Motion ci = detail::load(fd.c[i]);
      const Motion pai = detail::load(fd.pa[i]);
      Motion pa = pai;
      if constexpr (detail::IsAxisRotation<Rot>::value) {
        // c_i has non-zero entries a, b of each half only.
        constexpr int a = Rot::a, b = Rot::b;
        pa += scaled(ci.w[a], articulated_column(ia, a)) + scaled(ci.w[b], articulated_column(ia, b)) +
              scaled(ci.v[a], articulated_column(ia, 3 + a)) + scaled(ci.v[b], articulated_column(ia, 3 + b));
      } else {
        pa += apply_articulated(ia, ci);
      }
      articulated_inertia_step(model, fd, i, r, in);
      const std::size_t k = model.nvs[i];
      if (k > 0) {
        const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
        detail::project_force(model.joints[i].joint_type, model.unit_axes[i], pai, fd.u.data() + b);
        for (Eigen::Index j = 0; j < static_cast<Eigen::Index>(k); ++j) fd.u[b + j] = in.tau[b + j] - fd.u[b + j];
        if (k == 1) {
          // X* (pA + Ia c) + (X* U) D^-1 (u - U^T c): the transform does not
          // wait for the division.
          const double m = fd.d_inv(0, b) * (fd.u[b] - dot(load_column(fd.ia_s, b), ci));
          if (p != 0) {
            detail::store(fd.pa[p], detail::load(fd.pa[p]) + detail::act_force(r, x.translation, pa) +
                                        scaled(m, load_column(fd.ia_s_parent, b)));
          }
          return;
        } else {
          const auto n = static_cast<Eigen::Index>(k);
          const auto u = fd.ia_s.middleCols(b, n);
          Vec6 c6;
          detail::store(c6, ci);
          const SmallVector rhs = fd.u.segment(b, n) - u.transpose().lazyProduct(c6);
          const SmallVector m = fd.d_inv.block(0, b, n, n).lazyProduct(rhs);
          const Vec6 um = u.lazyProduct(m);
          pa += detail::load(um);
        }
      }
      if (p != 0) detail::store(fd.pa[p], detail::load(fd.pa[p]) + detail::act_force(r, x.translation, pa));
    });
  }
}

// Forward sweep: accelerations.
//   a'_i   = X_i^-1 a_p + c_i               (a_0 = -gravity)
//   ddq_i  = D_i^-1 (u_i - U_i^T a'_i)
//   a_i    = a'_i + S_i ddq_i
// For one coordinate, U_i^T X_i^-1 a_p = (X_i* U_i)^T a_p: the product with
// the parent's acceleration does not wait for its transform.
[[gnu::flatten]] void aba_acceleration_sweep(const Model& model, FdWork& fd) {
  fd.a[0] = -model.gravity;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const std::size_t p = model.parents[i];
    const SE3& x = fd.limi[i];
    const Motion ap = detail::load(fd.a[p]);
    const Motion ci = detail::load(fd.c[i]);
    Motion ai = detail::with_rotation(fd.axis[i], x.rotation,
                                      [&](const auto& r) { return detail::inv_act(r, x.translation, ap); });
    ai += ci;
    const std::size_t k = model.nvs[i];
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    if (k == 1) {
      const double uc = fd.u[b] - dot(load_column(fd.ia_s, b), ci);
      fd.ddq[b] = fd.d_inv(0, b) * (uc - dot(load_column(fd.ia_s_parent, b), ap));
    } else if (k > 1) {
      const auto n = static_cast<Eigen::Index>(k);
      Vec6 a6;
      detail::store(a6, ai);
      const SmallVector rhs = fd.u.segment(b, n) - fd.ia_s.middleCols(b, n).transpose().lazyProduct(a6);
      fd.ddq.segment(b, n) = fd.d_inv.block(0, b, n, n).lazyProduct(rhs);
    }
    if (k > 0) ai += detail::joint_motion(model.joints[i].joint_type, model.unit_axes[i], fd.ddq.data() + b);
    detail::store(fd.a[i], ai);
  }
}

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
  aba_velocity_sweep(model, data, in);
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
[[gnu::flatten]] void minverse_placement_sweep(const Model& model, Data& data, const double* q) {
  FdWork& fd = data.work.fd;
  detail::joint_sines(model, data, q);
  const std::array<double, 2>* sincos = data.work.sincos.data();
  Vec3 origin = Vec3::Zero();
  bool first = true;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const int axis = placement_step(model, fd, i, q, sincos);
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
[[gnu::flatten]] void minverse_backward_sweep(const Model& model, FdWork& fd, const Inputs& in) {
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
      store_column(fd.s_world, b + c, Motion{rw, mul(o.rotation, s.v) + cross(o.translation, rw)});
      const Motion uc = load_column(fd.ia_s, b + c);
      const Vec3 rf = mul(o.rotation, uc.v);
      store_column(fd.u_world, b + c, Motion{mul(o.rotation, uc.w) + cross(o.translation, rf), rf});
    }
    const bool consecutive = model.subtree_is_consecutive(i);
    const Eigen::Index end = consecutive ? b + static_cast<Eigen::Index>(model.nv_subtree[i]) : b;
    fd.minv.block(b, end, n, nv - end).setZero();
    const bool to_parent = model.parents[i] != 0;
    double* f = fd.f.data();
    if (k == 1) {
      const double d_inv = fd.d_inv(0, b);
      const double* s = fd.s_world.data() + 6 * b;
      const double* u = fd.u_world.data() + 6 * b;
      detail::for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
        for (auto c = static_cast<Eigen::Index>(first); c < static_cast<Eigen::Index>(first + count); ++c) {
          double* fc = f + 6 * c;
          double sf = 0.0;
          for (int j = 0; j < 6; ++j) sf += s[j] * fc[j];
          const double m = d_inv * ((c == b ? 1.0 : 0.0) - sf);
          fd.minv(b, c) = m;
          if (to_parent) {
            for (int j = 0; j < 6; ++j) fc[j] += u[j] * m;
          }
        }
      });
      continue;
    }
    const auto d_inv = fd.d_inv.block(0, b, n, n);
    const auto s = fd.s_world.middleCols(b, n);
    const auto u = fd.u_world.middleCols(b, n);
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
[[gnu::flatten]] void minverse_forward_sweep(const Model& model, FdWork& fd) {
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
    double* own = fd.acc.data() + 6 * (static_cast<Eigen::Index>(fd.acc_start[i]) - b);
    const double* from = owner != 0 ? fd.acc.data() + 6 * (static_cast<Eigen::Index>(fd.acc_start[owner]) -
                                                           static_cast<Eigen::Index>(model.idx_vs[owner]))
                                    : nullptr;
    if (n == 1) {
      const double d_inv = fd.d_inv(0, b);
      const double* s = fd.s_world.data() + 6 * b;
      const double* u = fd.u_world.data() + 6 * b;
      for (Eigen::Index c = b; c < nv; ++c) {
        double m = fd.minv(b, c);
        double* ac = own + 6 * c;
        if (from != nullptr) {
          const double* ap = from + 6 * c;
          double ua = 0.0;
          for (int j = 0; j < 6; ++j) ua += u[j] * ap[j];
          m -= d_inv * ua;
          fd.minv(b, c) = m;
          for (int j = 0; j < 6; ++j) ac[j] = ap[j] + s[j] * m;
        } else {
          for (int j = 0; j < 6; ++j) ac[j] = s[j] * m;
        }
      }
      continue;
    }
    const auto d_inv = fd.d_inv.block(0, b, n, n);
    const auto s = fd.s_world.middleCols(b, n);
    const auto u = fd.u_world.middleCols(b, n);
    for (Eigen::Index c = b; c < nv; ++c) {
      Eigen::Map<Vec6> ac(own + 6 * c);
      if (from == nullptr) {
        ac = s.lazyProduct(fd.minv.block(b, c, n, 1));
        continue;
      }
      const Eigen::Map<const Vec6> ap(from + 6 * c);
      const SmallVector t = u.transpose().lazyProduct(ap);
      const SmallVector m = fd.minv.block(b, c, n, 1) - d_inv.lazyProduct(t);
      fd.minv.block(b, c, n, 1) = m;
      ac = ap + s.lazyProduct(m);
    }
  }
}

const MatrixX& minverse_checked(const Model& model, Data& data, const Inputs& in) {
  FdWork& fd = data.work.fd;
  minverse_placement_sweep(model, data, in.q);
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
