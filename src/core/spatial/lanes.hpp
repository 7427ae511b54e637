// Two values side by side (internal): Lanes holds two doubles in one SSE2
// register, Vec3Pair two 3-vectors component by component. Arithmetic on
// Lanes applies the scalar operation to each lane, so an operation written
// for 3-vectors gives, in each lane, exactly the scalar result; the spatial
// operations take these pairs wherever they take a Vec3.
#pragma once

#include "trelvar/spatial.hpp"

namespace trelvar::detail {

// GCC and Clang vector extension: 16 bytes, two doubles.
using Lanes = double __attribute__((vector_size(16)));

inline Lanes lanes(double first, double second) {
  return Lanes{first, second};
}
inline Lanes splat(double x) {
  return Lanes{x, x};
}
// The two doubles at p, p[0] in lane 0 (no alignment needed).
inline Lanes load_lanes(const double* p) {
  Lanes out;
  __builtin_memcpy(&out, p, sizeof out);
  return out;
}
// Both lanes of x to p, p[0] from lane 0 (no alignment needed).
inline void store_lanes(double* p, const Lanes& x) {
  __builtin_memcpy(p, &x, sizeof x);
}

// Two 3-vectors: component k of the first in lane 0 of c[k], of the second in
// lane 1.
struct Vec3Pair {
  Lanes c[3];
  Lanes& operator[](int k) { return c[k]; }
  const Lanes& operator[](int k) const { return c[k]; }
};

inline Vec3Pair pair(const Vec3& first, const Vec3& second) {
  return {{lanes(first[0], second[0]), lanes(first[1], second[1]), lanes(first[2], second[2])}};
}
inline Vec3 first(const Vec3Pair& x) {
  return Vec3(x[0][0], x[1][0], x[2][0]);
}
inline Vec3 second(const Vec3Pair& x) {
  return Vec3(x[0][1], x[1][1], x[2][1]);
}

inline Vec3Pair operator+(const Vec3Pair& a, const Vec3Pair& b) {
  return {{a[0] + b[0], a[1] + b[1], a[2] + b[2]}};
}
inline Vec3Pair operator-(const Vec3Pair& a, const Vec3Pair& b) {
  return {{a[0] - b[0], a[1] - b[1], a[2] - b[2]}};
}
inline Vec3Pair& operator+=(Vec3Pair& a, const Vec3Pair& b) {
  return a = a + b;
}
inline Vec3Pair& operator-=(Vec3Pair& a, const Vec3Pair& b) {
  return a = a - b;
}
inline Vec3Pair operator*(double s, const Vec3Pair& x) {
  return {{s * x[0], s * x[1], s * x[2]}};
}

// t x x for a 3-vector t and both vectors of the pair (trelvar::cross per lane).
inline Vec3Pair cross(const Vec3& t, const Vec3Pair& x) {
  return {{t[1] * x[2] - t[2] * x[1], t[2] * x[0] - t[0] * x[2], t[0] * x[1] - t[1] * x[0]}};
}
using trelvar::cross;

}  // namespace trelvar::detail
