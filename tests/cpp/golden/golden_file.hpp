// The reference file of the golden values: gzip-compressed text (read it
// with zcat), one output per line.
//
//   # comment lines
//   model <name>
//   state <static | 0 | 1 | ...>
//   <output name> <count> <value> ...
//   <output name> = <earlier output name of the same state>
//
// Values are C hexadecimal floats ("%a", exact); exact zeros are written "0"
// or "-0". An output whose values are bit for bit those of an earlier output
// of the same state (the Jacobian that several algorithms leave, for one) is
// written as a reference to it.
#pragma once

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "golden/golden.hpp"

namespace trelvar::golden {

inline std::string format_value(double x) {
  if (x == 0.0) return std::signbit(x) ? "-0" : "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", x);
  return buf;
}

inline void write_model(std::ostream& os, const std::string& model,
                        const std::vector<StateOutputs>& states) {
  os << "model " << model << "\n";
  for (const StateOutputs& s : states) {
    os << "state " << s.state << "\n";
    std::map<std::string, std::string> first_with;  // value bytes -> output name
    for (const Output& o : s.outputs) {
      const std::string bytes(reinterpret_cast<const char*>(o.values.data()),
                              o.values.size() * sizeof(double));
      const auto [it, inserted] = first_with.emplace(bytes, o.name);
      if (!inserted) {
        os << o.name << " = " << it->second << "\n";
        continue;
      }
      os << o.name << " " << o.values.size();
      for (double x : o.values) os << " " << format_value(x);
      os << "\n";
    }
  }
}

// Writes `text` gzip-compressed (deterministic: no name, no time stamp).
inline void write_gzip(const std::string& path, const std::string& text) {
  gzFile f = gzopen(path.c_str(), "wb9");
  if (f == nullptr) throw Error("golden: cannot write " + path);
  const bool ok = gzwrite(f, text.data(), static_cast<unsigned>(text.size())) ==
                  static_cast<int>(text.size());
  if (gzclose(f) != Z_OK || !ok) throw Error("golden: writing " + path + " failed");
}

inline std::string read_gzip(const std::string& path) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) throw Error("golden: cannot open " + path);
  std::string text;
  char buf[1 << 16];
  int n = 0;
  while ((n = gzread(f, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  const bool ok = n == 0;
  gzclose(f);
  if (!ok) throw Error("golden: " + path + " is not a readable gzip file");
  return text;
}

// Key of one output: "model/state/output".
inline std::string key(const std::string& model, const std::string& state, const std::string& output) {
  return model + "/" + state + "/" + output;
}

struct Reference {
  std::map<std::string, std::vector<double>> values;  // by key()
  std::vector<std::string> models;                     // in file order
};

// Reads a reference file; throws an Error naming the line of a malformed entry.
inline Reference read_reference(const std::string& path) {
  std::istringstream in(read_gzip(path));
  Reference ref;
  std::string line, model, state;
  std::size_t number = 0;
  const auto fail = [&](const std::string& what) {
    throw Error("golden: " + path + ":" + std::to_string(number) + ": " + what);
  };
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream is(line);
    std::string word, count_text;
    is >> word;
    if (word == "model") {
      is >> model;
      ref.models.push_back(model);
      continue;
    }
    if (word == "state") {
      is >> state;
      continue;
    }
    if (model.empty() || state.empty() || !(is >> count_text)) fail("malformed line");
    std::vector<double> values;
    if (count_text == "=") {
      std::string other;
      is >> other;
      const auto it = ref.values.find(key(model, state, other));
      if (it == ref.values.end()) fail("refers to unknown output '" + other + "'");
      values = it->second;
    } else {
      char* end = nullptr;
      const unsigned long count = std::strtoul(count_text.c_str(), &end, 10);
      if (*end != '\0') fail("bad count '" + count_text + "'");
      values.reserve(count);
      std::string token;
      while (is >> token) {
        values.push_back(std::strtod(token.c_str(), &end));
        if (end == token.c_str() || *end != '\0') fail("bad value '" + token + "'");
      }
      if (values.size() != count) {
        fail("expected " + std::to_string(count) + " values, read " + std::to_string(values.size()));
      }
    }
    if (!ref.values.emplace(key(model, state, word), std::move(values)).second) {
      fail("duplicate output " + word);
    }
  }
  return ref;
}

}  // namespace trelvar::golden
