// W doubles side by side (internal), for passes that carry several columns
// through the same operations at once, and the run-time choice of a pass's
// AVX2+FMA copy.
//
// WideLanes<W> is a GCC and Clang vector of W doubles (W = 1 or 4): four fill
// one AVX register, or two SSE2 registers where AVX is not enabled.
// Arithmetic applies the scalar operation in each lane; a scalar operand
// stands for W equal lanes. A WideLanes is never passed or returned by value
// (its calling convention differs between the two instruction sets): it is
// loaded and stored through pointers.
#pragma once

#if !defined(TRELVAR_DISPATCH_AVX2)
#if defined(__x86_64__) && defined(__GNUC__)
#define TRELVAR_DISPATCH_AVX2 1
#else
#define TRELVAR_DISPATCH_AVX2 0
#endif
#endif

namespace trelvar::detail {

// `at` is the same vector read or written at any address of a double. It is
// declared with typedef: Clang lowers a vector's alignment through the
// attribute on a typedef only, not on a using-alias (there it stays 32 and the
// load may be emitted as an aligned one).
template <int W>
struct WideLanesOf;
template <>
struct WideLanesOf<1> {
  using type = double __attribute__((vector_size(8)));
  typedef double at __attribute__((vector_size(8), aligned(8), may_alias));
};
template <>
struct WideLanesOf<4> {
  using type = double __attribute__((vector_size(32)));
  typedef double at __attribute__((vector_size(32), aligned(8), may_alias));
};
static_assert(alignof(WideLanesOf<1>::at) == alignof(double) &&
                  alignof(WideLanesOf<4>::at) == alignof(double),
              "wide lanes must load from any address of a double");
template <int W>
using WideLanes = typename WideLanesOf<W>::type;

// Four doubles.
using Quad = WideLanes<4>;

// The W doubles at p into x, p[0] in lane 0, and back.
template <int W>
[[gnu::always_inline]] inline void load_wide(WideLanes<W>& x, const double* p) {
  x = *reinterpret_cast<const typename WideLanesOf<W>::at*>(p);
}
template <int W>
[[gnu::always_inline]] inline void store_wide(double* p, const WideLanes<W>& x) {
  *reinterpret_cast<typename WideLanesOf<W>::at*>(p) = x;
}

#if TRELVAR_DISPATCH_AVX2
// True when the processor has AVX2 and FMA: a pass compiled twice (for the
// baseline instruction set, SSE2 on x86-64, and with AVX2 and FMA) runs the
// second copy. TRELVAR_DISPATCH_AVX2=0 keeps to the first.
inline bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return yes;
}
#endif

// The two copies of a pass: pass(copy) is compiled once for the baseline
// instruction set and once, with everything it calls inlined (flatten), for
// AVX2 and FMA; run_for_processor runs the second where has_avx2(). The tag
// says which copy the code is in (Copy::kAvx2), for a pass whose two copies
// differ.
struct BaselineCopy {
  static constexpr bool kAvx2 = false;
};
struct Avx2Copy {
  static constexpr bool kAvx2 = true;
};

template <class Pass>
[[gnu::flatten]] void run_baseline_copy(const Pass& pass) {
  pass(BaselineCopy{});
}

#if TRELVAR_DISPATCH_AVX2
template <class Pass>
[[gnu::flatten, gnu::target("avx2,fma")]] void run_avx2_copy(const Pass& pass) {
  pass(Avx2Copy{});
}
#endif

template <class Pass>
void run_for_processor(const Pass& pass) {
#if TRELVAR_DISPATCH_AVX2
  if (has_avx2()) {
    run_avx2_copy(pass);
    return;
  }
#endif
  run_baseline_copy(pass);
}

}  // namespace trelvar::detail
