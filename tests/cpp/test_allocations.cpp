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
#include "trelvar/batch.hpp"
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

// A batch call allocates per call (one Data per worker), never per state.
TEST(BatchAllocations, DoNotGrowWithTheStates) {
  std::mt19937 rng(9);
  const Model m = samples::random_tree(rng, 12, true);
  const std::size_t n = 2000;
  std::vector<double> q, v(n * m.nv, 0.25), out(n * m.nv * m.nv);
  for (std::size_t k = 0; k < n; ++k) {
    const VectorX qk = samples::random_configuration(rng, m);
    q.insert(q.end(), qk.data(), qk.data() + qk.size());
  }
  batch::set_pool_size(2);
  for (const std::size_t threads : {1, 2}) {
    auto calls = [&](std::size_t states) {
      return allocations_of([&] {
        batch::rnea(m, batch::rows_of(q.data(), states, m.nq), batch::rows_of(v.data(), states, m.nv),
                    batch::rows_of(v.data(), states, m.nv), batch::rows_of(out.data(), states, m.nv),
                    {threads});
        batch::crba(m, batch::rows_of(q.data(), states, m.nq),
                    batch::rows_of(out.data(), states, m.nv * m.nv), {threads});
        batch::integrate(m, batch::rows_of(q.data(), states, m.nq),
                         batch::rows_of(v.data(), states, m.nv),
                         batch::rows_of(out.data(), states, m.nq), {threads});
      });
    };
    const long few = calls(40), many = calls(n);
    EXPECT_EQ(few, many) << threads;
    EXPECT_GT(few, 0);  // the Data of each worker
  }
  batch::set_pool_size(0);
}

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
