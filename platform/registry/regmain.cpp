// qelupnp-reg: the registry tool.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "regcmd.h"

namespace {

// Without a terminal nobody can answer, and the answer is No: a script never
// deletes or overwrites by accident, it passes /f (or /y).
bool AskOnTerminal(const std::string& question) {
  std::cout << question << ' ' << std::flush;
  if (!isatty(STDIN_FILENO)) {
    std::cout << "No" << std::endl;
    return false;
  }
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  for (auto& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return answer == "y" || answer == "yes";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  qel::regtool::Io io{std::cout, std::cerr, AskOnTerminal};
  int rc = qel::regtool::Run(args, io);
  std::cout.flush();
  return rc;
}
