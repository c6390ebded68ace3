// FileProviderExtension: the principal object of the extension. The platform
// creates one per file-provider domain and calls it for every request on it.
#ifndef PELLORA_FRONT_FILE_PROVIDER_EXTENSION_H_
#define PELLORA_FRONT_FILE_PROVIDER_EXTENSION_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extension/bridge/host_bridge_error.h"
#include "fileprovider/domain.h"
#include "fileprovider/extension.h"

namespace pellora {

// Holds no open database, socket or cache: every request opens what it needs and
// releases it. The fields are fixed at construction, so requests may run at the
// same time on any threads without locks.
//
// Lookups and enumerators answer on the calling thread. Contents, creation,
// modification and deletion run on the global user-initiated queue, thumbnails on
// the utility queue; their handlers are called on that queue's thread, exactly
// once, and the returned progress is completed after the handler has returned.
// Requests refused because the identifier names no item of the right kind
// complete with noSuchItem (-1005) before the method returns. Queued work holds
// copies of what it needs, so it may outlive the extension object.
class FileProviderExtension final : public fp::ReplicatedExtension, public fp::Thumbnailing {
 public:
  // The extension for `domain`, or null when the platform has no manager for it.
  static std::unique_ptr<FileProviderExtension> create(const fp::Domain& domain);

  // Derives the account and index file name from `domain` and logs
  // "init for domain <identifier> (index <databaseName>)". Opens nothing.
  FileProviderExtension(fp::Domain domain, std::shared_ptr<fp::Manager> manager);
  ~FileProviderExtension() override;

  FileProviderExtension(const FileProviderExtension&) = delete;
  FileProviderExtension& operator=(const FileProviderExtension&) = delete;

  const fp::Domain& domain() const { return domain_; }

  // Does nothing: the object keeps no resources to release early.
  void invalidate() override;

  // The root item for the root container (without consulting the index); the
  // indexed folder or file for "f:"/"i:" identifiers, the prefix choosing the
  // table; noSuchItem otherwise. Completes before returning; logs nothing.
  fp::ProgressPtr item(const fp::ItemIdentifier& identifier, const fp::Request& request,
                       fp::ItemHandler completionHandler) override;

  // A DirectoryEnumerator for any container identifier; never fails.
  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier& container,
                                             const fp::Request& request) override;

  // Asks the host application for a local copy of a file ("i:" identifiers only)
  // and hands back its URL with the file's current index item (none when the
  // index does not show it). `requestedVersion` is ignored. Unreachable host:
  // info line "host app unreachable for <ulid>" and serverUnreachable; other
  // failures through providerError with op "fetch".
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier& identifier,
                                const std::optional<fp::ItemVersion>& requestedVersion,
                                const fp::Request& request,
                                fp::FetchContentsHandler completionHandler) override;

  // Creates an item under the template's parent (the top level for the root, a
  // file or an unparsable parent). A template whose content type is exactly the
  // folder type makes a folder, and a folder gets no contents; anything else
  // (no type included) makes a file. Completes with the item the index shows
  // for the new ulid (file table first, then folders), or an item without an
  // entry carrying "f:"/"i:" + ulid until the index shows it.
  fp::ProgressPtr createItem(const fp::Item& itemTemplate, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::CreateItemOptions options, const fp::Request& request,
                             fp::ItemChangeHandler completionHandler) override;

  // Acts on three changed fields: filename (new name), parentItemIdentifier
  // (root, file or unparsable parent: top level; folder: into that folder) and
  // contents (the given URL, possibly none). The host is asked even when none of
  // them changed. Completes with the re-read item, or one without an entry that
  // carries the identifier passed in.
  fp::ProgressPtr modifyItem(const fp::Item& item, const fp::ItemVersion& baseVersion,
                             fp::ItemFields changedFields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::ModifyItemOptions options, const fp::Request& request,
                             fp::ItemChangeHandler completionHandler) override;

  // Asks the host application to delete a folder or file; failures through
  // providerError with op "delete" and the ulid. Options are ignored.
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier,
                             const fp::ItemVersion& baseVersion, fp::DeleteItemOptions options,
                             const fp::Request& request,
                             fp::ErrorHandler completionHandler) override;

  // One per-thumbnail call per identifier, in list order, on one utility-queue
  // thread: the image bytes for a file whose thumbnail the host provides, no data
  // otherwise; never an error. Stops at the first identifier found cancelled
  // through the progress. The final handler always gets no error. The requested
  // size is ignored; the index is not read.
  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                  fp::Size requestedSize,
                                  fp::PerThumbnailHandler perThumbnailCompletionHandler,
                                  fp::ErrorHandler completionHandler) override;

 private:
  // Work of a creation or modification: the item to report, or the failure.
  using WriteBody = std::function<BridgeResult<fp::ItemPtr>()>;

  // Runs `body` on the user-initiated queue, calls `completionHandler` with its
  // item (no remaining fields, no refetch) or with providerError(error, "",
  // "write"), then completes `progress`.
  static void write(fp::ProgressPtr progress, fp::ItemChangeHandler completionHandler,
                    WriteBody body);

  const fp::Domain domain_;
  const std::shared_ptr<fp::Manager> manager_;
  const std::string databaseName_;
  const std::string account_;
};

}  // namespace pellora

#endif  // PELLORA_FRONT_FILE_PROVIDER_EXTENSION_H_
