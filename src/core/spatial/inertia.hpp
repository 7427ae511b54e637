// Rigid-body inertias (internal): applied to a motion, changed of frame,
// summed, and the 6x6 matrices derived from them that Data stores.
//
// An Inertia is the public ten-double record: rotational inertia Ic about the
// centre of mass (lower triangle, row by row), mass m, centre of mass c.
#pragma once

#include <array>

#include "lanes.hpp"
#include "motion.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

// Below this total mass a body, or a subtree, counts as massless: summing into
// it changes nothing, and it has no centre of mass.
inline constexpr double kNegligibleMass = 1e-10;

// x becomes the all-zero inertia, written in place.
inline void set_zero(Inertia& x) {
  x.inertia.fill(0.0);
  x.mass = 0.0;
  x.lever.setZero();
}

// Ic w, each row the plain three-term sum over the stored triangle.
template <class V>
inline V rotational_times(const Inertia& in, const V& w) {
  const std::array<double, 6>& i = in.inertia;
  V out;
  out[0] = i[0] * w[0] + i[1] * w[1] + i[3] * w[2];
  out[1] = i[1] * w[0] + i[2] * w[1] + i[4] * w[2];
  out[2] = i[3] * w[0] + i[4] * w[1] + i[5] * w[2];
  return out;
}

// I (w, v) = (Ic w + c x f, f) with f = m (v - c x w): the momentum of a body
// moving with the motion, or its inertial force for an acceleration.
template <class V>
inline Force<V> operator*(const Inertia& in, const Motion<V>& m) {
  const V d = m.v - cross(in.lever, m.w);
  const V f = in.mass * d;
  const V iw = rotational_times(in, m.w);
  return {iw + cross(in.lever, f), f};
}

// 1/2 (w . Ic w + m |v + w x c|^2): the kinetic energy of a body moving with
// the motion (v + w x c is the velocity of its centre of mass).
inline double kinetic_energy(const Inertia& in, const Motion<>& m) {
  const Vec3 uc = velocity_at(m, in.lever);
  const Vec3 iw = rotational_times(in, m.w);
  return 0.5 * m.w.dot(iw) + 0.5 * in.mass * uc.squaredNorm();
}

// X I: the inertia given in the child frame, expressed in the parent frame.
// Mass unchanged, lever R c + t, rotational inertia R Ic R^T. With RI = R Ic,
// each RI(a, b) = R(a,0) Ic(0,b) + R(a,1) Ic(1,b) + R(a,2) Ic(2,b) and each
// stored (R Ic R^T)(a, b) = RI(a,0) R(b,0) + RI(a,1) R(b,1) + RI(a,2) R(b,2);
// only the lower triangle is formed, two entries per instruction.
inline Inertia act(const SE3& x, const Inertia& in) {
  const Mat3& r = x.rotation;
  const std::array<double, 6>& i = in.inertia;
  // Ic column by column: (i0 i1 i3), (i1 i2 i4), (i3 i4 i5).
  const double ic[3][3] = {{i[0], i[1], i[3]}, {i[1], i[2], i[4]}, {i[3], i[4], i[5]}};
  // Rows 0 and 1 of each column of R in lanes, row 2 apart.
  const Lanes r0 = load_lanes(r.data()), r1 = load_lanes(r.data() + 3),
              r2 = load_lanes(r.data() + 6);
  const double r20 = r(2, 0), r21 = r(2, 1), r22 = r(2, 2);
  // RI column b: rows 0 and 1 in lanes, row 2 apart.
  Lanes top[3];
  double bottom[3];
  for (int b = 0; b < 3; ++b) {
    top[b] = r0 * ic[b][0] + r1 * ic[b][1] + r2 * ic[b][2];
    bottom[b] = r20 * ic[b][0] + r21 * ic[b][1] + r22 * ic[b][2];
  }
  // (a, b) for b = 0, 1 side by side: RI(a, k) against rows 0 and 1 of R's
  // column k.
  const auto row_pair = [&](double k0, double k1, double k2) {
    return r0 * k0 + r1 * k1 + r2 * k2;
  };
  const Lanes e1 = row_pair(top[0][1], top[1][1], top[2][1]);  // (1,0), (1,1)
  const Lanes e2 = row_pair(bottom[0], bottom[1], bottom[2]);  // (2,0), (2,1)
  // (0,0) alone, with both factors from lane 0.
  const double e00 = top[0][0] * r0[0] + top[1][0] * r1[0] + top[2][0] * r2[0];
  const double e22 = bottom[0] * r20 + bottom[1] * r21 + bottom[2] * r22;
  Inertia out;
  out.mass = in.mass;
  out.lever = act_on_point(x, in.lever);
  out.inertia = {e00, e1[0], e1[1], e2[0], e2[1], e22};
  return out;
}

// a becomes a + b, the inertia of the union of both bodies: mass
// m = ma + mb, centre of mass c = (ma ca + mb cb) / m, and about c the
// rotational inertias plus the parallel-axis terms m (|d|^2 1 - d d^T) of both
// offsets d, each entry as ((a.I + ma (|da|^2 u - da_i da_j)) + b.I) +
// mb (|db|^2 u - db_i db_j), two entries per instruction. When m is below
// kNegligibleMass, a is left exactly as it was.
inline void add_inertia(Inertia& a, const Inertia& b) {
  const double m = a.mass + b.mass;
  if (m < kNegligibleMass) return;
  const double ma = a.mass, mb = b.mass;
  const Lanes la{a.lever[0], a.lever[1]}, lb{b.lever[0], b.lever[1]};
  const Lanes c01 = (ma * la + mb * lb) / m;
  const double c2 = (ma * a.lever[2] + mb * b.lever[2]) / m;
  const Lanes da01 = la - c01, db01 = lb - c01;
  const double da2 = a.lever[2] - c2, db2 = b.lever[2] - c2;
  const double sa = (da01[0] * da01[0] + da01[1] * da01[1]) + da2 * da2;
  const double sb = (db01[0] * db01[0] + db01[1] * db01[1]) + db2 * db2;
  // Stored entries (0,0), (1,0) | (1,1), (2,0) | (2,1), (2,2): unit diagonal
  // factors and the offset products d_i d_j, two entries per lane pair.
  const auto sum = [&](int e, Lanes unit, Lanes dai, Lanes daj, Lanes dbi, Lanes dbj) {
    const Lanes ia = load_lanes(a.inertia.data() + e), ib = load_lanes(b.inertia.data() + e);
    return ia + ma * (sa * unit - dai * daj) + ib + mb * (sb * unit - dbi * dbj);
  };
  const Lanes p0 = sum(0, Lanes{1.0, 0.0}, da01, splat(da01[0]), db01, splat(db01[0]));
  const Lanes p1 = sum(2, Lanes{1.0, 0.0}, Lanes{da01[1], da2}, Lanes{da01[1], da01[0]},
                       Lanes{db01[1], db2}, Lanes{db01[1], db01[0]});
  const Lanes p2 =
      sum(4, Lanes{0.0, 1.0}, splat(da2), Lanes{da01[1], da2}, splat(db2), Lanes{db01[1], db2});
  a.mass = m;
  a.lever = Vec3(c01[0], c01[1], c2);
  a.inertia = {p0[0], p0[1], p1[0], p1[1], p2[0], p2[1]};
}

// ---------------------------------------------------------------------------
// 6x6 matrices as Data stores them (rows and columns linear part first).

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

// out = w x* Y - Y w x, for the 6x6 matrix Y of the inertia and the motion w:
// the time derivative of a world-frame inertia moving with velocity w. In 3x3
// blocks, with Y = [m 1, -m [c]x; m [c]x, J] (J the rotational inertia about
// the origin), A = [w_ang]x, B = [w_lin]x:
//   top left     0
//   top right    -m [w_lin + w_ang x c]x   (bottom left is its transpose)
//   bottom right -m (B C + C B) + A J - J A, with C = [c]x; as J is symmetric
//                and A skew, A J - J A = A J + (A J)^T.
// The products of cross-product matrices skip their structural zeros.
inline void inertia_variation(const Inertia& inertia, const Motion<>& w, Mat6& out) {
  const Vec3& wa = w.w;
  const Vec3& wl = w.v;
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

// b += h x-bar*, the matrix with (h x-bar*) w = w x* h for a momentum h: in
// blocks 0, -[f]x; -[f]x, -[n]x. Only its non-zero entries are added, in
// place. The others are the zero top left (where b holds +0 from the inertia
// variation) and the diagonals of the -[x]x blocks, which are -0; adding them
// would leave b as it is.
inline void add_momentum_cross(const Force<>& h, Mat6& b) {
  // The block at (r, c) += -[x]x.
  const auto add = [&b](const Vec3& x, int r, int c) {
    b(r, c + 1) += x[2];
    b(r, c + 2) += -x[1];
    b(r + 1, c) += -x[2];
    b(r + 1, c + 2) += x[0];
    b(r + 2, c) += x[1];
    b(r + 2, c + 1) += -x[0];
  };
  add(h.f, 0, 3);
  add(h.f, 3, 0);
  add(h.n, 3, 3);
}

}  // namespace trelvar::detail
