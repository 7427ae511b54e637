// Writes the golden reference: every output that test_golden compares, for
// every model and state of the set in golden.hpp.
//
//   golden_dump <models dir> <output file>
//
// Run it through scripts/regen-golden (make golden), and only when a change
// is meant to alter results.
#include <iostream>
#include <sstream>

#include "golden/golden.hpp"
#include "golden/golden_file.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: golden_dump <models dir> <output file>\n";
    return 2;
  }
  try {
    std::ostringstream out;
    out << "# Golden values of every trelvar algorithm (tests/cpp/golden/golden.hpp).\n"
           "# Written by scripts/regen-golden; compared by test_golden to 1e-13 relative.\n";
    for (const std::string& name : trelvar::golden::model_names()) {
      trelvar::golden::write_model(out, name, trelvar::golden::model_outputs(name, argv[1]));
    }
    trelvar::golden::write_gzip(argv[2], out.str());
  } catch (const std::exception& e) {
    std::cerr << "golden_dump: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
