// The qelupnp-reg commands (the syntax and output of the Windows reg command).
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace qel::regtool {

struct Io {
  std::ostream& out;
  std::ostream& err;
  // Asks a Yes/No question; false when nobody can answer.
  std::function<bool(const std::string& question)> confirm;
};

// Runs one command line (without the program name); returns the exit code, 0 or 1.
int Run(const std::vector<std::string>& args, Io& io);

}  // namespace qel::regtool
