#include "trelvar/data.hpp"

#include <string>

#include "trelvar/error.hpp"

namespace trelvar {

namespace {

bool forward_dynamics_sizes_match(const Data::Work::ForwardDynamics& fd, std::size_t nj,
                                  std::size_t nv) {
  const auto nvi = static_cast<Eigen::Index>(nv);
  return fd.limi.size() == nj && fd.forms.size() == nj && fd.v.size() == nj && fd.c.size() == nj && fd.pa.size() == nj &&
         fd.a.size() == nj && fd.ia.size() == nj && fd.ia_s.cols() == nvi &&
         fd.u_parent.cols() == nvi &&
         fd.d_inv.cols() == nvi && fd.u.size() == nvi && fd.ddq.size() == nvi &&
         fd.omi.size() == nj && fd.s_world.cols() == nvi && fd.u_world.cols() == nvi &&
         fd.f.rows() == nvi && fd.f.cols() == 6 && fd.acc.cols() == nvi * (nvi + 1) / 2 &&
         fd.acc_start.size() == nj && fd.acc_owner.size() == nj && fd.ic.size() == nj &&
         fd.minv.rows() == nvi && fd.minv.cols() == nvi;
}

}  // namespace

Data::Data(const Model& model) : Data(model.njoints, model.nq, model.nv) {}

Data::Data(std::size_t joints, std::size_t q_size, std::size_t v_size)
    : njoints(joints), nq(q_size), nv(v_size) {
  const auto nvi = static_cast<Eigen::Index>(nv);
  v.assign(njoints, Vec6::Zero());
  a.assign(njoints, Vec6::Zero());
  f.assign(njoints, Vec6::Zero());
  ov.assign(njoints, Vec6::Zero());
  omi.assign(njoints, SE3::identity());
  limi.assign(njoints, SE3::identity());
  oycrb.assign(njoints, Inertia::zero());
  tau = VectorX::Zero(nvi);
  nle = VectorX::Zero(nvi);
  g = VectorX::Zero(nvi);
  M = MatrixX::Zero(nvi, nvi);
  C = MatrixX::Zero(nvi, nvi);
  dtau_dq = MatrixX::Zero(nvi, nvi);
  dtau_dv = MatrixX::Zero(nvi, nvi);
  ddq_dq = MatrixX::Zero(nvi, nvi);
  ddq_dv = MatrixX::Zero(nvi, nvi);
  com.assign(njoints, Vec3::Zero());
  vcom.assign(njoints, Vec3::Zero());
  mass.assign(njoints, 0.0);
  j = Matrix6X::Zero(6, nvi);
  dJ = Matrix6X::Zero(6, nvi);
  ag = Matrix6X::Zero(6, nvi);
  dag = Matrix6X::Zero(6, nvi);
  jcom = Matrix3X::Zero(3, nvi);
  a_gf.assign(njoints, Vec6::Zero());
  h.assign(njoints, Vec6::Zero());
  doycrb.assign(njoints, Mat6::Zero());
  ddq = VectorX::Zero(nvi);
  Minv = MatrixX::Zero(nvi, nvi);

  work.cols = Matrix6X::Zero(6, nvi);
  work.b.assign(njoints, Mat6::Zero());
  work.h.assign(njoints, Vec6::Zero());
  work.rel.assign(njoints, SE3::identity());
  work.prev.assign(nv, -1);
  work.forms.assign(njoints, -1);
  work.sincos.assign(njoints, {0.0, 1.0});
  work.oa.assign(njoints, Vec6::Zero());
  work.of.assign(njoints, Vec6::Zero());
  work.dmotions = Matrix6X::Zero(6, 3 * nvi);

  Work::ForwardDynamics& fd = work.fd;
  fd.limi.assign(njoints, SE3::identity());
  fd.forms.assign(njoints, -1);
  fd.v.assign(njoints, Vec6::Zero());
  fd.c.assign(njoints, Vec6::Zero());
  fd.pa.assign(njoints, Vec6::Zero());
  fd.a.assign(njoints, Vec6::Zero());
  fd.ia.assign(njoints, Mat6::Zero());
  fd.ia_s = Matrix6X::Zero(6, nvi);
  fd.u_parent = Matrix6X::Zero(6, nvi);
  fd.d_inv = Matrix6X::Zero(6, nvi);
  fd.u = VectorX::Zero(nvi);
  fd.ddq = VectorX::Zero(nvi);
  fd.omi.assign(njoints, SE3::identity());
  fd.s_world = Matrix6X::Zero(6, nvi);
  fd.u_world = Matrix6X::Zero(6, nvi);
  fd.f = MatrixX::Zero(nvi, 6);
  fd.acc = Matrix6X::Zero(6, nvi * (nvi + 1) / 2);
  fd.acc_start.assign(njoints, 0);
  fd.acc_owner.assign(njoints, 0);
  fd.ic.assign(njoints, Inertia::zero());
  fd.minv = MatrixX::Zero(nvi, nvi);
}

void Data::reset() {
  for (std::size_t i = 0; i < njoints; ++i) {
    v[i].setZero();
    a[i].setZero();
    f[i].setZero();
    ov[i].setZero();
    omi[i] = SE3::identity();
    limi[i] = SE3::identity();
    oycrb[i] = Inertia::zero();
    com[i].setZero();
    vcom[i].setZero();
    mass[i] = 0.0;
  }
  tau.setZero();
  nle.setZero();
  g.setZero();
  M.setZero();
  C.setZero();
  dtau_dq.setZero();
  dtau_dv.setZero();
  ddq_dq.setZero();
  ddq_dv.setZero();
  j.setZero();
  dJ.setZero();
  ag.setZero();
  dag.setZero();
  jcom.setZero();
  hg.setZero();
  dhg.setZero();
  ig = Inertia::zero();
  for (std::size_t i = 0; i < njoints; ++i) {
    a_gf[i].setZero();
    h[i].setZero();
    doycrb[i].setZero();
  }
  ddq.setZero();
  Minv.setZero();
  kinetic_energy = 0.0;
  potential_energy = 0.0;
  mechanical_energy = 0.0;
}

MatrixX Data::get_mass_matrix() const {
  const auto n = static_cast<Eigen::Index>(nv);
  if (M.rows() < n || M.cols() < n) throw Error(kMatrixIndexOutOfBounds);
  MatrixX r(n, n);
  for (Eigen::Index c = 0; c < n; ++c) {
    for (Eigen::Index row = 0; row < n; ++row) r(row, c) = c < row ? M(c, row) : M(row, c);
  }
  return r;
}

bool Data::buffers_consistent() const {
  const auto nvi = static_cast<Eigen::Index>(nv);
  const std::size_t nj = njoints;
  return v.size() == nj && a.size() == nj && f.size() == nj && ov.size() == nj &&
         omi.size() == nj && limi.size() == nj && oycrb.size() == nj && com.size() == nj &&
         vcom.size() == nj && mass.size() == nj && a_gf.size() == nj && h.size() == nj &&
         doycrb.size() == nj && tau.size() == nvi && nle.size() == nvi && g.size() == nvi &&
         M.rows() == nvi && M.cols() == nvi && C.rows() == nvi && C.cols() == nvi &&
         dtau_dq.rows() == nvi && dtau_dq.cols() == nvi && dtau_dv.rows() == nvi &&
         dtau_dv.cols() == nvi && ddq_dq.rows() == nvi && ddq_dq.cols() == nvi &&
         ddq_dv.rows() == nvi && ddq_dv.cols() == nvi &&
         j.cols() == nvi && dJ.cols() == nvi && ag.cols() == nvi && dag.cols() == nvi &&
         jcom.cols() == nvi && work.cols.cols() == nvi && work.b.size() == nj &&
         work.h.size() == nj && work.rel.size() == nj &&
         work.prev.size() == nv && work.forms.size() == nj && work.sincos.size() == nj &&
         work.oa.size() == nj && work.of.size() == nj && work.dmotions.cols() == 3 * nvi &&
         ddq.size() == nvi && Minv.rows() == nvi && Minv.cols() == nvi &&
         forward_dynamics_sizes_match(work.fd, njoints, nv);
}

void check_data_matches(const Model& model, const Data& data) {
  model.check_consistency();
  if (data.njoints != model.njoints || data.nq != model.nq || data.nv != model.nv) {
    throw Error("Data does not match the model: data has njoints=" +
                std::to_string(data.njoints) + ", nq=" + std::to_string(data.nq) +
                ", nv=" + std::to_string(data.nv) + " but the model has njoints=" +
                std::to_string(model.njoints) + ", nq=" + std::to_string(model.nq) +
                ", nv=" + std::to_string(model.nv) + "; create a new Data from the model");
  }
  if (!data.buffers_consistent()) {
    throw Error("Data buffers do not have the sizes njoints=" + std::to_string(data.njoints) +
                ", nq=" + std::to_string(data.nq) + ", nv=" + std::to_string(data.nv) +
                " give");
  }
}

}  // namespace trelvar
