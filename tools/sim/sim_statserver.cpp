// lindra-sim statserver: the service's statistics web server and configuration web
// server on one loopback port. It answers the head-identifier query, stores every
// log upload (fields and file) in a folder, and serves the upload-time document and
// the branch list. The first line on stdout announces the bound address; what it
// serves afterwards is reported on stderr.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "sim_command.h"
#include "sim_play.h"
#include "text/strings.h"

namespace lindra::sim {
namespace {

constexpr size_t kHeadLimit = 64 * 1024;
constexpr size_t kBodyLimit = 256 * 1024 * 1024;
constexpr int kReadTimeoutMs = 10'000;  // a silent client is dropped, the next one served

struct StatServerOptions {
  std::string listen = "127.0.0.1:0";
  std::string headId = "H1234";
  std::string did2;
  std::vector<std::string> dids;  // DIDs that belong to headId; empty: every DID
  std::string uploadTime = "03:30";
  std::string reply = "200";
  std::filesystem::path store;
};

struct Request {
  std::string method, path, head, body;
};

// Shared with the signal handler by design: SIGINT and SIGTERM wake the accept loop.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  (void)!::write(stopPipe[1], &byte, 1);
}

bool StopRequested() {
  pollfd fd{stopPipe[0], POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0;
}

// Binds the listener; only 127.0.0.0/8 is accepted, so the simulator never serves
// beyond this machine.
UniqueFd Listen(const std::string& listen, std::string& bound) {
  std::optional<sockaddr_in> addr = LoopbackAddress(listen);
  if (!addr) {
    std::fprintf(stderr, "statserver: --listen needs a loopback address 127.x.x.x:PORT\n");
    return {};
  }
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  socklen_t len = sizeof *addr;
  if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 || ::listen(fd.get(), 16) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&*addr), &len) != 0) {
    std::perror("statserver: listen");
    return {};
  }
  bound = AddressText(*addr);
  return fd;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ":";
  size_t at = 0;
  for (; (at = head.find("\r\n", at)) != std::string::npos; at += 2)
    if (text::EqualsIgnoreCase(std::string_view(head).substr(at, key.size()), key)) {
      const size_t start = at + key.size();
      return text::Trim(head.substr(start, head.find("\r\n", start) - start));
    }
  return {};
}

// Reads one request (head and Content-Length body) within the read time-out.
std::optional<Request> ReadRequest(int fd) {
  std::string data;
  size_t headEnd = std::string::npos;
  size_t want = 0;
  char buffer[65536];
  while (headEnd == std::string::npos || data.size() < headEnd + want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kReadTimeoutMs) != 1) return std::nullopt;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    data.append(buffer, static_cast<size_t>(n));
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd == std::string::npos) {
        if (data.size() > kHeadLimit) return std::nullopt;
        continue;
      }
      headEnd += 4;
      const long long length = text::LeadingInt(HeaderValue(data.substr(0, headEnd), "Content-Length"));
      if (length < 0 || static_cast<size_t>(length) > kBodyLimit) return std::nullopt;
      want = static_cast<size_t>(length);
    }
  }
  Request request;
  request.head = data.substr(0, headEnd);
  request.body = data.substr(headEnd, want);
  const size_t space = request.head.find(' ');
  request.method = request.head.substr(0, space);
  request.path = request.head.substr(space + 1, request.head.find(' ', space + 1) - space - 1);
  return request;
}

struct FormPart {
  std::string name, fileName, content;
};

std::string Quoted(const std::string& header, const std::string& key) {
  const size_t at = header.find(key + "=\"");
  if (at == std::string::npos) return {};
  const size_t start = at + key.size() + 2;
  return header.substr(start, header.find('"', start) - start);
}

// The parts of a multipart form body: each after "\r\n--" + boundary + "\r\n".
std::vector<FormPart> ParseForm(const std::string& body, const std::string& boundary) {
  std::vector<FormPart> parts;
  const std::string delimiter = "\r\n--" + boundary;
  size_t pos = body.find(delimiter);
  while (pos != std::string::npos) {
    pos += delimiter.size();
    if (body.compare(pos, 2, "\r\n") != 0) break;  // "--": the closing delimiter
    const size_t headEnd = body.find("\r\n\r\n", pos);
    if (headEnd == std::string::npos) break;
    const std::string header = body.substr(pos, headEnd - pos);
    const size_t next = body.find(delimiter, headEnd + 4);
    if (next == std::string::npos) break;
    parts.push_back(
        {Quoted(header, " name"), Quoted(header, "filename"), body.substr(headEnd + 4, next - headEnd - 4)});
    pos = next;
  }
  return parts;
}

// The name after the last backslash or slash (clients send Windows paths), reduced
// to characters that are safe in a file name here.
std::string SafeBaseName(const std::string& peerPath) {
  std::string name = peerPath.substr(peerPath.find_last_of("\\/") + 1);
  for (char& c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')) c = '_';
  return name.empty() || name.find_first_not_of('.') == std::string::npos ? "file" : name;
}

class StatServer {
 public:
  explicit StatServer(StatServerOptions options) : options_(std::move(options)) {}

  std::string Answer(const Request& request) {
    if (request.method == "POST" && request.path == "/stat/checkHeadID.asp") return HeadId(request);
    if (request.method == "POST" && request.path == "/stat/didLogSave.asp") return Upload(request);
    if (request.method == "GET" && request.path == "/_callRcvStat/BV_Lindra_uploadTime.xml") return UploadTime();
    if (request.method == "GET" && request.path == "/_callRcvStat/BV_Lindra_UpdateList.xml") return BranchList();
    std::fprintf(stderr, "statserver: %s %s -> 404\n", request.method.c_str(), request.path.c_str());
    return Reply("404 Not Found", "<html><body><h1>404 Not Found</h1></body></html>");
  }

 private:
  static std::string Reply(const char* status, const std::string& body) {
    return text::Format("HTTP/1.0 %s\r\nContent-Type: text/html\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                        status, body.size()) +
           body;
  }

  std::string HeadId(const Request& request) {
    const std::string did = request.body.rfind("did=", 0) == 0 ? request.body.substr(4) : std::string();
    const bool known =
        options_.dids.empty() || std::find(options_.dids.begin(), options_.dids.end(), did) != options_.dids.end();
    std::fprintf(stderr, "statserver: checkHeadID did=%s -> %s\n", did.c_str(), known ? options_.headId.c_str() : "0");
    return Reply("200 OK", known ? options_.headId : "0");  // a bare identifier, no line break
  }

  std::string Upload(const Request& request) {
    const std::string type = HeaderValue(request.head, "Content-Type");
    const size_t at = type.find("boundary=");
    std::map<std::string, std::string> fields;
    std::string peerPath, content;
    if (at != std::string::npos)
      for (const FormPart& part : ParseForm(request.body, type.substr(at + 9))) {
        if (part.name == "sLogFile") {
          peerPath = part.fileName;
          content = part.content;
        } else {
          fields[part.name] = part.content;
        }
      }
    const std::string stored = Store(fields, peerPath, content);
    std::fprintf(stderr, "statserver: didLogSave %s %s total=%s used=%s file=%s (%zu bytes)%s -> %s\n",
                 fields["sHeadId"].c_str(), fields["sWorkDay"].c_str(), fields["nAllCnt"].c_str(),
                 fields["nUsedCnt"].c_str(), peerPath.c_str(), content.size(), stored.c_str(), options_.reply.c_str());
    return Reply("200 OK", options_.reply);
  }

  // Each upload as upload-NNNN.txt (the fields) and upload-NNNN-<file name> (the file).
  std::string Store(std::map<std::string, std::string>& fields, const std::string& peerPath,
                    const std::string& content) {
    if (options_.store.empty()) return {};
    std::error_code ec;
    std::filesystem::create_directories(options_.store, ec);
    std::string base;
    do base = text::Format("upload-%04d", ++stored_);
    while (std::filesystem::exists(options_.store / (base + ".txt")));
    std::ofstream(options_.store / (base + ".txt"), std::ios::binary)
        << "sHeadId=" << fields["sHeadId"] << "\nsWorkDay=" << fields["sWorkDay"] << "\nnAllCnt=" << fields["nAllCnt"]
        << "\nnUsedCnt=" << fields["nUsedCnt"] << "\nsLogFile=" << peerPath << "\n";
    if (!peerPath.empty())
      std::ofstream(options_.store / (base + "-" + SafeBaseName(peerPath)), std::ios::binary) << content;
    return " stored as " + (options_.store / base).string();
  }

  std::string UploadTime() const {
    const size_t colon = options_.uploadTime.find(':');
    return Reply("200 OK", "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\r\n<BV_Lindra>\r\n  <time>\r\n    <hour>" +
                               options_.uploadTime.substr(0, colon) + "</hour>\r\n    <min>" +
                               options_.uploadTime.substr(colon + 1) + "</min>\r\n  </time>\r\n</BV_Lindra>\r\n");
  }

  std::string BranchList() const {
    std::fprintf(stderr, "statserver: branch list asked (%s, DID2 %s)\n", options_.headId.c_str(),
                 options_.did2.c_str());
    return Reply("200 OK", "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\r\n<BV_Lindra>\r\n  <Branch>\r\n    <ID>" +
                               options_.headId + "</ID>\r\n    <DID2>" + options_.did2 +
                               "</DID2>\r\n  </Branch>\r\n</BV_Lindra>\r\n");
  }

  StatServerOptions options_;
  int stored_ = 0;
};

int Serve(StatServerOptions options) {
  std::string bound;
  const UniqueFd listener = Listen(options.listen, bound);
  if (!listener) return 1;
  if (::pipe2(stopPipe, O_CLOEXEC) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::printf("statserver listening on %s\n", bound.c_str());
  std::fflush(stdout);
  StatServer server(std::move(options));
  while (!StopRequested()) {
    pollfd fds[2] = {{listener.get(), POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return 1;
    if (!(fds[0].revents & POLLIN)) continue;
    UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!peer) continue;
    if (const std::optional<Request> request = ReadRequest(peer.get())) {
      WriteAll(peer.get(), server.Answer(*request));
      ::shutdown(peer.get(), SHUT_WR);
    }
  }
  return 0;
}

int Run(int argc, char** argv) {
  StatServerOptions options;
  CLI::App app{"the statistics web server and the configuration web server, on loopback", "lindra-sim statserver"};
  app.add_option("--listen", options.listen, "ADDR:PORT on 127.0.0.0/8 (port 0: any free port)");
  app.add_option("--headid", options.headId, "head identifier of the branch")->capture_default_str();
  app.add_option("--did2", options.did2, "the branch's DID2 number in the branch list");
  app.add_option("--did", options.dids, "a DID number that belongs to the branch (repeatable; none: every DID)");
  app.add_option("--upload-time", options.uploadTime, "daily upload time HH:MM")
      ->capture_default_str()
      ->check([](const std::string& v) {
        return v.size() == 5 && v[2] == ':' && text::AllDigits(v.substr(0, 2)) && text::AllDigits(v.substr(3))
                   ? std::string()
                   : std::string("expected HH:MM");
      });
  app.add_option("--reply", options.reply, "answer to uploads: 200 acknowledges, FAIL refuses")
      ->capture_default_str()
      ->check(CLI::IsMember({"200", "FAIL"}));
  app.add_option("--store", options.store, "folder that keeps every upload");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return Serve(std::move(options));
}

const RegisterSimCommand kRegister{
    {"statserver", "statistics and configuration web server (head id, uploads, XML documents)", Run}};

}  // namespace
}  // namespace lindra::sim
