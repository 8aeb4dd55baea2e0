#include "web/monitoring.h"

#include <map>
#include <utility>

#include "text/strings.h"
#include "web/console_json.h"

namespace lindra::web {
namespace {

std::string LabelValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// Rows with the same extension value and PC get the same calls: one series, as a
// scrape may not repeat one.
void CallsWaiting(std::string& out, const std::array<SlotQueues, kSlotCount>& queues) {
  for (size_t i = 0; i < kSlotCount; ++i) {
    std::map<std::pair<int, std::string>, size_t> waiting;
    for (const SenderQueue& sender : queues[i].senders) waiting[{sender.extensionValue, sender.ip}] += sender.waiting;
    for (const auto& [row, count] : waiting)
      out += text::Format("lindra_operator_calls_waiting{slot=\"%zu\",ext=\"%d\",ip=\"%s\"} %zu\n", i + 1, row.first,
                          LabelValue(row.second).c_str(), count);
  }
}

// A family of one figure of both logs of every slot.
template <class Figure>
void LogFamily(std::string& out, const char* name, const char* type, const char* help,
               const std::array<SlotQueues, kSlotCount>& queues, Figure figure) {
  Family(out, name, type, help);
  for (size_t i = 0; i < kSlotCount; ++i)
    for (const auto& [log, figures] :
         {std::pair{"program", queues[i].logs.program}, std::pair{"telephone", queues[i].logs.telephone}})
      out += text::Format("%s{slot=\"%zu\",log=\"%s\"} %llu\n", name, i + 1, log,
                          static_cast<unsigned long long>(figure(figures)));
}

}  // namespace

std::string MetricsText(const MonitoredState& state) {
  std::string out;
  Family(out, "lindra_calls_total", "counter", "Calls taken since the start, routed or dropped.");
  for (size_t i = 0; i < kSlotCount; ++i)
    out += text::Format("lindra_calls_total{slot=\"%zu\"} %llu\n", i + 1,
                        static_cast<unsigned long long>(state.totals[i].calls));
  Family(out, "lindra_notifications_total", "counter", "Notifications to operator PCs since the start, by outcome.");
  for (size_t i = 0; i < kSlotCount; ++i)
    for (const auto& [ip, pc] : state.totals[i].pcs)
      for (const auto& [outcome, count] : {std::pair{"sent", pc.sent}, std::pair{"not_sent", pc.notSent}})
        out += text::Format("lindra_notifications_total{slot=\"%zu\",ip=\"%s\",outcome=\"%s\"} %llu\n", i + 1,
                            LabelValue(ip).c_str(), outcome, static_cast<unsigned long long>(count));
  Family(out, "lindra_link_up", "gauge", "1 when the slot's link to its exchange is connected.");
  for (const SlotState& slot : state.slots)
    out += text::Format("lindra_link_up{slot=\"%d\"} %d\n", slot.slotNo, slot.link.up() ? 1 : 0);
  Family(out, "lindra_link_reconnects_total", "counter", "Lost links that connected again since the start.");
  for (size_t i = 0; i < kSlotCount; ++i)
    out += text::Format("lindra_link_reconnects_total{slot=\"%zu\"} %llu\n", i + 1,
                        static_cast<unsigned long long>(state.totals[i].reconnects));
  Family(out, "lindra_stream_clients", "gauge", "Readers of the event stream.");
  out += text::Format("lindra_stream_clients %zu\n", state.streamClients);
  Family(out, "lindra_uploads_total", "counter", "Statistics uploads since the start, by outcome.");
  out += text::Format("lindra_uploads_total{outcome=\"ok\"} %llu\n",
                      static_cast<unsigned long long>(state.statistics.uploads));
  out += text::Format("lindra_uploads_total{outcome=\"failed\"} %llu\n",
                      static_cast<unsigned long long>(state.statistics.failedUploads));
  Family(out, "lindra_operator_calls_waiting", "gauge", "Calls waiting for an operator PC, by extension value and PC.");
  CallsWaiting(out, state.queues);
  LogFamily(out, "lindra_log_lines_waiting", "gauge", "Log lines not yet in their file.", state.queues,
            [](const LogFigures& f) { return f.linesWaiting; });
  LogFamily(out, "lindra_log_write_failures_total", "counter",
            "Writes of a log since the start that left lines out of its file.", state.queues,
            [](const LogFigures& f) { return f.writeFailures; });
  LogFamily(out, "lindra_log_lines_dropped_total", "counter",
            "Log lines dropped since the start: beyond the waiting limit, or given up.", state.queues,
            [](const LogFigures& f) { return f.linesDropped; });
  return out;
}

// A slot should be up when it may be connected and has a model.
Health HealthOf(const std::array<SlotState, kSlotCount>& slots) {
  Health health;
  for (const SlotState& slot : slots) {
    if (!slot.inUse || slot.modelCode == 0 || slot.link.up()) continue;
    health.healthy = false;
    health.text += text::Format("DEV%02d %s", slot.slotNo, LinkPhaseName(slot.link.phase));
    if (!slot.link.text.empty()) health.text += " " + slot.link.text;
    health.text += "\n";
  }
  if (health.healthy) health.text = "ok\n";
  return health;
}

}  // namespace lindra::web
