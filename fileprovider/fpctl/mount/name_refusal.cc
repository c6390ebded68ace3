#include "fileprovider/fpctl/mount/name_refusal.h"

namespace fpctl::mount {

bool refusedAsTaken(const ProviderClient& provider, const NameRefusal& r) {
  if (r.error.isFileProvider(fp::FileProviderErrorCode::kFilenameCollision)) return true;
  if (r.error.domain != fp::kCocoaErrorDomain) return false;
  if (r.error.code == fp::kFileWriteFileExistsError) return true;
  if (r.error.code != fp::kFileWriteInvalidFileNameError) return false;
  auto children = provider.list(r.parent);
  if (!children) return false;
  for (const auto& child : *children) {
    if (child.filename == r.name && child.identifier != r.moving) return true;
  }
  return false;
}

std::string refusalWords(const fp::Error& error, bool taken, const std::string& name) {
  if (taken) return "an item named \"" + name + "\" already exists there";
  if (!error.message.empty()) return error.message;
  if (auto readable = fp::readableName(error); !readable.empty()) return std::string(readable);
  return error.description();
}

}  // namespace fpctl::mount
