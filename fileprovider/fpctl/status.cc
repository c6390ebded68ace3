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

// `word` as a shell reads it back: quoted unless it is plain.
std::string shellWord(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789/._-+,:@") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

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
  const SortedJson& answers = m["hostAnswers"];
  out << "  host application: "
      << (answers.is_null() ? "not known (no domain is known for this folder)"
          : answers.get<bool>()
              ? "answers"
              : "does not answer (changes wait until it does; start it, or check its log)")
      << "\n";
  const SortedJson& refused = m["refused"];
  out << "  refused: " << refused.size() << "\n";
  for (const auto& c : refused) {
    const std::string kept = c["path"].get<std::string>();
    const std::string shown = c["shownPath"].get<std::string>();
    const std::string name = shellWord(shown.empty() ? kept : shown);
    out << "    " << (shown.empty() ? kept : shown) << ": " << c["reason"].get<std::string>()
        << "\n";
    if (c["canRetry"].get<bool>()) {
      out << "      kept in " << kept << "; send it again: fpctl retry " << name
          << "; or set it aside: fpctl discard " << name << "\n";
    } else {
      out << "      kept in " << kept
          << "; it cannot be sent again (kept without its record); set it aside: fpctl discard "
          << name << "\n";
    }
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
