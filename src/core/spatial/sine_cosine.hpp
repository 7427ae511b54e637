// Sine and cosine of joint angles (internal), one angle or four at once.
//
// Every placement of a revolute joint starts here, so the passes take these
// instead of the C library's: the same result to about one unit in the last
// place, a fraction of the instructions, and four angles per call in the
// vector form, which has no branch.
//
//   x = k pi/2 + r,   k the integer nearest to x 2/pi,   |r| <= pi/4 (about)
//   r + e = ((x - k P1) - k P2) - k P3,   P1 + P2 + P3 = pi/2
// P1 and P2 hold 33 significant bits, so k P1 and k P2 are exact for
// |k| < 2^20; r is kept with its rounding error e, which enters the series
// to first order (below).
//   sin r = r + r z (S3 + z (S5 + ... + z S17)),                 z = r^2
//   cos r = 1 - z/2 + z^2 (C4 + z (C6 + ... + z C18))
// (the Taylor series; the first omitted terms are below 1e-19 on |r| <= pi/4),
// with the rounding of 1 - z/2 carried into the sum. The quadrant k mod 4
// then picks and signs the pair:
//   (sin x, cos x) = (sin r, cos r), (cos r, -sin r), (-sin r, -cos r), (-cos r, sin r).
// Angles beyond kReducedRange, and non-finite ones, go to the C library.
#pragma once

#include <cmath>
#include <cstdint>

#include "../wide_lanes.hpp"

namespace trelvar::detail {

namespace sine_cosine {

// |x| up to which the reduction above is exact (|k| < 2^16).
constexpr double kReducedRange = 1e5;

constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double kP1 = 0x1.921fb544p+0;
constexpr double kP2 = 0x1.0b4611a6p-34;
constexpr double kP3 = 0x1.3198a2e037073p-69;
// Added and taken away again, rounds a double below 2^51 to an integer.
constexpr double kRound = 0x1.8p52;

// Taylor coefficients (-1)^n / (2n+1)! and (-1)^n / (2n)!.
constexpr double kS3 = -1.0 / 6.0, kS5 = 1.0 / 120.0, kS7 = -1.0 / 5040.0,
                 kS9 = 1.0 / 362880.0, kS11 = -1.0 / 39916800.0, kS13 = 1.0 / 6227020800.0,
                 kS15 = -1.0 / 1307674368000.0, kS17 = 1.0 / 355687428096000.0;
constexpr double kC4 = 1.0 / 24.0, kC6 = -1.0 / 720.0, kC8 = 1.0 / 40320.0,
                 kC10 = -1.0 / 3628800.0, kC12 = 1.0 / 479001600.0,
                 kC14 = -1.0 / 87178291200.0, kC16 = 1.0 / 20922789888000.0,
                 kC18 = -1.0 / 6402373705728000.0;

// sin and cos of r + e for |r| <= pi/4 and |e| within rounding of r (T a
// double or a WideLanes): sin(r + e) = sin r + e cos r, cos(r + e) = cos r - e sin r.
template <class T>
[[gnu::always_inline]] inline void sin_cos_reduced(const T& r, const T& e, T& s, T& c) {
  const T z = r * r;
  const T ps = kS3 + z * (kS5 + z * (kS7 + z * (kS9 + z * (kS11 + z * (kS13 + z * (kS15 + z * kS17))))));
  const T pc = kC4 + z * (kC6 + z * (kC8 + z * (kC10 + z * (kC12 + z * (kC14 + z * (kC16 + z * kC18))))));
  const T hz = 0.5 * z;
  const T w = 1.0 - hz;
  s = r + (r * z * ps + e * w);
  c = w + ((((1.0 - w) - hz) + z * z * pc) - e * r);
}

// k (as a double, exact) and x - k pi/2 = r + e, r rounded and e the rest;
// t holds k in the low bits of its significand (t = 3 2^51 + k, so those bits
// are k mod 4 for either sign). x - k P1 is exact, and so is the rounding
// error of taking k P2 from it (the sum of two doubles, error included).
template <class T>
[[gnu::always_inline]] inline void reduce(const T& x, T& t, T& k, T& r, T& e) {
  t = x * kTwoOverPi + kRound;
  k = t - kRound;
  const T a = x - k * kP1;
  const T b = k * kP2;
  const T d = a - b;
  const T bd = d - a;
  const T lost = (a - (d - bd)) - (b + bd);
  const T tail = lost - k * kP3;
  r = d + tail;
  e = (d - r) + tail;
}

// sin x and cos x for |x| <= kReducedRange (T a double or a WideLanes, U
// the unsigned integers of its size). The quadrant is applied without
// branches, as a joint angle's is not predictable: odd k swaps sin and cos,
// bit 1 of k negates sin, bit 1 of k + 1 negates cos.
template <class T, class U>
[[gnu::always_inline]] inline void sin_cos_in_range(const T& x, T& s, T& c) {
  T t, k, r, e, sr, cr;
  reduce(x, t, k, r, e);
  sin_cos_reduced(r, e, sr, cr);
  const U q = __builtin_bit_cast(U, t);
  const U swap = -(q & 1);
  const U bs = __builtin_bit_cast(U, sr), bc = __builtin_bit_cast(U, cr);
  s = __builtin_bit_cast(T, ((bs & ~swap) | (bc & swap)) ^ ((q & 2) << 62));
  c = __builtin_bit_cast(T, ((bc & ~swap) | (bs & swap)) ^ (((q + 1) & 2) << 62));
}

}  // namespace sine_cosine

// sin x and cos x.
inline void sin_cos(double x, double& s, double& c) {
  if (std::fabs(x) <= sine_cosine::kReducedRange) {
    sine_cosine::sin_cos_in_range<double, std::uint64_t>(x, s, c);
    return;
  }
#if defined(__GLIBC__)
  ::sincos(x, &s, &c);
#else
  s = std::sin(x);
  c = std::cos(x);
#endif
}

// sin x[j] and cos x[j] for j = 0..3, into s[j] and c[j] (the same values as
// one angle at a time).
inline void sin_cos(const double* x, double* s, double* c) {
  using U = std::uint64_t __attribute__((vector_size(32)));
  Quad xv, sv, cv;
  load_wide<4>(xv, x);
  sine_cosine::sin_cos_in_range<Quad, U>(xv, sv, cv);
  store_wide<4>(s, sv);
  store_wide<4>(c, cv);
  for (int j = 0; j < 4; ++j) {
    if (!(std::fabs(x[j]) <= sine_cosine::kReducedRange)) sin_cos(x[j], s[j], c[j]);
  }
}

}  // namespace trelvar::detail
