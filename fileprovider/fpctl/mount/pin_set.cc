#include "fileprovider/fpctl/mount/pin_set.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/hex_text.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// The file as {"pinned":[{"identifier":HEX,"path":TEXT,"folder":BOOL}]}:
// identifiers are byte strings, kept as hex so that any byte survives.
std::string render(const std::map<std::string, PinnedItem>& items) {
  Json list = Json::array();
  for (const auto& [id, item] : items) {
    list.push_back({{"identifier", hexOf(id)}, {"path", item.path}, {"folder", item.isFolder}});
  }
  return Json{{"pinned", list}}.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// The items of the file's text; throws when it is not a set of pins.
std::map<std::string, PinnedItem> parse(const std::string& text) {
  Json j = Json::parse(text);
  std::map<std::string, PinnedItem> items;
  for (const auto& e : j.at("pinned")) {
    auto id = bytesOfHex(e.at("identifier").get<std::string>());
    if (!id || id->empty()) throw std::runtime_error("an identifier is not hex");
    PinnedItem item{*id, e.at("path").get<std::string>(), e.at("folder").get<bool>()};
    items[item.identifier] = std::move(item);
  }
  return items;
}

}  // namespace

PinSet::PinSet(fs::path file) : file_(std::move(file)) {
  auto text = readCacheFile(file_);
  if (!text) return;
  try {
    items_ = parse(*text);
  } catch (const std::exception& e) {
    fs::path aside = file_;
    aside += ".damaged";
    std::error_code ec;
    fs::rename(file_, aside, ec);
    damaged_ = file_.string() + " could not be read (" + e.what() + "); it was moved to " +
               aside.string() + " and no item is pinned";
  }
}

bool PinSet::contains(const std::string& identifier) const {
  std::lock_guard lock(mu_);
  return items_.count(identifier) > 0;
}

std::vector<PinnedItem> PinSet::items() const {
  std::lock_guard lock(mu_);
  std::vector<PinnedItem> out;
  out.reserve(items_.size());
  for (const auto& [id, item] : items_) out.push_back(item);
  return out;
}

bool PinSet::empty() const {
  std::lock_guard lock(mu_);
  return items_.empty();
}

ErrnoOr<bool> PinSet::add(const PinnedItem& item) {
  std::lock_guard lock(mu_);
  auto it = items_.find(item.identifier);
  if (it != items_.end() && it->second.path == item.path && it->second.isFolder == item.isFolder) {
    return false;
  }
  Items next = items_;
  next[item.identifier] = item;
  if (auto written = write(next); !written) return fp::propagate(written);
  items_ = std::move(next);
  return true;
}

ErrnoOr<bool> PinSet::remove(const std::string& identifier) {
  std::lock_guard lock(mu_);
  if (!items_.count(identifier)) return false;
  Items next = items_;
  next.erase(identifier);
  if (auto written = write(next); !written) return fp::propagate(written);
  items_ = std::move(next);
  return true;
}

ErrnoOr<void> PinSet::write(const Items& items) const { return writeDurably(file_, render(items)); }

std::vector<PinnedItem> PinSet::read(const fs::path& file) {
  auto text = readCacheFile(file);
  if (!text) return {};
  try {
    std::vector<PinnedItem> out;
    for (auto& [id, item] : parse(*text)) out.push_back(std::move(item));
    return out;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace fpctl::mount
