#pragma once
// lindra-sim plays every peer of the server. Each peer is one subcommand, defined in
// its own file and registered here by a static SimCommand object.
#include <functional>
#include <string>
#include <vector>

namespace lindra::sim {

struct SimCommand {
  std::string name;                               // "serial", "exchange", "cti", "operator", "statserver"
  std::string summary;                            // one line for `lindra-sim --help`
  std::function<int(int argc, char** argv)> run;  // argv[0] is the subcommand name
};

std::vector<SimCommand>& Commands();

struct RegisterSimCommand {
  explicit RegisterSimCommand(SimCommand command) { Commands().push_back(std::move(command)); }
};

}  // namespace lindra::sim
