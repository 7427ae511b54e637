// The batch layer: every row equal bit for bit to the single-state call, the
// shape checks, the sharing of ranges among threads, errors from a worker,
// concurrent callers and pool resizes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "sample_models.hpp"
#include "test_util.hpp"
#include "trelvar/batch.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/kinematics.hpp"

namespace trelvar {
namespace {

using testing::error_of;

// Row-major N x cols block.
struct Block {
  std::vector<double> x;
  std::size_t rows = 0, cols = 0;
  Block(std::size_t r, std::size_t c) : x(r * c, -7.0), rows(r), cols(c) {}
  batch::ConstRows in() const { return batch::rows_of(x.data(), rows, cols); }
  batch::Rows out() { return batch::rows_of(x.data(), rows, cols); }
  const double* row(std::size_t k) const { return x.data() + k * cols; }
};

struct States {
  Block q, v, a;
  States(std::mt19937& rng, const Model& m, std::size_t n) : q(n, m.nq), v(n, m.nv), a(n, m.nv) {
    for (std::size_t k = 0; k < n; ++k) {
      const VectorX qk = samples::random_configuration(rng, m);
      const VectorX vk = samples::random_vector(rng, m.nv), ak = samples::random_vector(rng, m.nv);
      std::copy(qk.data(), qk.data() + qk.size(), q.x.begin() + static_cast<long>(k * m.nq));
      std::copy(vk.data(), vk.data() + vk.size(), v.x.begin() + static_cast<long>(k * m.nv));
      std::copy(ak.data(), ak.data() + ak.size(), a.x.begin() + static_cast<long>(k * m.nv));
    }
  }
};

Eigen::Map<const VectorX> vec(const Block& b, std::size_t k) {
  return Eigen::Map<const VectorX>(b.row(k), static_cast<Eigen::Index>(b.cols));
}

bool same_bits(const double* a, const double* b, std::size_t n) {
  return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The matrices one after the other, each row by row.
std::vector<double> flat_rows(std::initializer_list<const MatrixX*> matrices) {
  std::vector<double> out;
  for (const MatrixX* x : matrices) {
    const RowMajor rows = *x;
    out.insert(out.end(), rows.data(), rows.data() + rows.size());
  }
  return out;
}

// The single-state result of each algorithm for state k, with a fresh Data.
std::vector<double> single(const std::string& alg, const Model& m, const States& s, std::size_t k) {
  Data d(m);
  auto flat = [](const auto& x) { return std::vector<double>(x.data(), x.data() + x.size()); };
  if (alg == "aba") return flat(aba(m, d, vec(s.q, k), vec(s.v, k), vec(s.a, k)));
  if (alg == "compute_minverse") return flat_rows({&compute_minverse(m, d, vec(s.q, k))});
  if (alg == "compute_rnea_derivatives") {
    compute_rnea_derivatives(m, d, vec(s.q, k), vec(s.v, k), vec(s.a, k));
    return flat_rows({&d.dtau_dq, &d.dtau_dv, &d.M});
  }
  if (alg == "compute_aba_derivatives") {
    compute_aba_derivatives(m, d, vec(s.q, k), vec(s.v, k), vec(s.a, k));
    return flat_rows({&d.ddq_dq, &d.ddq_dv, &d.Minv});
  }
  if (alg == "rnea") return flat(rnea(m, d, vec(s.q, k), vec(s.v, k), vec(s.a, k)));
  if (alg == "non_linear_effects") return flat(non_linear_effects(m, d, vec(s.q, k), vec(s.v, k)));
  if (alg == "compute_gravity") return flat(compute_gravity(m, d, vec(s.q, k)));
  if (alg == "integrate") return flat(integrate(m, vec(s.q, k), vec(s.v, k)));
  if (alg == "crba") {
    crba(m, d, vec(s.q, k));
    const MatrixX full = d.get_mass_matrix();
    const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> rows = full;
    return flat(rows);
  }
  forward_kinematics(m, d, vec(s.q, k));
  std::vector<double> out;
  for (const SE3& x : d.omi) {
    const Eigen::Matrix<double, 4, 4, Eigen::RowMajor> h = x.to_homogeneous();
    out.insert(out.end(), h.data(), h.data() + 16);
  }
  return out;
}

Block run(const std::string& alg, const Model& m, const States& s, std::size_t threads) {
  const batch::Options o{threads};
  const std::size_t n = s.q.rows;
  if (alg == "rnea") {
    Block out(n, m.nv);
    batch::rnea(m, s.q.in(), s.v.in(), s.a.in(), out.out(), o);
    return out;
  }
  if (alg == "non_linear_effects") {
    Block out(n, m.nv);
    batch::non_linear_effects(m, s.q.in(), s.v.in(), out.out(), o);
    return out;
  }
  if (alg == "compute_gravity") {
    Block out(n, m.nv);
    batch::compute_gravity(m, s.q.in(), out.out(), o);
    return out;
  }
  if (alg == "integrate") {
    Block out(n, m.nq);
    batch::integrate(m, s.q.in(), s.v.in(), out.out(), o);
    return out;
  }
  if (alg == "crba") {
    Block out(n, m.nv * m.nv);
    batch::crba(m, s.q.in(), out.out(), o);
    return out;
  }
  if (alg == "aba") {
    Block out(n, m.nv);
    batch::aba(m, s.q.in(), s.v.in(), s.a.in(), out.out(), o);
    return out;
  }
  if (alg == "compute_minverse") {
    Block out(n, m.nv * m.nv);
    batch::compute_minverse(m, s.q.in(), out.out(), o);
    return out;
  }
  if (alg == "compute_rnea_derivatives" || alg == "compute_aba_derivatives") {
    // Three N x nv^2 results, joined row by row into one N x 3nv^2 block.
    const std::size_t w = m.nv * m.nv;
    Block x(n, w), y(n, w), z(n, w);
    if (alg == "compute_rnea_derivatives") {
      batch::compute_rnea_derivatives(m, s.q.in(), s.v.in(), s.a.in(), x.out(), y.out(), z.out(), o);
    } else {
      batch::compute_aba_derivatives(m, s.q.in(), s.v.in(), s.a.in(), x.out(), y.out(), z.out(), o);
    }
    Block out(n, 3 * w);
    for (std::size_t k = 0; k < n; ++k) {
      std::copy(x.row(k), x.row(k) + w, out.x.begin() + static_cast<long>(k * 3 * w));
      std::copy(y.row(k), y.row(k) + w, out.x.begin() + static_cast<long>(k * 3 * w + w));
      std::copy(z.row(k), z.row(k) + w, out.x.begin() + static_cast<long>(k * 3 * w + 2 * w));
    }
    return out;
  }
  Block out(n, m.njoints * 16);
  batch::forward_kinematics(m, s.q.in(), out.out(), o);
  return out;
}

const char* const kAlgorithms[] = {"rnea", "non_linear_effects", "compute_gravity",
                                   "crba", "forward_kinematics", "integrate",
                                   "aba", "compute_minverse", "compute_rnea_derivatives",
                                   "compute_aba_derivatives"};

class EveryRow : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { batch::set_pool_size(4); }
  void TearDown() override { batch::set_pool_size(0); }
};

TEST_P(EveryRow, EqualsTheSingleStateCallBitForBit) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const Model m = GetParam() == 0   ? samples::arm7()
                  : GetParam() == 1 ? samples::tree32()
                                    : samples::random_tree(rng, 12, GetParam() == 2);
  const States s(rng, m, 203);
  for (const char* alg : kAlgorithms) {
    for (const std::size_t threads : {1, 2, 0}) {
      const Block out = run(alg, m, s, threads);
      for (std::size_t k = 0; k < s.q.rows; ++k) {
        const std::vector<double> want = single(alg, m, s, k);
        ASSERT_EQ(want.size(), out.cols) << alg;
        ASSERT_TRUE(same_bits(out.row(k), want.data(), want.size()))
            << alg << " row " << k << " threads " << threads;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, EveryRow, ::testing::Values(0, 1, 2, 3));

TEST(Batch, ReadsRowsWithAnyStride) {
  std::mt19937 rng(5);
  const Model m = samples::arm7();
  const States s(rng, m, 9);
  Block want(9, m.nv);
  batch::rnea(m, s.q.in(), s.v.in(), s.a.in(), want.out());
  // q with padding between rows, v read backwards, a the same row for all.
  Block padded(9, m.nq + 3);
  for (std::size_t k = 0; k < 9; ++k) std::copy(s.q.row(k), s.q.row(k) + m.nq, padded.x.begin() + static_cast<long>(k * (m.nq + 3)));
  batch::ConstRows q{padded.x.data(), 9, m.nq, static_cast<std::ptrdiff_t>(m.nq + 3)};
  Block reversed(9, m.nv);
  for (std::size_t k = 0; k < 9; ++k) std::copy(s.v.row(8 - k), s.v.row(8 - k) + m.nv, reversed.x.begin() + static_cast<long>(k * m.nv));
  batch::ConstRows v{reversed.x.data() + 8 * m.nv, 9, m.nv, -static_cast<std::ptrdiff_t>(m.nv)};
  batch::ConstRows a{s.a.row(0), 9, m.nv, 0};
  Block out(9, m.nv);
  batch::rnea(m, q, v, a, out.out(), {2});
  for (std::size_t k = 0; k < 9; ++k) {
    Data d(m);
    const VectorX tau = rnea(m, d, vec(s.q, k), vec(s.v, k), vec(s.a, 0));
    EXPECT_TRUE(same_bits(out.row(k), tau.data(), m.nv)) << k;
  }
  EXPECT_FALSE(same_bits(out.row(3), want.row(3), m.nv));  // a really was row 0
}

TEST(Batch, ShapesAreCheckedBeforeAnyWork) {
  const Model m = samples::arm7();
  Block q(4, 7), v(4, 7), a(3, 7), out(4, 7);
  const auto untouched = out.x;
  EXPECT_EQ(error_of([&] { batch::rnea(m, q.in(), v.in(), a.in(), out.out()); }),
            "a has shape (3, 7), expected (N, nv) = (4, 7)");
  Block q6(4, 6);
  EXPECT_EQ(error_of([&] { batch::rnea(m, q6.in(), v.in(), v.in(), out.out()); }),
            "q has shape (4, 6), expected (N, nq) = (N, 7)");
  Block tau5(4, 5);
  EXPECT_EQ(error_of([&] { batch::rnea(m, q.in(), v.in(), v.in(), tau5.out()); }),
            "tau has shape (4, 5), expected (N, nv) = (4, 7)");
  Block mm(4, 48);
  EXPECT_EQ(error_of([&] { batch::crba(m, q.in(), mm.out()); }),
            "M has shape (4, 48), expected (N, nv*nv) = (4, 49)");
  Block fk(4, 16);
  EXPECT_EQ(error_of([&] { batch::forward_kinematics(m, q.in(), fk.out()); }),
            "placements has shape (4, 16), expected (N, njoints*16) = (4, 144)");
  batch::Rows overlapping{out.x.data(), 4, 7, 3};
  EXPECT_EQ(error_of([&] { batch::compute_gravity(m, q.in(), overlapping); }),
            "g: the output rows overlap");
  EXPECT_EQ(error_of([&] { batch::compute_gravity(m, batch::ConstRows{nullptr, 4, 7, 7}, out.out()); }),
            "q has no data");
  EXPECT_EQ(out.x, untouched);
  // No states: nothing to do, nothing read.
  batch::rnea(m, batch::ConstRows{nullptr, 0, 7, 7}, batch::ConstRows{nullptr, 0, 7, 7},
              batch::ConstRows{nullptr, 0, 7, 7}, batch::Rows{nullptr, 0, 7, 7});
}

TEST(Batch, AModelWithoutCoordinatesGivesEmptyRows) {
  const Model m;
  std::vector<double> none(1), placements(3 * 16, -1.0);
  const batch::ConstRows in{none.data(), 3, 0, 0};
  batch::rnea(m, in, in, in, batch::Rows{none.data(), 3, 0, 0}, {2});
  batch::crba(m, in, batch::Rows{none.data(), 3, 0, 0}, {2});
  batch::integrate(m, in, in, batch::Rows{none.data(), 3, 0, 0}, {2});
  batch::forward_kinematics(m, in, batch::rows_of(placements.data(), 3, 16), {2});
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(Eigen::Map<const Mat4>(placements.data() + 16 * k), Mat4::Identity());
  }
}

TEST(Batch, AModelEditedOutOfShapeIsRefused) {
  Model m = samples::arm7();
  m.idx_vs[3] = 0;
  Block q(2, 7), out(2, 7);
  EXPECT_EQ(error_of([&] { batch::compute_gravity(m, q.in(), out.out()); }),
            "Model joint 3 is inconsistent");
}

// Every index once, each range on a Data no other running range uses.
TEST(RunRanges, CoversEveryStateOnceWithOneDataPerWorker) {
  batch::set_pool_size(3);
  const Model m = samples::arm7();
  for (const std::size_t n : {1, 2, 3, 47, 1000, 5003}) {
    for (const std::size_t threads : {0, 1, 2, 3, 8}) {
      std::vector<std::atomic<int>> hits(n);
      std::mutex mutex;
      std::set<const Data*> busy, used;
      bool shared_data = false;
      batch::for_each_state(m, n, {threads}, [&](Data& d, std::size_t k) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          shared_data |= !busy.insert(&d).second;
          used.insert(&d);
        }
        ++hits[k];
        std::lock_guard<std::mutex> lock(mutex);
        busy.erase(&d);
      });
      EXPECT_FALSE(shared_data);
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(hits[k].load(), 1) << n << " " << k;
      const std::size_t cap = threads == 0 ? 3 : std::min<std::size_t>(threads, 3);
      EXPECT_LE(used.size(), std::min(cap, n));
    }
  }
  batch::set_pool_size(0);
}

TEST(RunRanges, AnErrorInOneRangeReachesTheCallerAndStopsTheRest) {
  batch::set_pool_size(2);
  const Model m = samples::arm7();
  std::atomic<std::size_t> done{0};
  EXPECT_EQ(error_of([&] {
              batch::for_each_state(m, 100000, {2}, [&](Data&, std::size_t k) {
                if (k == 70) throw Error("state 70 failed");
                ++done;
              });
            }),
            "state 70 failed");
  EXPECT_LT(done.load(), 50000u);
  // The pool is still healthy.
  std::atomic<std::size_t> count{0};
  batch::for_each_state(m, 500, {2}, [&](Data&, std::size_t) { ++count; });
  EXPECT_EQ(count.load(), 500u);
  batch::set_pool_size(0);
}

TEST(Pool, SizeFollowsTheRequest) {
  const std::size_t hardware = batch::pool_size();
  EXPECT_GE(hardware, 1u);
  batch::set_pool_size(5);
  EXPECT_EQ(batch::pool_size(), 5u);
  batch::set_pool_size(0);
  EXPECT_EQ(batch::pool_size(), hardware);
}

// Several callers on one model and one pool at once, while another thread
// keeps resizing the pool: every result stays exact and nobody waits forever.
TEST(Pool, ConcurrentCallersAndResizes) {
  std::mt19937 rng(11);
  const Model m = samples::tree32();
  const States s(rng, m, 400);
  Block want(400, m.nv);
  batch::rnea(m, s.q.in(), s.v.in(), s.a.in(), want.out(), {1});
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 15; ++round) {
        Block out(400, m.nv);
        batch::rnea(m, s.q.in(), s.v.in(), s.a.in(), out.out(), {static_cast<std::size_t>(t)});
        if (out.x != want.x) ++mismatches;
      }
    });
  }
  std::thread resizer([&] {
    for (std::size_t k = 0; !stop.load(); ++k) {
      batch::set_pool_size(1 + k % 4);
      std::this_thread::yield();
    }
  });
  for (std::thread& t : callers) t.join();
  stop = true;
  resizer.join();
  EXPECT_EQ(mismatches.load(), 0);
  batch::set_pool_size(0);
}

#if !defined(__SANITIZE_THREAD__)
// A child forked after the pool started gets a working pool of its own.
TEST(Pool, WorksInAForkedChild) {
  batch::set_pool_size(2);
  const Model m = samples::arm7();
  std::atomic<std::size_t> count{0};
  batch::for_each_state(m, 1000, {2}, [&](Data&, std::size_t) { ++count; });
  ASSERT_EQ(count.load(), 1000u);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<std::size_t> in_child{0};
    batch::for_each_state(m, 20000, {2}, [&](Data&, std::size_t) { ++in_child; });
    _exit(in_child.load() == 20000 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  batch::set_pool_size(0);
}
#endif

}  // namespace
}  // namespace trelvar
