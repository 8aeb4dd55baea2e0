#include "demo/demo.h"

#include <stdlib.h>

#include <array>

#include "config/lindra_ini.h"
#include "platform/atomic_file.h"
#include "platform/free_port.h"
#include "platform/paths.h"
#include "platform/process_list.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kOperatorA = "127.0.0.2";
constexpr const char* kOperatorB = "127.0.0.3";
constexpr const char* kCallRate = "0.5";    // calls per second and exchange
constexpr const char* kCallCount = "7200";  // bounded: four hours of calls at most
constexpr std::chrono::seconds kAnnounceTimeout{10};
constexpr const char* kCtiWaitSeconds = "60";

// The simulator sits beside the server in an install, or in the build tree.
std::string FindSimulator() {
  std::error_code ec;
  const auto self = OwnExecutable().parent_path();
  for (const auto& candidate :
       {self / "lindra-sim", self / "../../tools/sim/lindra-sim", self / "../tools/sim/lindra-sim"})
    if (IsExecutableFile(candidate)) return std::filesystem::weakly_canonical(candidate, ec).string();
  return {};
}

bool WriteText(const std::filesystem::path& file, const std::string& text, std::string& error) {
  if (auto ec = WriteFileAtomically(file, text)) {
    error = "cannot write " + file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

DemoPeers::~DemoPeers() {
  for (auto& peer : peers_) peer.Terminate();
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

bool DemoPeers::StartPeer(const std::vector<std::string>& args, ChildProcess::Output output, std::string& error) {
  ChildProcess peer;
  if (!peer.Start(simPath_, args, output)) {
    error = "cannot start " + simPath_ + " " + args.front();
    return false;
  }
  peers_.push_back(std::move(peer));
  return true;
}

bool DemoPeers::ReadAnnouncement(std::string& line, std::string& error) {
  auto announced = peers_.back().ReadLine(kAnnounceTimeout);
  if (!announced || announced->empty()) {
    error = "simulated peer did not start";
    return false;
  }
  line = *announced;
  return true;
}

bool DemoPeers::Start(ServerOptions& options, std::string& error) {
  simPath_ = FindSimulator();
  if (simPath_.empty()) {
    error = "lindra-sim not found next to the server";
    return false;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "lindra2-demo-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    error = "cannot create the demo folder";
    return false;
  }
  folder_ = pattern;
  options.workDir = folder_;
  if (!options.logDirGiven) options.logDir = folder_ / "logs";
  // The demo's uploads go to a simulator: a real installation's bookkeeping must not
  // learn of them. The lock stays where it was, so the demo never runs beside a server.
  options.stateDir = folder_;
  options.broadcastAddress = "127.255.255.255";

  const int progPort = FreeTcpPort({kOperatorA, kOperatorB});
  const int ctiPort = FreeTcpPort();
  const int mirrorPort = FreeTcpPort();
  if (progPort == 0 || ctiPort == 0 || mirrorPort == 0) {
    error = "no free loopback port";
    return false;
  }
  const std::string prog = std::to_string(progPort);

  // Operator PCs and the diagnostic endpoint print what reaches them, each line
  // under the name of the PC that received it. Everything the server connects to
  // listens before the server starts.
  for (const char* op : {kOperatorA, kOperatorB})
    if (!StartPeer({"operator", "--listen", std::string(op) + ":" + prog, "--label", std::string("PC ") + op + ":"},
                   ChildProcess::Output::Inherit, error))
      return false;
  if (!StartPeer({"operator", "--listen", "127.0.0.1:" + std::to_string(mirrorPort), "--label", "MIRROR:"},
                 ChildProcess::Output::Inherit, error))
    return false;
  options.mirror = HostPort{"127.0.0.1", mirrorPort};

  std::string line;
  if (!StartPeer({"statserver", "--listen", "127.0.0.1:0", "--headid", "H1234", "--did2", "0299990000", "--upload-time",
                  "03:30", "--store", (folder_ / "uploads").string()},
                 ChildProcess::Output::Capture, error) ||
      !ReadAnnouncement(line, error))
    return false;
  const int statPort = text::LeadingInt32(line.substr(line.rfind(':') + 1));
  options.statServer = options.configServer = HostPort{"127.0.0.1", statPort};

  // Slot 1: a Samsung DCS 828 on a pseudo-terminal.
  if (!StartPeer({"serial", "--model", "2", "--rate", kCallRate, "--count", kCallCount, "--trunks", "701,702",
                  "--extensions", "201,202"},
                 ChildProcess::Output::Capture, error) ||
      !ReadAnnouncement(line, error))
    return false;
  options.serialPaths["COM1"] = line;

  // Slot 2: a Samsung DCS 828 on the LAN.
  if (!StartPeer({"exchange", "--model", "102", "--listen", "127.0.0.1:0", "--rate", kCallRate, "--count", kCallCount,
                  "--trunks", "703,704", "--extensions", "201,203"},
                 ChildProcess::Output::Capture, error) ||
      !ReadAnnouncement(line, error))
    return false;
  const int lanPort = text::LeadingInt32(line.substr(line.rfind(':') + 1));

  // Slot 3: the CTI program, one message per connection. It connects to the server,
  // which listens only once its slots are connected, so it waits for that quietly.
  if (!StartPeer({"cti", "--connect", "127.0.0.1:" + std::to_string(ctiPort), "--rate", kCallRate, "--count",
                  kCallCount, "--message", "202,705,0312345678", "--wait", kCtiWaitSeconds},
                 ChildProcess::Output::Inherit, error))
    return false;

  std::array<SlotConfig, kSlotCount> slots{};
  for (auto& slot : slots) {
    slot.areaCode = "02";
    slot.progPort = progPort;
    slot.comPort = "COM1";
    slot.baudRate = 9600;
    slot.lanIp = "127.0.0.1";
    slot.lanPort = 5100;
  }
  slots[0].modelCode = 2;
  slots[1].devUse = true;
  slots[1].modelCode = 102;
  slots[1].lanPort = lanPort;
  slots[2].devUse = true;
  slots[2].modelCode = 202;
  slots[2].lanPort = ctiPort;
  if (!SaveConfiguration(folder_, slots, kDefaultCenterId)) {
    error = "cannot write the demo lindra.ini";
    return false;
  }
  const std::string operators = std::string("201 ") + kOperatorA + "\r\n201 " + kOperatorB + "\r\n202 " + kOperatorB +
                                "\r\n203 " + kOperatorA + "\r\n";
  return WriteText(folder_ / "did.tbl", "701:702 0212340000\r\n", error) &&
         WriteText(folder_ / "ip.tbl", operators, error) &&
         WriteText(folder_ / "did2.tbl", "703 0212340001\r\n704 0299990000\r\n", error) &&
         WriteText(folder_ / "ip2.tbl", operators, error) &&
         WriteText(folder_ / "did3.tbl", "705 0312340002\r\n", error) &&
         WriteText(folder_ / "ip3.tbl", operators, error);
}

bool StartDemoIfAsked(ServerOptions& options, std::optional<DemoPeers>& demo, std::string& error) {
  if (!options.demo) return true;
  demo.emplace();
  return demo->Start(options, error);
}

}  // namespace lindra
