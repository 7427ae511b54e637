#include "trelvar/serialization.hpp"

#include <array>
#include <cstring>
#include <type_traits>
#include <vector>

#include "trelvar/error.hpp"

namespace trelvar {

namespace {

enum class Kind : std::uint8_t { Model = 1, Data = 2, SE3 = 3 };

const char* kind_name(std::uint8_t kind) {
  switch (kind) {
    case 1: return "Model";
    case 2: return "Data";
    case 3: return "SE3";
  }
  return "unknown object";
}

constexpr char kMagic[4] = {'T', 'R', 'L', 'V'};
constexpr std::size_t kHeader = 16;
constexpr std::size_t kTrailer = 4;

// Smallest encoded sizes, which bound every count read against the bytes left.
constexpr std::size_t kDouble = 8;
constexpr std::size_t kPlacement = 12 * kDouble;
constexpr std::size_t kJointRecord = 1 + 3 * kDouble + 8 + kPlacement + 8;
constexpr std::size_t kInertiaRecord = 10 * kDouble;
constexpr std::size_t kFrameRecord = 8 + 8 + kPlacement + 4;
constexpr std::size_t kBufferRecord = 8 + 8;

// ---------------------------------------------------------------------------
// The doubles of a value, in storage order: a double, an SE3 (rotation column
// by column, translation), an Inertia (inertia, mass, lever), any dense Eigen
// matrix (column by column) and std::vector of those.

template <class T>
struct is_std_vector : std::false_type {};
template <class T, class A>
struct is_std_vector<std::vector<T, A>> : std::true_type {};

template <class T, class F>
void for_each_double(T& x, F&& f) {
  using U = std::remove_const_t<T>;
  if constexpr (std::is_same_v<U, double>) {
    f(x);
  } else if constexpr (std::is_same_v<U, SE3>) {
    for_each_double(x.rotation, f);
    for_each_double(x.translation, f);
  } else if constexpr (std::is_same_v<U, Inertia>) {
    for (auto& e : x.inertia) f(e);
    f(x.mass);
    for_each_double(x.lever, f);
  } else if constexpr (is_std_vector<U>::value) {
    for (auto& e : x) for_each_double(e, f);
  } else {
    auto* p = x.data();
    for (Eigen::Index k = 0; k < x.size(); ++k) f(p[k]);
  }
}

template <class T>
std::size_t double_count(const T& x) {
  std::size_t n = 0;
  for_each_double(x, [&](const double&) { ++n; });
  return n;
}

// ---------------------------------------------------------------------------
// Writing

class Writer {
 public:
  void u8(std::uint8_t x) { out.push_back(static_cast<char>(x)); }
  void u16(std::uint16_t x) { le(x, 2); }
  void u32(std::uint32_t x) { le(x, 4); }
  void u64(std::uint64_t x) { le(x, 8); }
  void f64(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    u64(bits);
  }
  template <class T>
  void doubles(const T& x) {
    for_each_double(x, [&](double d) { f64(d); });
  }
  void text(const std::string& s) {
    u64(s.size());
    out += s;
  }

  std::string out;

 private:
  void le(std::uint64_t x, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((x >> (8 * k)) & 0xff));
  }
};

std::string seal(Kind kind, const std::string& payload) {
  Writer w;
  w.out.append(kMagic, sizeof kMagic);
  w.u16(kSerializationVersion);
  w.u8(static_cast<std::uint8_t>(kind));
  w.u8(0);
  w.u64(payload.size());
  w.out += payload;
  w.u32(crc32(w.out));
  return std::move(w.out);
}

// ---------------------------------------------------------------------------
// Reading

class Reader {
 public:
  Reader(std::string_view bytes, const char* what) : bytes_(bytes), what_(what) {}

  [[noreturn]] void fail(const std::string& reason) const {
    throw Error(std::string("Cannot read a trelvar ") + what_ + ": " + reason);
  }

  std::size_t left() const { return bytes_.size() - pos_; }

  std::uint8_t u8(const char* item) { return static_cast<std::uint8_t>(le(1, item)); }
  std::uint16_t u16(const char* item) { return static_cast<std::uint16_t>(le(2, item)); }
  std::uint32_t u32(const char* item) { return static_cast<std::uint32_t>(le(4, item)); }
  std::uint64_t u64(const char* item) { return le(8, item); }
  double f64(const char* item) {
    const std::uint64_t bits = le(8, item);
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
  }
  template <class T>
  void doubles(T& x, const char* item) {
    for_each_double(x, [&](double& d) { d = f64(item); });
  }
  std::string text(const char* item) {
    const std::uint64_t n = u64(item);
    if (n > left()) fail(std::string("truncated in ") + item);
    std::string s(bytes_.substr(pos_, static_cast<std::size_t>(n)));
    pos_ += static_cast<std::size_t>(n);
    return s;
  }
  // A count of records of at least `record` bytes each, which must fit in
  // what is left.
  std::size_t count(const char* item, std::size_t record) {
    const std::uint64_t n = u64(item);
    if (n > left() / record) {
      fail("the count of " + std::string(item) + " (" + std::to_string(n) +
           ") does not fit in the remaining " + std::to_string(left()) + " bytes");
    }
    return static_cast<std::size_t>(n);
  }
  void finish() const {
    if (left() != 0) fail(std::to_string(left()) + " unexpected bytes after the last item");
  }

 private:
  std::uint64_t le(int n, const char* item) {
    if (left() < static_cast<std::size_t>(n)) fail(std::string("truncated in ") + item);
    std::uint64_t x = 0;
    for (int k = 0; k < n; ++k) {
      x |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[pos_ + static_cast<std::size_t>(k)]))
           << (8 * k);
    }
    pos_ += static_cast<std::size_t>(n);
    return x;
  }

  std::string_view bytes_;
  const char* what_;
  std::size_t pos_ = 0;
};

// Checks the envelope and returns the payload.
std::string_view open(std::string_view bytes, Kind kind) {
  const char* what = kind_name(static_cast<std::uint8_t>(kind));
  Reader r(bytes, what);
  if (bytes.size() < kHeader + kTrailer) {
    r.fail("the input is " + std::to_string(bytes.size()) + " bytes long, shorter than the " +
           std::to_string(kHeader + kTrailer) + " bytes of header and checksum");
  }
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    r.fail("the input does not start with the magic bytes \"TRLV\"");
  }
  Reader header(bytes.substr(4, kHeader - 4), what);
  const std::uint16_t version = header.u16("version");
  const std::uint8_t stored = header.u8("kind");
  const std::uint8_t reserved = header.u8("reserved byte");
  const std::uint64_t length = header.u64("payload length");
  const std::size_t given = bytes.size() - kHeader - kTrailer;
  if (length != given) {
    r.fail(std::string(length > given ? "truncated" : "trailing bytes") + ": the header announces " +
           std::to_string(length) + " bytes of payload, " + std::to_string(given) + " follow");
  }
  Reader trailer(bytes.substr(bytes.size() - kTrailer), what);
  if (trailer.u32("checksum") != crc32(bytes.substr(0, bytes.size() - kTrailer))) {
    r.fail("checksum mismatch: the bytes are corrupted");
  }
  if (version != kSerializationVersion) {
    r.fail("format version " + std::to_string(version) + " is not the version " +
           std::to_string(kSerializationVersion) + " this build reads");
  }
  if (stored != static_cast<std::uint8_t>(kind)) {
    r.fail(std::string("the bytes hold a ") + kind_name(stored) + ", not a " + what);
  }
  if (reserved != 0) r.fail("the reserved header byte is not zero");
  return bytes.substr(kHeader, given);
}

// ---------------------------------------------------------------------------
// Model

template <class T>
bool same_bits(const T& a, const T& b) {
  std::vector<double> x, y;
  for_each_double(a, [&](double d) { x.push_back(d); });
  for_each_double(b, [&](double d) { y.push_back(d); });
  return x.size() == y.size() &&
         (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0);
}

// The checks shared by writing and reading: what the reader rebuilds from
// must describe a model it can rebuild.
void check_storable(const Model& m) {
  m.check_consistency();
  const std::size_t n = m.njoints;
  if (m.names.size() != n || m.inertias.size() > n) {
    throw Error("Model names or inertias do not match njoints = " + std::to_string(n));
  }
  if (m.joints[0].joint_type != JointType::Fixed || m.parents[0] != 0) {
    throw Error("Model joint 0 (the universe) must be a fixed joint that is its own parent");
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Joint& j = m.joints[i];
    if (static_cast<std::uint8_t>(j.joint_type) > 6 || j.nq != joint_nq(j.joint_type) ||
        j.nv != joint_nv(j.joint_type)) {
      throw Error("Model joint " + std::to_string(i) + " has sizes that are not its kind's");
    }
  }
  for (std::size_t k = 0; k < m.frames.size(); ++k) {
    if (m.frames[k].parent >= n) {
      throw Error("Model frame " + std::to_string(k) + " is attached to joint " +
                  std::to_string(m.frames[k].parent) + ", out of range (njoints = " +
                  std::to_string(n) + ")");
    }
  }
}

std::string model_payload(const Model& m) {
  Writer w;
  w.text(m.name);
  w.doubles(m.gravity);
  w.u64(m.njoints);
  for (std::size_t i = 0; i < m.njoints; ++i) {
    w.u8(static_cast<std::uint8_t>(m.joints[i].joint_type));
    w.doubles(m.joints[i].axis);
    w.u64(m.parents[i]);
    w.doubles(m.placements[i]);
    w.text(m.names[i]);
  }
  w.u64(m.inertias.size());
  w.doubles(m.inertias);
  w.u64(m.lower_position_limit.size());
  w.doubles(m.lower_position_limit);
  w.u64(m.upper_position_limit.size());
  w.doubles(m.upper_position_limit);
  w.u64(m.frames.size());
  for (const Frame& f : m.frames) {
    w.text(f.name);
    w.u64(f.parent);
    w.doubles(f.placement);
    w.u32(f.frame_type.bits);
  }
  w.u64(m.nbodies);
  return std::move(w.out);
}

Model read_model(std::string_view payload) {
  Reader r(payload, "Model");
  Model m;
  m.name = r.text("the model name");
  r.doubles(m.gravity, "gravity");
  const std::size_t njoints = r.count("joints", kJointRecord);
  if (njoints == 0) r.fail("a model has at least the universe joint");
  for (std::size_t i = 0; i < njoints; ++i) {
    const std::uint8_t kind = r.u8("a joint kind");
    if (kind > static_cast<std::uint8_t>(JointType::Spherical)) {
      r.fail("joint " + std::to_string(i) + " has the unknown kind " + std::to_string(kind));
    }
    Joint joint;
    joint.joint_type = static_cast<JointType>(kind);
    joint.nq = joint_nq(joint.joint_type);
    joint.nv = joint_nv(joint.joint_type);
    r.doubles(joint.axis, "a joint axis");
    const std::uint64_t parent = r.u64("a joint parent");
    SE3 placement;
    r.doubles(placement, "a joint placement");
    std::string name = r.text("a joint name");
    if (i == 0) {
      if (joint.joint_type != JointType::Fixed || parent != 0) {
        r.fail("joint 0 (the universe) must be a fixed joint that is its own parent");
      }
      m.joints[0].axis = joint.axis;
      m.placements[0] = placement;
      m.names[0] = std::move(name);
    } else {
      if (parent >= i) {
        r.fail("joint " + std::to_string(i) + " has the parent " + std::to_string(parent) +
               ", which is not an earlier joint");
      }
      m.add_joint(static_cast<std::size_t>(parent), joint, placement, std::move(name));
    }
  }
  const std::size_t ninertias = r.count("inertias", kInertiaRecord);
  if (ninertias > njoints) {
    r.fail(std::to_string(ninertias) + " inertias for " + std::to_string(njoints) + " joints");
  }
  m.inertias.resize(ninertias);
  r.doubles(m.inertias, "an inertia");
  m.lower_position_limit.resize(r.count("lower position limits", kDouble));
  r.doubles(m.lower_position_limit, "a lower position limit");
  m.upper_position_limit.resize(r.count("upper position limits", kDouble));
  r.doubles(m.upper_position_limit, "an upper position limit");
  const std::size_t nframes = r.count("frames", kFrameRecord);
  m.frames.clear();
  m.frames.reserve(nframes);
  for (std::size_t k = 0; k < nframes; ++k) {
    Frame f;
    f.name = r.text("a frame name");
    const std::uint64_t parent = r.u64("a frame parent");
    if (parent >= njoints) {
      r.fail("frame " + std::to_string(k) + " is attached to joint " + std::to_string(parent) +
             ", out of range (njoints = " + std::to_string(njoints) + ")");
    }
    f.parent = static_cast<std::size_t>(parent);
    r.doubles(f.placement, "a frame placement");
    f.frame_type = FrameType(r.u32("a frame type"));
    m.frames.push_back(std::move(f));
  }
  m.nframes = m.frames.size();
  m.nbodies = static_cast<std::size_t>(r.u64("nbodies"));
  r.finish();
  try {
    check_storable(m);
  } catch (const Error& e) {
    r.fail(e.message());
  }
  return m;
}

// Every field of the two models, doubles compared by their bits.
bool same_model(const Model& a, const Model& b) {
  auto same_frames = [&] {
    for (std::size_t k = 0; k < a.frames.size(); ++k) {
      const Frame &x = a.frames[k], &y = b.frames[k];
      if (x.name != y.name || x.parent != y.parent || !same_bits(x.placement, y.placement) ||
          !(x.frame_type == y.frame_type)) {
        return false;
      }
    }
    return true;
  };
  auto same_joints = [&] {
    for (std::size_t i = 0; i < a.joints.size(); ++i) {
      const Joint &x = a.joints[i], &y = b.joints[i];
      if (x.joint_type != y.joint_type || !same_bits(x.axis, y.axis) || x.nq != y.nq ||
          x.nv != y.nv) {
        return false;
      }
    }
    return true;
  };
  return same_bits(a.inertias, b.inertias) && same_bits(a.placements, b.placements) &&
         a.joints.size() == b.joints.size() && same_joints() && a.names == b.names &&
         a.idx_qs == b.idx_qs && a.nqs == b.nqs && a.idx_vs == b.idx_vs && a.nvs == b.nvs &&
         a.parents == b.parents && a.children == b.children && a.supports == b.supports &&
         a.subtrees == b.subtrees &&
         same_bits(a.lower_position_limit, b.lower_position_limit) &&
         same_bits(a.upper_position_limit, b.upper_position_limit) &&
         a.frames.size() == b.frames.size() && same_frames() && a.name == b.name && a.nq == b.nq &&
         a.nv == b.nv && a.njoints == b.njoints && a.nbodies == b.nbodies &&
         a.nframes == b.nframes && same_bits(a.gravity, b.gravity) &&
         a.nv_subtree == b.nv_subtree && a.subtree_end == b.subtree_end &&
         same_bits(a.unit_axes, b.unit_axes) && a.axis_index == b.axis_index;
}

// ---------------------------------------------------------------------------
// Data

std::string data_payload(const Data& d) {
  Writer w;
  w.u64(d.njoints);
  w.u64(d.nq);
  w.u64(d.nv);
  std::size_t count = 0;
  Data::for_each_buffer(d, [&](const char*, const auto&) { ++count; });
  w.u64(count);
  Data::for_each_buffer(d, [&](const char* name, const auto& buffer) {
    w.text(name);
    w.u64(double_count(buffer));
    w.doubles(buffer);
  });
  return std::move(w.out);
}

Data read_data(std::string_view payload) {
  Reader r(payload, "Data");
  const std::uint64_t njoints = r.u64("njoints");
  const std::uint64_t nq = r.u64("nq");
  const std::uint64_t nv = r.u64("nv");
  // The buffers grow with njoints and with nv^2; the sizes are taken only
  // when the bytes could hold the per-joint velocities (6 doubles a joint)
  // and the mass matrix, so a short input cannot ask for a huge Data.
  const std::uint64_t doubles_left = r.left() / kDouble;
  if (njoints > doubles_left / 6 || nv > doubles_left || (nv != 0 && nv > doubles_left / nv) ||
      6 * njoints + nv * nv > doubles_left) {
    r.fail("the sizes njoints = " + std::to_string(njoints) + ", nv = " + std::to_string(nv) +
           " do not fit in the remaining " + std::to_string(r.left()) + " bytes");
  }
  Data d(static_cast<std::size_t>(njoints), static_cast<std::size_t>(nq),
         static_cast<std::size_t>(nv));
  const std::size_t nbuffers = r.count("buffers", kBufferRecord);
  std::vector<std::string> seen;
  for (std::size_t k = 0; k < nbuffers; ++k) {
    const std::string name = r.text("a buffer name");
    for (const std::string& s : seen) {
      if (s == name) r.fail("the buffer '" + name + "' appears twice");
    }
    const std::uint64_t count = r.u64("a buffer size");
    bool found = false;
    Data::for_each_buffer(d, [&](const char* known, auto& buffer) {
      if (found || name != known) return;
      found = true;
      const std::size_t expected = double_count(buffer);
      if (count != expected) {
        r.fail("the buffer '" + name + "' holds " + std::to_string(count) +
               " values where njoints = " + std::to_string(njoints) + ", nv = " +
               std::to_string(nv) + " give " + std::to_string(expected));
      }
      if (expected > r.left() / kDouble) r.fail("truncated in the buffer '" + name + "'");
      r.doubles(buffer, name.c_str());
    });
    if (!found) r.fail("unknown buffer '" + name + "'");
    seen.push_back(name);
  }
  r.finish();
  if (!d.buffers_consistent()) r.fail("the buffers do not match the sizes");
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------

std::uint32_t crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t k = 0; k < 256; ++k) {
      std::uint32_t c = k;
      for (int b = 0; b < 8; ++b) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[k] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char ch : bytes) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xff] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string serialize(const Model& model) {
  check_storable(model);
  std::string bytes = seal(Kind::Model, model_payload(model));
  // The lists the reader derives must be the ones this model has: a model
  // whose derived lists were edited by hand would not come back the same.
  if (!same_model(deserialize_model(bytes), model)) {
    throw Error("Model lists derived from its joints differ from those add_joint builds; the "
                "model cannot be stored as it is");
  }
  return bytes;
}

std::string serialize(const Data& data) {
  if (!data.buffers_consistent()) {
    throw Error("Data buffers do not have the sizes njoints, nq and nv give");
  }
  return seal(Kind::Data, data_payload(data));
}

std::string serialize(const SE3& placement) {
  Writer w;
  w.doubles(placement);
  return seal(Kind::SE3, w.out);
}

Model deserialize_model(std::string_view bytes) { return read_model(open(bytes, Kind::Model)); }

Data deserialize_data(std::string_view bytes) { return read_data(open(bytes, Kind::Data)); }

SE3 deserialize_se3(std::string_view bytes) {
  Reader r(open(bytes, Kind::SE3), "SE3");
  SE3 x;
  r.doubles(x, "the placement");
  r.finish();
  return x;
}

}  // namespace trelvar
