// Inertia transforms and sums for the inner loops (internal), two entries per
// SSE2 instruction. Each entry is formed by exactly the scalar operations, in
// the same order, that the plain formulas use (see the comments), so results
// are identical to them; only the grouping into lanes differs.
#pragma once

#include "kernel.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

inline Lanes splat(double x) { return Lanes{x, x}; }

// The rows 0 and 1 of column c of a 3x3 matrix (column-major storage).
inline Lanes top_of_column(const Mat3& m, int c) {
  Lanes out;
  __builtin_memcpy(&out, m.data() + 3 * c, sizeof out);
  return out;
}

// The inertia I (given in the child frame) expressed in the parent frame of X:
// mass unchanged, lever R c + p, rotational inertia R Ic R^T. With
// RI = R Ic, each entry RI(a, b) = R(a,0) Ic(0,b) + R(a,1) Ic(1,b) + R(a,2) Ic(2,b)
// and each stored entry (R Ic R^T)(a, b) = RI(a,0) R(b,0) + RI(a,1) R(b,1) +
// RI(a,2) R(b,2); only the lower triangle is formed.
inline Inertia act_on_inertia(const SE3& x, const Inertia& in) {
  const Mat3& r = x.rotation;
  const std::array<double, 6>& i = in.inertia;
  // Ic column by column: (i0 i1 i3), (i1 i2 i4), (i3 i4 i5).
  const double ic[3][3] = {{i[0], i[1], i[3]}, {i[1], i[2], i[4]}, {i[3], i[4], i[5]}};
  const Lanes r0 = top_of_column(r, 0), r1 = top_of_column(r, 1), r2 = top_of_column(r, 2);
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
  const auto row_pair = [&](double k0, double k1, double k2) { return r0 * k0 + r1 * k1 + r2 * k2; };
  const Lanes e1 = row_pair(top[0][1], top[1][1], top[2][1]);  // (1,0), (1,1)
  const Lanes e2 = row_pair(bottom[0], bottom[1], bottom[2]);  // (2,0), (2,1)
  // (0,0) alone, with both factors from lane 0.
  const double e00 = top[0][0] * r0[0] + top[1][0] * r1[0] + top[2][0] * r2[0];
  const double e22 = bottom[0] * r20 + bottom[1] * r21 + bottom[2] * r22;
  Inertia out;
  out.mass = in.mass;
  out.lever = mul(r, in.lever);
  out.lever += x.translation;
  out.inertia = {e00, e1[0], e1[1], e2[0], e2[1], e22};
  return out;
}

// a becomes the inertia of the union of a and b: mass ma + mb, centre of mass
// c = (ma ca + mb cb) / m, and about c the rotational inertias plus the
// parallel-axis terms m (|d|^2 1 - d d^T) of both offsets d, each entry as
// ((a.I + ma (|da|^2 u - da_i da_j)) + b.I) + mb (|db|^2 u - db_i db_j). When
// the total mass is below 1e-10, a is left exactly as it was.
inline void add_inertia(Inertia& a, const Inertia& b) {
  const double m = a.mass + b.mass;
  if (m < 1e-10) return;
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
    const Lanes ia{a.inertia[e], a.inertia[e + 1]}, ib{b.inertia[e], b.inertia[e + 1]};
    return ia + ma * (sa * unit - dai * daj) + ib + mb * (sb * unit - dbi * dbj);
  };
  const Lanes p0 = sum(0, Lanes{1.0, 0.0}, da01, splat(da01[0]), db01, splat(db01[0]));
  const Lanes p1 = sum(2, Lanes{1.0, 0.0}, Lanes{da01[1], da2}, Lanes{da01[1], da01[0]},
                       Lanes{db01[1], db2}, Lanes{db01[1], db01[0]});
  const Lanes p2 = sum(4, Lanes{0.0, 1.0}, splat(da2), Lanes{da01[1], da2}, splat(db2),
                       Lanes{db01[1], db2});
  a.mass = m;
  a.lever = Vec3(c01[0], c01[1], c2);
  a.inertia = {p0[0], p0[1], p1[0], p1[1], p2[0], p2[1]};
}

}  // namespace trelvar::detail
