// Soak: the server with four busy slots for a long stretch, its tables edited from the
// front end while calls flow.
//
//   soak_bench [SECONDS]          (default 600)
//
// Slot 1 is a Samsung exchange on a pseudo-terminal, slots 2 and 3 LAN exchanges
// (Samsung and LG), slot 4 the CTI link; each has 200 operator rows (extensions 200 to
// 399 on the PCs 127.0.2.1 to 127.0.2.200, one notification port). Calls are played at
// 50 per second in all, round robin over the slots, to extensions 200 to 398. Every
// second the server's own front-end thread edits every slot's tables (republishes the
// DID row in use, adds or deletes a spare DID row, deletes or re-adds the row of
// extension 399). Every minute one LAN exchange resets its connection; its calls are
// held back from just before the reset until the server has reconnected.
//
// The server (ServerController, as lindra2d runs it) lives in a child process, so its
// memory and threads are its own. Printed: calls played and notifications received
// (every call played must arrive), telephone-log lines against notifications,
// resident memory and threads at the start and the end. Loopback only.
//
//   soak_bench dead-pcs [SECONDS] [LINDRA2D]   (default 3600; the build's lindra2d)
//
// Operator PCs that stay away: lindra2d (or the given build of it) with one Samsung LAN
// exchange and 200 operator rows on one extension, 100 PCs that answer and 100 that drop
// every connection request silently, one call a second. For the last 30 s the silent
// PCs answer again. Printed: the server's resident memory over time, the latency of
// the answering PCs (the exchange's write to the PC's receipt), how old the calls are
// that reach the PCs back again, telephone-log lines and SENT:-1, and how many
// message-log lines the operator rows produced.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/server_controller.h"
#include "bench_support.h"
#include "config/lindra_ini.h"
#include "frames/frame_builder.h"
#include "frames/pseudo_terminal.h"
#include "platform/child_process.h"
#include "platform/free_port.h"
#include "support/temp_dir.h"
#include "text/codec.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lindra::UniqueFd;

constexpr int kSlots = 4;
constexpr int kRows = 200;
constexpr double kCallsPerSecond = 50;
constexpr uint32_t kModels[kSlots] = {2, 102, 105, 202};
const char* const kDids[kSlots] = {"0211110000", "0222220000", "0233330000", "0244440000"};

std::string OperatorIp(int row) { return "127.0.2." + std::to_string(1 + row); }

// The dead-PC soak: as many operator PCs that answer as PCs that stay away.
constexpr int kPcsOfEachKind = 100;
std::string AnsweringIp(int i) { return "127.0.3." + std::to_string(1 + i); }
std::string SilentIp(int i) { return "127.0.4." + std::to_string(1 + i); }

// The front end of the server process: discards what the window would show and runs
// the controller's timers, as lindra2d does on its own thread.
class QuietView final : public lindra::ControllerView {
 public:
  explicit QuietView(asio::io_context& io) : io_(io) {}
  // Failures are worth seeing in a soak; the rest of the message log is not.
  void Publish(const lindra::ServerEvent& event) override {
    if (const auto* added = std::get_if<lindra::event::MessageAdded>(&event);
        added && added->line.severity == lindra::Severity::Error)
      std::fprintf(stderr, "server: %s\n", added->line.line.c_str());
  }
  void RunLater(std::chrono::milliseconds delay, std::function<void()> work) override {
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    timer->async_wait([timer, work = std::move(work)](const std::error_code& ec) {
      if (!ec) work();
    });
  }

 private:
  asio::io_context& io_;
};

// One second's edits of every slot, on the front-end thread: the DID row in use is
// republished as it is, a spare DID row and the operator row of extension 399 come
// and go. Calls never go to extension 399, so no played call loses its operator.
void EditTables(lindra::ServerController& controller, int tick) {
  for (int slot = 0; slot < kSlots; ++slot) {
    controller.ModifyDidRow(slot, 0, "701", kDids[slot]);
    if (tick % 2 == 0) {
      controller.AddDidRow(slot, "900:909", "0299990000");
      controller.DeleteAgentRow(slot, kRows - 1);
    } else {
      controller.DeleteDidRow(slot, 1);
      controller.AddAgentRow(slot, "399", OperatorIp(kRows - 1));
    }
  }
}

[[noreturn]] void RunServer(const std::filesystem::path& dir, const std::string& serialPath, int deadPort) {
  lindra::ServerOptions options;
  options.workDir = dir;
  options.logDir = dir / "logs";
  options.statServer = {"127.0.0.1", deadPort};
  options.configServer = {"127.0.0.1", deadPort};
  options.broadcastAddress = "127.255.255.255";
  options.serialPaths["COM1"] = serialPath;
  lindra::text::SetCodePage("UTF-8");

  asio::io_context io;
  QuietView view(io);
  lindra::ServerController controller(options, view);
  asio::signal_set signals(io, SIGTERM);
  signals.async_wait([&](const std::error_code&, int) {
    controller.StopServer();
    io.stop();
  });
  asio::steady_timer editTimer(io);
  int tick = 0;
  std::function<void()> edit = [&] {
    editTimer.expires_after(1s);
    editTimer.async_wait([&](const std::error_code& ec) {
      if (ec) return;
      EditTables(controller, tick++);
      edit();
    });
  };
  [[maybe_unused]] const auto started = controller.Start();
  edit();
  io.run();
  std::fflush(stdout);
  _exit(0);  // the parent owns the folder and everything else
}

// The operator PCs: one listener per address, each connection one notification.
class OperatorPcs {
 public:
  explicit OperatorPcs(int port) {
    for (int row = 0; row < kRows; ++row) listeners_.push_back(lindra::bench::Listen(OperatorIp(row).c_str(), port));
  }
  bool ready() const {
    for (const auto& l : listeners_)
      if (!l) return false;
    return true;
  }
  void Start() {
    thread_ = std::thread([this] { Serve(); });
  }
  ~OperatorPcs() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::map<std::string, int> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  long probes() const { return probes_; }

 private:
  void Serve() {
    std::map<int, std::pair<UniqueFd, std::string>> clients;
    while (!stop_) {
      std::vector<pollfd> fds;
      for (const auto& l : listeners_) fds.push_back({l.get(), POLLIN, 0});
      for (const auto& [fd, client] : clients) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (const pollfd& p : fds) {
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (p.fd < 0) continue;
        if (auto client = clients.find(p.fd); client != clients.end()) {
          char buffer[256];
          const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            client->second.second.append(buffer, static_cast<size_t>(n));
            continue;
          }
          Record(client->second.second);
          clients.erase(client);
        } else {
          UniqueFd fd(::accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
          if (fd) {
            const int raw = fd.get();
            clients.emplace(raw, std::make_pair(std::move(fd), std::string()));
          }
        }
      }
    }
  }
  void Record(const std::string& text) {
    if (text.empty()) {
      ++probes_;
      return;
    }
    std::lock_guard lock(mutex_);
    ++received_[text];
  }

  std::vector<UniqueFd> listeners_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<long> probes_{0};
  std::mutex mutex_;
  std::map<std::string, int> received_;  // notification text -> times received
};

// A LAN exchange: the server's connection to it, which a reset replaces.
struct Exchange {
  UniqueFd listener;
  std::mutex mutex;
  UniqueFd link;  // empty while a reset is under way

  bool AcceptWithin(std::chrono::milliseconds limit) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::lock_guard lock(mutex);
    link = std::move(fd);
    return link.valid();
  }
  bool Send(const std::string& frame) {
    std::lock_guard lock(mutex);
    return link && ::send(link.get(), frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
  }
  // Ends the connection with RST, as an exchange that reboots does.
  void Reset() {
    std::lock_guard lock(mutex);
    const linger abort{1, 0};
    ::setsockopt(link.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    link.Reset();
  }
};

struct TelephoneCount {
  long lines = 0;
  long unsent = 0;  // SENT:-1
};

TelephoneCount CountTelephoneLines(const std::filesystem::path& logDir) {
  TelephoneCount count;
  for (const auto& entry : std::filesystem::directory_iterator(logDir)) {
    if (entry.path().filename().string().rfind("Telephone_", 0) != 0) continue;
    const std::string log = lindra::testing::ReadFile(entry.path());
    for (size_t at = log.find("SENT:"); at != std::string::npos; at = log.find("SENT:", at + 1)) {
      ++count.lines;
      count.unsent += log.compare(at, 7, "SENT:-1") == 0;
    }
  }
  return count;
}

int Soak(int seconds) {
  lindra::testing::TempDir dir;
  const lindra::sim::PseudoTerminal terminal = lindra::sim::OpenPseudoTerminal();
  if (!terminal.master.valid()) return 1;
  const UniqueFd& serial = terminal.master;
  const std::string& serialPath = terminal.path;

  std::vector<std::string> operatorAddresses;
  for (int row = 0; row < kRows; ++row) operatorAddresses.push_back(OperatorIp(row));
  const int progPort = lindra::FreeTcpPort(operatorAddresses);
  OperatorPcs pcs(progPort);
  std::array<Exchange, 2> exchanges;
  for (auto& e : exchanges) e.listener = lindra::bench::Listen("127.0.0.1", 0);
  const int ctiPort = lindra::FreeTcpPort();
  if (!pcs.ready() || !exchanges[0].listener || !exchanges[1].listener || progPort == 0 || ctiPort == 0) {
    std::fprintf(stderr, "soak: cannot listen on loopback\n");
    return 1;
  }

  std::array<lindra::SlotConfig, kSlots> slots{};
  std::string operatorRows;
  for (int row = 0; row < kRows; ++row) operatorRows += std::to_string(200 + row) + " " + OperatorIp(row) + "\r\n";
  for (int i = 0; i < kSlots; ++i) {
    slots[i].devUse = true;
    slots[i].modelCode = kModels[i];
    slots[i].progPort = progPort;
    slots[i].comPort = "COM1";
    slots[i].baudRate = 9600;
    slots[i].lanIp = "127.0.0.1";
    const std::string suffix = i == 0 ? "" : std::to_string(i + 1);
    lindra::testing::WriteFile(dir / ("did" + suffix + ".tbl"), std::string("701 ") + kDids[i] + "\r\n");
    lindra::testing::WriteFile(dir / ("ip" + suffix + ".tbl"), operatorRows);
  }
  slots[1].lanPort = lindra::bench::PortOf(exchanges[0].listener);
  slots[2].lanPort = lindra::bench::PortOf(exchanges[1].listener);
  slots[3].lanPort = ctiPort;
  if (!lindra::SaveConfiguration(dir.path(), slots, "C00000")) return 1;

  // No thread exists yet: the child starts from a clean copy.
  const pid_t server = ::fork();
  if (server == 0) RunServer(dir.path(), serialPath, lindra::FreeTcpPort());
  if (server < 0) return 1;

  for (auto& e : exchanges)
    if (!e.AcceptWithin(20s)) {
      std::fprintf(stderr, "soak: the server did not connect its LAN slots\n");
      ::kill(server, SIGKILL);
      return 1;
    }
  pcs.Start();
  std::this_thread::sleep_for(5s);  // the operator senders' start-up connection tests
  const lindra::bench::ProcessUsage atStart = lindra::bench::UsageOf(server);

  sockaddr_in cti{};
  cti.sin_family = AF_INET;
  cti.sin_port = htons(static_cast<uint16_t>(ctiPort));
  ::inet_pton(AF_INET, "127.0.0.1", &cti.sin_addr);

  std::atomic<int> resetting{-1};  // the exchange whose calls are held back
  std::atomic<bool> playing{true};
  std::atomic<long> resets{0}, reconnectFailures{0};
  std::thread resetter([&] {
    for (int n = 0; playing; ++n) {
      for (int s = 0; s < 600 && playing; ++s) std::this_thread::sleep_for(100ms);
      if (!playing) break;
      Exchange& e = exchanges[n % 2];
      resetting = n % 2;
      std::this_thread::sleep_for(300ms);  // what was sent has been read
      e.Reset();
      ++resets;
      if (!e.AcceptWithin(30s)) ++reconnectFailures;
      resetting = -1;
    }
  });

  std::map<std::string, int> played;  // notification text the call must produce -> slot
  std::array<long, kSlots> playedPerSlot{}, heldBack{}, failedWrites{};
  const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / kCallsPerSecond));
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  auto due = Clock::now();
  for (long k = 0; Clock::now() < end; ++k, due += interval) {
    std::this_thread::sleep_until(due);
    const int slot = static_cast<int>(k % kSlots);
    const std::string caller = "0" + std::to_string(3000000000L + k);
    const lindra::sim::CallSpec call{'T', "701", std::to_string(200 + (k / kSlots) % (kRows - 1)), caller, "", ""};
    const std::string frame = lindra::sim::BuildFrame(kModels[slot], call);
    bool written = false;
    if (slot == 0) {
      written = ::write(serial.get(), frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    } else if (slot == 3) {
      UniqueFd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      written = ::connect(c.get(), reinterpret_cast<const sockaddr*>(&cti), sizeof cti) == 0 &&
                ::send(c.get(), frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    } else if (resetting == slot - 1) {
      ++heldBack[slot];
      continue;
    } else {
      written = exchanges[slot - 1].Send(frame);
    }
    if (!written) {
      ++failedWrites[slot];
      continue;
    }
    ++playedPerSlot[slot];
    played["T|" + caller + "|" + kDids[slot]] = slot;
  }
  playing = false;
  resetter.join();

  // Notifications still under way: wait until every one is in, or 30 s.
  for (int wait = 0; wait < 300 && pcs.received().size() < played.size(); ++wait) std::this_thread::sleep_for(100ms);
  const lindra::bench::ProcessUsage atEnd = lindra::bench::UsageOf(server);
  ::kill(server, SIGTERM);
  int status = 0;
  ::waitpid(server, &status, 0);

  const std::map<std::string, int> received = pcs.received();
  std::array<long, kSlots> arrived{}, missing{};
  long duplicates = 0, strangers = 0;
  for (const auto& [text, slot] : played) {
    auto r = received.find(text);
    if (r == received.end()) {
      ++missing[slot];
      continue;
    }
    ++arrived[slot];
    duplicates += r->second - 1;
  }
  for (const auto& [text, times] : received) strangers += played.count(text) ? 0 : times;

  const TelephoneCount telephone = CountTelephoneLines(dir / "logs");

  std::printf("soak: %d s, %.0f calls/s over 4 slots x %d operator rows, tables edited every second, %ld resets\n",
              seconds, kCallsPerSecond, kRows, resets.load());
  const char* names[kSlots] = {"serial", "LAN 102", "LAN 105", "CTI"};
  for (int i = 0; i < kSlots; ++i)
    std::printf("  %-8s played %6ld  arrived %6ld  missing %4ld  held back for resets %4ld  write failures %ld\n",
                names[i], playedPerSlot[i], arrived[i], missing[i], heldBack[i], failedWrites[i]);
  long totalArrived = 0;
  for (long a : arrived) totalArrived += a;
  std::printf("  notifications %ld of %zu calls played; duplicates %ld, unknown %ld; probes %ld\n", totalArrived,
              played.size(), duplicates, strangers, pcs.probes());
  std::printf("  telephone-log lines %ld (SENT:-1 %ld) against %ld notifications\n", telephone.lines, telephone.unsent,
              totalArrived + duplicates);
  std::printf("  server RSS %ld KiB at start, %ld KiB at end (peak %ld KiB); threads %ld at start, %ld at end\n",
              atStart.rssKb, atEnd.rssKb, atEnd.peakKb, atStart.threads, atEnd.threads);
  std::printf("  server CPU %.1f s; reconnects not seen within 30 s: %ld; exit status %d\n", atEnd.cpuSeconds,
              reconnectFailures.load(), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}

// The operator PCs of the dead-PC soak. The answering ones note each call's latency
// (the exchange's write to the PC's receipt). The silent ones listen with a full
// accept queue (backlog 0, holding one connection of this program that is never
// accepted), so every connection request to them is dropped and the server's connect
// hangs, as towards a PC that is switched off behind a firewall; once woken they
// accept again and note how old each call is that reaches them.
class AnsweringAndSilentPcs {
 public:
  explicit AnsweringAndSilentPcs(int port) {
    for (int i = 0; i < kPcsOfEachKind; ++i) answering_.push_back(lindra::bench::Listen(AnsweringIp(i).c_str(), port));
    for (int i = 0; i < kPcsOfEachKind; ++i) {
      silent_.push_back(lindra::bench::Listen(SilentIp(i).c_str(), port, 0));
      UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(static_cast<uint16_t>(port));
      ::inet_pton(AF_INET, SilentIp(i).c_str(), &sa.sin_addr);
      if (::connect(filler.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) filler.Reset();
      fillers_.push_back(std::move(filler));
    }
  }
  ~AnsweringAndSilentPcs() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ready() const {
    for (const auto* group : {&answering_, &silent_, &fillers_})
      for (const auto& fd : *group)
        if (!fd) return false;
    return true;
  }
  void Start() {
    thread_ = std::thread([this] { Serve(); });
  }
  // The silent PCs accept from now on, with the queue of a PC that is back.
  void Wake() {
    for (const auto& l : silent_) ::listen(l.get(), 512);
    woken_ = true;
  }
  void Written(const std::string& notification, Clock::time_point at) {
    std::lock_guard lock(mutex_);
    writtenAt_[notification] = at;
  }

  struct Figures {
    std::vector<double> latencyMs;  // answering PCs, one per notification
    std::vector<double> ageMs;      // silent PCs once woken, one per notification
    long unknown = 0;               // texts that no call produced
  };
  Figures figures() {
    std::lock_guard lock(mutex_);
    return figures_;
  }

 private:
  struct Client {
    UniqueFd fd;
    bool silent = false;
    std::string text;
  };

  void Serve() {
    std::map<int, Client> clients;
    while (!stop_) {
      const size_t listeners = answering_.size() + (woken_ ? silent_.size() : 0);
      std::vector<pollfd> fds;
      for (const auto& l : answering_) fds.push_back({l.get(), POLLIN, 0});
      for (size_t i = answering_.size(); i < listeners; ++i)
        fds.push_back({silent_[i - answering_.size()].get(), POLLIN, 0});
      for (const auto& [fd, client] : clients) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (i < listeners) {
          UniqueFd fd(::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
          if (fd) {
            const int raw = fd.get();
            clients.emplace(raw, Client{std::move(fd), i >= answering_.size(), {}});
          }
          continue;
        }
        auto client = clients.find(fds[i].fd);
        char buffer[256];
        const ssize_t n = ::recv(client->first, buffer, sizeof buffer, 0);
        if (n > 0) {
          client->second.text.append(buffer, static_cast<size_t>(n));
          continue;
        }
        if (n < 0 && errno == EAGAIN) continue;
        if (!client->second.text.empty()) Record(client->second);
        clients.erase(client);
      }
    }
  }
  void Record(const Client& client) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    const auto written = writtenAt_.find(client.text);
    if (written == writtenAt_.end()) {
      ++figures_.unknown;
      return;
    }
    const double ms = std::chrono::duration<double, std::milli>(now - written->second).count();
    (client.silent ? figures_.ageMs : figures_.latencyMs).push_back(ms);
  }

  std::vector<UniqueFd> answering_;
  std::vector<UniqueFd> silent_;
  std::vector<UniqueFd> fillers_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> woken_{false};
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> writtenAt_;
  Figures figures_;
};

int DeadPcs(int seconds, const std::string& serverPath) {
  constexpr int kComeBackSeconds = 30;
  const char* const did = "0211110000";
  lindra::testing::TempDir dir;
  std::vector<std::string> addresses;
  std::string operatorRows;  // answering and silent rows alternate, all on extension 201
  for (int i = 0; i < kPcsOfEachKind; ++i) {
    addresses.insert(addresses.end(), {AnsweringIp(i), SilentIp(i)});
    operatorRows += "201 " + AnsweringIp(i) + "\r\n201 " + SilentIp(i) + "\r\n";
  }
  const int progPort = lindra::FreeTcpPort(addresses);
  AnsweringAndSilentPcs pcs(progPort);
  UniqueFd exchange = lindra::bench::Listen("127.0.0.1", 0);
  if (progPort == 0 || !pcs.ready() || !exchange) {
    std::fprintf(stderr, "dead-pcs: cannot listen on loopback\n");
    return 1;
  }
  std::array<lindra::SlotConfig, kSlots> slots{};
  for (auto& slot : slots) {
    slot.progPort = progPort;
    slot.lanIp = "127.0.0.1";
  }
  slots[0].modelCode = 102;
  slots[0].lanPort = lindra::bench::PortOf(exchange);
  lindra::testing::WriteFile(dir / "did.tbl", std::string("701 ") + did + "\r\n");
  lindra::testing::WriteFile(dir / "ip.tbl", operatorRows);
  if (!lindra::SaveConfiguration(dir.path(), slots, "C00000")) return 1;

  const std::string deadServer = "127.0.0.1:" + std::to_string(lindra::FreeTcpPort());
  lindra::ChildProcess server;
  if (!server.Start(serverPath,
                    {"--workdir", dir.path().string(), "--log-dir", (dir / "logs").string(), "--state-dir",
                     (dir / "state").string(), "--broadcast", "127.255.255.255", "--stat-server", deadServer,
                     "--config-server", deadServer, "--codepage", "UTF-8"},
                    lindra::ChildProcess::Output::Capture)) {
    std::perror(serverPath.c_str());
    return 1;
  }
  // Waiting means reading what the server prints (its message log), so that it never
  // waits for this program; the operator rows' lines are counted.
  long rowLines = 0, printed = 0;
  auto readUntil = [&](Clock::time_point until) {
    for (auto left = until - Clock::now(); left > Clock::duration::zero(); left = until - Clock::now()) {
      const auto line = server.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(left) + 1ms);
      if (!line) continue;
      ++printed;
      rowLines += line->find("상담원 PC") != std::string::npos;
    }
  };
  pollfd p{exchange.get(), POLLIN, 0};
  UniqueFd link(::poll(&p, 1, 20'000) == 1 ? ::accept4(exchange.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
  if (!link) {
    std::fprintf(stderr, "dead-pcs: the server did not connect to the exchange\n");
    return 1;
  }
  pcs.Start();
  readUntil(Clock::now() + 5s);  // the start-up connection tests (3 s for the silent PCs)

  std::printf("dead-pcs: %d s, 1 call/s, %d answering and %d silent operator PCs on one extension; %s\n", seconds,
              kPcsOfEachKind, kPcsOfEachKind, serverPath.c_str());
  const int sampleEvery = std::max(10, seconds / 12);
  const auto start = Clock::now();
  long written = 0;
  for (int k = 0; k < seconds + kComeBackSeconds; ++k) {
    if (k % sampleEvery == 0 || k == seconds) {
      const lindra::bench::ProcessUsage usage = lindra::bench::UsageOf(server.pid());
      std::printf("  %5d s  RSS %7ld KiB  threads %ld  CPU %.1f s\n", k, usage.rssKb, usage.threads, usage.cpuSeconds);
      std::fflush(stdout);
    }
    if (k == seconds) pcs.Wake();
    readUntil(start + std::chrono::seconds(k));
    const std::string caller = "0" + std::to_string(3000000000L + k);
    const std::string frame = lindra::sim::BuildFrame(102, {'T', "701", "201", caller, "12:00:00", ""});
    pcs.Written("T|" + caller + "|" + did, Clock::now());
    if (::send(link.get(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
      std::fprintf(stderr, "dead-pcs: the write to the server failed after %ld calls\n", written);
      break;
    }
    ++written;
  }
  readUntil(Clock::now() + 5s);  // the last notifications
  const lindra::bench::ProcessUsage atEnd = lindra::bench::UsageOf(server.pid());
  const TelephoneCount running = CountTelephoneLines(dir / "logs");
  server.Signal(SIGTERM);
  const auto status = server.Wait(60s);
  const TelephoneCount stopped = CountTelephoneLines(dir / "logs");

  const AnsweringAndSilentPcs::Figures figures = pcs.figures();
  const auto max = [](const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); };
  long late = 0;
  for (double age : figures.ageMs) late += age > 60'000;
  std::printf("  at the end: RSS %ld KiB (peak %ld KiB), threads %ld, CPU %.1f s\n", atEnd.rssKb, atEnd.peakKb,
              atEnd.threads, atEnd.cpuSeconds);
  std::printf("  answering PCs: %zu of %ld notifications; latency p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              figures.latencyMs.size(), written * kPcsOfEachKind, lindra::bench::Percentile(figures.latencyMs, 0.50),
              lindra::bench::Percentile(figures.latencyMs, 0.99), max(figures.latencyMs));
  std::printf("  silent PCs, answering for the last %d s: %zu notifications, oldest %.1f s, %ld older than 60 s\n",
              kComeBackSeconds, figures.ageMs.size(), max(figures.ageMs) / 1000, late);
  std::printf("  telephone-log lines %ld (SENT:-1 %ld) for %ld calls x %d rows; after the stop %ld (SENT:-1 %ld)\n",
              running.lines, running.unsent, written, 2 * kPcsOfEachKind, stopped.lines, stopped.unsent);
  std::printf("  message-log lines %ld, of them on operator PCs %ld; unknown notifications %ld; exit status %d\n",
              printed, rowLines, figures.unknown, status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool deadPcs = argc > 1 && std::string(argv[1]) == "dead-pcs";
  const int first = deadPcs ? 2 : 1;
  const int seconds = argc > first ? std::atoi(argv[first]) : deadPcs ? 3600 : 600;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: soak_bench [SECONDS] | soak_bench dead-pcs [SECONDS] [LINDRA2D]\n");
    return 2;
  }
  if (deadPcs) return DeadPcs(seconds, argc > first + 1 ? argv[first + 1] : LINDRA2D_PATH);
  return Soak(seconds);
}
