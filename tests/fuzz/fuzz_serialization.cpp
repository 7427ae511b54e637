// libFuzzer target: reading Model, Data and SE3 bytes. Any input must either
// throw trelvar::Error or give a value that is safe to use and writes back to
// bytes that read again to the same bytes. Each input is tried as given and
// with its payload length and checksum recomputed, so that mutations reach the
// payload readers instead of stopping at the envelope.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/serialization.hpp"

namespace {

using namespace trelvar;

void require(bool ok) {
  if (!ok) std::abort();
}

void try_model(const std::string& bytes) {
  Model m;
  try {
    m = deserialize_model(bytes);
  } catch (const Error&) {
    return;
  }
  // A model that reads must write back and run the algorithms.
  const std::string again = serialize(m);
  require(serialize(deserialize_model(again)) == again);
  Data d(m);
  const VectorX q = neutral(m);
  const VectorX v = VectorX::Ones(static_cast<Eigen::Index>(m.nv));
  rnea(m, d, q, v, v);
  crba(m, d, q);
  compute_all_terms(m, d, integrate(m, q, v), v);
}

void try_data(const std::string& bytes) {
  Data d;
  try {
    d = deserialize_data(bytes);
  } catch (const Error&) {
    return;
  }
  require(d.buffers_consistent());
  const std::string again = serialize(d);
  require(serialize(deserialize_data(again)) == again);
}

void try_se3(const std::string& bytes) {
  try {
    const SE3 x = deserialize_se3(bytes);
    require(serialize(x) == bytes);
  } catch (const Error&) {
  }
}

void try_all(const std::string& bytes) {
  try_model(bytes);
  try_data(bytes);
  try_se3(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  try_all(bytes);
  if (bytes.size() >= 20) {
    // The payload length and the checksum the rest of the input calls for.
    const std::uint64_t length = bytes.size() - 20;
    for (int k = 0; k < 8; ++k) bytes[8 + static_cast<std::size_t>(k)] = static_cast<char>((length >> (8 * k)) & 0xff);
    const std::uint32_t c = crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
    for (int k = 0; k < 4; ++k) {
      bytes[bytes.size() - 4 + static_cast<std::size_t>(k)] = static_cast<char>((c >> (8 * k)) & 0xff);
    }
    try_all(bytes);
  }
  return 0;
}
