#pragma once
// lindra2d --check-config: reads lindra.ini and the routing tables the way the server
// does and names every line the server would ignore, misread or be unable to use,
// with its file and line number, before a start or a reload finds out.
#include <filesystem>
#include <string>
#include <vector>

namespace lindra {

struct ConfigFinding {
  std::filesystem::path file;
  int line = 0;       // 1-based; 0 for the file as a whole
  bool error = true;  // false: a warning, the server copes as the text says
  std::string text;

  bool operator==(const ConfigFinding&) const = default;
};

// Reads only; nothing is created or rewritten. Uses the code page already selected.
std::vector<ConfigFinding> CheckConfiguration(const std::filesystem::path& workDir);

// "FILE:LINE: error: TEXT" (without ":LINE" for the file as a whole).
std::string FindingText(const ConfigFinding& finding);

}  // namespace lindra
