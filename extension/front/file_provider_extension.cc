#include "extension/front/file_provider_extension.h"

#include <cstdint>
#include <utility>
#include <variant>

#include "extension/bridge/host_bridge.h"
#include "extension/front/directory_enumerator.h"
#include "extension/front/provider_error.h"
#include "extension/model/index.h"
#include "extension/model/item_id.h"
#include "extension/model/pellora_item.h"
#include "extension/platform/logs.h"
#include "fileprovider/dispatch.h"
#include "fileprovider/file_manager.h"

namespace pellora {
namespace {

using Code = fp::FileProviderErrorCode;

fp::Error noSuchItem() { return fp::Error::fileProvider(Code::kNoSuchItem); }

bool isUnreachable(const BridgeError& error) {
  const auto* bridge = std::get_if<HostBridgeError>(&error);
  return bridge && bridge->errorCase() == HostBridgeError::Case::unreachable;
}

// A file that is not there (its thumbnail is simply not available).
bool isMissingFile(const fp::Error& error) {
  return error.domain == fp::kCocoaErrorDomain && error.code == fp::kFileNoSuchFileError;
}

fp::ItemPtr itemFor(IndexEntry entry) { return std::make_shared<PelloraItem>(std::move(entry)); }

// The folder entry or file entry of `ulid`, or none (also when the index cannot
// be opened). Each call opens and closes its own connection.
std::optional<IndexEntry> lookUp(const std::string& databaseName, const std::string& ulid,
                                 bool isFolder) {
  auto index = Index::open(Index::appGroup, databaseName);
  if (!index) return std::nullopt;
  return isFolder ? index->entryForFolder(ulid) : index->entryForFile(ulid);
}

}  // namespace

std::unique_ptr<FileProviderExtension> FileProviderExtension::create(const fp::Domain& domain) {
  auto manager = fp::Manager::forDomain(domain);
  if (!manager) return nullptr;
  return std::make_unique<FileProviderExtension>(domain, std::move(manager));
}

FileProviderExtension::FileProviderExtension(fp::Domain domain,
                                             std::shared_ptr<fp::Manager> manager)
    : domain_(std::move(domain)),
      manager_(std::move(manager)),
      databaseName_(Index::databaseName(domain_)),
      account_(Index::accountId(domain_)) {
  extensionLog().info("init for domain %{public}@ (index %{public}@)",
                      {domain_.identifier, databaseName_});
}

FileProviderExtension::~FileProviderExtension() = default;

void FileProviderExtension::invalidate() {}

fp::ProgressPtr FileProviderExtension::item(const fp::ItemIdentifier& identifier,
                                            const fp::Request& /*request*/,
                                            fp::ItemHandler completionHandler) {
  auto progress = fp::makeProgress(1);
  fp::ItemPtr found;
  if (identifier == fp::kRootContainer) {
    // The root never needs the index, so it is found before the index exists.
    found = PelloraItem::root();
  } else if (auto parsed = ItemID::parse(identifier)) {
    if (auto entry = lookUp(databaseName_, parsed->ulid, parsed->isFolder)) {
      found = itemFor(std::move(*entry));
    }
  }
  if (found) {
    completionHandler(std::move(found), std::nullopt);
  } else {
    completionHandler(nullptr, noSuchItem());
  }
  progress->setCompletedUnitCount(1);
  return progress;
}

std::unique_ptr<fp::Enumerator> FileProviderExtension::enumerator(
    const fp::ItemIdentifier& container, const fp::Request& /*request*/) {
  return std::make_unique<DirectoryEnumerator>(container, databaseName_);
}

fp::ProgressPtr FileProviderExtension::fetchContents(
    const fp::ItemIdentifier& identifier, const std::optional<fp::ItemVersion>& /*version*/,
    const fp::Request& /*request*/, fp::FetchContentsHandler completionHandler) {
  auto progress = fp::makeProgress(1);
  auto parsed = ItemID::parse(identifier);
  if (!parsed || parsed->isFolder) {
    progress->setCompletedUnitCount(1);
    completionHandler(std::nullopt, nullptr, noSuchItem());
    return progress;
  }

  fp::globalQueue(fp::QoS::kUserInitiated)
      .async([progress, account = account_, databaseName = databaseName_,
              ulid = std::move(parsed->ulid), handler = std::move(completionHandler)] {
        auto url = HostBridge::fetch(account, ulid);
        if (!url.ok()) {
          if (isUnreachable(url.error())) {
            // Not a failure of the request itself: the host application is not
            // running, and the platform retries later.
            extensionLog().info("host app unreachable for %{public}@", {ulid});
            handler(std::nullopt, nullptr, fp::Error::fileProvider(Code::kServerUnreachable));
          } else {
            handler(std::nullopt, nullptr, providerError(url.error(), ulid, "fetch"));
          }
        } else {
          fp::ItemPtr item;
          if (auto entry = lookUp(databaseName, ulid, /*isFolder=*/false)) {
            item = itemFor(std::move(*entry));
          }
          handler(std::move(url).value(), std::move(item), std::nullopt);
        }
        progress->setCompletedUnitCount(1);
      });
  return progress;
}

fp::ProgressPtr FileProviderExtension::fetchThumbnails(
    const std::vector<fp::ItemIdentifier>& identifiers, fp::Size /*requestedSize*/,
    fp::PerThumbnailHandler perThumbnailCompletionHandler, fp::ErrorHandler completionHandler) {
  auto progress = fp::makeProgress(static_cast<std::int64_t>(identifiers.size()));
  fp::globalQueue(fp::QoS::kUtility)
      .async([progress, identifiers, account = account_,
              perThumbnail = std::move(perThumbnailCompletionHandler),
              handler = std::move(completionHandler)] {
        for (const auto& identifier : identifiers) {
          if (progress->isCancelled()) break;
          // Anything but a file whose thumbnail the host can make and that can be
          // read gets no data; the reason is dropped. The host names the file, so
          // it is read without blocking and only up to a bound; a path that is
          // not a regular file or too large is logged.
          std::optional<std::string> data;
          auto parsed = ItemID::parse(identifier);
          if (parsed && !parsed->isFolder) {
            auto url = HostBridge::thumbnail(account, parsed->ulid);
            if (url.ok()) {
              auto bytes = fp::FileManager::defaultManager().contentsOfFile(
                  url.value(), HostBridge::maxThumbnailBytes);
              if (bytes.ok()) {
                data = std::move(bytes).value();
              } else if (!isMissingFile(bytes.error())) {
                extensionLog().error("thumbnail of %{public}@ refused: %{public}@",
                                     {parsed->ulid, bytes.error().message});
              }
            }
          }
          perThumbnail(identifier, std::move(data), std::nullopt);
          progress->addCompletedUnitCount(1);
        }
        handler(std::nullopt);
      });
  return progress;
}

fp::ProgressPtr FileProviderExtension::createItem(
    const fp::Item& itemTemplate, fp::ItemFields /*fields*/,
    const std::optional<std::filesystem::path>& contents, fp::CreateItemOptions /*options*/,
    const fp::Request& /*request*/, fp::ItemChangeHandler completionHandler) {
  auto progress = fp::makeProgress(1);

  // Only a folder can be a parent; anything else creates at the top level.
  std::optional<std::string> parent;
  const fp::ItemIdentifier parentId = itemTemplate.parentItemIdentifier();
  if (parentId != fp::kRootContainer) {
    auto parsed = ItemID::parse(parentId);
    if (parsed && parsed->isFolder) parent = std::move(parsed->ulid);
  }
  std::string name = itemTemplate.filename();
  const auto type = itemTemplate.contentType();
  const bool isFolder = type.has_value() && *type == fp::UTType::folder();
  std::optional<std::filesystem::path> upload = isFolder ? std::nullopt : contents;

  write(progress, std::move(completionHandler),
        [account = account_, databaseName = databaseName_, parent = std::move(parent),
         name = std::move(name), upload = std::move(upload),
         isFolder]() -> BridgeResult<fp::ItemPtr> {
          auto created = HostBridge::create(account, parent, name, upload);
          if (!created.ok()) return fp::propagate(created);
          const std::string& ulid = created.value();
          // The host knows what it made; try the file table first, then folders.
          auto entry = lookUp(databaseName, ulid, /*isFolder=*/false);
          if (!entry) entry = lookUp(databaseName, ulid, /*isFolder=*/true);
          if (entry) return itemFor(std::move(*entry));
          return fp::ItemPtr(std::make_shared<PelloraItem>(
              std::nullopt, isFolder ? ItemID::folder(ulid) : ItemID::file(ulid)));
        });
  return progress;
}

fp::ProgressPtr FileProviderExtension::modifyItem(
    const fp::Item& item, const fp::ItemVersion& /*baseVersion*/, fp::ItemFields changedFields,
    const std::optional<std::filesystem::path>& contents, fp::ModifyItemOptions /*options*/,
    const fp::Request& /*request*/, fp::ItemChangeHandler completionHandler) {
  auto progress = fp::makeProgress(1);
  fp::ItemIdentifier identifier = item.itemIdentifier();
  auto parsed = ItemID::parse(identifier);
  if (!parsed) {
    progress->setCompletedUnitCount(1);
    completionHandler(nullptr, 0, false, noSuchItem());
    return progress;
  }

  std::optional<std::string> name;
  if (changedFields & fp::field::kFilename) name = item.filename();

  HostBridge::ParentChange parent = HostBridge::Unchanged{};
  if (changedFields & fp::field::kParentItemIdentifier) {
    // Only a folder can be a parent; the root, a file or anything unparsable
    // moves the item to the top level.
    parent = HostBridge::TopLevel{};
    const fp::ItemIdentifier parentId = item.parentItemIdentifier();
    if (parentId != fp::kRootContainer) {
      auto parentParsed = ItemID::parse(parentId);
      if (parentParsed && parentParsed->isFolder) {
        parent = HostBridge::IntoFolder{std::move(parentParsed->ulid)};
      }
    }
  }

  std::optional<std::filesystem::path> upload;
  if (changedFields & fp::field::kContents) upload = contents;

  write(progress, std::move(completionHandler),
        [account = account_, databaseName = databaseName_, identifier = std::move(identifier),
         ulid = std::move(parsed->ulid), isFolder = parsed->isFolder, name = std::move(name),
         parent = std::move(parent), upload = std::move(upload)]() -> BridgeResult<fp::ItemPtr> {
          auto modified = HostBridge::modify(account, ulid, isFolder, upload, name, parent);
          if (!modified.ok()) return fp::propagate(modified);
          if (auto entry = lookUp(databaseName, ulid, isFolder)) return itemFor(std::move(*entry));
          return fp::ItemPtr(std::make_shared<PelloraItem>(std::nullopt, identifier));
        });
  return progress;
}

fp::ProgressPtr FileProviderExtension::deleteItem(const fp::ItemIdentifier& identifier,
                                                  const fp::ItemVersion& /*baseVersion*/,
                                                  fp::DeleteItemOptions /*options*/,
                                                  const fp::Request& /*request*/,
                                                  fp::ErrorHandler completionHandler) {
  auto progress = fp::makeProgress(1);
  auto parsed = ItemID::parse(identifier);
  if (!parsed) {
    progress->setCompletedUnitCount(1);
    completionHandler(noSuchItem());
    return progress;
  }

  fp::globalQueue(fp::QoS::kUserInitiated)
      .async([progress, account = account_, ulid = std::move(parsed->ulid),
              isFolder = parsed->isFolder, handler = std::move(completionHandler)] {
        auto deleted = HostBridge::deleteItem(account, ulid, isFolder);
        if (deleted.ok()) {
          handler(std::nullopt);
        } else {
          handler(providerError(deleted.error(), ulid, "delete"));
        }
        progress->setCompletedUnitCount(1);
      });
  return progress;
}

void FileProviderExtension::write(fp::ProgressPtr progress, fp::ItemChangeHandler completionHandler,
                                  WriteBody body) {
  fp::globalQueue(fp::QoS::kUserInitiated)
      .async([progress = std::move(progress), handler = std::move(completionHandler),
              body = std::move(body)] {
        auto result = body();
        if (result.ok()) {
          handler(std::move(result).value(), 0, false, std::nullopt);
        } else {
          handler(nullptr, 0, false, providerError(result.error(), "", "write"));
        }
        progress->setCompletedUnitCount(1);
      });
}

}  // namespace pellora
