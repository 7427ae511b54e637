// trelvar from C++: loads a robot from URDF and, at one state (q, v, a),
// computes forward kinematics, inverse dynamics and the mass matrix.
//
//   trelvar_example [robot.urdf]     (default: the bundled 7-joint arm)
#include <cmath>
#include <iomanip>
#include <iostream>
#include <string>

#include "trelvar/data.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/model.hpp"
#include "trelvar/urdf.hpp"
#include "trelvar/version.hpp"

namespace {

void print_row(const char* label, const Eigen::Ref<const trelvar::VectorX>& x) {
  std::cout << label;
  for (Eigen::Index i = 0; i < x.size(); ++i) std::cout << ' ' << std::setw(13) << x[i];
  std::cout << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : TRELVAR_EXAMPLE_URDF;
  try {
    const trelvar::Model model = trelvar::parse_urdf_file(path);
    trelvar::Data data(model);  // the buffers every algorithm writes into
    const auto nv = static_cast<Eigen::Index>(model.nv);

    // A state: the neutral configuration moved by a velocity step (integrate
    // handles every joint kind), some joint velocities and accelerations.
    trelvar::VectorX step(nv), v(nv), a(nv);
    for (Eigen::Index i = 0; i < nv; ++i) {
      step[i] = 0.1 * static_cast<double>(i + 1);
      v[i] = 0.5 - 0.1 * static_cast<double>(i);
      a[i] = 1.0;
    }
    const trelvar::VectorX q = trelvar::integrate(model, trelvar::neutral(model), step);

    std::cout << std::fixed << std::setprecision(9);
    std::cout << "trelvar " << TRELVAR_VERSION_STRING << ", robot " << model.name << ": nq "
              << model.nq << ", nv " << model.nv << ", njoints " << model.njoints << '\n';
    print_row("q:", q);
    print_row("v:", v);
    print_row("a:", a);

    // Forward kinematics fills data.omi, each joint's placement in the world;
    // a frame sits at a fixed placement in its parent joint.
    trelvar::forward_kinematics(model, data, q);
    const trelvar::Frame& tip = model.frames.back();
    const trelvar::SE3 x = data.omi[tip.parent].compose(tip.placement);
    std::cout << "frame '" << tip.name << "' in the world (forward kinematics):\n";
    print_row("  translation:", x.translation);
    for (int r = 0; r < 3; ++r) print_row("  rotation:   ", x.rotation.row(r).transpose());

    // Inverse dynamics: the joint forces that produce a at (q, v).
    const trelvar::VectorX tau = trelvar::rnea(model, data, q, v, a);
    print_row("tau (inverse dynamics):", tau);

    // Mass matrix: crba fills the upper triangle of data.M; get_mass_matrix
    // returns the full symmetric matrix.
    trelvar::crba(model, data, q);
    const trelvar::MatrixX m = data.get_mass_matrix();
    std::cout << "M (mass matrix):\n";
    for (Eigen::Index r = 0; r < nv; ++r) print_row("  ", m.row(r).transpose());

    // The two agree: tau = M a + (Coriolis, centrifugal and gravity terms).
    const trelvar::VectorX nle = trelvar::non_linear_effects(model, data, q, v);
    const double residual = (tau - (m * a + nle)).cwiseAbs().maxCoeff();
    std::cout << "tau - (M a + nle) below 1e-9: " << (residual < 1e-9 ? "yes" : "no") << '\n';
    return residual < 1e-9 ? 0 : 1;
  } catch (const trelvar::Error& e) {
    // Every library failure is a trelvar::Error; for URDF input it carries the cause.
    std::cerr << "trelvar_example: " << e.full_message() << '\n';
    return 1;
  }
}
