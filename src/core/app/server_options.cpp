#include "app/server_options.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <regex>

#include "platform/charset.h"
#include "platform/paths.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

// "HOST[:PORT]" with the port in 1..65535; an empty host is an error.
std::optional<HostPort> ParseHostPort(const std::string& text, int defaultPort) {
  HostPort hp;
  auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    hp.host = text;
    hp.port = defaultPort;
  } else {
    hp.host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !text::AllDigits(port)) return std::nullopt;
    hp.port = std::stoi(port);
  }
  if (hp.host.empty() || hp.port < 1 || hp.port > 65535) return std::nullopt;
  return hp;
}

bool IsDottedIpv4(const std::string& text) {
  in_addr addr{};
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

}  // namespace

std::string VersionText(const std::string& programName) { return programName + " " LINDRA_VERSION "\n"; }

std::optional<ServerOptions> ParseServerOptions(int argc, char** argv, const std::string& programName,
                                                std::string& error, std::string& help,
                                                const std::vector<ExtraFlag>& extraFlags) {
  error.clear();
  help.clear();
  CLI::App app{programName + ": caller-ID agent server for telephone ordering centres", programName};
  ServerOptions options;
  std::string workDir = std::filesystem::current_path().string();
  std::string logDir;
  std::string stateDir;
  std::string statServer = LINDRA_DEFAULT_STAT_SERVER;
  std::string configServer = LINDRA_DEFAULT_CONFIG_SERVER;
  std::string mirror;
  std::vector<std::string> serial;
  std::string http;
  std::string httpTokenFile;
  options.remoteSupportUrl = LINDRA_DEFAULT_REMOTE_SUPPORT;

  app.add_option("--workdir", workDir, "folder of lindra.ini and the table files")->capture_default_str();
  app.add_option("--log-dir", logDir, "log folder, created when missing (default: " + DefaultLogDir().string() + ")");
  app.add_option("--state-dir", stateDir,
                 "private state folder, mode 0700: upload bookkeeping and, when given, the instance lock (default: " +
                     DefaultStateDir().string() + ")");
  app.add_option("--stat-server", statServer, "statistics web server HOST[:PORT]")->capture_default_str();
  app.add_option("--config-server", configServer, "server of the statistics documents HOST[:PORT]")
      ->capture_default_str();
  app.add_option("--mirror", mirror, "diagnostic copy of CTI frames to HOST:PORT (default: off)");
  app.add_option("--broadcast", options.broadcastAddress, "destination address of UDP notifications")
      ->capture_default_str();
  app.add_option("--serial", serial, "device path of a serial port name, COMn=PATH (repeatable)");
  app.add_option("--codepage", options.codePage, "code page at the edges, e.g. CP949 (default: the locale's)");
  app.add_option("--remote-support", options.remoteSupportUrl, "page of the tray menu's remote support")
      ->capture_default_str();
  app.add_flag("--demo", options.demo, "start with built-in simulators on loopback");
  app.add_option("--http", http, "serve the web console at ADDR:PORT, ADDR a dotted IPv4 address (default: off)");
  app.add_option("--http-token-file", httpTokenFile,
                 "the web console's token, made at the first start (default: token in the state folder)");
  for (const ExtraFlag& flag : extraFlags) app.add_flag(flag.name, *flag.value, flag.help);
  bool version = false;
  app.add_flag("--version", version, "print the program's version and end");

  // A later option overrides an earlier one, as a wrapper script expects.
  for (auto* option : app.get_options())
    if (option->get_name() != "--serial") option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    help = app.help();
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return std::nullopt;
  }
  if (version) {
    help = VersionText(programName);
    return std::nullopt;
  }

  options.workDir = workDir;
  options.logDir = logDir.empty() ? DefaultLogDir() : std::filesystem::path(logDir);
  options.logDirGiven = !logDir.empty();
  // A given state folder also holds the lock, so servers with their own folders
  // (tests side by side) do not exclude each other.
  options.stateDir = stateDir.empty() ? DefaultStateDir() : std::filesystem::path(stateDir);
  options.lockDir = stateDir.empty() ? DefaultLockDir() : options.stateDir;
  auto stat = ParseHostPort(statServer, 80);
  auto config = ParseHostPort(configServer, 80);
  if (!stat) error = "--stat-server: expected HOST[:PORT], got '" + statServer + "'";
  if (!config) error = "--config-server: expected HOST[:PORT], got '" + configServer + "'";
  if (!error.empty()) return std::nullopt;
  options.statServer = *stat;
  options.configServer = *config;
  if (!mirror.empty()) {
    options.mirror = ParseHostPort(mirror, 0);
    if (!options.mirror || options.mirror->port == 0) {
      error = "--mirror: expected HOST:PORT, got '" + mirror + "'";
      return std::nullopt;
    }
  }
  if (!IsDottedIpv4(options.broadcastAddress)) {
    error = "--broadcast: expected a dotted IPv4 address, got '" + options.broadcastAddress + "'";
    return std::nullopt;
  }
  if (!http.empty()) {
    options.http = ParseHostPort(http, 0);
    if (!options.http || options.http->port == 0 || !IsDottedIpv4(options.http->host)) {
      error = "--http: expected ADDR:PORT with a dotted IPv4 address, got '" + http + "'";
      return std::nullopt;
    }
  }
  options.httpTokenFile = httpTokenFile.empty() ? options.stateDir / "token" : std::filesystem::path(httpTokenFile);
  static const std::regex kSerial("^(COM[1-6])=(.+)$");
  for (const auto& s : serial) {
    std::smatch m;
    if (!std::regex_match(s, m, kSerial)) {
      error = "--serial: expected COMn=PATH with n from 1 to 6, got '" + s + "'";
      return std::nullopt;
    }
    options.serialPaths[m[1]] = m[2];
  }
  return options;
}

bool ApplyCodePage(const ServerOptions& options, std::string& error) {
  const std::string name = options.codePage.empty() ? EnvironmentCharset() : options.codePage;
  if (text::SetCodePage(name)) return true;
  error = "--codepage: unknown code page '" + name + "'";
  return false;
}

}  // namespace lindra
