// The batch layer against the core calls it makes, on the bundled 7-DoF arm.
//
// overhead/<alg>: per iteration, N states through a plain loop of core calls
//   on one Data, then the same N states through the batch function on the
//   calling thread, each timed by the thread's CPU clock; the fastest of each
//   over the iterations is kept (so both see the same machine load), and
//   overhead_ns = (batch - loop) / N. over_store_ns compares with a loop that
//   also copies each result as it is into the output rows (crba: the upper
//   triangle, where the batch writes the full matrix). Under
//   valgrind --tool=callgrind the inclusive instruction counts of core_loop
//   and batch_call give the same comparison free of timing noise.
// scaling/<alg>/<N>: per iteration, the batch function with threads = 1 and
//   with threads = 2, fastest of each kept; speedup = t1 / t2 (wall clock,
//   meaningful only on an otherwise idle machine). cpu_speedup = CPU time of
//   one thread / CPU time of the busiest of two, cpu_cost_2v1 = total CPU of
//   two threads / one: what two free cores would give, measured on any load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/sample_models.hpp"
#include "trelvar/batch.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/urdf.hpp"

namespace {

using namespace trelvar;
using Clock = std::chrono::steady_clock;

struct States {
  Model model;
  std::size_t n;
  std::vector<double> q, v, a, out;
  States(std::size_t count) : model(parse_urdf_file(std::string(TRELVAR_MODELS_DIR) + "/arm7.urdf", false)), n(count) {
    std::mt19937 rng(3);
    for (std::size_t k = 0; k < n; ++k) {
      const VectorX qk = samples::random_configuration(rng, model);
      const VectorX vk = samples::random_vector(rng, model.nv), ak = samples::random_vector(rng, model.nv);
      q.insert(q.end(), qk.data(), qk.data() + qk.size());
      v.insert(v.end(), vk.data(), vk.data() + vk.size());
      a.insert(a.end(), ak.data(), ak.data() + ak.size());
    }
    out.assign(n * model.nv * model.nv, 0.0);
  }
  Eigen::Map<const VectorX> row(const std::vector<double>& x, std::size_t k, std::size_t w) const {
    return Eigen::Map<const VectorX>(x.data() + k * w, static_cast<Eigen::Index>(w));
  }
};

// The algorithms compared, one entry each in kAlgorithms: a loop of core
// calls over states [begin, end) on one Data (each result copied as it is
// into the output rows when `store`) and the batch call over all states.
// A function of (q, v, x) giving an nv-vector, batched like rnea, is one
// line, as forward dynamics shows.
struct Algorithm {
  const char* name;
  void (*core)(States& s, Data& d, std::size_t begin, std::size_t end, bool store);
  void (*batch)(States& s, std::size_t threads);
};

// The core call is inlined into the loop, as in the batch adapters.
template <void (*Core)(States&, Data&, std::size_t, bool)>
void loop(States& s, Data& d, std::size_t begin, std::size_t end, bool store) {
  for (std::size_t k = begin; k < end; ++k) Core(s, d, k, store);
}

using In = const Eigen::Ref<const VectorX>&;

template <const VectorX& (*F)(const Model&, Data&, In, In, In)>
inline void qvx_core(States& s, Data& d, std::size_t k, bool store) {
  const std::size_t nq = s.model.nq, nv = s.model.nv;
  const VectorX& y = F(s.model, d, s.row(s.q, k, nq), s.row(s.v, k, nv), s.row(s.a, k, nv));
  if (store) std::memcpy(s.out.data() + k * nv, y.data(), nv * sizeof(double));
  benchmark::DoNotOptimize(y.data());
}
template <void (*F)(const Model&, const batch::ConstRows&, const batch::ConstRows&,
                    const batch::ConstRows&, const batch::Rows&, const batch::Options&)>
void qvx_batch(States& s, std::size_t threads) {
  const std::size_t nq = s.model.nq, nv = s.model.nv;
  F(s.model, batch::rows_of(s.q.data(), s.n, nq), batch::rows_of(s.v.data(), s.n, nv),
    batch::rows_of(s.a.data(), s.n, nv), batch::rows_of(s.out.data(), s.n, nv), {threads});
}

inline void crba_core(States& s, Data& d, std::size_t k, bool store) {
  const std::size_t nq = s.model.nq, nv = s.model.nv;
  const MatrixX& m = crba(s.model, d, s.row(s.q, k, nq));
  if (store) std::memcpy(s.out.data() + k * nv * nv, m.data(), nv * nv * sizeof(double));
  benchmark::DoNotOptimize(m.data());
}
void crba_batch(States& s, std::size_t threads) {
  const std::size_t nq = s.model.nq, nv = s.model.nv;
  batch::crba(s.model, batch::rows_of(s.q.data(), s.n, nq),
              batch::rows_of(s.out.data(), s.n, nv * nv), {threads});
}

const Algorithm kAlgorithms[] = {
    {"rnea", loop<qvx_core<rnea>>, qvx_batch<batch::rnea>},
    {"crba", loop<crba_core>, crba_batch},
    {"aba", loop<qvx_core<aba>>, qvx_batch<batch::aba>},
};

// One pass of an algorithm: the core loop (the result left in the Data, or
// with `store`, copied into the output rows) and the batch call.
[[gnu::noinline]] void core_loop(const Algorithm& alg, States& s, Data& d, bool store) {
  alg.core(s, d, 0, s.n, store);
  benchmark::ClobberMemory();
}

[[gnu::noinline]] void batch_call(const Algorithm& alg, States& s, std::size_t threads) {
  alg.batch(s, threads);
  benchmark::ClobberMemory();
}

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: time spent waiting for a processor on a
// loaded machine does not count.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void overhead(benchmark::State& state, const Algorithm& alg) {
  States s(10000);
  Data d(s.model);
  double loop = 1e9, stored = 1e9, batch = 1e9;
  for (auto _ : state) {
    double t = thread_seconds();
    core_loop(alg, s, d, false);
    loop = std::min(loop, thread_seconds() - t);
    t = thread_seconds();
    core_loop(alg, s, d, true);
    stored = std::min(stored, thread_seconds() - t);
    t = thread_seconds();
    batch_call(alg, s, 1);
    batch = std::min(batch, thread_seconds() - t);
  }
  const double n = static_cast<double>(s.n);
  state.counters["core_ns"] = loop / n * 1e9;
  state.counters["core_store_ns"] = stored / n * 1e9;
  state.counters["batch_ns"] = batch / n * 1e9;
  state.counters["overhead_ns"] = (batch - loop) / n * 1e9;
  state.counters["over_store_ns"] = (batch - stored) / n * 1e9;
}

// The batch function's own machinery (run_ranges, as its adapter uses it)
// with each thread's CPU time summed over the ranges it ran: the busiest
// thread's share shows how evenly the states were spread, and whether two
// threads cost more CPU per state than one, whatever else the machine runs.
struct CpuPerThread {
  States* s;
  const Algorithm* alg;
  std::mutex mutex;
  std::map<std::thread::id, double> cpu;

  static void body(void* context, Data& d, std::size_t begin, std::size_t end) {
    auto& c = *static_cast<CpuPerThread*>(context);
    const double t = thread_seconds();
    c.alg->core(*c.s, d, begin, end, true);
    const double used = thread_seconds() - t;
    std::lock_guard<std::mutex> lock(c.mutex);
    c.cpu[std::this_thread::get_id()] += used;
  }

  // (total, busiest thread) CPU seconds of one run.
  std::pair<double, double> run(std::size_t threads) {
    cpu.clear();
    batch::run_ranges(s->model, s->n, {threads}, body, this);
    double total = 0.0, busiest = 0.0;
    for (const auto& [id, t] : cpu) total += t, busiest = std::max(busiest, t);
    return {total, busiest};
  }
};

void scaling(benchmark::State& state, const Algorithm& alg) {
  States s(static_cast<std::size_t>(state.range(0)));
  batch::set_pool_size(2);
  double one = 1e9, two = 1e9, cpu_one = 1e9, cpu_busiest = 1e9, cpu_total = 1e9;
  CpuPerThread probe{&s, &alg, {}, {}};
  for (auto _ : state) {
    auto t = Clock::now();
    batch_call(alg, s, 1);
    one = std::min(one, seconds(t));
    t = Clock::now();
    batch_call(alg, s, 2);
    two = std::min(two, seconds(t));
    cpu_one = std::min(cpu_one, probe.run(1).first);
    const auto [total, busiest] = probe.run(2);
    cpu_total = std::min(cpu_total, total);
    cpu_busiest = std::min(cpu_busiest, busiest);
  }
  const double n = static_cast<double>(s.n);
  state.counters["t1_ns"] = one / n * 1e9;
  state.counters["t2_ns"] = two / n * 1e9;
  state.counters["speedup"] = one / two;
  // On two free cores the wall time of two threads is at least the busiest
  // thread's CPU time: cpu_speedup bounds what `speedup` can reach.
  state.counters["cpu_speedup"] = cpu_one / cpu_busiest;
  state.counters["cpu_cost_2v1"] = cpu_total / cpu_one;
  batch::set_pool_size(0);
}

}  // namespace

int main(int argc, char** argv) {
  for (const Algorithm& alg : kAlgorithms) {
    const std::string name = alg.name;
    benchmark::RegisterBenchmark(("overhead/" + name).c_str(),
                                 [&alg](benchmark::State& s) { overhead(s, alg); })
        ->Iterations(30)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("scaling/" + name).c_str(),
                                 [&alg](benchmark::State& s) { scaling(s, alg); })
        ->Arg(10000)
        ->Arg(100000)
        ->Iterations(20)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
