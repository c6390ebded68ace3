#include "fileprovider/fpctl/mount/queued_change.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "fileprovider/fpctl/mount/hex_text.h"

namespace fpctl::mount {
namespace {

// The bytes a record field holds as hex; a damaged field makes the record unreadable.
std::string bytesOf(const nlohmann::json& field) {
  auto bytes = bytesOfHex(field.get<std::string>());
  if (!bytes) throw std::runtime_error("not hex");
  return std::move(*bytes);
}

constexpr std::string_view kLocalPrefix =
    "\x1f"
    "fpctl-local-";

}  // namespace

const char* kindName(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kMove:
      return "move";
    case ChangeKind::kRemove:
      return "remove";
    case ChangeKind::kMakeFolder:
      return "mkdir";
    case ChangeKind::kState:
      break;
  }
  return "state";
}

// The record of `change`: where it goes, and for an edit the item as it is shown.
nlohmann::json recordOf(const QueuedChange& change) {
  nlohmann::json j = {{"seq", change.seq},
                      {"identifier", hexOf(change.identifier)},
                      {"parent", hexOf(change.parent)},
                      {"filename", hexOf(change.filename)},
                      {"contentVersion", hexOf(change.baseVersion.contentVersion)},
                      {"metadataVersion", hexOf(change.baseVersion.metadataVersion)}};
  if (!change.local.empty()) j["local"] = hexOf(change.local);
  if (!change.isEdit()) {
    j["size"] = change.size;
    j["checksum"] = change.checksum;
    return j;
  }
  const ItemState& item = change.item;
  j["kind"] = kindName(change.kind);
  j["fields"] = change.fields;
  if (!change.fromParent.empty()) {
    j["fromParent"] = hexOf(change.fromParent);
    j["fromFilename"] = hexOf(change.fromFilename);
  }
  j["isFolder"] = item.isFolder;
  j["capabilities"] = item.capabilities;
  if (item.size) j["itemSize"] = *item.size;
  if (item.modified) j["modified"] = *item.modified;
  j["itemContentVersion"] = hexOf(item.version.contentVersion);
  j["itemMetadataVersion"] = hexOf(item.version.metadataVersion);
  return j;
}

// The change a record describes; throws when it is damaged. `data` is not set.
QueuedChange changeFrom(const nlohmann::json& j) {
  QueuedChange c;
  c.seq = j.at("seq").get<std::uint64_t>();
  c.identifier = bytesOf(j.at("identifier"));
  c.parent = bytesOf(j.at("parent"));
  c.filename = bytesOf(j.at("filename"));
  c.baseVersion.contentVersion = bytesOf(j.at("contentVersion"));
  c.baseVersion.metadataVersion = bytesOf(j.at("metadataVersion"));
  if (j.contains("local")) c.local = bytesOf(j.at("local"));
  // Records of earlier versions are all states.
  std::string kind = j.value("kind", std::string("state"));
  if (kind == "state") return c;
  if (kind == "move") {
    c.kind = ChangeKind::kMove;
  } else if (kind == "remove") {
    c.kind = ChangeKind::kRemove;
  } else if (kind == "mkdir") {
    c.kind = ChangeKind::kMakeFolder;
  } else {
    throw std::runtime_error("unknown kind of change");
  }
  if (c.identifier.empty()) throw std::runtime_error("an edit without an item");
  c.fields = j.at("fields").get<fp::ItemFields>();
  if (j.contains("fromParent")) {
    c.fromParent = bytesOf(j.at("fromParent"));
    c.fromFilename = bytesOf(j.at("fromFilename"));
  }
  c.item.identifier = c.identifier;
  c.item.parent = c.parent;
  c.item.filename = c.filename;
  c.item.isFolder = j.at("isFolder").get<bool>();
  c.item.capabilities = j.at("capabilities").get<fp::ItemCapabilities>();
  if (j.contains("itemSize")) c.item.size = j.at("itemSize").get<std::int64_t>();
  if (j.contains("modified")) c.item.modified = j.at("modified").get<fp::Date>();
  c.item.version.contentVersion = bytesOf(j.at("itemContentVersion"));
  c.item.version.metadataVersion = bytesOf(j.at("itemMetadataVersion"));
  return c;
}

std::string QueuedChange::key() const {
  if (!identifier.empty()) return "id:" + identifier;
  if (!local.empty()) return "new:" + local;
  return "new:" + parent + '\0' + filename;
}

std::string QueuedChange::placeKey() const {
  if (!identifier.empty()) return "id:" + identifier;
  return "new:" + parent + '\0' + filename;
}

fp::ItemIdentifier newLocalIdentifier() {
  static std::atomic<unsigned> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::string(kLocalPrefix) +
         std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + "-" +
         std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

bool isLocalIdentifier(const fp::ItemIdentifier& identifier) {
  return identifier.starts_with(kLocalPrefix);
}

}  // namespace fpctl::mount
