#pragma once
// The demo: a fresh work folder with a lindra.ini and routing tables for three slots
// (a serial exchange on a pseudo-terminal, a LAN exchange, the CTI program), and the
// simulated peers on loopback that play them, so calls flow within seconds on a
// machine without telephone hardware.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/server_options.h"
#include "platform/child_process.h"

namespace lindra {

// Owned by the front end's main thread and destroyed after the server has stopped:
// the peers end with the object, and its temporary folder goes with them.
class DemoPeers {
 public:
  DemoPeers() = default;
  ~DemoPeers();  // ends the peers, removes the folder
  DemoPeers(const DemoPeers&) = delete;
  DemoPeers& operator=(const DemoPeers&) = delete;

  // Writes the demo configuration, starts the peers and points `options` at them
  // (work folder, the log folder unless --log-dir gave one, serial port, servers,
  // broadcast address, mirror).
  bool Start(ServerOptions& options, std::string& error);
  const std::filesystem::path& folder() const { return folder_; }

 private:
  bool StartPeer(const std::vector<std::string>& args, ChildProcess::Output output, std::string& error);
  // The first line a captured peer prints: its device path or port.
  bool ReadAnnouncement(std::string& line, std::string& error);

  std::filesystem::path folder_;
  std::string simPath_;
  std::vector<ChildProcess> peers_;
};

// Starts the demo's peers into `demo` when the options ask for the demo; false (and
// why) when they could not start.
bool StartDemoIfAsked(ServerOptions& options, std::optional<DemoPeers>& demo, std::string& error);

}  // namespace lindra
