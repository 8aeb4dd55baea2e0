// How many call rows per second the window's call grid absorbs while the window
// stays responsive, and what 100,000 rows cost in memory. Rows come from a core
// thread through QueuedView, as in the program; the GUI thread's responsiveness is
// the largest gap between ticks of a 10 ms timer while the rows arrive.
// Run: QT_QPA_PLATFORM=offscreen gui_bench
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/server_controller.h"
#include "main_window.h"
#include "notify/route_call_event.h"
#include "queued_view.h"

namespace {

using namespace lindra;
using namespace lindra::gui;
using namespace std::chrono_literals;

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

CallRow SampleRow(int n) {
  RoutingTables tables;
  tables.SetDids({{"701:708", "0212345678"}});
  tables.SetAgents({{"201", "127.0.0.2"}});
  CallEvent event{"T", "0311112222", std::to_string(701 + n % 8), "", "201", {}, ""};
  return RouteCallEvent(tables, 2, event, LocalTime{2026, 3, 14, 10, 0, n % 60, 0}).rows.front();
}

// The number of the newest row is the count of rows ever added (the cap drops the oldest).
qint64 RowsEverAdded(const GridModel& grid) { return grid.rowCount() == 0 ? 0 : grid.RowNumber(grid.rowCount() - 1); }

struct Run {
  double seconds = 0;
  int64_t worstGapMs = 0;
  int64_t p99GapMs = 0;
};

// Posts `rows` rows from a core thread, `perSecond` per second (0: as fast as it can),
// and runs the GUI thread until all of them are in the grid.
Run Feed(QueuedView& view, MainForm& form, int rows, int perSecond) {
  const qint64 target = RowsEverAdded(form.callGrid(0).grid()) + rows;
  std::vector<int64_t> gaps;
  QElapsedTimer sinceTick;
  sinceTick.start();
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { gaps.push_back(sinceTick.restart()); });
  ticker.start(10);

  CallRecord call;
  call.slotNo = 1;
  call.rows = {SampleRow(0)};
  QElapsedTimer clock;
  clock.start();
  std::thread core([&] {
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < rows; ++n) {
      if (perSecond > 0) std::this_thread::sleep_until(start + n * 1'000'000us / perSecond);
      view.Publish(event::CallAdded{call});
    }
  });
  auto done = [&] { return RowsEverAdded(form.callGrid(0).grid()) >= target; };
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  Run run;
  run.seconds = clock.nsecsElapsed() / 1e9;
  core.join();
  ticker.stop();
  if (!gaps.empty()) {
    std::sort(gaps.begin(), gaps.end());
    run.worstGapMs = gaps.back();
    run.p99GapMs = gaps[gaps.size() * 99 / 100];
  }
  return run;
}

// A loopback listener whose accept queue is full: further connects get no answer.
struct SilentExchange {
  int listener = -1;
  std::vector<int> fillers;
  int port = 0;

  SilentExchange() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    for (int n = 0; n < 4; ++n) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      fillers.push_back(fd);
    }
  }
  ~SilentExchange() {
    for (int fd : fillers) ::close(fd);
    ::close(listener);
  }
};

// How long "연결" holds the GUI thread for a LAN exchange that never answers.
double SilentConnectSeconds(const ServerOptions& base) {
  SilentExchange exchange;
  ServerOptions options = base;
  options.workDir = base.workDir / "silent";
  std::filesystem::create_directories(options.workDir);
  std::ofstream(options.workDir / "lindra.ini")
      << "[DEVICE01]\r\nDEV_NAME=102\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=" << exchange.port
      << "\r\n\r\n[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C00000\r\nENCRYPTION=Y\r\n";
  QueuedView view;
  ServerController controller(options, view);
  [[maybe_unused]] const auto started = controller.Start();
  QElapsedTimer clock;
  clock.start();
  controller.ConnectDevice(0);
  const double seconds = clock.nsecsElapsed() / 1e9;
  controller.StopServer();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  std::string pattern = (std::filesystem::temp_directory_path() / "lindra-gui-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  ServerOptions options;
  options.workDir = pattern;
  options.logDir = std::filesystem::path(pattern) / "logs";
  options.broadcastAddress = "127.255.255.255";
  // Nothing answers here: the start report gives up at once, on loopback.
  options.statServer = options.configServer = HostPort{"127.0.0.1", 9};
  QueuedView view;
  ServerController controller(options, view);
  gui::MessageBoxAsker asker;
  gui::MainWindow window(controller, asker, [] { return false; }, QUrl(), {});
  view.Attach(&window.form(), &window.form());
  window.show();
  QCoreApplication::processEvents();

  const long emptyKb = ResidentKb();
  std::printf("call grid cap: %zu rows (oldest tenth dropped when full)\n", gui::kCallGridRowCap);
  for (int rate : {200, 2000}) {
    const Run run = Feed(view, window.form(), rate * 5, rate);
    std::printf("paced %5d rows/s for 5 s: kept up in %.2f s, GUI tick gap p99 %lld ms, worst %lld ms\n", rate,
                run.seconds, static_cast<long long>(run.p99GapMs), static_cast<long long>(run.worstGapMs));
  }
  const int flood = 100'000 - window.form().callGrid(0).grid().rowCount();
  const Run run = Feed(view, window.form(), flood, 0);
  std::printf("flood of %d rows: %.0f rows/s absorbed, GUI tick gap p99 %lld ms, worst %lld ms\n", flood,
              flood / run.seconds, static_cast<long long>(run.p99GapMs), static_cast<long long>(run.worstGapMs));
  std::printf("after 100,000 rows: %d rows held, numbers %lld..%lld, resident memory +%ld KiB over the empty window\n",
              window.form().callGrid(0).grid().rowCount(),
              static_cast<long long>(window.form().callGrid(0).grid().RowNumber(0)),
              static_cast<long long>(
                  window.form().callGrid(0).grid().RowNumber(window.form().callGrid(0).grid().rowCount() - 1)),
              ResidentKb() - emptyKb);

  // Without the cap, for the cost of one row.
  const long beforeKb = ResidentKb();
  {
    gui::GridModel uncapped({" ", "국선", "내선", "대표전화", "상담원확인번호", "고객전화", "수신 시간", "구분"});
    const CallRow row = SampleRow(1);
    for (int n = 0; n < 100'000; ++n) {
      gui::GridModel::Row r;
      for (const std::string& cell : row.cells) r.cells.push_back(QString::fromStdString(cell));
      r.colours.assign(7, row.colour);
      uncapped.AppendRow(std::move(r));
    }
    std::printf("an uncapped model of 100,000 rows: +%ld KiB (%.0f bytes per row)\n", ResidentKb() - beforeKb,
                (ResidentKb() - beforeKb) * 1024.0 / 100'000);
  }

  std::printf("\"연결\" to a LAN exchange that never answers holds the GUI thread %.2f s\n",
              SilentConnectSeconds(options));

  view.Detach();
  controller.StopServer();
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
  return 0;
}
