// Small helpers shared by the test programs.
#pragma once

#include <algorithm>
#include <functional>
#include <string>

#include "trelvar/error.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::testing {

// The message of the trelvar::Error a call throws, or "<no error>".
inline std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

// |a - b| relative to max(1, |b|), Frobenius norms.
inline double rel_err(const MatrixX& a, const MatrixX& b) {
  return (a - b).norm() / std::max(1.0, b.norm());
}

}  // namespace trelvar::testing
