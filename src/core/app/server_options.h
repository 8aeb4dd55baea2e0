#pragma once
// The settings of this build that lindra.ini does not hold; the same command-line
// options for lindra2 and lindra2d.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lindra {

struct HostPort {
  std::string host;
  int port = 0;
  bool operator==(const HostPort&) const = default;
};

struct ServerOptions {
  std::filesystem::path workDir;   // lindra.ini and the table files
  std::filesystem::path logDir;    // created when missing
  bool logDirGiven = false;        // --log-dir was on the command line
  std::filesystem::path stateDir;  // private: the upload bookkeeping (mode 0700)
  std::filesystem::path lockDir;   // private: the single-instance lock
  HostPort statServer;             // statistics web server
  HostPort configServer;           // server of the two XML documents
  std::optional<HostPort> mirror;  // diagnostic copy of CTI frames; off when empty
  std::string broadcastAddress = "255.255.255.255";
  std::map<std::string, std::string> serialPaths;  // "COM1" -> "/dev/ttyUSB0"
  std::string codePage;                            // empty: the locale's charset
  std::string remoteSupportUrl;
  bool demo = false;
  std::optional<HostPort> http;         // the web console's address; off when empty
  std::filesystem::path httpTokenFile;  // the console's token (default: "token" in the state folder)
};

// A switch that one front end adds to the shared options (lindra2d's modes).
struct ExtraFlag {
  std::string name;  // "--check-config"
  std::string help;
  bool* value;
};

// "PROGRAM VERSION", the answer of every program to --version.
std::string VersionText(const std::string& programName);

// Parses the command line shared by both front ends. On a bad option or value it
// returns nothing and fills `error` with a clear one-line message; on --help and
// --version it returns nothing with `error` empty and the text to print in `help`.
std::optional<ServerOptions> ParseServerOptions(int argc, char** argv, const std::string& programName,
                                                std::string& error, std::string& help,
                                                const std::vector<ExtraFlag>& extraFlags = {});

// Selects the code page of every edge from --codepage, or from the environment's
// locale (LC_ALL, LC_CTYPE, LANG) when it is not given. Called once at start-up,
// before any thread converts text.
bool ApplyCodePage(const ServerOptions& options, std::string& error);

}  // namespace lindra
