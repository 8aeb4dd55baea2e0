#include "stats/config_documents.h"

#include <pugixml.hpp>

#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr size_t kDocumentLimit = 1024 * 1024;  // the documents are a few hundred bytes

std::string DocumentUrl(const Endpoint& server, const char* name) {
  return "http://" + server.Authority() + kConfigBasePath + "/" + name;
}

bool Load(pugi::xml_document& doc, std::string_view text) {
  return doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
}

// Walks without recursion, so a deeply nested document cannot exhaust the stack.
class CharacterData : public pugi::xml_tree_walker {
 public:
  bool for_each(pugi::xml_node& node) override {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    return true;
  }
  std::string text;
};

// A node's text as the DOM gives it: all character data below it, without the white
// space around it.
std::string NodeText(pugi::xml_node node) {
  CharacterData data;
  node.traverse(data);
  return text::Trim(data.text);
}

}  // namespace

std::optional<std::string> FetchText(const std::string& url, const std::atomic<bool>* cancel) {
  HttpRequest request;
  request.url = url;
  // The request must always reach the server, never be answered from a cache.
  request.headers = {"User-Agent: Server.Lindra2", "Cache-Control: no-cache", "Pragma: no-cache"};
  HttpReply reply = PerformHttp(request, kDocumentLimit + 1, false, cancel);
  if (!reply.completed || reply.body.size() > kDocumentLimit) return std::nullopt;
  return text::Trim(text::ToInternal(reply.body));
}

UploadTimeRead ReadUploadTime(std::string_view document, UploadTime& time) {
  pugi::xml_document doc;
  if (!Load(doc, document)) return UploadTimeRead::Unavailable;
  const pugi::xml_node node = doc.select_node("BV_Lindra/time").node();
  if (!node) return UploadTimeRead::Malformed;
  const pugi::xml_node hour = node.child("hour");
  if (!hour) return UploadTimeRead::Malformed;
  time.hour = text::LeadingInt32(NodeText(hour));
  const pugi::xml_node minute = node.child("min");
  if (!minute) return UploadTimeRead::Malformed;
  time.minute = text::LeadingInt32(NodeText(minute));
  return UploadTimeRead::Updated;
}

BranchEntry FindBranch(std::string_view document, const std::string& headId) {
  pugi::xml_document doc;
  if (!Load(doc, document)) return {};
  for (const pugi::xpath_node& entry : doc.select_nodes("BV_Lindra/Branch")) {
    const pugi::xml_node id = entry.node().child("ID");
    if (!id || NodeText(id) != headId) continue;
    const pugi::xml_node did2 = entry.node().child("DID2");
    return {BranchEntry::Found::Listed, did2 ? NodeText(did2) : std::string()};
  }
  return {BranchEntry::Found::NotListed, ""};
}

UploadTimeRead RefreshUploadTime(const Endpoint& server, UploadTime& time, const std::atomic<bool>* cancel) {
  const std::optional<std::string> text = FetchText(DocumentUrl(server, "BV_Lindra_uploadTime.xml"), cancel);
  if (!text || text->empty()) return UploadTimeRead::Unavailable;
  return ReadUploadTime(*text, time);
}

BranchCheck CheckBranchList(const Endpoint& server, const std::string& headId, UploadTime& time,
                            const std::atomic<bool>* cancel) {
  BranchCheck check;
  const std::optional<std::string> text = FetchText(DocumentUrl(server, "BV_Lindra_UpdateList.xml"), cancel);
  if (!text || text->empty()) return check;
  BranchEntry branch = FindBranch(*text, headId);
  check.notListed = branch.found == BranchEntry::Found::NotListed;
  if (branch.found != BranchEntry::Found::Listed) return check;
  check.did2 = std::move(branch.did2);
  check.startScheduler = RefreshUploadTime(server, time, cancel) != UploadTimeRead::Malformed;
  return check;
}

}  // namespace lindra
