#include "server/status/status_report.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "frame/result_codes.h"
#include "platform/thread.h"
#include "requests/catalogue.h"

namespace status {
namespace {

constexpr const auto& kStates = state::kTexts;

std::string KindName(int kind) {
  if (kind < counters::kControlKinds) {
    const requests::ControlRequest* request = requests::FindControlRequest(static_cast<std::uint16_t>(kind));
    if (request != nullptr) return request->name;
  }
  switch (kind) {
    case counters::kKindPgc: return "PGC";
    case counters::kKindTableDownload: return "TABLE_DOWNLOAD";
    case counters::kKindTableUpload: return "TABLE_UPLOAD";
    case counters::kKindRestart: return "RESTART";
    default: return "OTHER";
  }
}

std::string ResultName(int resultByte) {
  if (resultByte == RESULT_OK) return "success";
  std::string name;
  ResultCodeName(name, resultByte);
  // Negative codes travel as their low 8 bits.
  if (name.empty() && resultByte >= 128) ResultCodeName(name, resultByte - 256);
  if (name.empty() && resultByte == 0) name = "no reply";
  return name;
}

SlotStatus StatusOfSlot(int number, std::uint32_t now) {
  SlotStatus out;
  out.number = number;
  out.view = ViewOfSlot(number);
  Slot& slot = SlotAt(number);
  out.serving = slot.webMessageFlag.load() != 0;
  // The start tick is written before `stopped` is cleared, so a running timer
  // read in this order never shows an old start.
  if (slot.timer.stopped.load() == 0) {
    std::uint32_t started = slot.timer.startTick.load();
    long timeoutMs = slot.timer.timeoutMs.load();
    out.idleMs = static_cast<long>(static_cast<std::uint32_t>(now - started));
    out.timeoutLeftMs = out.idleMs >= timeoutMs ? 0 : timeoutMs - out.idleMs;
  } else if (out.serving) {
    out.idleMs = 0;
  }
  return out;
}

std::string Escaped(const std::string& text, bool json) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (json) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", u);
        out += code;
      } else {
        out += c;
      }
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (u < 0x20) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}
std::string Html(const std::string& text) { return Escaped(text, false); }
std::string Json(const std::string& text) { return "\"" + Escaped(text, true) + "\""; }

// "1 h 02 min 05 s", "2 min 05 s", "5 s".
std::string Duration(std::uint64_t seconds) {
  char text[48];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu h %02llu min %02llu s", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof text, "%llu min %02llu s", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>(seconds));
  }
  return text;
}
std::string MsDuration(long ms) { return ms < 0 ? "" : Duration(static_cast<std::uint64_t>(ms / 1000)); }

std::map<std::string, int> SlotsByState(const StatusSnapshot& snapshot) {
  std::map<std::string, int> counts;
  for (const char* name : kStates) counts[name] = 0;
  for (const SlotStatus& slot : snapshot.slots) ++counts[slot.view.state];
  return counts;
}

constexpr const char* kPageStyle =
    "body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
    "td,th{border:1px solid #bbb;padding:2px 8px;text-align:left}tr.idle td{color:#999}";

void PageSlots(std::ostringstream& out, const StatusSnapshot& snapshot) {
  out << "<h2>Slots</h2>\n<table id=\"slots\">\n<tr><th>Slot</th><th>User</th><th>State</th><th>Link</th>"
         "<th>Address</th><th>Open file</th><th>Idle</th><th>Time-out left</th></tr>\n";
  for (const SlotStatus& slot : snapshot.slots) {
    const SlotView& v = slot.view;
    out << "<tr class=\"" << Html(v.state) << "\" id=\"slot-" << slot.number << "\"><td>" << slot.number << "</td><td>"
        << Html(v.userId) << "</td><td>" << Html(v.state) << (slot.serving ? " (serving)" : "") << "</td><td>"
        << Html(v.linkType) << "</td><td>" << Html(v.linkAddress) << "</td><td>" << Html(v.openFile) << "</td><td>"
        << MsDuration(slot.idleMs) << "</td><td>" << MsDuration(slot.timeoutLeftMs) << "</td></tr>\n";
  }
  out << "</table>\n";
}

}  // namespace

StatusSnapshot TakeSnapshot() {
  StatusSnapshot snapshot;
  snapshot.uptimeSeconds = counters::UptimeSeconds();
  std::uint32_t now = platform::TickCount();
  snapshot.slots.reserve(kSlotCount);
  for (int i = 0; i < kSlotCount; ++i) snapshot.slots.push_back(StatusOfSlot(i, now));
  for (int kind = 0; kind < counters::kRequestKinds; ++kind) {
    for (int result = 0; result < counters::kResultCodes; ++result) {
      std::uint64_t count = counters::RequestCount(kind, result);
      if (count == 0) continue;
      snapshot.requests.push_back({KindName(kind), result, ResultName(result), count});
      snapshot.requestsTotal += count;
    }
  }
  snapshot.totals = counters::ReadTotals();
  return snapshot;
}

std::string RenderStatusPage(const StatusSnapshot& snapshot) {
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
      << "<meta http-equiv=\"refresh\" content=\"" << kPageRefreshSeconds << "\">"
      << "<title>COMM status</title><style>" << kPageStyle << "</style></head><body>\n"
      << "<h1>COMM status</h1>\n<p id=\"uptime\">Up " << Duration(snapshot.uptimeSeconds) << ", "
      << snapshot.requestsTotal << " requests</p>\n<p id=\"states\">";
  bool first = true;
  for (const auto& [name, count] : SlotsByState(snapshot)) {
    out << (first ? "" : ", ") << Html(name) << ": " << count;
    first = false;
  }
  out << "</p>\n";
  PageSlots(out, snapshot);
  out << "<h2>Requests</h2>\n<table id=\"requests\">\n<tr><th>Request</th><th>Result</th><th>Count</th></tr>\n";
  for (const RequestTally& r : snapshot.requests) {
    out << "<tr><td>" << Html(r.type) << "</td><td>" << r.result << (r.resultName.empty() ? "" : " ")
        << Html(r.resultName) << "</td><td>" << r.count << "</td></tr>\n";
  }
  const counters::Totals& t = snapshot.totals;
  out << "</table>\n<h2>Work</h2>\n<table id=\"work\">\n<tr><td>Rows stored</td><td>" << t.rowsStored
      << "</td></tr>\n<tr><td>Rows read</td><td>" << t.rowsRead << "</td></tr>\n<tr><td>System link failures</td><td>"
      << t.systemLinkFailures << "</td></tr>\n<tr><td>Transfer flag waits</td><td>" << t.transferFlagWaits
      << "</td></tr>\n</table>\n</body></html>\n";
  return out.str();
}

std::string RenderStatusJson(const StatusSnapshot& snapshot) {
  std::ostringstream out;
  out << "{\"uptime_seconds\":" << snapshot.uptimeSeconds << ",\"requests_total\":" << snapshot.requestsTotal
      << ",\"slots_by_state\":{";
  bool first = true;
  for (const auto& [name, count] : SlotsByState(snapshot)) {
    out << (first ? "" : ",") << Json(name) << ":" << count;
    first = false;
  }
  out << "},\"slots\":[";
  first = true;
  for (const SlotStatus& slot : snapshot.slots) {
    const SlotView& v = slot.view;
    out << (first ? "" : ",") << "\n{\"slot\":" << slot.number << ",\"user_id\":" << Json(v.userId)
        << ",\"state\":" << Json(v.state) << ",\"serving\":" << (slot.serving ? "true" : "false")
        << ",\"link_type\":" << Json(v.linkType) << ",\"link_address\":" << Json(v.linkAddress)
        << ",\"open_file\":" << Json(v.openFile) << ",\"idle_ms\":" << slot.idleMs
        << ",\"timeout_left_ms\":" << slot.timeoutLeftMs << "}";
    first = false;
  }
  out << "],\n\"requests\":[";
  first = true;
  for (const RequestTally& r : snapshot.requests) {
    out << (first ? "" : ",") << "\n{\"type\":" << Json(r.type) << ",\"result\":" << r.result
        << ",\"result_name\":" << Json(r.resultName) << ",\"count\":" << r.count << "}";
    first = false;
  }
  const counters::Totals& t = snapshot.totals;
  out << "],\n\"rows_stored\":" << t.rowsStored << ",\"rows_read\":" << t.rowsRead
      << ",\"system_link_failures\":" << t.systemLinkFailures << ",\"transfer_flag_waits\":" << t.transferFlagWaits
      << ",\"transfer_flag_wait_seconds\":" << static_cast<double>(t.transferFlagWaitUs) / 1e6 << "}\n";
  return out.str();
}

std::string RenderMetrics(const StatusSnapshot& snapshot) {
  // A fresh registry per scrape: the values are already counted elsewhere,
  // the library only lays them out.
  prometheus::Registry registry;
  auto& uptime = prometheus::BuildGauge().Name("tavrel_uptime_seconds").Help("Seconds since COMM started").Register(registry);
  uptime.Add({}).Set(static_cast<double>(snapshot.uptimeSeconds));
  auto& slots = prometheus::BuildGauge().Name("tavrel_slots").Help("Client slots by state").Register(registry);
  for (const auto& [name, count] : SlotsByState(snapshot)) slots.Add({{"state", name}}).Set(count);
  auto& requests =
      prometheus::BuildCounter().Name("tavrel_requests_total").Help("Web requests by type and result code").Register(registry);
  for (const RequestTally& r : snapshot.requests) {
    requests.Add({{"type", r.type}, {"result", std::to_string(r.result)}}).Increment(static_cast<double>(r.count));
  }
  const counters::Totals& t = snapshot.totals;
  auto counter = [&](const char* name, const char* help, double value) {
    prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({}).Increment(value);
  };
  counter("tavrel_rows_stored_total", "PGC rows written to databases", static_cast<double>(t.rowsStored));
  counter("tavrel_rows_read_total", "PGC rows read from databases", static_cast<double>(t.rowsRead));
  counter("tavrel_system_link_failures_total", "Failed connects to the system and links given up",
          static_cast<double>(t.systemLinkFailures));
  counter("tavrel_transfer_flag_waits_total", "Exchanges that waited for another slot's transfer",
          static_cast<double>(t.transferFlagWaits));
  counter("tavrel_transfer_flag_wait_seconds_total", "Time spent waiting for the transfer flag",
          static_cast<double>(t.transferFlagWaitUs) / 1e6);
  return prometheus::TextSerializer().Serialize(registry.Collect());
}

}  // namespace status
