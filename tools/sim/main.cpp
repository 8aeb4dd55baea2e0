#include <cstdio>
#include <cstring>

#include "sim_command.h"

namespace lindra::sim {

std::vector<SimCommand>& Commands() {
  static std::vector<SimCommand> commands;
  return commands;
}

}  // namespace lindra::sim

int main(int argc, char** argv) {
  using lindra::sim::Commands;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("lindra-sim %s\n", LINDRA_VERSION);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0) {
    for (const auto& command : Commands())
      if (command.name == argv[1]) return command.run(argc - 1, argv + 1);
    std::fprintf(stderr, "lindra-sim: unknown peer '%s' (see lindra-sim --help)\n", argv[1]);
    return 2;
  }
  std::printf("lindra-sim PEER [options]: plays a peer of the Lindra2 server on loopback\n\npeers:\n");
  for (const auto& command : Commands()) std::printf("  %-12s %s\n", command.name.c_str(), command.summary.c_str());
  std::printf("\nlindra-sim PEER --help lists the options of one peer.\n");
  return argc >= 2 ? 0 : 2;
}
