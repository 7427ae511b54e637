// A versioned binary format for Model, Data and SE3: bytes <-> values, bit for
// bit (doubles keep their exact bit patterns, NaN payloads and signed zeros
// included).
//
// Layout, every number little-endian whatever the machine:
//   offset 0   4 bytes   magic "TRLV"
//          4   u16       format version (kSerializationVersion)
//          6   u8        kind: 1 Model, 2 Data, 3 SE3
//          7   u8        reserved, 0
//          8   u64       payload length L
//         16   L bytes   payload
//     16 + L   u32       CRC-32 (IEEE 802.3) of the 16 + L bytes before it
// Payload items: u64 counts and indices, doubles as their IEEE-754 binary64
// bit patterns (u64), strings as a u64 length and the bytes.
//   SE3:   rotation (9 doubles, column by column), translation (3).
//   Model: name; gravity (6, angular first); njoints; per joint (the universe
//          first): kind (u8), axis (3), parent, placement (SE3), name;
//          inertias count and each (inertia 6, mass, lever 3); lower and upper
//          position limits (count and values); frames count and each (name,
//          parent, placement, type bits as u32); nbodies.
//          The lists derived from the joints (offsets, children, supports,
//          subtrees, axes) are rebuilt by Model::add_joint, not stored.
//   Data:  njoints, nq, nv; buffer count; per buffer: its name, the count of
//          doubles and the doubles (Data::for_each_buffer lists them). A buffer
//          missing from the bytes keeps its initial value; the work buffers
//          carry nothing between calls and are not stored.
//
// Reading checks everything before using it: length of every read, magic,
// version, kind, checksum, joint kinds, parents, frame parents, every Data
// buffer's size against the sizes; any failure throws an Error saying what was
// wrong, and no input makes it read out of bounds or allocate more than a
// fixed multiple of the input's length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"
#include "trelvar/spatial.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

inline constexpr std::uint16_t kSerializationVersion = 1;

// Throws an Error for a Model that could not be read back: lists that do not
// match njoints, a joint record whose sizes are not its kind's, a frame on an
// unknown joint.
std::string serialize(const Model& model);
std::string serialize(const Data& data);
std::string serialize(const SE3& placement);

Model deserialize_model(std::string_view bytes);
Data deserialize_data(std::string_view bytes);
SE3 deserialize_se3(std::string_view bytes);

// The checksum of the format (CRC-32, polynomial 0xEDB88320 reflected).
std::uint32_t crc32(std::string_view bytes);

}  // namespace trelvar

#pragma GCC visibility pop
