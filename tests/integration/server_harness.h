#pragma once
// Runs lindra2d in its own temporary work and log folder, with every outside peer on
// loopback, and reads what it prints.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/free_port.h"
#include "support/temp_dir.h"

namespace lindra::testing {

using namespace std::chrono_literals;

// A loopback TCP port that nothing listens on.
inline int ClosedPort() { return FreeTcpPort(); }

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
  void Start(std::vector<std::string> extra = {}, const std::vector<std::string>& environment = {}) {
    auto args = BaseArgs();
    args.insert(args.end(), extra.begin(), extra.end());
    std::string program = LINDRA2D_PATH;
    if (captureErrors_) {
      args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", program});
      program = "/bin/sh";
    }
    ASSERT_TRUE(server_.Start(program, args, ChildProcess::Output::Capture, environment));
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
  // Ends the peer (SIGTERM): its connections close and its port refuses.
  void Stop() { process_.Terminate(); }

 private:
  ChildProcess process_;
  std::string announced_;
  std::vector<std::string> received_;
};

// An operator PC: "LISTEN tcp ADDR:PORT", then one line per notification.
inline Peer Operator(const std::string& address, int port) {
  return Peer({"operator", "--listen", address + ":" + std::to_string(port), "--seconds", "120"});
}

// The bytes an operator PC received, from its printed line without time and peer.
inline std::string OperatorPayload(const std::string& printed) {
  return printed.substr(printed.find(' ', printed.find(' ') + 1) + 1);
}

}  // namespace lindra::testing
