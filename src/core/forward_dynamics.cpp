// Forward dynamics: the articulated-body algorithm and the inverse mass matrix.
//
// Articulated-body algorithm, with a_0 = -g (gravity enters as an
// acceleration of the base):
//   forward sweep, parents first (ArticulatedBody::forward):
//     X_i                                           place_joint
//     v_i  = X_i^-1 v_p + S_i qd_i                  (v_0 = 0)
//     c_i  = v_i x S_i qd_i
//     Ia_i = I_i,   pA_i = v_i x* I_i v_i - fext_i
//     (a fixed joint without children: its body joins the parent's instead,
//      ArticulatedBody::add_to_parent, and the later stages skip it)
//   backward sweep, children first (ArticulatedBody::backward):
//     U_i = Ia_i S_i,   D_i = S_i^T U_i,   u_i = tau_i - S_i^T pA_i
//     Ia^a = Ia_i - U_i D_i^-1 U_i^T
//     pa   = pA_i + Ia^a c_i + U_i D_i^-1 u_i
//     Ia_p += X_i* Ia^a X_i^-1,   pA_p += X_i* pa   (p not the universe)
//   forward sweep, parents first (ArticulatedBody::accelerations):
//     a'_i  = X_i^-1 a_p + c_i
//     qdd_i = D_i^-1 (u_i - U_i^T a'_i)
//           = D_i^-1 ((u_i - U_i^T c_i) - (X_i* U_i)^T a_p)   (one coordinate,
//             p not the universe: qdd_i need not wait for X_i^-1 a_p)
//     a_i   = a'_i + S_i qdd_i
//
// The inverse mass matrix is the same algorithm run for the nv unit joint
// forces at once, at rest and without gravity (InverseMass, below); a small
// tree of one-coordinate joints takes it through M instead (FactoredInverse).
//
// Both passes keep every intermediate quantity in Data::work.fd and write
// their result field (ddq, Minv) only once it is known to be finite, so a call
// that fails leaves the Data's results as they were.
#include "trelvar/forward_dynamics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "inverse_mass.hpp"
#include "joint_kinds.hpp"
#include "kinematic_stages.hpp"
#include "spatial/articulated_inertia.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "trelvar/error.hpp"
#include "wide_lanes.hpp"

namespace trelvar {

namespace detail {
namespace {

using FdWork = Data::Work::ForwardDynamics;

// The number of velocity coordinates of a kind, known when compiling.
template <class Kind>
inline constexpr int kCoordinates = static_cast<int>(joint_nv(Kind::type));

// The inputs of one call, checked for size.
struct Inputs {
  const double* q = nullptr;
  const double* v = nullptr;
  const double* tau = nullptr;
  const std::vector<Vec6>* fext = nullptr;
};

// ---------------------------------------------------------------------------
// Numerics. The joint-space inertia D = S^T Ia S of each joint is factored as
// L diag(d) L^T (L unit lower triangular; a one-coordinate joint's D is its
// own pivot). D is singular, and the call fails, when a pivot d_k is not above
// kSingularTolerance times the scale of its coordinate: the trace of the
// rotational block A of Ia (about the joint's origin) for a coordinate that
// turns, the trace of the translational block C for one that slides. Both
// traces are independent of how the joint frame is turned and of the units the
// model uses, so the test asks whether the bodies the joint carries have
// (almost) no inertia along its motion compared with their inertia in other
// directions. 1e-12 is about 5000 times the rounding of one double operation:
// a pivot below it is lost in the rounding of the sums that form D.
constexpr double kSingularTolerance = 1e-12;

template <class S>
double trace_angular(const ArticulatedInertiaOf<S>& ia) {
  return ia.m(0, 0) + ia.m(1, 1) + ia.m(2, 2);
}
template <class S>
double trace_linear(const ArticulatedInertiaOf<S>& ia) {
  return ia.m(3, 3) + ia.m(4, 4) + ia.m(5, 5);
}

// The scale of the coordinate whose subspace column is s.
template <class S, class A>
double pivot_scale(const ArticulatedInertiaOf<S>& ia, const AngularMotion<A>&) {
  return trace_angular(ia);
}
template <class S, class A>
double pivot_scale(const ArticulatedInertiaOf<S>& ia, const LinearMotion<A>&) {
  return trace_linear(ia);
}
template <class S>
double pivot_scale(const ArticulatedInertiaOf<S>& ia, const Motion<>& s) {
  return s.w.squaredNorm() > 0.0 ? trace_angular(ia) : trace_linear(ia);
}

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
// coordinates (lower triangle read), by D = L diag(d) L^T and
// D^-1 = L^-T diag(1/d) L^-1; scale[k] is the scale of coordinate k.
JointMatrix invert_joint_inertia(const Model& model, std::size_t i, const JointMatrix& d,
                                 const double* scale, const Inputs& in) {
  const Eigen::Index n = d.rows();
  JointMatrix l = JointMatrix::Identity(n, n);
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
  JointMatrix l_inv = JointMatrix::Identity(n, n);
  for (Eigen::Index c = 0; c < n; ++c) {
    for (Eigen::Index r = c + 1; r < n; ++r) {
      double x = 0.0;
      for (Eigen::Index j = c; j < r; ++j) x -= l(r, j) * l_inv(j, c);
      l_inv(r, c) = x;
    }
  }
  JointMatrix d_inv(n, n);
  for (Eigen::Index r = 0; r < n; ++r) {
    for (Eigen::Index c = 0; c < n; ++c) {
      double x = 0.0;
      for (Eigen::Index k = std::max(r, c); k < n; ++k) x += l_inv(k, r) * l_inv(k, c) / pivot[k];
      d_inv(r, c) = x;
    }
  }
  return d_inv;
}

// ---------------------------------------------------------------------------
// The stages both passes share: the joint's coordinates projected out of its
// articulated inertia and the result moved to the parent,
//   U_i = Ia_i S_i,   D_i = S_i^T U_i (checked, inverted)   (project_joint)
//   Ia_p += X_i* (Ia_i - U_i D_i^-1 U_i^T) X_i^-1           (move_to_parent)
// U_i goes to the columns idx_v(i).. of fd.ia_s (angular part first), D_i^-1
// to the same columns of fd.d_inv.

// U_i's column k, as kept.
inline Force<> u_column(const FdWork& fd, Eigen::Index c) {
  return {fd.ia_s.col(c).head<3>(), fd.ia_s.col(c).tail<3>()};
}

// A fixed joint without children: its body moves rigidly with its parent's,
// so the passes add its inertia to the parent's as a rigid body's,
//   Ia_p += X_i I_i,   pA_p += v_p x* (X_i I_i) v_p - X_i* fext_i,
// and skip the joint in every other stage.
inline bool rides_on_parent(const Model& model, std::size_t i) {
  return model.nvs[i] == 0 && model.subtree_end[i] == i + 1;  // no joint after i in its subtree
}

template <class Kind>
[[gnu::always_inline]] inline void project_joint(const Model& model, FdWork& fd, std::size_t i,
                                                 Kind kind, const UnitAxis& axis,
                                                 const ArticulatedInertiaRef& ia,
                                                 const Inputs& in) {
  constexpr int n = kCoordinates<Kind>;
  const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
  if constexpr (n == 1) {
    const auto s = kind.column(axis, 0);
    const Force<> u = ia * s;
    double d = 0.0;
    kind.project(axis, u, &d);
    const double scale = pivot_scale(ia, s);
    if (!pivot_ok(d, scale)) fail_pivot(model, i, d, scale, in);
    fd.ia_s.col(b) << u.n, u.f;
    fd.d_inv(0, b) = 1.0 / d;
  } else if constexpr (n > 1) {
    const JointColumns u = times_subspace(Kind::type, axis, ia);
    const JointMatrix d = project_columns(Kind::type, axis, u);
    double scale[n];
    for (int k = 0; k < n; ++k) {
      scale[k] = pivot_scale(ia, subspace_column(Kind::type, axis, static_cast<std::size_t>(k)));
    }
    fd.ia_s.middleCols(b, n) = u;
    fd.d_inv.block(0, b, n, n) = invert_joint_inertia(model, i, d, scale, in);
  }
}

// Ia_p += X_i* (Ia_i - U_i D_i^-1 U_i^T) X_i^-1 through X = X_i, after
// project_joint. One coordinate: the rank-one term is taken in the parent
// frame while the inertia moves (W = X* U, kept in fd.u_parent when kKeepW);
// several: Ia_i is projected in place first.
template <bool kKeepW, class Kind, class X>
[[gnu::always_inline]] inline void move_to_parent(const Model& model, FdWork& fd, std::size_t i,
                                                  Kind, const X& x, ArticulatedInertiaRef& ia) {
  constexpr int n = kCoordinates<Kind>;
  const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
  Mat6& parent = fd.ia[model.parents[i]];
  if constexpr (n == 1) {
    const Force<> w = act(x, u_column(fd, b));
    if constexpr (kKeepW) {
      double* kept = fd.u_parent.data() + 6 * b;
      for (int k = 0; k < 3; ++k) kept[k] = w.n[k], kept[3 + k] = w.f[k];
    }
    add_act(parent, x, ia, w, fd.d_inv(0, b));
  } else {
    if constexpr (n > 1) {
      subtract_projection(ia, JointColumns(fd.ia_s.middleCols(b, n)),
                          JointMatrix(fd.d_inv.block(0, b, n, n)));
    }
    add_act(parent, x, ia);
  }
}

// move_to_parent as a call of its own, compiled once for the baseline
// instruction set and once with AVX2 and FMA; each copy of a pass (its Copy
// tag from run_for_processor) calls the move of its own instruction set, from
// one call site. Both passes measured faster so than with the move inlined
// into their AVX2 copies (aba on arm7 13 %, the inverse mass matrix 16 %): the
// move needs most registers, and inlined it made the whole sweep spill. The
// AVX2 copy of the move pays (aba and M^-1 on arm7 and tree30: 7-9 % fewer
// instructions than with the baseline copy, and as fast or faster):
// three-operand instructions spare the register copies of its scalar
// products, and the sweep keeps more of its values across the call in the
// registers the move leaves alone. Choosing the copy at run time inside one
// call measured as many instructions as the baseline move alone: the sweep
// then saves its values around the call as if the move took every register.
template <bool kKeepW, class Kind, class X>
[[gnu::noinline]] void move_outlined(const Model& model, FdWork& fd, std::size_t i, Kind kind,
                                     const X& x, ArticulatedInertiaRef& ia) {
  move_to_parent<kKeepW>(model, fd, i, kind, x, ia);
}
#if TRELVAR_DISPATCH_AVX2
template <bool kKeepW, class Kind, class X>
[[gnu::noinline, gnu::target("avx2,fma")]] void move_outlined_avx2(const Model& model, FdWork& fd,
                                                                   std::size_t i, Kind kind,
                                                                   const X& x,
                                                                   ArticulatedInertiaRef& ia) {
  move_to_parent<kKeepW>(model, fd, i, kind, x, ia);
}
#endif
template <class Copy, bool kKeepW, class Kind, class X>
[[gnu::always_inline]] inline void move_call(const Model& model, FdWork& fd, std::size_t i,
                                             Kind kind, const X& x, ArticulatedInertiaRef& ia) {
#if TRELVAR_DISPATCH_AVX2
  if constexpr (Copy::kAvx2) {
    move_outlined_avx2<kKeepW>(model, fd, i, kind, x, ia);
    return;
  }
#endif
  move_outlined<kKeepW>(model, fd, i, kind, x, ia);
}

// ---------------------------------------------------------------------------
// The articulated-body algorithm, for checked inputs.

template <class Copy>
struct ArticulatedBody {
  const Model& model;
  FdWork& fd;
  const Inputs& in;

  // v_i, c_i, pA_i and Ia_i through X = X_i.
  template <class X>
  [[gnu::always_inline]] void forward(std::size_t i, const X& x) const {
    const std::size_t p = model.parents[i];
    if constexpr (!IsAxisPlacement<X>::value) {
      if (rides_on_parent(model, i)) {
        if (p != 0) add_to_parent(i, p, x);
        return;
      }
    }
    const JointType type = model.joints[i].joint_type;
    const UnitAxis axis = joint_axis(model, i);
    const double* qd = in.v + model.idx_vs[i];
    const Inertia& inertia = body_inertia(model, i);
    Motion<> vi = p != 0 ? act_inv(x, motion_of(fd.v[p])) : zero_motion();
    Motion<> ci = zero_motion();
    if constexpr (IsAxisPlacement<X>::value) {
      // A joint about +-e_k: S qd has one non-zero component.
      const AxisMotion<X::k> vj = RotationAboutAxis::motion_about<X::k>(axis, qd);
      vi += vj;
      ci = cross(vi, vj);
    } else if (model.nvs[i] > 0) {
      const Motion<> vj = joint_motion(type, axis, qd);
      vi += vj;
      ci = cross(vi, vj);
    }
    store(fd.v[i], vi);
    store(fd.c[i], ci);
    Force<> pa = cross(vi, inertia * vi);
    if (in.fext != nullptr) pa = pa - force_of((*in.fext)[i]);
    store(fd.pa[i], pa);
    ArticulatedInertiaRef stored{fd.ia[i]};
    set_rigid(stored, inertia);
  }

  // A body riding on its parent (rides_on_parent), in the parent's frame:
  // Ia_p += X_i I_i, pA_p += v_p x* (X_i I_i) v_p - X_i* fext_i.
  void add_to_parent(std::size_t i, std::size_t p, const SE3& x) const {
    const Inertia moved = act(x, body_inertia(model, i));
    ArticulatedInertiaRef parent{fd.ia[p]};
    add_rigid(parent, moved);
    const Motion<> vp = motion_of(fd.v[p]);
    Force<> pa = cross(vp, moved * vp);
    if (in.fext != nullptr) pa = pa - act(x, force_of((*in.fext)[i]));
    store(fd.pa[p], force_of(fd.pa[p]) + pa);
  }

  // U_i, D_i^-1, u_i; Ia^a and pa moved to the parent. Ia_i and pA_i are
  // complete here: every child has added its part.
  void backward(std::size_t i) const {
    if (rides_on_parent(model, i)) return;
    const std::size_t p = model.parents[i];
    const UnitAxis axis = joint_axis(model, i);
    ArticulatedInertiaRef ia{fd.ia[i]};
    visit_kind(model.joints[i].joint_type, [&](auto kind) {
      if constexpr (kCoordinates<decltype(kind)> > 0) {
        project_joint(model, fd, i, kind, axis, ia, in);
      }
      joint_force(i, kind, axis);
      if (p == 0) return;  // a root joint's bias force has nowhere to go
      const Force<> pa = bias_force(i, kind, ia);
      with_placement(fd.forms[i], fd.limi[i], [&](const auto& x) {
        move_call<Copy, true>(model, fd, i, kind, x, ia);
        store(fd.pa[p], force_of(fd.pa[p]) + act(x, pa));
      });
    });
  }

  // u_i = tau_i - S_i^T pA_i.
  template <class Kind>
  [[gnu::always_inline]] void joint_force(std::size_t i, Kind kind, const UnitAxis& axis) const {
    constexpr int n = kCoordinates<Kind>;
    if constexpr (n > 0) {
      const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
      double u[n];
      kind.project(axis, force_of(fd.pa[i]), u);
      for (int k = 0; k < n; ++k) fd.u[b + k] = in.tau[b + k] - u[k];
    }
  }

  // After project_joint and joint_force: the bias force pa the joint hands to
  // its parent, before the move. With Ia^a = Ia_i - U_i D_i^-1 U_i^T,
  //   pa = pA_i + Ia^a c_i + U_i D_i^-1 u_i
  //      = pA_i + Ia_i c_i + U_i D_i^-1 (u_i - U_i^T c_i),
  // the second form taken, so that Ia_i need not be projected first. A fixed
  // joint: c_i = 0, pa = pA_i.
  template <class Kind>
  [[gnu::always_inline]] Force<> bias_force(std::size_t i, Kind,
                                            const ArticulatedInertiaRef& ia) const {
    constexpr int n = kCoordinates<Kind>;
    Force<> pa = force_of(fd.pa[i]);
    if constexpr (n > 0) {
      const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
      const Motion<> ci = motion_of(fd.c[i]);
      double rhs[n];
      for (int k = 0; k < n; ++k) rhs[k] = fd.u[b + k] - dot(ci, u_column(fd, b + k));
      pa = pa + ia * ci;
      for (int r = 0; r < n; ++r) {
        double m = 0.0;
        for (int k = 0; k < n; ++k) m += fd.d_inv(r, b + k) * rhs[k];
        pa = pa + m * u_column(fd, b + r);
      }
    }
    return pa;
  }

  // a_i and qdd_i from the parent's a_p.
  void accelerations(std::size_t i) const {
    if (rides_on_parent(model, i)) return;
    const std::size_t p = model.parents[i];
    const JointType type = model.joints[i].joint_type;
    const UnitAxis axis = joint_axis(model, i);
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    const Motion<> ap = motion_of(fd.a[p]);
    const Motion<> ci = motion_of(fd.c[i]);
    Motion<> ai =
        with_placement(fd.forms[i], fd.limi[i], [&](const auto& x) { return act_inv(x, ap); });
    ai += ci;
    visit_kind(type, [&](auto kind) {
      using Kind = decltype(kind);
      constexpr int n = kCoordinates<Kind>;
      if constexpr (n == 1) {
        if (p != 0) {
          // The same with U^T a'_i = (X_i* U_i)^T a_p + U_i^T c_i, so that
          // qdd_i waits for a_p only, not for its transform:
          // qdd_i = D_i^-1 ((u_i - U_i^T c_i) - W_i^T a_p), W_i = X_i* U_i.
          const Force<> w{fd.u_parent.col(b).head<3>(), fd.u_parent.col(b).tail<3>()};
          const double qdd = fd.d_inv(0, b) * ((fd.u[b] - dot(ci, u_column(fd, b))) - dot(ap, w));
          fd.ddq[b] = qdd;
          ai += kind.motion(axis, &qdd);
          return;
        }
      }
      if constexpr (n > 0) {
        // qdd_i = D_i^-1 (u_i - U_i^T a'_i).
        double rhs[n];
        for (int k = 0; k < n; ++k) rhs[k] = fd.u[b + k] - dot(ai, u_column(fd, b + k));
        double qdd[n];
        for (int r = 0; r < n; ++r) {
          double m = 0.0;
          for (int k = 0; k < n; ++k) m += fd.d_inv(r, b + k) * rhs[k];
          qdd[r] = m;
        }
        for (int r = 0; r < n; ++r) fd.ddq[b + r] = qdd[r];
        ai += kind.motion(axis, qdd);
      }
    });
    store(fd.a[i], ai);
  }
};

template <class Copy>
[[gnu::always_inline]] inline void articulated_body_sweeps(const Model& model, Data& data,
                                                           const Inputs& in) {
  FdWork& fd = data.work.fd;
  const ArticulatedBody<Copy> joint{model, fd, in};
  fd.v[0].setZero();
  fd.a[0] = -model.gravity;
  set_identity(fd.limi[0]);
  const SinesAhead sines(model, in.q, data.work.sincos);
  const Placements placements{fd.limi.data(), nullptr};
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const int form = place_joint(
        model, placements, i, in.q,
        sines, [&](const auto& x) __attribute__((always_inline)) { joint.forward(i, x); });
    fd.forms[i] = static_cast<std::int8_t>(form);
  }
  for (std::size_t i = model.njoints - 1; i >= 1; --i) joint.backward(i);
  for (std::size_t i = 1; i < model.njoints; ++i) joint.accelerations(i);
}

void articulated_body_pass(const Model& model, Data& data, const Inputs& in) {
  run_for_processor([&](auto copy) {
    articulated_body_sweeps<decltype(copy)>(model, data, in);
  });
}

// ---------------------------------------------------------------------------
// The inverse mass matrix, for checked inputs: the articulated-body algorithm
// for the nv unit joint forces at once (zero velocity, no gravity). The bias
// forces F_c and accelerations A_c of the unit forces are kept as columns in
// the frame with the world's axes centred on the first joint (oX_i below), so
// that moving them from a joint to its parent changes nothing; oS_i and oU_i
// are S_i and U_i in that frame.
//   forward sweep (placements):   X_i, oX_i, Ia_i = I_i (Ia_p += X_i I_i for a
//                                 body riding on its parent, rides_on_parent)
//   backward sweep, children first, for each coordinate c of the subtree of i:
//     Ia^a as in the articulated-body algorithm, Ia_p += X_i* Ia^a X_i^-1
//     M^-1(i, c) = D_i^-1 (e_c - oS_i^T F_c)    (e_c: unit on i's own coordinates)
//     F_c       += oU_i M^-1(i, c)              (F_c starts at zero)
//   forward sweep, parents first, for each coordinate c >= idx_v(i):
//     M^-1(i, c) -= D_i^-1 oU_i^T A_p,c         (A_0,c = 0)
//     A_i,c       = A_p,c + oS_i M^-1(i, c)
// The entries of rows i outside the subtree start at zero. A fixed joint moves
// with its parent: it shares its parent's accelerations.
//
// The unit forces go through each per-coordinate stage W at a time
// (WideLanes<W>: blocks of four, then one at a time), lane j carrying unit
// force c + j; F and A are kept component by component, so that the W values
// of one component lie side by side. M^-1 is symmetric: row i of it is
// written as column i of fd.minv, whose lower triangle ends up holding M^-1.
//
// With kAccelerations, the articulated-body algorithm for (q, v, tau) runs in
// the same sweeps, on the same placements, articulated inertias and D_i^-1:
// its velocity and bias-force stages joined to the placements and the
// backward sweep, its accelerations to the forward sweep (ArticulatedBody).

template <bool kAccelerations, class Copy>
struct InverseMass {
  // Read four at a time from kUnit + 3 - j: 1 in lane j, 0 elsewhere.
  static constexpr double kUnit[7] = {0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0};

  const Model& model;
  FdWork& fd;
  const Inputs& in;

  // The articulated-body algorithm's stages on the same buffers.
  ArticulatedBody<Copy> body() const { return {model, fd, in}; }

  // The column c of a 6 x k matrix kept linear part first.
  static const double* column(const Matrix6X& m, Eigen::Index c) { return m.data() + 6 * c; }
  static double* column(Matrix6X& m, Eigen::Index c) { return m.data() + 6 * c; }

  void placements(const SinesAhead& sines) const {
    set_identity(fd.limi[0]);
    set_identity(fd.omi[0]);
    const Placements out{fd.limi.data(), fd.omi.data()};
    Vec3 origin = Vec3::Zero();
    bool first = true;
    for (std::size_t i = 1; i < model.njoints; ++i) {
      const int form = place_joint(model, out, i, in.q, sines,
                                   [&](const auto& x) __attribute__((always_inline)) {
                                     if constexpr (kAccelerations) body().forward(i, x);
                                   });
      fd.forms[i] = static_cast<std::int8_t>(form);
      if (model.parents[i] == 0) {
        if (first) origin = fd.omi[i].translation;
        first = false;
        fd.omi[i].translation -= origin;
      }
      if constexpr (kAccelerations) continue;  // body().forward placed the inertias
      const std::size_t p = model.parents[i];
      if (rides_on_parent(model, i) && p != 0) {
        ArticulatedInertiaRef parent{fd.ia[p]};
        add_rigid(parent, act(fd.limi[i], body_inertia(model, i)));
      } else {
        ArticulatedInertiaRef stored{fd.ia[i]};
        set_rigid(stored, body_inertia(model, i));
      }
    }
  }

  // Unit forces c .. c + W - 1 of the subtree of joint i (n coordinates from
  // b), F_c's component r at fd.f(c, r):
  //   M^-1(i, c) = D_i^-1 (e_c - oS_i^T F_c),   F_c += oU_i M^-1(i, c) (up).
  template <int n, int W>
  [[gnu::always_inline]] void unit_forces_up(Eigen::Index b, Eigen::Index c, bool up) const {
    using V = WideLanes<W>;
    V f[6];
    for (int r = 0; r < 6; ++r) load_wide<W>(f[r], &fd.f(c, r));
    V rhs[n];
    for (int k = 0; k < n; ++k) {
      const double* s = column(fd.s_world, b + k);
      // e_c: 1 in the lane of unit force b + k, if it is one of these.
      V e = {};
      const Eigen::Index lane = b + k - c;
      if (lane >= 0 && lane < W) load_wide<W>(e, kUnit + 3 - lane);
      V dot = f[0] * s[0];
      for (int r = 1; r < 6; ++r) dot += f[r] * s[r];
      rhs[k] = e - dot;
    }
    V m[n];
    for (int r = 0; r < n; ++r) {
      V x = rhs[0] * fd.d_inv(r, b);
      for (int k = 1; k < n; ++k) x += rhs[k] * fd.d_inv(r, b + k);
      m[r] = x;
      store_wide<W>(&fd.minv(c, b + r), x);
    }
    if (!up) return;
    for (int r = 0; r < 6; ++r) {
      for (int k = 0; k < n; ++k) f[r] += m[k] * column(fd.u_world, b + k)[r];
      store_wide<W>(&fd.f(c, r), f[r]);
    }
  }

  void backward(std::size_t i) const {
    if (rides_on_parent(model, i)) return;
    const std::size_t p = model.parents[i];
    const JointType type = model.joints[i].joint_type;
    const UnitAxis axis = joint_axis(model, i);
    const auto nv = static_cast<Eigen::Index>(model.nv);
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    ArticulatedInertiaRef ia{fd.ia[i]};
    visit_kind(type, [&](auto kind) {
      using Kind = decltype(kind);
      constexpr int n = kCoordinates<Kind>;
      if constexpr (n > 0) {
        project_joint(model, fd, i, kind, axis, ia, in);
        if constexpr (kAccelerations) body().joint_force(i, kind, axis);
        const SE3& o = fd.omi[i];
        for (int k = 0; k < n; ++k) {
          store_column(column(fd.s_world, b + k),
                       act_on_column(o, Kind::type, axis, static_cast<std::size_t>(k)));
          store_column(column(fd.u_world, b + k), act(o, u_column(fd, b + k)));
        }
        const Eigen::Index end = model.subtree_is_consecutive(i)
                                     ? b + static_cast<Eigen::Index>(model.nv_subtree[i])
                                     : b;
        fd.minv.block(end, b, nv - end, n).setZero();
        for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
          const auto stop = static_cast<Eigen::Index>(first + count);
          auto c = static_cast<Eigen::Index>(first);
          for (; c + 4 <= stop; c += 4) unit_forces_up<n, 4>(b, c, p != 0);
          for (; c < stop; ++c) unit_forces_up<n, 1>(b, c, p != 0);
        });
      }
      if (p == 0) return;
      if constexpr (kAccelerations) {
        const Force<> pa = body().bias_force(i, kind, ia);
        with_placement(fd.forms[i], fd.limi[i], [&](const auto& x) {
          move_call<Copy, true>(model, fd, i, kind, x, ia);
          store(fd.pa[p], force_of(fd.pa[p]) + act(x, pa));
        });
      } else {
        with_placement(fd.forms[i], fd.limi[i],
                       [&](const auto& x) { move_call<Copy, false>(model, fd, i, kind, x, ia); });
      }
    });
  }

  // Unit forces c .. c + W - 1 (c >= b) at joint i (n coordinates from b);
  // component r of A_i,c at own[r * own_stride], of A_p,c at
  // from[r * from_stride] (from null: A_p,c = 0):
  //   M^-1(i, c) -= D_i^-1 oU_i^T A_p,c,   A_i,c = A_p,c + oS_i M^-1(i, c).
  template <int n, int W>
  [[gnu::always_inline]] void unit_forces_down(Eigen::Index b, Eigen::Index c, double* own,
                                               Eigen::Index own_stride, const double* from,
                                               Eigen::Index from_stride) const {
    using V = WideLanes<W>;
    V m[n];
    for (int r = 0; r < n; ++r) load_wide<W>(m[r], &fd.minv(c, b + r));
    V a[6] = {};
    if (from != nullptr) {
      for (int r = 0; r < 6; ++r) load_wide<W>(a[r], from + r * from_stride);
      V t[n];
      for (int k = 0; k < n; ++k) {
        const double* u = column(fd.u_world, b + k);
        V dot = a[0] * u[0];
        for (int r = 1; r < 6; ++r) dot += a[r] * u[r];
        t[k] = dot;
      }
      for (int r = 0; r < n; ++r) {
        V x = t[0] * fd.d_inv(r, b);
        for (int k = 1; k < n; ++k) x += t[k] * fd.d_inv(r, b + k);
        m[r] -= x;
        store_wide<W>(&fd.minv(c, b + r), m[r]);
      }
    }
    for (int r = 0; r < 6; ++r) {
      for (int k = 0; k < n; ++k) a[r] += m[k] * column(fd.s_world, b + k)[r];
      store_wide<W>(own + r * own_stride, a[r]);
    }
  }

  // A_i,c for c >= idx_v(i) go to a block of 6 (nv - idx_v(i)) values of
  // fd.acc from acc_start[i], component r of A_i,c at r (nv - idx_v(i)) +
  // (c - idx_v(i)).
  void forward(std::size_t i, std::size_t& next) const {
    if constexpr (kAccelerations) body().accelerations(i);
    const auto nv = static_cast<Eigen::Index>(model.nv);
    const std::size_t owner = fd.acc_owner[model.parents[i]];
    if (model.nvs[i] == 0) {
      fd.acc_owner[i] = owner;
      return;
    }
    fd.acc_owner[i] = i;
    const auto b = static_cast<Eigen::Index>(model.idx_vs[i]);
    fd.acc_start[i] = next;
    next += static_cast<std::size_t>(nv - b);
    const Eigen::Index stride = nv - b;
    double* own = fd.acc.data() + 6 * static_cast<Eigen::Index>(fd.acc_start[i]);
    const auto bp = owner != 0 ? static_cast<Eigen::Index>(model.idx_vs[owner]) : 0;
    const Eigen::Index from_stride = nv - bp;
    const double* from =
        owner != 0 ? fd.acc.data() + 6 * static_cast<Eigen::Index>(fd.acc_start[owner]) : nullptr;
    visit_kind(model.joints[i].joint_type, [&](auto kind) {
      constexpr int n = kCoordinates<decltype(kind)>;
      if constexpr (n > 0) {
        Eigen::Index c = b;
        for (; c + 4 <= nv; c += 4) {
          unit_forces_down<n, 4>(b, c, own + (c - b), stride,
                                 from != nullptr ? from + (c - bp) : nullptr, from_stride);
        }
        for (; c < nv; ++c) {
          unit_forces_down<n, 1>(b, c, own + (c - b), stride,
                                 from != nullptr ? from + (c - bp) : nullptr, from_stride);
        }
      }
    });
  }
};

// The pass, compiled twice (wide_lanes.hpp): the stages of four unit forces
// gain most from AVX2 and FMA.
template <bool kAccelerations, class Copy>
[[gnu::always_inline]] inline void inverse_mass_sweeps(const Model& model, Data& data,
                                                       const Inputs& in) {
  FdWork& fd = data.work.fd;
  const InverseMass<kAccelerations, Copy> joint{model, fd, in};
  if constexpr (kAccelerations) {
    fd.v[0].setZero();
    fd.a[0] = -model.gravity;
  }
  const SinesAhead sines(model, in.q, data.work.sincos);
  joint.placements(sines);
  fd.f.setZero();
  for (std::size_t i = model.njoints - 1; i >= 1; --i) joint.backward(i);
  fd.acc_owner[0] = 0;
  std::size_t next = 0;
  for (std::size_t i = 1; i < model.njoints; ++i) joint.forward(i, next);
}

template <bool kAccelerations>
void inverse_mass_pass(const Model& model, Data& data, const Inputs& in) {
  run_for_processor([&](auto copy) {
    inverse_mass_sweeps<kAccelerations, decltype(copy)>(model, data, in);
  });
}

// ---------------------------------------------------------------------------
// The inverse mass matrix of a small tree of one-coordinate joints, through M:
// there, forming M and factoring it costs less than the sweeps of InverseMass.
// Coordinate k belongs to joint i.
//   placements:   X_i;  Ic_i = I_i
//   children first (composite rigid bodies):
//     F = Ic_i S_i,   M(k, k) = S_i^T F
//     F = X_j* F up the tree,   M(k, k_p) = S_p^T F     (each moving ancestor p)
//     Ic_p += X_i Ic_i
//   M = L^T D L, L unit lower triangular (eliminating the last coordinate
//   first, so that L keeps the tree's pattern of M):
//     k = nv-1 .. 0:  D_k = M(k, k);  for i = k-1 .. 0:
//       a = M(k, i) / D_k;   M(i, .) -= a M(k, .);   L(k, i) = a
//   Z = M^-1 row by row from L Z = D^-1 L^-T (lower triangular, diagonal
//   D^-1), Z symmetric:
//     Z(r, .) = -sum_{k < r} L(r, k) Z(k, .)       (the entries left of r)
//     Z(r, r) = 1 / D_r - sum_{k < r} L(r, k) Z(r, k)
// M, L and Z are W x W arrays on the stack, each row operation taken over all
// W entries: the entries right of the ones a step needs take values that are
// never read, and the zeros off the tree's pattern add exact zeros, so the
// result is that of the sparse recurrence.
//
// D_k is joint i's articulated pivot S_i^T Ia_i S_i. The pass gives up, and
// the caller runs InverseMass, whose tests and messages decide, unless D_k
// clears the articulated-body test (pivot_ok) kFactoredMargin times over,
// against the scale of the composite inertia, which is no smaller than the
// articulated inertia's (whatever this pass accepts, InverseMass accepts
// too), and unless every entry of Z is finite.

// Trees with at most this many coordinates take the factored pass.
constexpr std::size_t kMaxFactored = 12;
constexpr double kFactoredMargin = 1e3;

// True when every moving joint has one coordinate, nv <= kMaxFactored, and
// every body either has a mass of at least kNegligibleMass or no inertia at
// all (so that summing composite inertias drops nothing).
bool factored_inverse_applies(const Model& model) {
  if (model.nv > kMaxFactored) return false;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    if (model.nvs[i] > 1) return false;
    const Inertia& body = model.inertias[i];
    if (body.mass < kNegligibleMass && !(body == Inertia::zero())) return false;
  }
  return true;
}

// The scale pivot_ok weighs a pivot against, for a composite rigid inertia in
// the joint's frame: the trace of its rotational block about the joint's
// origin, I_c + m (|c|^2 1 - c c^T), for a coordinate that turns; 3 m for one
// that slides.
double composite_scale(const Inertia& ic, const Motion<>& s) {
  if (s.w.squaredNorm() == 0.0) return 3.0 * ic.mass;
  const std::array<double, 6>& i = ic.inertia;
  return i[0] + i[2] + i[5] + 2.0 * ic.mass * ic.lever.squaredNorm();
}

// y -= a x over W entries.
template <int W>
[[gnu::always_inline]] inline void subtract_scaled(double* y, double a, const double* x) {
  for (int j = 0; j < W; ++j) y[j] -= a * x[j];
}

template <int W>
struct FactoredInverse {
  // The arrays are written before they are read: no zeroing here.
  FactoredInverse(const Model& model_, FdWork& fd_, const Inputs& in_)
      : model(model_), fd(fd_), in(in_) {}

  const Model& model;
  FdWork& fd;
  const Inputs& in;
  double scale[W];
  double d_inv[W];
  alignas(32) double m[W][W];  // row k: M(k, i), then L(k, i), for i <= k
  alignas(32) double z[W][W];  // row r: Z(r, .)

  void placements(const SinesAhead& sines) {
    set_identity(fd.limi[0]);
    const Placements out{fd.limi.data(), nullptr};
    for (std::size_t i = 1; i < model.njoints; ++i) {
      const int form = place_joint(model, out, i, in.q, sines, [](const auto&) {});
      fd.forms[i] = static_cast<std::int8_t>(form);
      fd.ic[i] = body_inertia(model, i);
    }
  }

  // Row k of M (k and its ancestors), then Ic_i to the parent.
  void backward(std::size_t i) {
    const std::size_t p = model.parents[i];
    const Inertia& ic = fd.ic[i];
    if (model.nvs[i] > 0) {
      const std::size_t k = model.idx_vs[i];
      double* mk = m[k];
      visit_kind(model.joints[i].joint_type, [&](auto kind) {
        if constexpr (kCoordinates<decltype(kind)> == 1) {
          const UnitAxis axis = joint_axis(model, i);
          const double one = 1.0;
          const Motion<> s = kind.motion(axis, &one);
          Force<> f = ic * s;
          kind.project(axis, f, mk + k);
          scale[k] = composite_scale(ic, s);
          for (std::size_t j = i; model.parents[j] != 0;) {
            with_placement(fd.forms[j], fd.limi[j], [&](const auto& x) { f = act(x, f); });
            j = model.parents[j];
            if (model.nvs[j] == 0) continue;
            const UnitAxis up = joint_axis(model, j);
            visit_kind(model.joints[j].joint_type, [&](auto above) {
              if constexpr (kCoordinates<decltype(above)> == 1) {
                above.project(up, f, mk + model.idx_vs[j]);
              }
            });
          }
        }
      });
    }
    if (p != 0) add_inertia(fd.ic[p], act(fd.limi[i], ic));
  }

  // M = L^T D L in place; false when a pivot is not clear of singularity.
  // Row i's entries right of i take values never read.
  bool factor(int nv) {
    for (int k = nv - 1; k >= 0; --k) {
      const double d = m[k][k];
      if (!pivot_ok(d, kFactoredMargin * scale[k])) return false;
      d_inv[k] = 1.0 / d;
      for (int i = k - 1; i >= 0; --i) {
        const double a = m[k][i] * d_inv[k];
        subtract_scaled<W>(m[i], a, m[k]);
        m[k][i] = a;
      }
    }
    return true;
  }

  // Z = M^-1, rows 0 .. nv-1 in order; row k's entries right of r are not
  // yet known at step r and only reach row r's entries right of r, which the
  // mirror overwrites later. False when an entry is not finite (x * 0 is 0
  // only for a finite x).
  bool invert(int nv) {
    double probe = 0.0;
    for (int r = 0; r < nv; ++r) {
      double* zr = z[r];
      for (int c = 0; c < W; ++c) zr[c] = 0.0;
      for (int k = 0; k < r; ++k) subtract_scaled<W>(zr, m[r][k], z[k]);
      double diag = d_inv[r];
      for (int k = 0; k < r; ++k) diag -= m[r][k] * zr[k];
      zr[r] = diag;
      for (int c = 0; c < r; ++c) z[c][r] = zr[c];
    }
    for (int r = 0; r < nv; ++r) {
      double* out = fd.minv.data() + static_cast<Eigen::Index>(r) * nv;
      for (int c = 0; c < nv; ++c) {
        out[c] = z[r][c];
        probe += z[r][c] * 0.0;
      }
    }
    return probe == 0.0;
  }
};

template <int W>
bool factored_inverse_sweeps(const Model& model, Data& data, const Inputs& in) {
  FactoredInverse<W> pass{model, data.work.fd, in};
  const int nv = static_cast<int>(model.nv);
  for (auto& row : pass.m) {
    for (double& x : row) x = 0.0;
  }
  const SinesAhead sines(model, in.q, data.work.sincos);
  pass.placements(sines);
  for (std::size_t i = model.njoints - 1; i >= 1; --i) pass.backward(i);
  return pass.factor(nv) && pass.invert(nv);
}

// fd.minv holds M^-1, both triangles and finite, when this returns true.
// Compiled twice (wide_lanes.hpp).
bool factored_inverse_pass(const Model& model, Data& data, const Inputs& in) {
  bool done = false;
  run_for_processor([&](auto) {
    done = model.nv <= 8 ? factored_inverse_sweeps<8>(model, data, in)
                         : factored_inverse_sweeps<kMaxFactored>(model, data, in);
  });
  return done;
}

// ---------------------------------------------------------------------------
// Checks and results. A pass leaves its results in the work buffers; they go
// to the Data's fields once every one is known to be finite.

// Throws when a pass left a non-finite ddq.
void check_accelerations(const Model& model, const FdWork& fd, const Inputs& in) {
  const Eigen::Index bad = first_non_finite(fd.ddq.data(), fd.ddq.size());
  if (bad < 0) return;
  check_inputs_finite(model, in);
  std::size_t joint = 1;
  while (joint + 1 < model.njoints &&
         !(static_cast<std::size_t>(bad) < model.idx_vs[joint] + model.nvs[joint])) {
    ++joint;
  }
  throw Error("Joint accelerations are not finite (velocity index " + std::to_string(bad) + ", " +
              joint_label(model, joint) + "): the inputs are too large for double precision");
}

// M^-1 is the lower triangle of fd.minv after a pass: the upper one is made
// its mirror. Throws when M^-1 is not finite, naming the first entry of the
// upper triangle in column order.
void complete_inverse(const Model& model, FdWork& fd, const Inputs& in) {
  const auto nv = static_cast<Eigen::Index>(model.nv);
  bool finite = true;
  for (Eigen::Index c = 0; c < nv; ++c) {
    for (Eigen::Index r = 0; r < c; ++r) {
      const double x = fd.minv(c, r);
      fd.minv(r, c) = x;
      finite &= static_cast<bool>(std::isfinite(x));
    }
    finite &= static_cast<bool>(std::isfinite(fd.minv(c, c)));
  }
  if (finite) return;
  for (Eigen::Index c = 0; c < nv; ++c) {
    for (Eigen::Index r = 0; r <= c; ++r) {
      if (!std::isfinite(fd.minv(r, c))) {
        check_inputs_finite(model, in);
        throw Error("Inverse mass matrix is not finite at (" + std::to_string(r) + ", " +
                    std::to_string(c) +
                    "): the model's inertias are too small or too large for double precision");
      }
    }
  }
}

const VectorX& aba_checked(const Model& model, Data& data, const Inputs& in) {
  FdWork& fd = data.work.fd;
  articulated_body_pass(model, data, in);
  check_accelerations(model, fd, in);
  data.ddq = fd.ddq;
  return data.ddq;
}

// M^-1 goes to data.Minv by exchanging it with the work buffer.
const MatrixX& minverse_checked(const Model& model, Data& data, const Inputs& in) {
  FdWork& fd = data.work.fd;
  if (!(factored_inverse_applies(model) && factored_inverse_pass(model, data, in))) {
    inverse_mass_pass<false>(model, data, in);
    complete_inverse(model, fd, in);
  }
  data.Minv.swap(fd.minv);
  return data.Minv;
}

}  // namespace

void accelerations_and_inverse_mass(const Model& model, Data& data, const double* q,
                                    const double* v, const double* tau) {
  FdWork& fd = data.work.fd;
  const Inputs in{q, v, tau, nullptr};
  inverse_mass_pass<true>(model, data, in);
  check_accelerations(model, fd, in);
  complete_inverse(model, fd, in);
  data.ddq = fd.ddq;
  data.Minv.swap(fd.minv);
}

}  // namespace detail

const VectorX& aba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                   const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& tau) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::check_vector("Torque", model.nv, tau.size());
  return detail::aba_checked(model, data, detail::Inputs{q.data(), v.data(), tau.data(), nullptr});
}

const VectorX& aba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                   const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& tau,
                   const std::vector<Vec6>& fext) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::check_vector("Torque", model.nv, tau.size());
  detail::check_vector("External force", model.njoints, static_cast<Eigen::Index>(fext.size()));
  return detail::aba_checked(model, data, detail::Inputs{q.data(), v.data(), tau.data(), &fext});
}

const MatrixX& compute_minverse(const Model& model, Data& data,
                                const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  return detail::minverse_checked(model, data,
                                  detail::Inputs{q.data(), nullptr, nullptr, nullptr});
}

}  // namespace trelvar
