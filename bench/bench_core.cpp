// Per-call cost of every core algorithm on the bundled robots and on chains of
// 8 to 256 joints. Each iteration gets a new state from a precomputed set, so
// no cache answers for a repeated input. Counters: ns per call is the time
// column; ns_per_dof divides it by nv.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/sample_models.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/urdf.hpp"

namespace {

using namespace trelvar;

struct Fixture {
  Model model;
  std::unique_ptr<Data> data;
  std::vector<VectorX> q, v, a;
};

const char* const kModels[] = {"arm7",     "tree30",   "tree32",   "humanoid", "quadruped", "chain_8",
                               "chain_16", "chain_32", "chain_64", "chain_100", "chain_128", "chain_256"};

Fixture& fixture(const std::string& name) {
  static std::map<std::string, Fixture> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  Fixture f;
  f.model = name == "tree32" ? samples::tree32()
                             : parse_urdf_file(std::string(TRELVAR_MODELS_DIR) + "/" + name + ".urdf");
  f.data = std::make_unique<Data>(f.model);
  std::mt19937 rng(7);
  for (int k = 0; k < 64; ++k) {
    f.q.push_back(samples::random_configuration(rng, f.model));
    f.v.push_back(samples::random_vector(rng, f.model.nv));
    f.a.push_back(samples::random_vector(rng, f.model.nv));
  }
  return cache.emplace(name, std::move(f)).first->second;
}

// d f / dq (tangent space, through integrate) and d f / dv by central
// differences of f(q, v): the reference the analytical derivatives replace.
template <class F>
void central_differences(Fixture& f, std::size_t k, F&& fn) {
  static thread_local MatrixX dq, dv;
  static thread_local VectorX e, x;
  const auto nv = static_cast<Eigen::Index>(f.model.nv);
  dq.resize(nv, nv);
  dv.resize(nv, nv);
  e = VectorX::Zero(nv);
  constexpr double h = 1e-6;
  for (Eigen::Index c = 0; c < nv; ++c) {
    e[c] = h;
    dq.col(c) = fn(integrate(f.model, f.q[k], e), f.v[k]);
    dq.col(c) -= fn(integrate(f.model, f.q[k], -e), f.v[k]);
    dq.col(c) /= 2 * h;
    x = f.v[k] + e;
    dv.col(c) = fn(f.q[k], x);
    x = f.v[k] - e;
    dv.col(c) -= fn(f.q[k], x);
    dv.col(c) /= 2 * h;
    e[c] = 0.0;
  }
  benchmark::DoNotOptimize(dq.data());
  benchmark::DoNotOptimize(dv.data());
}

template <class Call>
void run(benchmark::State& state, const std::string& name, Call&& call) {
  Fixture& f = fixture(name);
  std::size_t k = 0;
  for (auto _ : state) {
    call(f, k & 63);
    benchmark::ClobberMemory();
    ++k;
  }
  state.counters["nv"] = static_cast<double>(f.model.nv);
  state.counters["ns_per_dof"] = benchmark::Counter(
      static_cast<double>(f.model.nv) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void register_all() {
  struct Algorithm {
    const char* name;
    void (*call)(Fixture&, std::size_t);
  };
  static const Algorithm algorithms[] = {
      {"forward_kinematics", [](Fixture& f, std::size_t k) { forward_kinematics(f.model, *f.data, f.q[k]); }},
      {"rnea", [](Fixture& f, std::size_t k) { rnea(f.model, *f.data, f.q[k], f.v[k], f.a[k]); }},
      {"non_linear_effects",
       [](Fixture& f, std::size_t k) { non_linear_effects(f.model, *f.data, f.q[k], f.v[k]); }},
      {"compute_gravity", [](Fixture& f, std::size_t k) { compute_gravity(f.model, *f.data, f.q[k]); }},
      {"crba", [](Fixture& f, std::size_t k) { crba(f.model, *f.data, f.q[k]); }},
      {"compute_joint_jacobians",
       [](Fixture& f, std::size_t k) { compute_joint_jacobians(f.model, *f.data, f.q[k]); }},
      {"compute_joint_jacobian",
       [](Fixture& f, std::size_t k) {
         benchmark::DoNotOptimize(compute_joint_jacobian(f.model, *f.data, f.q[k], f.model.njoints - 1));
       }},
      {"compute_joint_jacobians_time_variation",
       [](Fixture& f, std::size_t k) {
         compute_joint_jacobians_time_variation(f.model, *f.data, f.q[k], f.v[k]);
       }},
      {"get_frame_jacobian",
       [](Fixture& f, std::size_t) {
         benchmark::DoNotOptimize(
             get_frame_jacobian(f.model, *f.data, f.model.njoints - 1, ReferenceFrame::LOCAL));
       }},
      {"compute_all_terms",
       [](Fixture& f, std::size_t k) { compute_all_terms(f.model, *f.data, f.q[k], f.v[k]); }},
      {"compute_coriolis_matrix",
       [](Fixture& f, std::size_t k) { compute_coriolis_matrix(f.model, *f.data, f.q[k], f.v[k]); }},
      // The random accelerations serve as joint forces.
      {"aba", [](Fixture& f, std::size_t k) { aba(f.model, *f.data, f.q[k], f.v[k], f.a[k]); }},
      {"compute_minverse", [](Fixture& f, std::size_t k) { compute_minverse(f.model, *f.data, f.q[k]); }},
      {"compute_rnea_derivatives",
       [](Fixture& f, std::size_t k) {
         compute_rnea_derivatives(f.model, *f.data, f.q[k], f.v[k], f.a[k]);
       }},
      {"compute_aba_derivatives",
       [](Fixture& f, std::size_t k) {
         compute_aba_derivatives(f.model, *f.data, f.q[k], f.v[k], f.a[k]);
       }},
      // The same derivatives (without d/da, d/dtau) by central differences of
      // rnea and aba: 4 nv calls and 2 nv integrate calls.
      {"rnea_central_differences",
       [](Fixture& f, std::size_t k) {
         central_differences(f, k, [&](const VectorX& q, const VectorX& v) -> const VectorX& {
           return rnea(f.model, *f.data, q, v, f.a[k]);
         });
       }},
      {"aba_central_differences",
       [](Fixture& f, std::size_t k) {
         central_differences(f, k, [&](const VectorX& q, const VectorX& v) -> const VectorX& {
           return aba(f.model, *f.data, q, v, f.a[k]);
         });
       }},
      {"rnea+crba+time_variation",
       [](Fixture& f, std::size_t k) {
         rnea(f.model, *f.data, f.q[k], f.v[k], f.a[k]);
         crba(f.model, *f.data, f.q[k]);
         compute_joint_jacobians_time_variation(f.model, *f.data, f.q[k], f.v[k]);
       }},
  };
  for (const Algorithm& alg : algorithms) {
    for (const char* model : kModels) {
      const std::string name = model;
      benchmark::RegisterBenchmark((std::string(alg.name) + "/" + model).c_str(),
                                   [name, call = alg.call](benchmark::State& s) { run(s, name, call); });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
