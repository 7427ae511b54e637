#include "trelvar/error.hpp"

#include <string>

namespace trelvar {

std::string configuration_size_message(std::size_t expected, std::size_t got) {
  return "Configuration vector size mismatch: expected " + std::to_string(expected) + ", got " +
         std::to_string(got);
}

std::string velocity_size_message(std::size_t expected, std::size_t got) {
  return "Velocity vector size mismatch: expected " + std::to_string(expected) + ", got " +
         std::to_string(got);
}

}  // namespace trelvar
