#include "host_state.h"

#include <nlohmann/json.hpp>

#include "host_os.h"

namespace kestravo_host {

namespace {
using json = nlohmann::ordered_json;
constexpr size_t kMaxStateSize = 4 << 20;
}  // namespace

std::string RecordsText(const std::map<std::string, ProgramRecord>& records) {
  json out = {{"programs", json::array()}};
  for (const auto& [name, r] : records) {
    out["programs"].push_back({{"name", name},
                               {"started_at_ms", r.startedAtMs < 0 ? json(nullptr) : json(r.startedAtMs)},
                               {"pid", r.pid},
                               {"restarts", r.restarts},
                               {"last_exit", r.lastExit},
                               {"stopped_by_hand", r.stoppedByHand}});
  }
  return out.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ReadRecords(const std::string& path, std::map<std::string, ProgramRecord>* records, std::string* error) {
  records->clear();
  if (!FileExists(path)) return true;
  std::string text;
  uint64_t size = 0;
  if (!ReadOwnFile(path, 0, kMaxStateSize, &text, &size, error)) return false;
  try {
    const json all = json::parse(text);
    for (const json& p : all.at("programs")) {
      ProgramRecord& r = (*records)[p.at("name").get<std::string>()];
      r.startedAtMs = p.at("started_at_ms").is_null() ? -1 : p.at("started_at_ms").get<int64_t>();
      r.pid = p.at("pid").get<uint32_t>();
      r.restarts = p.at("restarts").get<uint64_t>();
      r.lastExit = p.at("last_exit").get<std::string>();
      r.stoppedByHand = p.at("stopped_by_hand").get<bool>();
    }
  } catch (const json::exception& e) {
    records->clear();
    *error = std::string("not what this host writes: ") + e.what();
    return false;
  }
  return true;
}

}  // namespace kestravo_host
