// No heap allocation per call: a counting global operator new around warm
// calls of every algorithm that fills a Data.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>

#include "sample_models.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/kinematics.hpp"

// Every heap allocation goes through malloc and its siblings (operator new
// and Eigen's aligned allocator both end there), so counting them here sees
// all of them.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}

namespace {
std::atomic<long> allocations{0};
}

extern "C" {
void* malloc(std::size_t size) {
  ++allocations;
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
  ++allocations;
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
  ++allocations;
  return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t align, std::size_t size) {
  ++allocations;
  return __libc_memalign(align, size);
}
int posix_memalign(void** out, std::size_t align, std::size_t size) {
  ++allocations;
  *out = __libc_memalign(align, size);
  return *out != nullptr ? 0 : ENOMEM;
}
}

namespace trelvar {
namespace {

long allocations_of(const std::function<void()>& call) {
  call();  // warm
  const long before = allocations.load();
  call();
  return allocations.load() - before;
}

class NoAllocation : public ::testing::TestWithParam<int> {};

TEST_P(NoAllocation, WarmCallsAllocateNothing) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const Model m = GetParam() == 0 ? samples::tree32() : samples::random_tree(rng, 20, true);
  Data d(m);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  const VectorX a = samples::random_vector(rng, m.nv);
  EXPECT_EQ(allocations_of([&] { forward_kinematics(m, d, q); }), 0);
  EXPECT_EQ(allocations_of([&] { rnea(m, d, q, v, a); }), 0);
  EXPECT_EQ(allocations_of([&] { non_linear_effects(m, d, q, v); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_gravity(m, d, q); }), 0);
  EXPECT_EQ(allocations_of([&] { crba(m, d, q); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_all_terms(m, d, q, v); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_coriolis_matrix(m, d, q, v); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_rnea_derivatives(m, d, q, v, a); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_aba_derivatives(m, d, q, v, a); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_joint_jacobians(m, d, q); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_joint_jacobians_time_variation(m, d, q, v); }), 0);
  const std::vector<Vec6> fext(m.njoints, Vec6::Ones());
  EXPECT_EQ(allocations_of([&] { aba(m, d, q, v, a); }), 0);
  EXPECT_EQ(allocations_of([&] { aba(m, d, q, v, a, fext); }), 0);
  EXPECT_EQ(allocations_of([&] { compute_minverse(m, d, q); }), 0);
  // These return a new matrix by design: exactly that one allocation.
  EXPECT_EQ(allocations_of([&] { compute_joint_jacobian(m, d, q, m.njoints - 1); }), 1);
  EXPECT_EQ(allocations_of([&] { get_frame_jacobian(m, d, m.njoints - 1, ReferenceFrame::LOCAL); }), 1);
  EXPECT_EQ(allocations_of([&] {
              get_frame_jacobian_time_variation(m, d, 0, ReferenceFrame::LOCAL_WORLD_ALIGNED);
            }),
            1);
}

INSTANTIATE_TEST_SUITE_P(Models, NoAllocation, ::testing::Values(0, 1, 2));

TEST(CountingAllocator, SeesAllocations) {
  // The counter is live: a heap vector is seen.
  EXPECT_GE(allocations_of([] {
              VectorX x = VectorX::Zero(100);
              volatile double sink = x.sum();
              (void)sink;
            }),
            1);
}

}  // namespace
}  // namespace trelvar
