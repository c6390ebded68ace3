#include "fileprovider/fpctl/render.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace fpctl {

namespace {

Json optionalDate(std::optional<fp::Date> date) {
  if (!date || !std::isfinite(*date)) return nullptr;
  double whole = 0;
  // Whole seconds print as integers (1714558920, not 1714558920.0).
  if (std::modf(*date, &whole) == 0.0 && std::fabs(whole) < 9.0e15)
    return static_cast<std::int64_t>(whole);
  return *date;
}

// The width of text on a terminal: counts UTF-8 code points, not bytes, so that
// names with accents keep the columns aligned.
std::size_t displayWidth(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string padRight(std::string_view s, std::size_t width) {
  std::string out(s);
  std::size_t w = displayWidth(s);
  if (w < width) out.append(width - w, ' ');
  return out;
}

std::string padLeft(std::string_view s, std::size_t width) {
  std::size_t w = displayWidth(s);
  return (w < width ? std::string(width - w, ' ') : std::string()) + std::string(s);
}

// Control characters in names would break the columns (or the terminal): they
// are shown as "?".
std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) out.push_back(c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c));
  return out;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

Json itemJson(const fp::Item* item) {
  if (!item) return nullptr;
  Json j;
  j["identifier"] = item->itemIdentifier();
  j["parent"] = item->parentItemIdentifier();
  j["filename"] = item->filename();
  auto type = item->contentType();
  j["contentType"] = type ? Json(type->identifier()) : Json(nullptr);
  j["capabilities"] = item->capabilities();
  auto size = item->documentSize();
  j["documentSize"] = size ? Json(*size) : Json(nullptr);
  j["contentModificationDate"] = optionalDate(item->contentModificationDate());
  j["isUploaded"] = item->isUploaded();
  j["isDownloaded"] = item->isDownloaded();
  fp::ItemVersion v = item->itemVersion();
  j["contentVersion"] = v.contentVersion;
  j["metadataVersion"] = v.metadataVersion;
  return j;
}

Json itemsJson(const std::vector<fp::ItemPtr>& items) {
  Json a = Json::array();
  for (const auto& i : items) a.push_back(itemJson(i));
  return a;
}

Json errorJson(const fp::Error& error) {
  Json j;
  j["domain"] = error.domain;
  j["code"] = error.code;
  j["description"] = error.description();
  return j;
}

Json usageErrorJson(std::string_view description, int status) {
  Json e;
  e["domain"] = status == 2 ? "usage" : "fpctl";
  e["code"] = status;
  e["description"] = std::string(description);
  Json j;
  j["error"] = std::move(e);
  return j;
}

std::string stripProgramName(std::string_view line) {
  constexpr std::string_view kPrefix = "fpctl: ";
  if (line.substr(0, kPrefix.size()) == kPrefix) line.remove_prefix(kPrefix.size());
  return std::string(line);
}

Json domainJson(const fp::DomainRecord& record) {
  Json j;
  j["identifier"] = record.domain.identifier;
  j["displayName"] = record.domain.displayName;
  j["hidden"] = record.domain.hidden;
  j["bundle"] = record.bundle.string();
  return j;
}

std::string dumpJson(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string humanSize(std::int64_t bytes) {
  if (bytes < 0) return std::to_string(bytes) + " B";
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // Move up a unit also when rounding would print "1024.0".
  while (v >= 1023.95 && unit + 1 < std::size(kUnits)) {
    v /= 1024.0;
    ++unit;
  }
  char buf[32];
  if (v < 9.95)
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  else
    std::snprintf(buf, sizeof buf, "%.0f %s", v, kUnits[unit]);
  return buf;
}

std::string formatDate(fp::Date seconds, bool utc) {
  if (!std::isfinite(seconds)) return "-";
  time_t t = static_cast<time_t>(std::floor(seconds));
  struct tm tm {};
  if ((utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) == nullptr) return "-";
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm) == 0) return "-";
  return buf;
}

std::string kindName(const std::optional<fp::UTType>& type) {
  if (!type) return "-";
  const std::string& id = type->identifier();
  if (*type == fp::UTType::folder() || id == "public.directory") return "folder";
  if (*type == fp::UTType::data()) return "data";
  if (id == "com.adobe.pdf") return "PDF document";
  if (id == "public.plain-text") return "text";
  auto ext = type->preferredFilenameExtension();
  if (!ext) return id;
  if (type->conforms(fp::UTType("public.image"))) return upper(*ext) + " image";
  if (type->conforms(fp::UTType("public.archive"))) return upper(*ext) + " archive";
  if (type->conforms(fp::UTType("public.audio"))) return upper(*ext) + " audio";
  if (type->conforms(fp::UTType("public.movie"))) return upper(*ext) + " movie";
  if (type->conforms(fp::UTType("public.source-code"))) return upper(*ext) + " source";
  if (type->conforms(fp::UTType("public.text"))) return upper(*ext) + " text";
  return upper(*ext) + " document";
}

bool isFolder(const fp::Item& item) {
  auto type = item.contentType();
  return type && (*type == fp::UTType::folder() || type->conforms(fp::UTType::folder()));
}

std::string capabilityNames(fp::ItemCapabilities caps) {
  static constexpr std::pair<fp::ItemCapabilities, const char*> kNames[] = {
      {fp::capability::kAllowsReading, "read"},
      {fp::capability::kAllowsWriting, "write"},
      {fp::capability::kAllowsReparenting, "reparent"},
      {fp::capability::kAllowsRenaming, "rename"},
      {fp::capability::kAllowsTrashing, "trash"},
      {fp::capability::kAllowsDeleting, "delete"},
      {fp::capability::kAllowsEvicting, "evict"},
      {fp::capability::kAllowsExcludingFromSync, "exclude from sync"},
  };
  std::string out;
  for (const auto& [bit, name] : kNames) {
    if ((caps & bit) == 0) continue;
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out.empty() ? "none" : out;
}

namespace {

bool readOnly(const fp::Item& item) {
  return (item.capabilities() & fp::capability::kAllowsWriting) == 0;
}

// The display name of an item in listings: folders end in "/".
std::string shownName(const fp::Item& item) {
  return printable(item.filename()) + (isFolder(item) ? "/" : "");
}

}  // namespace

std::string listingTable(const std::vector<fp::ItemPtr>& items, const TextOptions& options) {
  std::vector<std::array<std::string, 5>> rows;
  rows.push_back({"NAME", "KIND", "SIZE", "MODIFIED", "IDENTIFIER"});
  for (const auto& i : items) {
    if (!i) continue;
    std::string kind = kindName(i->contentType());
    if (readOnly(*i)) kind += ", read-only";
    auto size = i->documentSize();
    auto date = i->contentModificationDate();
    rows.push_back({shownName(*i), kind, size ? humanSize(*size) : "-",
                    date ? formatDate(*date, options.utc) : "-", printable(i->itemIdentifier())});
  }
  if (rows.size() == 1) return {};
  std::array<std::size_t, 5> width{};
  for (const auto& r : rows)
    for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], displayWidth(r[c]));
  std::string out;
  for (const auto& r : rows) {
    out += padRight(r[0], width[0]) + "  " + padRight(r[1], width[1]) + "  " +
           padLeft(r[2], width[2]) + "  " + padRight(r[3], width[3]) + "  " + r[4] + "\n";
  }
  return out;
}

std::string itemDetails(const fp::Item& item, const TextOptions& options) {
  std::vector<std::pair<std::string, std::string>> lines;
  lines.emplace_back("Name", printable(item.filename()));
  lines.emplace_back("Identifier", printable(item.itemIdentifier()));
  lines.emplace_back("Parent", printable(item.parentItemIdentifier()));
  auto type = item.contentType();
  lines.emplace_back("Kind", type ? kindName(type) + " (" + type->identifier() + ")" : "none");
  if (auto size = item.documentSize())
    lines.emplace_back("Size", humanSize(*size) + " (" + std::to_string(*size) + " bytes)");
  if (auto date = item.contentModificationDate())
    lines.emplace_back("Modified", formatDate(*date, options.utc));
  lines.emplace_back("Capabilities", capabilityNames(item.capabilities()) + " (" +
                                         std::to_string(item.capabilities()) + ")");
  std::string state = item.isUploaded() ? "uploaded" : "not uploaded";
  state += item.isDownloaded() ? ", downloaded" : ", not downloaded";
  lines.emplace_back("State", state);
  fp::ItemVersion v = item.itemVersion();
  lines.emplace_back("Version", "content \"" + printable(v.contentVersion) + "\", metadata \"" +
                                    printable(v.metadataVersion) + "\"");
  std::string out;
  for (const auto& [k, v2] : lines) out += padRight(k + ":", 14) + v2 + "\n";
  return out;
}

std::string domainsTable(const std::vector<fp::DomainRecord>& records) {
  if (records.empty()) return "no domains are registered\n";
  std::vector<std::array<std::string, 4>> rows;
  rows.push_back({"IDENTIFIER", "NAME", "HIDDEN", "BUNDLE"});
  for (const auto& r : records)
    rows.push_back({printable(r.domain.identifier), printable(r.domain.displayName),
                    r.domain.hidden ? "yes" : "no", r.bundle.string()});
  std::array<std::size_t, 4> width{};
  for (const auto& r : rows)
    for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], displayWidth(r[c]));
  std::string out;
  for (const auto& r : rows)
    out += padRight(r[0], width[0]) + "  " + padRight(r[1], width[1]) + "  " +
           padRight(r[2], width[2]) + "  " + r[3] + "\n";
  return out;
}

namespace {

void appendTree(const TreeNode& node, const std::string& prefix, std::string& out) {
  for (std::size_t k = 0; k < node.children.size(); ++k) {
    const TreeNode& child = node.children[k];
    bool last = k + 1 == node.children.size();
    out += prefix + (last ? "└── " : "├── ");
    if (child.item) {
      out += shownName(*child.item);
      if (auto size = child.item->documentSize(); size && !isFolder(*child.item))
        out += "  " + humanSize(*size);
      if (readOnly(*child.item)) out += "  [read-only]";
    } else {
      out += printable(child.identifier);
    }
    out += "\n";
    appendTree(child, prefix + (last ? "    " : "│   "), out);
  }
}

}  // namespace

std::string treeText(const TreeNode& top) {
  std::string out = (top.item ? printable(top.item->filename()) : printable(top.identifier)) + "\n";
  appendTree(top, "", out);
  return out;
}

Json treeJson(const TreeNode& top) {
  Json j;
  j["identifier"] = top.identifier;
  j["item"] = itemJson(top.item);
  if (top.listed) {
    Json children = Json::array();
    for (const auto& c : top.children) children.push_back(treeJson(c));
    j["children"] = std::move(children);
  } else {
    j["children"] = nullptr;
  }
  return j;
}

std::string progressBar(std::string_view label, std::int64_t completed, std::int64_t total,
                        double elapsedSeconds, int width) {
  if (width < 4) width = 4;
  std::string bar(static_cast<std::size_t>(width), ' ');
  std::string state;
  if (total > 0 && completed > 0) {
    double f = std::clamp(static_cast<double>(completed) / static_cast<double>(total), 0.0, 1.0);
    auto filled = static_cast<std::size_t>(std::lround(f * width));
    std::fill(bar.begin(), bar.begin() + static_cast<std::ptrdiff_t>(filled), '#');
    state = std::to_string(static_cast<int>(std::lround(f * 100))) + "%";
  } else {
    // Nothing to measure yet: a block that moves to and fro while we wait.
    const int block = 3;
    int span = width - block;
    int step = static_cast<int>(std::max(0.0, elapsedSeconds) * 10) % (2 * span);
    int pos = step < span ? step : 2 * span - step;
    for (int k = 0; k < block; ++k) bar[static_cast<std::size_t>(pos + k)] = '#';
    state = "waiting";
  }
  char secs[32];
  std::snprintf(secs, sizeof secs, "%.1fs", std::max(0.0, elapsedSeconds));
  return std::string(label) + " [" + bar + "] " + state + " " + secs;
}

std::string transferText(std::int64_t done, std::int64_t total, double elapsedSeconds) {
  std::string text = humanSize(done) + " of " + humanSize(total);
  if (elapsedSeconds > 0) {
    text += ", " +
            humanSize(static_cast<std::int64_t>(static_cast<double>(done) / elapsedSeconds)) + "/s";
  }
  return text;
}

std::string errorName(const fp::Error& error) { return std::string(fp::readableName(error)); }

std::string errorLine(std::string_view what, const fp::Error& error, std::string_view logged) {
  std::string reason = errorName(error);
  if (!error.message.empty()) reason += (reason.empty() ? "" : ": ") + error.message;
  if (reason.empty()) reason = "error";
  if (!logged.empty()) reason += "; the extension logged: " + std::string(logged);
  return "fpctl: " + std::string(what) + " failed: " + printable(reason) + " (" + error.domain +
         " " + std::to_string(error.code) + ")";
}

}  // namespace fpctl
