#include "stats/stat_server_client.h"

#include <fstream>

#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kQueryPath = "/stat/checkHeadID.asp";
constexpr const char* kUploadPath = "/stat/didLogSave.asp";
constexpr const char* kUserAgent = "Server.Lindra2";
constexpr const char* kAccept =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*";
constexpr const char* kBoundary = "---------------------------7d8bb10209d0";
constexpr size_t kLineLimit = 1023;             // a 1024-byte line buffer with its terminating zero
constexpr size_t kQueryReplyLimit = 64 * 1024;  // far beyond any identifier
constexpr size_t kUploadReplyLimit = 4096;      // only the first line counts

std::string Separator() { return std::string("\r\n--") + kBoundary + "\r\n"; }

std::string Field(const char* name, const std::string& value) {
  return Separator() + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

// Items 1 to 11 of the form: the four fields and the file part's header.
std::string FormHead(const std::string& headId, const std::string& workDay, int total, int used,
                     const std::string& peerPath) {
  return Field("sHeadId", headId) + Field("sWorkDay", workDay) + Field("nAllCnt", text::Format("%d", total)) +
         Field("nUsedCnt", text::Format("%d", used)) + Separator() +
         "Content-Disposition: form-data; name=\"sLogFile\"; filename=\"" + peerPath + "\"\r\n" +
         "Content-Type: application/octet-stream\r\n\r\n";
}

std::string FormTail() { return std::string("\r\n--") + kBoundary + "--\r\n"; }

// Reads the file straight into the body block, so a large day summary is held once.
bool AppendFileBytes(const std::filesystem::path& file, std::string& out, size_t reserveAfter) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  const size_t start = out.size();
  out.reserve(start + static_cast<size_t>(size) + reserveAfter);
  out.resize(start + static_cast<size_t>(size));
  in.seekg(0);
  return static_cast<bool>(in.read(out.data() + start, size));
}

}  // namespace

std::string PeerLogPath(const std::filesystem::path& localFile) {
  return kPeerLogFolder + localFile.filename().string();
}

std::vector<std::string> ReplyLines(std::string_view body) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < body.size()) {
    std::string line;
    bool cut = false;
    while (pos < body.size()) {
      const char c = body[pos++];
      if (c == '\r') continue;
      if (line.size() == kLineLimit) cut = true;
      if (!cut) line += c;
      if (c == '\n') break;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string StatServerClient::Url(const char* path) const { return "http://" + server_.Authority() + path; }

// The client's header block in its order, framed by the headers of the HTTP layer:
// libcurl puts Host first and Content-Length after ours, and makes both anew for
// each request of a redirect, so they always fit the server and the body they go
// with. Ours replace its User-Agent and Accept; the empty Expect keeps it from adding
// one.
std::vector<std::string> StatServerClient::CommonHeaders(std::vector<std::string> block) const {
  std::vector<std::string> headers = std::move(block);
  headers.push_back(std::string("User-Agent: ") + kUserAgent);
  headers.push_back("Expect:");
  return headers;
}

std::string StatServerClient::QueryHeadId(const std::string& did) const {
  HttpRequest request;
  request.post = true;
  request.url = Url(kQueryPath);
  request.body = text::ToExternal("did=" + did);
  request.headers =
      CommonHeaders({kAccept, "Accept-Language: ko", "Content-Type: application/x-www-form-urlencoded",
                     "Accept-Encoding: gzip, deflate", "Connection: Keep-Alive", "Cache-Control: no-cache"});
  const HttpReply reply = PerformHttp(request, kQueryReplyLimit, false, cancel_, limits_);
  std::string result;
  for (const auto& line : ReplyLines(reply.body)) result += text::ToInternal(line);
  return result;
}

UploadOutcome StatServerClient::UploadDayLog(const std::string& headId, const std::string& workDay, int total, int used,
                                             const std::filesystem::path& filePath) const {
  HttpRequest request;
  request.post = true;
  request.url = Url(kUploadPath);
  if (!filePath.empty()) {
    std::string body = text::ToExternal(FormHead(headId, workDay, total, used, PeerLogPath(filePath)));
    const std::string tail = text::ToExternal(FormTail());
    if (!AppendFileBytes(filePath, body, tail.size())) return {};
    body += tail;
    request.body = std::move(body);
  }
  request.headers =
      CommonHeaders({kAccept, "Referer: http://" + server_.Authority() + "/stat/didLogForm.asp", "Accept-Language: ko",
                     std::string("Content-Type: multipart/form-data; boundary=") + kBoundary,
                     "Accept-Encoding: gzip, deflate", "Connection: Keep-Alive", "Cache-Control: no-cache"});
  const HttpReply reply = PerformHttp(request, kUploadReplyLimit, true, cancel_, limits_);
  if (!reply.completed) return {"", "", reply.error};
  const std::vector<std::string> lines = ReplyLines(reply.body);
  std::string first = lines.empty() ? std::string() : text::ToInternal(lines.front());
  if (first == "200") return {kUploadComplete, "", ""};
  if (first.ends_with('\n')) first.pop_back();
  return {kUploadFail, std::move(first), ""};
}

}  // namespace lindra
