// The work and result buffers of one model. Sized once from the model's
// njoints, nq and nv; every algorithm writes into these buffers in place.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "trelvar/model.hpp"
#include "trelvar/spatial.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

class Data {
 public:
  // Per-joint motion and force buffers, angular part first.
  std::vector<Vec6> v;     // body velocity, own frame
  std::vector<Vec6> a;     // body acceleration, own frame
  std::vector<Vec6> f;     // force transmitted by the joint, own frame
  std::vector<Vec6> ov;    // body velocity in the world frame
  std::vector<SE3> omi;    // placement of each joint in the world
  std::vector<SE3> limi;   // placement of each joint in its parent
  std::vector<Inertia> oycrb;  // composite inertia of the subtree, world frame
  VectorX tau;             // joint forces of the last inverse-dynamics run
  VectorX nle;             // non-linear effects
  VectorX g;               // generalized gravity
  MatrixX M;               // mass matrix, upper triangle with diagonal
  MatrixX C;               // Coriolis matrix
  MatrixX dtau_dq;         // d tau / dq (tangent space), nv x nv
  MatrixX dtau_dv;         // d tau / dv, nv x nv
  MatrixX ddq_dq;          // d ddq / dq (tangent space), nv x nv
  MatrixX ddq_dv;          // d ddq / dv, nv x nv
  std::vector<Vec3> com;   // subtree centre of mass (own frame; entry 0 world)
  std::vector<Vec3> vcom;  // subtree centre-of-mass velocity
  std::vector<double> mass;  // subtree mass
  Matrix6X j;              // world Jacobian, columns linear first
  Matrix6X dJ;             // its time variation
  Matrix6X ag;             // centroidal momentum matrix
  Matrix6X dag;            // its time variation
  Matrix3X jcom;           // centre-of-mass Jacobian
  std::vector<Vec6> a_gf;  // body acceleration with the gravity offset
  std::vector<Vec6> h;     // body / subtree momentum
  std::vector<Mat6> doycrb;  // time variation of the world-frame body inertia
  VectorX ddq;             // joint accelerations of the last forward-dynamics run
  MatrixX Minv;            // inverse mass matrix, full (both triangles)
  std::size_t njoints = 0;
  std::size_t nq = 0;
  std::size_t nv = 0;
  Vec6 hg = Vec6::Zero();   // centroidal momentum
  Vec6 dhg = Vec6::Zero();  // its rate of change
  Inertia ig;               // centroidal composite inertia
  double kinetic_energy = 0.0;
  double potential_energy = 0.0;
  double mechanical_energy = 0.0;

  // Work buffers of the algorithms, sized once here so that no call
  // allocates. Their contents between calls mean nothing.
  struct Work {
    Matrix6X cols;                    // 6 x nv: weighted Jacobian columns (crba, Coriolis)
    std::vector<Mat6> b;              // per joint: body Coriolis matrices
    std::vector<Vec6> h;              // per joint: world momenta
    std::vector<SE3> rel;             // per joint: relative placements
    std::vector<std::int32_t> prev;   // per velocity coordinate: previous column
    std::vector<std::int8_t> forms;   // per joint: the form of limi a pass's placement step returned, kept by that pass for its later sweeps
    std::vector<std::array<double, 2>> sincos;  // per joint: sine, cosine of an axis joint's angle (inverse dynamics)
    std::vector<Vec6> oa;             // per joint: world acceleration with the gravity offset (derivatives)
    std::vector<Vec6> of;             // per joint: world force of the body, then of its subtree (derivatives)
    Matrix6X dmotions;                // 6 x 3nv: per coordinate d the columns sigma_d, beta_d, psi_d (derivatives)

    // Forward dynamics (aba, compute_minverse). Per-joint quantities are in
    // the joint's own frame, motions and forces angular part first; 6x6
    // matrices map a motion to a force in that order, and ia_s keeps its
    // columns angular part first too. s_world and u_world hold one motion or
    // force per column, linear part first like the Jacobian; f and acc keep
    // the same six components, one component's values side by side. `omi`,
    // `s_world`, `u_world`, `f` and `acc` are in the frame with the world's
    // axes and its origin at the first joint below the universe.
    struct ForwardDynamics {
      std::vector<SE3> limi;          // per joint: placement in the parent
      std::vector<std::int8_t> forms;  // per joint: the form of limi (as work.forms)
      std::vector<Vec6> v;            // per joint: body velocity
      std::vector<Vec6> c;            // per joint: velocity-product acceleration v x (S qd)
      std::vector<Vec6> pa;           // per joint: bias force pA, accumulated over the subtree
      std::vector<Vec6> a;            // per joint: body acceleration (gravity offset included)
      std::vector<Mat6> ia;           // per joint: articulated inertia Ia (symmetric, whole;
                                      // a joint with several coordinates below another holds
                                      // Ia - U D^-1 U^T once the pass has moved it to its parent;
                                      // not written for a fixed joint that ends its subtree,
                                      // whose body is added to its parent's)
      Matrix6X ia_s;                  // 6 x nv: U = Ia S, one column per velocity coordinate
      Matrix6X u_parent;              // 6 x nv: X* U, U in the parent's frame (one-coordinate
                                      // joints below another)
      Matrix6X d_inv;                 // 6 x nv: D^-1 = (S^T U)^-1 of each joint, in the
                                      // joint's columns, rows 0 .. nv_i - 1
      VectorX u;                      // nv: u = tau - S^T pA
      VectorX ddq;                    // nv: accelerations before they are checked
      std::vector<SE3> omi;           // per joint: placement (compute_minverse)
      Matrix6X s_world;               // 6 x nv: motion subspace columns (compute_minverse)
      Matrix6X u_world;               // 6 x nv: U columns (compute_minverse)
      MatrixX f;                      // nv x 6: bias force of each unit joint force, one row
                                      // each (compute_minverse)
      Matrix6X acc;                   // 6 x nv(nv+1)/2: accelerations of the unit joint forces,
                                      // one block of 6 (nv - idx_v) values per moving joint,
                                      // component by component (compute_minverse)
      std::vector<std::size_t> acc_start;  // per joint: first column of its block in acc
      std::vector<std::size_t> acc_owner;  // per joint: the joint whose block holds its
                                           // accelerations (itself, or its parent's owner
                                           // for a fixed joint; 0: none)
      std::vector<Inertia> ic;        // per joint: composite inertia of the subtree, own
                                      // frame (compute_minverse of small trees)
      MatrixX minv;                   // nv x nv: M^-1 in the lower triangle before it is
                                      // checked (row i of M^-1 written as column i)
    } fd;
  } work;

  Data() = default;
  explicit Data(const Model& model);
  // Sized for njoints, nq and nv: the same as from a model with those sizes.
  Data(std::size_t njoints, std::size_t nq, std::size_t nv);

  // Calls f(name, buffer) for every buffer above except the sizes and the
  // work buffers, in declaration order: serialisation stores and restores a
  // Data through this list, so a new buffer gets its line here too. `self`
  // is a Data or a const Data.
  template <class Self, class F>
  static void for_each_buffer(Self& self, F&& f) {
    f("v", self.v);
    f("a", self.a);
    f("f", self.f);
    f("ov", self.ov);
    f("omi", self.omi);
    f("limi", self.limi);
    f("oycrb", self.oycrb);
    f("tau", self.tau);
    f("nle", self.nle);
    f("g", self.g);
    f("M", self.M);
    f("C", self.C);
    f("dtau_dq", self.dtau_dq);
    f("dtau_dv", self.dtau_dv);
    f("ddq_dq", self.ddq_dq);
    f("ddq_dv", self.ddq_dv);
    f("com", self.com);
    f("vcom", self.vcom);
    f("mass", self.mass);
    f("j", self.j);
    f("dJ", self.dJ);
    f("ag", self.ag);
    f("dag", self.dag);
    f("jcom", self.jcom);
    f("a_gf", self.a_gf);
    f("h", self.h);
    f("doycrb", self.doycrb);
    f("ddq", self.ddq);
    f("Minv", self.Minv);
    f("hg", self.hg);
    f("dhg", self.dhg);
    f("ig", self.ig);
    f("kinetic_energy", self.kinetic_energy);
    f("potential_energy", self.potential_energy);
    f("mechanical_energy", self.mechanical_energy);
  }

  // Restores every buffer to its initial value; sizes are kept.
  void reset();

  // The full symmetric mass matrix from the upper triangle of M.
  MatrixX get_mass_matrix() const;

  // True when every buffer has the sizes that njoints, nq and nv give.
  bool buffers_consistent() const;
};

// Throws an Error naming both sets of sizes unless data's njoints, nq and nv
// equal the model's (and its buffers have those sizes). Every algorithm that
// takes a model and a data calls this before touching anything.
void check_data_matches(const Model& model, const Data& data);

}  // namespace trelvar

#pragma GCC visibility pop
