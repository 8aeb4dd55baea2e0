#include "sim_play.h"

#include <arpa/inet.h>
#include <sys/signalfd.h>

#include <csignal>
#include <fstream>

#include "frames/frame_builder.h"
#include "platform/clock.h"
#include "text/strings.h"

namespace lindra::sim {
namespace {

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    if (std::string item = text::Trim(std::string_view(list).substr(start, comma - start)); !item.empty())
      items.push_back(std::move(item));
    start = comma + 1;
  }
  return items;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> DecodeHex(std::string_view hex) {
  std::string bytes;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\t') continue;
    const int value = HexValue(c);
    if (value < 0) return std::nullopt;
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::optional<std::string> DecodeEscapes(std::string_view line) {
  std::string bytes;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\') {
      bytes.push_back(line[i]);
      continue;
    }
    if (++i == line.size()) return std::nullopt;
    switch (line[i]) {
      case 'r':
        bytes.push_back('\r');
        break;
      case 'n':
        bytes.push_back('\n');
        break;
      case 't':
        bytes.push_back('\t');
        break;
      case '0':
        bytes.push_back('\0');
        break;
      case '\\':
        bytes.push_back('\\');
        break;
      case 'x': {
        if (i + 2 >= line.size()) return std::nullopt;
        const int high = HexValue(line[i + 1]), low = HexValue(line[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return bytes;
}

}  // namespace

std::optional<sockaddr_in> LoopbackAddress(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || !text::AllDigits(port) || text::LeadingInt32(port) > 65535)
    return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(text::LeadingInt32(port)));
  if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) return std::nullopt;
  if ((ntohl(address.sin_addr.s_addr) >> 24) != 127) return std::nullopt;
  return address;
}

std::string AddressText(const sockaddr_in& address) {
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  return text::Format("%s:%d", ip, ntohs(address.sin_port));
}

std::optional<std::string> DecodeFrameLine(std::string_view line) {
  if (line.starts_with("hex:")) return DecodeHex(line.substr(4));
  return DecodeEscapes(line);
}

void AddPlayOptions(CLI::App& app, PlayOptions& options, bool needsModel) {
  auto* model = app.add_option("--model", options.model, "device model code (DEV_NAME)");
  if (needsModel) model->required();
  app.add_option("--frames", options.framesFile,
                 "play the frames of FILE, one per line: hex:0d0a... or text with \\r \\n \\t \\0 \\\\ \\xHH; "
                 "# starts a comment line")
      ->check(CLI::ExistingFile);
  app.add_option("--rate", options.rate, "calls (or file frames) per second")->check(CLI::PositiveNumber);
  app.add_option("--count", options.count, "calls (or file frames) in all; default 10 calls, or the file once")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--kinds", options.kinds, "the frames of one call, by kind letter (R, T, H, N)");
  app.add_option("--trunks", options.trunks, "comma list of trunks (lines) the calls cycle through");
  app.add_option("--extensions", options.extensions, "comma list of extensions the calls cycle through");
}

bool FramePlayer::Load(const PlayOptions& options, std::string& error) {
  options_ = options;
  interval_ = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(1.0 / options.rate));
  if (!options.framesFile.empty()) {
    std::ifstream in(options.framesFile, std::ios::binary);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line.front() == '#') continue;
      std::optional<std::string> frame = DecodeFrameLine(line);
      if (!frame) {
        error = text::Format("%s:%d: malformed frame line", options.framesFile.c_str(), number);
        return false;
      }
      fileFrames_.push_back(std::move(*frame));
    }
    if (fileFrames_.empty()) {
      error = options.framesFile + ": no frames";
      return false;
    }
    total_ = options.count > 0 ? options.count : static_cast<int>(fileFrames_.size());
    return true;
  }
  const std::string_view supported = SupportedKinds(options.model);
  if (supported.empty()) {
    error = text::Format("model %u has no frame format", options.model);
    return false;
  }
  for (char kind : options.kinds)
    if (supported.find(kind) == std::string_view::npos) {
      error = text::Format("model %u sends no frame of kind %c (it sends %.*s)", options.model, kind,
                           static_cast<int>(supported.size()), supported.data());
      return false;
    }
  const bool callerIdBox = options.model >= 7 && options.model <= 13;
  trunks_ = SplitList(options.trunks.empty() ? (callerIdBox ? "1" : "701") : options.trunks);
  extensions_ = SplitList(options.extensions);
  if (trunks_.empty() || extensions_.empty() || options.kinds.empty()) {
    error = "--trunks, --extensions and --kinds need at least one entry";
    return false;
  }
  total_ = options.count > 0 ? options.count : 10;
  return true;
}

std::string FramePlayer::Next() {
  const int i = played_++;
  if (!fileFrames_.empty()) return options_.noise + fileFrames_[static_cast<size_t>(i) % fileFrames_.size()];
  const LocalTime now = SystemClock::Instance().Now();
  CallSpec call;
  call.trunk = trunks_[static_cast<size_t>(i) % trunks_.size()];
  call.extension = extensions_[static_cast<size_t>(i) % extensions_.size()];
  call.callerNumber = text::Format("02%08d", 12340000 + i % 10000);
  call.time = text::Format("%02d:%02d:%02d", now.hour, now.minute, now.second);
  std::string bytes;
  for (char kind : options_.kinds) {
    call.kind = kind;
    bytes += options_.noise + BuildFrame(options_.model, call);
  }
  return bytes;
}

UniqueFd StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
  return UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC));
}

std::optional<SteadyTime> Deadline(double seconds, SteadyTime from) {
  if (seconds <= 0) return std::nullopt;
  return from + std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(seconds));
}

int MsUntil(std::optional<SteadyTime> when) {
  if (!when) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*when - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace lindra::sim
