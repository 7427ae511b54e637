// The binary format: exact round trips of Model, Data and SE3, the layout of
// the bytes, and a clear error for every kind of damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <limits>
#include <random>

#include "sample_models.hpp"
#include "test_util.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/serialization.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar {
namespace {

using testing::error_of;

// ---- helpers ------------------------------------------------------------------

// Scalars and std::array by their bytes; Eigen matrices by size and stored doubles.
template <class T>
bool bits_equal(const T& a, const T& b) {
  if constexpr (std::is_trivially_copyable_v<T>) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
  } else {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           (a.size() == 0 ||
            std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0);
  }
}
bool bits_equal(const SE3& a, const SE3& b) {
  return bits_equal(a.rotation, b.rotation) && bits_equal(a.translation, b.translation);
}
bool bits_equal(const Inertia& a, const Inertia& b) {
  return bits_equal(a.inertia, b.inertia) && bits_equal(a.mass, b.mass) && bits_equal(a.lever, b.lever);
}
template <class T>
bool bits_equal(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (!bits_equal(a[k], b[k])) return false;
  }
  return true;
}

// Field by field, written out here independently of the library's own list.
void expect_same_model(const Model& a, const Model& b) {
  EXPECT_TRUE(bits_equal(a.inertias, b.inertias));
  EXPECT_TRUE(bits_equal(a.placements, b.placements));
  ASSERT_EQ(a.joints.size(), b.joints.size());
  for (std::size_t i = 0; i < a.joints.size(); ++i) {
    EXPECT_EQ(a.joints[i].joint_type, b.joints[i].joint_type);
    EXPECT_TRUE(bits_equal(a.joints[i].axis, b.joints[i].axis));
    EXPECT_EQ(a.joints[i].nq, b.joints[i].nq);
    EXPECT_EQ(a.joints[i].nv, b.joints[i].nv);
  }
  EXPECT_EQ(a.names, b.names);
  EXPECT_EQ(a.idx_qs, b.idx_qs);
  EXPECT_EQ(a.nqs, b.nqs);
  EXPECT_EQ(a.idx_vs, b.idx_vs);
  EXPECT_EQ(a.nvs, b.nvs);
  EXPECT_EQ(a.parents, b.parents);
  EXPECT_EQ(a.children, b.children);
  EXPECT_EQ(a.supports, b.supports);
  EXPECT_EQ(a.subtrees, b.subtrees);
  EXPECT_TRUE(bits_equal(a.lower_position_limit, b.lower_position_limit));
  EXPECT_TRUE(bits_equal(a.upper_position_limit, b.upper_position_limit));
  ASSERT_EQ(a.frames.size(), b.frames.size());
  for (std::size_t k = 0; k < a.frames.size(); ++k) {
    EXPECT_EQ(a.frames[k].name, b.frames[k].name);
    EXPECT_EQ(a.frames[k].parent, b.frames[k].parent);
    EXPECT_TRUE(bits_equal(a.frames[k].placement, b.frames[k].placement));
    EXPECT_EQ(a.frames[k].frame_type.bits, b.frames[k].frame_type.bits);
  }
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.nq, b.nq);
  EXPECT_EQ(a.nv, b.nv);
  EXPECT_EQ(a.njoints, b.njoints);
  EXPECT_EQ(a.nbodies, b.nbodies);
  EXPECT_EQ(a.nframes, b.nframes);
  EXPECT_TRUE(bits_equal(a.gravity, b.gravity));
  EXPECT_EQ(a.nv_subtree, b.nv_subtree);
  EXPECT_EQ(a.subtree_end, b.subtree_end);
  EXPECT_TRUE(bits_equal(a.unit_axes, b.unit_axes));
  EXPECT_EQ(a.axis_index, b.axis_index);
}

// An envelope around any payload, with a correct checksum.
std::string seal(std::uint8_t kind, const std::string& payload, std::uint16_t version = 1) {
  std::string out = "TRLV";
  out += static_cast<char>(version & 0xff);
  out += static_cast<char>(version >> 8);
  out += static_cast<char>(kind);
  out += '\0';
  for (int k = 0; k < 8; ++k) out += static_cast<char>((payload.size() >> (8 * k)) & 0xff);
  out += payload;
  const std::uint32_t c = crc32(out);
  for (int k = 0; k < 4; ++k) out += static_cast<char>((c >> (8 * k)) & 0xff);
  return out;
}

void put_u64(std::string& s, std::uint64_t x) {
  for (int k = 0; k < 8; ++k) s += static_cast<char>((x >> (8 * k)) & 0xff);
}
void put_f64(std::string& s, double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, 8);
  put_u64(s, b);
}
void put_text(std::string& s, const std::string& t) {
  put_u64(s, t.size());
  s += t;
}

std::string read_file(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

std::string payload_of(const std::string& bytes) { return bytes.substr(16, bytes.size() - 20); }

// ---- round trips --------------------------------------------------------------

std::vector<Model> sample_models() {
  std::mt19937 rng(3);
  std::vector<Model> models = {Model(), samples::arm7(), samples::tree32(),
                               samples::random_tree(rng, 16, true),
                               samples::random_tree(rng, 9, false)};
  for (const char* name : {"humanoid", "quadruped", "arm6"}) {
    models.push_back(parse_urdf_file(std::string(TRELVAR_MODELS_DIR) + "/" + name + ".urdf", false));
  }
  // Values text formats lose: NaN payloads, signed zeros, infinities, names
  // with NUL and bytes that are not UTF-8, limits of any length.
  Model odd = samples::arm7();
  std::uint64_t nan_bits = 0x7ff8dead0000beefULL;
  std::memcpy(&odd.gravity[0], &nan_bits, 8);
  odd.gravity[1] = -0.0;
  odd.placements[2].translation[1] = std::numeric_limits<double>::infinity();
  odd.names[3] = std::string("el\0bow\xff", 7);
  odd.name = "\xc3(";
  odd.set_joint_position_limits(5, {-1.0, -2.0}, {std::nextafter(1.0, 2.0)});
  odd.lower_position_limit.push_back(3.0);
  odd.inertias.resize(4);
  odd.nbodies = 17;
  odd.add_frame(Frame{"tool", 7, samples::random_placement(rng), FrameType(FrameType::OP_FRAME | 64)});
  odd.joints[0].axis = Vec3(1.0, 2.0, 3.0);
  models.push_back(odd);
  return models;
}

TEST(Serialization, ModelsComeBackFieldForField) {
  for (const Model& m : sample_models()) {
    SCOPED_TRACE(m.name);
    const std::string bytes = serialize(m);
    const Model back = deserialize_model(bytes);
    expect_same_model(back, m);
    EXPECT_EQ(serialize(back), bytes);
  }
}

TEST(Serialization, AReadModelGivesIdenticalResults) {
  std::mt19937 rng(8);
  const Model m = samples::random_tree(rng, 14, true);
  const Model back = deserialize_model(serialize(m));
  Data d1(m), d2(back);
  for (int k = 0; k < 5; ++k) {
    const VectorX q = samples::random_configuration(rng, m);
    const VectorX v = samples::random_vector(rng, m.nv), a = samples::random_vector(rng, m.nv);
    compute_all_terms(m, d1, q, v);
    compute_all_terms(back, d2, q, v);
    EXPECT_TRUE(bits_equal(MatrixX(d1.M), MatrixX(d2.M)));
    EXPECT_TRUE(bits_equal(MatrixX(rnea(m, d1, q, v, a)), MatrixX(rnea(back, d2, q, v, a))));
  }
}

TEST(Serialization, DataComesBackBufferForBuffer) {
  std::mt19937 rng(4);
  for (const Model& m : {samples::arm7(), samples::random_tree(rng, 11, true), Model()}) {
    Data d(m);
    const VectorX q = samples::random_configuration(rng, m);
    const VectorX v = samples::random_vector(rng, m.nv);
    compute_all_terms(m, d, q, v);
    compute_coriolis_matrix(m, d, q, v);
    rnea(m, d, q, v, v);
    d.potential_energy = -0.0;
    const std::string bytes = serialize(d);
    const Data back = deserialize_data(bytes);
    EXPECT_EQ(back.njoints, d.njoints);
    EXPECT_EQ(back.nq, d.nq);
    EXPECT_EQ(back.nv, d.nv);
    EXPECT_TRUE(bits_equal(back.omi, d.omi));
    EXPECT_TRUE(bits_equal(back.oycrb, d.oycrb));
    EXPECT_TRUE(bits_equal(back.M, d.M));
    EXPECT_TRUE(bits_equal(back.C, d.C));
    EXPECT_TRUE(bits_equal(back.doycrb, d.doycrb));
    EXPECT_TRUE(bits_equal(back.ig, d.ig));
    EXPECT_TRUE(bits_equal(back.potential_energy, d.potential_energy));
    EXPECT_TRUE(bits_equal(back.mechanical_energy, d.mechanical_energy));
    EXPECT_TRUE(back.buffers_consistent());
    // Every listed buffer, by its bytes.
    EXPECT_EQ(serialize(back), bytes);
    std::size_t listed = 0;
    Data::for_each_buffer(d, [&](const char* name, const auto&) {
      ++listed;
      EXPECT_NE(bytes.find(std::string(name)), std::string::npos) << name;
    });
    EXPECT_EQ(listed, 35u);
    // A read Data works with the model.
    Data work = back;
    check_data_matches(m, work);
  }
}

TEST(Serialization, SE3KeepsEveryBit) {
  std::mt19937 rng(1);
  SE3 x = samples::random_placement(rng);
  x.translation[2] = -0.0;
  std::uint64_t nan_bits = 0xfff0000000000001ULL;  // a signalling NaN
  std::memcpy(&x.rotation(1, 2), &nan_bits, 8);
  const SE3 back = deserialize_se3(serialize(x));
  EXPECT_TRUE(bits_equal(back, x));
}

// ---- the bytes ----------------------------------------------------------------

TEST(Serialization, LayoutIsLittleEndianWithAChecksum) {
  EXPECT_EQ(crc32("123456789"), 0xCBF43926u);  // the standard check value
  SE3 x;
  x.translation = Vec3(1.0, -2.0, 0.5);
  const std::string bytes = serialize(x);
  ASSERT_EQ(bytes.size(), 16u + 96u + 4u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("TRLV\x01\x00\x03\x00", 8));
  EXPECT_EQ(bytes.substr(8, 8), std::string("\x60\0\0\0\0\0\0\0", 8));
  // 1.0 = 0x3FF0000000000000, low byte first: rotation(0, 0) comes first.
  EXPECT_EQ(bytes.substr(16, 8), std::string("\0\0\0\0\0\0\xf0\x3f", 8));
  // -2.0 = 0xC000000000000000: translation[1], the 11th double.
  EXPECT_EQ(bytes.substr(16 + 10 * 8, 8), std::string("\0\0\0\0\0\0\0\xc0", 8));
  const std::uint32_t c = crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
  EXPECT_EQ(static_cast<unsigned char>(bytes[bytes.size() - 4]), c & 0xff);
  EXPECT_EQ(static_cast<unsigned char>(bytes.back()), c >> 24);
}

// The seed inputs of the fuzzer are version 1 files: they must keep loading.
TEST(Serialization, StoredVersionOneFilesStillLoad) {
  const std::filesystem::path dir = std::filesystem::path(TRELVAR_MODELS_DIR) / ".." / "tests" / "fuzz" /
                                    "corpus_serialization";
  int loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string bytes = read_file(entry.path().string());
    const std::string name = entry.path().filename().string();
    if (name.rfind("model", 0) == 0) {
      EXPECT_EQ(serialize(deserialize_model(bytes)), bytes) << name;
    } else if (name.rfind("data", 0) == 0) {
      EXPECT_EQ(serialize(deserialize_data(bytes)), bytes) << name;
    } else {
      EXPECT_EQ(serialize(deserialize_se3(bytes)), bytes) << name;
    }
    ++loaded;
  }
  EXPECT_GE(loaded, 3);
}

// ---- damaged input ------------------------------------------------------------

TEST(Serialization, EveryTruncationAndEveryBitFlipIsAnError) {
  Model m;
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitZ()), SE3::identity(), "j");
  for (const std::string& bytes : {serialize(m), serialize(Data(m)), serialize(SE3())}) {
    auto load_all = [&](const std::string& b) {
      int failures = 0;
      failures += error_of([&] { deserialize_model(b); }) != "<no error>";
      failures += error_of([&] { deserialize_data(b); }) != "<no error>";
      failures += error_of([&] { deserialize_se3(b); }) != "<no error>";
      return failures;
    };
    EXPECT_EQ(load_all(bytes), 2);  // only the right kind loads
    for (std::size_t n = 0; n < bytes.size(); ++n) ASSERT_EQ(load_all(bytes.substr(0, n)), 3) << n;
    for (std::size_t bit = 0; bit < 8 * bytes.size(); ++bit) {
      std::string flipped = bytes;
      flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
      ASSERT_EQ(load_all(flipped), 3) << bit;
    }
  }
}

TEST(Serialization, EnvelopeErrorsSayWhatIsWrong) {
  const std::string se3 = serialize(SE3());
  EXPECT_EQ(error_of([&] { deserialize_se3(se3.substr(0, 10)); }),
            "Cannot read a trelvar SE3: the input is 10 bytes long, shorter than the 20 bytes of "
            "header and checksum");
  EXPECT_EQ(error_of([&] { deserialize_se3("XRLV" + se3.substr(4)); }),
            "Cannot read a trelvar SE3: the input does not start with the magic bytes \"TRLV\"");
  EXPECT_EQ(error_of([&] { deserialize_se3(se3.substr(0, 50)); }),
            "Cannot read a trelvar SE3: truncated: the header announces 96 bytes of payload, 30 follow");
  EXPECT_EQ(error_of([&] { deserialize_se3(se3 + "xy"); }),
            "Cannot read a trelvar SE3: trailing bytes: the header announces 96 bytes of payload, 98 "
            "follow");
  std::string corrupt = se3;
  corrupt[40] = 'x';
  EXPECT_EQ(error_of([&] { deserialize_se3(corrupt); }),
            "Cannot read a trelvar SE3: checksum mismatch: the bytes are corrupted");
  EXPECT_EQ(error_of([&] { deserialize_se3(seal(3, payload_of(se3), 2)); }),
            "Cannot read a trelvar SE3: format version 2 is not the version 1 this build reads");
  EXPECT_EQ(error_of([&] { deserialize_model(se3); }),
            "Cannot read a trelvar Model: the bytes hold a SE3, not a Model");
  EXPECT_EQ(error_of([&] { deserialize_se3(seal(3, payload_of(se3) + "z")); }),
            "Cannot read a trelvar SE3: 1 unexpected bytes after the last item");
}

// Payloads with a valid checksum but contents no writer produces.
TEST(Serialization, ModelContentsAreChecked) {
  auto model_with_joint = [](std::uint8_t kind, std::uint64_t parent, std::uint64_t frame_parent) {
    std::string p;
    put_text(p, "m");
    for (int k = 0; k < 6; ++k) put_f64(p, 0.0);
    put_u64(p, 2);
    for (int j = 0; j < 2; ++j) {
      p += static_cast<char>(j == 0 ? 0 : kind);
      for (int k = 0; k < 3; ++k) put_f64(p, k == 2 ? 1.0 : 0.0);
      put_u64(p, j == 0 ? 0 : parent);
      for (int k = 0; k < 12; ++k) put_f64(p, k % 4 == 0 && k < 9 ? 1.0 : 0.0);
      put_text(p, j == 0 ? "universe" : "j");
    }
    put_u64(p, 0);  // inertias
    put_u64(p, 0);  // lower limits
    put_u64(p, 0);  // upper limits
    put_u64(p, 1);  // frames
    put_text(p, "f");
    put_u64(p, frame_parent);
    for (int k = 0; k < 12; ++k) put_f64(p, 0.0);
    p += std::string("\x01\0\0\0", 4);
    put_u64(p, 2);  // nbodies
    return seal(1, p);
  };
  const Model ok = deserialize_model(model_with_joint(1, 0, 1));
  EXPECT_EQ(ok.nv, 1u);
  EXPECT_EQ(ok.frames[0].parent, 1u);
  EXPECT_EQ(error_of([&] { deserialize_model(model_with_joint(7, 0, 1)); }),
            "Cannot read a trelvar Model: joint 1 has the unknown kind 7");
  EXPECT_EQ(error_of([&] { deserialize_model(model_with_joint(1, 1, 1)); }),
            "Cannot read a trelvar Model: joint 1 has the parent 1, which is not an earlier joint");
  EXPECT_EQ(error_of([&] { deserialize_model(model_with_joint(1, 0, 2)); }),
            "Cannot read a trelvar Model: frame 0 is attached to joint 2, out of range (njoints = 2)");
  // A count far beyond the bytes is refused before anything is reserved.
  std::string huge;
  put_text(huge, "m");
  for (int k = 0; k < 6; ++k) put_f64(huge, 0.0);
  put_u64(huge, std::uint64_t{1} << 60);
  EXPECT_EQ(error_of([&] { deserialize_model(seal(1, huge)); }),
            "Cannot read a trelvar Model: the count of joints (1152921504606846976) does not fit in "
            "the remaining 0 bytes");
}

TEST(Serialization, DataBuffersMustMatchTheSizes) {
  auto header = [](std::uint64_t nj, std::uint64_t nq, std::uint64_t nv, std::uint64_t count) {
    std::string p;
    put_u64(p, nj);
    put_u64(p, nq);
    put_u64(p, nv);
    put_u64(p, count);
    return p;
  };
  auto buffer = [](std::string& p, const char* name, std::vector<double> values) {
    put_text(p, name);
    put_u64(p, values.size());
    for (double x : values) put_f64(p, x);
  };
  std::string wrong_size = header(2, 1, 2, 1);
  buffer(wrong_size, "M", {1.0});
  wrong_size.append(200, '\0');
  EXPECT_EQ(error_of([&] { deserialize_data(seal(2, wrong_size)); }),
            "Cannot read a trelvar Data: the buffer 'M' holds 1 values where njoints = 2, nv = 2 give 4");
  std::string unknown = header(1, 0, 0, 1);
  buffer(unknown, "M_future", {});
  unknown.append(48, '\0');
  EXPECT_EQ(error_of([&] { deserialize_data(seal(2, unknown)); }),
            "Cannot read a trelvar Data: unknown buffer 'M_future'");
  std::string twice = header(1, 0, 0, 2);
  buffer(twice, "mass", {2.0});
  buffer(twice, "mass", {2.0});
  twice.append(48, '\0');
  EXPECT_EQ(error_of([&] { deserialize_data(seal(2, twice)); }),
            "Cannot read a trelvar Data: the buffer 'mass' appears twice");
  // Sizes that would ask for far more memory than the bytes hold.
  EXPECT_EQ(error_of([&] { deserialize_data(seal(2, header(1, 0, 1u << 20, 0))); }),
            "Cannot read a trelvar Data: the sizes njoints = 1, nv = 1048576 do not fit in the "
            "remaining 8 bytes");
  EXPECT_EQ(error_of([&] { deserialize_data(seal(2, header(3, 0, 0, 0))); }),
            "Cannot read a trelvar Data: the sizes njoints = 3, nv = 0 do not fit in the "
            "remaining 8 bytes");
  // A buffer left out keeps its initial value.
  std::string partial = header(1, 0, 0, 1);
  buffer(partial, "v", {1, 2, 3, 4, 5, 6});
  const Data d = deserialize_data(seal(2, partial));
  EXPECT_EQ(d.v[0], (Vec6() << 1, 2, 3, 4, 5, 6).finished());
  EXPECT_EQ(d.omi[0].rotation, Mat3::Identity());
  EXPECT_EQ(d.mass[0], 0.0);
  EXPECT_TRUE(d.buffers_consistent());
}

TEST(Serialization, ModelsThatCannotComeBackAreNotWritten) {
  Model frame_on_nothing = samples::arm7();
  frame_on_nothing.add_frame(Frame{"x", 42, SE3(), FrameType()});
  EXPECT_EQ(error_of([&] { serialize(frame_on_nothing); }),
            "Model frame 1 is attached to joint 42, out of range (njoints = 9)");
  Model edited = samples::arm7();
  edited.children[2].clear();
  EXPECT_EQ(error_of([&] { serialize(edited); }),
            "Model lists derived from its joints differ from those add_joint builds; the model "
            "cannot be stored as it is");
  Model bad_joint = samples::arm7();
  bad_joint.joints[2].nq = 3;
  EXPECT_EQ(error_of([&] { serialize(bad_joint); }), "Model joint 2 has sizes that are not its kind's");
}

}  // namespace
}  // namespace trelvar
