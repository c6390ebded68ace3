#include "fileprovider/fpctl/status.h"

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/cache_bound.h"
#include "fileprovider/fpctl/mount/status.h"
#include "fileprovider/fpctl/render.h"

namespace fpctl {
// The status keeps its keys sorted, unlike render.h's ordered Json.
using SortedJson = nlohmann::json;

namespace {

void printText(const SortedJson& m, std::ostream& out) {
  std::string where = m["mountpoint"].get<std::string>();
  out << (where.empty() ? "cache " + m["cache"].get<std::string>()
                        : m["domain"].get<std::string>() + " at " + where)
      << (m["mounted"].get<bool>() || where.empty() ? "" : " (not mounted)") << "\n";
  out << "  cache: " << m["cache"].get<std::string>() << " holds "
      << humanSize(m["cacheBytes"].get<std::int64_t>()) << "\n";
  const SortedJson& bound = m["bound"];
  out << "  fetched copies: " << humanSize(m["copiesBytes"].get<std::int64_t>());
  if (bound["maxBytes"].is_number_integer()) {
    out << " of at most " << humanSize(bound["maxBytes"].get<std::int64_t>());
  } else {
    out << " (no running mount uses this folder: its bound is not known)";
  }
  if (bound["maxAgeSeconds"].is_number_integer()) {
    out << "; dropped when unused for "
        << mount::durationText(std::chrono::seconds(bound["maxAgeSeconds"].get<std::int64_t>()));
  }
  out << "\n";
  const SortedJson& waiting = m["waiting"];
  out << "  waiting to be sent: " << waiting.size() << "\n";
  for (const auto& c : waiting) {
    const std::string change = c["change"].get<std::string>();
    if (change == "move") {
      out << "    moved or renamed to " << c["name"].get<std::string>() << "\n";
    } else if (change == "remove") {
      out << "    removed: " << c["name"].get<std::string>() << "\n";
    } else {
      out << "    " << c["name"].get<std::string>() << " ("
          << humanSize(c["size"].get<std::int64_t>()) << ", " << change << ")\n";
    }
  }
  const SortedJson& refused = m["refused"];
  out << "  refused: " << refused.size() << "\n";
  for (const auto& c : refused) {
    out << "    " << c["path"].get<std::string>() << ": " << c["reason"].get<std::string>() << "\n";
  }
  const SortedJson& conflicts = m["conflicts"];
  out << "  conflicts (edited here and on the service; both kept): " << conflicts.size() << "\n";
  for (const auto& c : conflicts) {
    out << "    " << c["path"].get<std::string>() << ": " << c["kind"].get<std::string>();
    if (!c["copy"].get<std::string>().empty()) {
      out << "; this device's version is beside it as " << c["copy"].get<std::string>();
    }
    out << "\n";
  }
  const SortedJson& pinned = m["pinned"];
  out << "  pinned (kept on this device): " << pinned.size() << "\n";
  for (const auto& p : pinned) {
    std::string path = p["path"].get<std::string>();
    bool folder = p["folder"].get<bool>() && path != "/";
    out << "    " << path << (folder ? "/ (folder)" : "") << "\n";
  }
}

}  // namespace

int runStatus(const std::optional<std::filesystem::path>& cacheDir, bool json, std::ostream& out,
              std::ostream& err) {
  std::optional<SortedJson> mounts = readMountsStatus(cacheDir);
  if (!mounts) {
    std::string message = cacheDir->string() + " is not a mount's cache folder";
    if (json)
      out << SortedJson{{"error", {{"domain", "fpctl"}, {"code", 1}, {"description", message}}}}
                 .dump(-1, ' ', false, SortedJson::error_handler_t::replace)
          << "\n";
    err << "fpctl: " << message << "\n";
    return 1;
  }
  if (json) {
    out << SortedJson{{"mounts", *mounts}}.dump(2, ' ', false, SortedJson::error_handler_t::replace)
        << "\n";
    return 0;
  }
  if (mounts->empty()) out << "no domain is mounted\n";
  for (const auto& m : *mounts) printText(m, out);
  return 0;
}

}  // namespace fpctl
