#pragma once
// Runs lindra2d in its own temporary work and log folder, with every outside peer on
// loopback, and reads what it prints.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/lindra_ini.h"
#include "platform/child_process.h"
#include "platform/free_port.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace lindra::testing {

// The first line of every start.
inline constexpr const char* kStarting = "[WARN] Starting server... Version:08/10/01";

using namespace std::chrono_literals;

// A loopback TCP port that nothing listens on.
inline int ClosedPort() { return FreeTcpPort(); }

// An address in 127.0.0.0/8 on which `port` is free now. The persistent senders need
// an operator on port 8001 itself; a random address keeps tests that run side by side
// (in this suite or another checkout's) from meeting there.
inline std::string LoopbackAddressWithFreePort(int port) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> part(1, 254);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const std::string address =
        "127." + std::to_string(part(random)) + "." + std::to_string(part(random)) + "." + std::to_string(part(random));
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    if (probe && ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) return address;
  }
  ADD_FAILURE() << "no loopback address with port " << port << " free";
  return "127.0.0.1";
}

// Four slot records of one notification port, each with COM1 at 9600 and LAN_IP
// 127.0.0.1; tests set the model codes and ports they use.
inline std::array<SlotConfig, kSlotCount> Slots(int progPort) {
  std::array<SlotConfig, kSlotCount> slots{};
  for (auto& slot : slots) {
    slot.progPort = progPort;
    slot.comPort = "COM1";
    slot.baudRate = 9600;
    slot.lanIp = "127.0.0.1";
  }
  return slots;
}

// How often `part` occurs in `text`.
inline int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The texts of the lines of a log file, without their time, level and thread columns
// ("14:03:27.4[INFO ] [t-2044] DEV01: T ..." gives "DEV01: T ...").
inline std::vector<std::string> LogEntries(const std::string& log) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    const size_t thread = line.find("[t-");
    const size_t text = thread == std::string::npos ? std::string::npos : line.find("] ", thread);
    entries.push_back(text == std::string::npos ? line : line.substr(text + 2));
    start = end + 2;
  }
  return entries;
}

class ServerHarness {
 public:
  ServerHarness() {
    std::filesystem::create_directories(workDir());
    std::filesystem::create_directories(logDir());
  }

  std::filesystem::path workDir() const { return dir_.path() / "work"; }
  std::filesystem::path logDir() const { return dir_.path() / "logs"; }
  // The server's private folder, which also holds the single-instance lock, so tests
  // may run side by side.
  std::filesystem::path stateDir() const { return dir_.path() / "state"; }
  const std::filesystem::path& root() const { return dir_.path(); }

  // The routing tables and other files of the work folder, by name.
  void WriteTables(const std::map<std::string, std::string>& files) const {
    for (const auto& [name, text] : files) WriteFile(workDir() / name, text);
  }

  // Every log file whose name begins with `prefix` ("Telephone_DEV01_"), in one text
  // (a FIFO planted at a log's name is no log file).
  std::string LogText(const std::string& prefix) const {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(logDir()))
      if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0)
        all += ReadFile(entry.path());
    return all;
  }

  // Waits until the log files of `prefix` hold `count` lines: the log writers write
  // while the server runs, so a test can watch a log without stopping the server.
  bool WaitForLogEntries(const std::string& prefix, size_t count, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (LogEntries(LogText(prefix)).size() < count) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ADD_FAILURE() << "fewer than " << count << " lines in " << prefix << ":\n" << LogText(prefix);
        return false;
      }
      std::this_thread::sleep_for(20ms);  // a file has nothing to wait on
    }
    return true;
  }

  std::vector<std::string> BaseArgs() const {
    const std::string deadServer = "127.0.0.1:" + std::to_string(ClosedPort());
    std::vector<std::string> args = {"--workdir",     workDir().string(),  "--log-dir",       logDir().string(),
                                     "--state-dir",   stateDir().string(), "--broadcast",     "127.255.255.255",
                                     "--stat-server", deadServer,          "--config-server", deadServer};
    if (!codePage_.empty()) args.insert(args.end(), {"--codepage", codePage_});
    return args;
  }

  // Empty: the server takes the code page from its locale.
  void SetCodePage(std::string codePage) { codePage_ = std::move(codePage); }

  // Standard error (the server's and its children's) is read among the printed lines.
  void CaptureStandardError() { captureErrors_ = true; }

  // `environment` ("NAME=value") is added to the server's.
  void Start(std::vector<std::string> extra = {}, const std::vector<std::string>& environment = {},
             const std::string& program = LINDRA2D_PATH) {
    auto args = BaseArgs();
    args.insert(args.end(), extra.begin(), extra.end());
    std::string executable = program;
    if (captureErrors_) {
      args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", executable});
      executable = "/bin/sh";
    }
    ASSERT_TRUE(server_.Start(executable, args, ChildProcess::Output::Capture, environment));
  }

  // Reads printed lines until one after the previous match contains `text`, so that
  // successive waits also check the order of the lines. Every line read is kept.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      for (; cursor_ < lines_.size(); ++cursor_) {
        if (lines_[cursor_].find(text) != std::string::npos) {
          ++cursor_;
          return true;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto line = left.count() > 0 ? server_.ReadLine(left) : std::nullopt;
      if (!line) {
        ADD_FAILURE() << "no line with \"" << text << "\" after line " << cursor_ << "; the server printed:\n"
                      << Printed();
        return false;
      }
      lines_.push_back(*line);
    }
  }

  std::string Printed() const {
    std::string all;
    for (const auto& line : lines_) all += line + "\n";
    return all;
  }

  // Every line printed within `window` (for checks that something did not happen).
  const std::vector<std::string>& CollectFor(std::chrono::milliseconds window) {
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      auto line = server_.ReadLine(left);
      if (!line) break;
      lines_.push_back(*line);
    }
    return lines_;
  }

  // The printed message-log lines from the first one whose text is `first`, each
  // without its "[HH:MM:SS.mmm]" stamp: for checks of exact lines in exact order.
  std::vector<std::string> MessagesFrom(const std::string& first) const {
    std::vector<std::string> texts;
    for (const auto& line : lines_) {
      const size_t stamp = line.starts_with("[") ? line.find(']') : std::string::npos;
      std::string text = stamp == std::string::npos ? line : line.substr(stamp + 1);
      if (!texts.empty() || text == first) texts.push_back(std::move(text));
    }
    return texts;
  }

  // The "[HH:MM:SS.mmm]" stamp of each printed line containing `text`, as the time of day.
  std::vector<std::chrono::milliseconds> StampsOf(const std::string& text) const {
    std::vector<std::chrono::milliseconds> stamps;
    int hours, minutes, seconds, millis;
    for (const auto& line : lines_)
      if (line.find(text) != std::string::npos &&
          std::sscanf(line.c_str(), "[%2d:%2d:%2d.%3d]", &hours, &minutes, &seconds, &millis) == 4)
        stamps.push_back(std::chrono::hours(hours) + std::chrono::minutes(minutes) + std::chrono::seconds(seconds) +
                         std::chrono::milliseconds(millis));
    return stamps;
  }

  int CountLines(const std::string& text) const {
    int n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }

  // SIGTERM; the exit status, or -1 when it did not end in time.
  int Stop(std::chrono::milliseconds timeout = 20s) {
    server_.Signal(SIGTERM);
    auto status = server_.Wait(timeout);
    if (!status) return -1;
    CollectRemaining();
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
  }

  void CollectRemaining() {
    std::string rest = server_.DrainOutput();
    size_t start = 0;
    while (start < rest.size()) {
      size_t end = rest.find('\n', start);
      if (end == std::string::npos) end = rest.size();
      lines_.push_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }

  // The running server's file size limit, set from outside as a full disk would stop
  // its writes (a write beyond it fails with EFBIG); nullopt lifts it.
  bool LimitFileSize(std::optional<rlim_t> bytes) {
    rlimit limit{};
    if (::prlimit(server_.pid(), RLIMIT_FSIZE, nullptr, &limit) != 0) return false;
    limit.rlim_cur = bytes.value_or(limit.rlim_max);
    return ::prlimit(server_.pid(), RLIMIT_FSIZE, &limit, nullptr) == 0;
  }

  ChildProcess& process() { return server_; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  TempDir dir_;
  std::string codePage_ = "UTF-8";
  bool captureErrors_ = false;
  ChildProcess server_;
  std::vector<std::string> lines_;
  size_t cursor_ = 0;
};

// The bytes of one notification as an operator PC printed it ("TIME PEER TEXT").
inline std::string NotificationText(const std::string& line) {
  const size_t peer = line.find(' ');
  const size_t text = peer == std::string::npos ? peer : line.find(' ', peer + 1);
  return text == std::string::npos ? std::string() : line.substr(text + 1);
}

// A simulated peer whose first printed line announces where it listens.
class Peer {
 public:
  explicit Peer(std::vector<std::string> args) {
    EXPECT_TRUE(process_.Start(LINDRA_SIM_PATH, args, ChildProcess::Output::Capture));
    auto line = process_.ReadLine(10s);
    EXPECT_TRUE(line.has_value()) << args[0] << " did not start";
    announced_ = line.value_or("");
  }
  const std::string& announced() const { return announced_; }
  int port() const { return std::stoi(announced_.substr(announced_.rfind(':') + 1)); }

  // Waits until `count` printed lines in all contain `text`; returns how many do.
  int Expect(const std::string& text, int count, std::chrono::milliseconds timeout = 20s) {
    auto matches = [&] {
      int n = 0;
      for (const auto& line : received_) n += line.find(text) != std::string::npos;
      return n;
    };
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (matches() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      auto line = process_.ReadLine(left);
      if (!line) break;
      received_.push_back(*line);
    }
    return matches();
  }
  const std::vector<std::string>& received() const { return received_; }
  // The TEXT of every "HH:MM:SS.mmm ADDR:PORT TEXT" line printed, joined: what an
  // operator PC received, in order (a kept connection has no separator).
  std::string Bytes() const {
    std::string all;
    for (const auto& line : received_) all += NotificationText(line);
    return all;
  }
  // Reads lines until Bytes() holds `size` bytes; returns them.
  std::string WaitForBytes(size_t size, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Bytes().size() < size) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto line = left.count() > 0 ? process_.ReadLine(left) : std::nullopt;
      if (!line) break;
      received_.push_back(*line);
    }
    return Bytes();
  }

  // Ends the peer (SIGTERM: an operator PC switched off, its port refusing from now
  // on); what it printed is kept.
  void Stop() {
    process_.Terminate();
    std::string rest = process_.DrainOutput();
    for (size_t start = 0; start < rest.size();) {
      size_t end = std::min(rest.find('\n', start), rest.size());
      received_.push_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }

 private:
  ChildProcess process_;
  std::string announced_;
  std::vector<std::string> received_;
};

inline std::vector<std::string> NotificationTexts(const Peer& operatorPc) {
  std::vector<std::string> texts;
  for (const auto& line : operatorPc.received()) texts.push_back(NotificationText(line));
  return texts;
}

// An operator PC: "LISTEN tcp ADDR:PORT", then one line per notification.
inline Peer Operator(const std::string& address, int port) {
  return Peer({"operator", "--listen", address + ":" + std::to_string(port), "--seconds", "120"});
}

}  // namespace lindra::testing
