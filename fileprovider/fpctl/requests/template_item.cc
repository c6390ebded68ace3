#include "fileprovider/fpctl/requests/template_item.h"

#include <sys/stat.h>

namespace fpctl {

TemplateItem TemplateItem::forCreation(fp::ItemIdentifier parent, std::string name,
                                       std::optional<std::string> contentType,
                                       const std::optional<std::filesystem::path>& contents) {
  Values v;
  v.identifier = fp::ItemIdentifier(kTemplateIdentifier);
  v.parent = std::move(parent);
  v.filename = std::move(name);
  if (contentType) v.contentType = fp::UTType(*contentType);
  // A new item may be read, written, moved, renamed and deleted.
  v.capabilities = fp::capability::kAllowsReading | fp::capability::kAllowsWriting |
                   fp::capability::kAllowsReparenting | fp::capability::kAllowsRenaming |
                   fp::capability::kAllowsDeleting;
  struct stat st {};
  if (contents && ::stat(contents->c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    v.documentSize = static_cast<std::int64_t>(st.st_size);
    v.contentModificationDate =
        static_cast<fp::Date>(st.st_mtim.tv_sec) + static_cast<fp::Date>(st.st_mtim.tv_nsec) / 1e9;
  }
  return TemplateItem(std::move(v));
}

TemplateItem TemplateItem::forModification(const fp::Item& base, std::optional<std::string> name,
                                           std::optional<fp::ItemIdentifier> parent) {
  Values v;
  v.identifier = base.itemIdentifier();
  v.parent = parent ? std::move(*parent) : base.parentItemIdentifier();
  v.filename = name ? std::move(*name) : base.filename();
  v.contentType = base.contentType();
  v.capabilities = base.capabilities();
  v.documentSize = base.documentSize();
  v.contentModificationDate = base.contentModificationDate();
  v.isUploaded = base.isUploaded();
  v.isDownloaded = base.isDownloaded();
  v.version = base.itemVersion();
  return TemplateItem(std::move(v));
}

TemplateItem TemplateItem::forNew(fp::ItemIdentifier parent, std::string name, bool folder) {
  std::optional<fp::UTType> type;
  if (folder) {
    type = fp::UTType::folder();
  } else {
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot + 1 < name.size()) {
      type = fp::UTType::forFilenameExtension(std::string_view(name).substr(dot + 1),
                                              fp::UTType::data());
    }
    if (!type) type = fp::UTType::data();
  }
  Values v;
  v.parent = std::move(parent);
  v.filename = std::move(name);
  v.contentType = std::move(type);
  return TemplateItem(std::move(v));
}

TemplateItem TemplateItem::named(fp::ItemIdentifier identifier, fp::ItemIdentifier parent,
                                 std::string name) {
  Values v;
  v.identifier = std::move(identifier);
  v.parent = std::move(parent);
  v.filename = std::move(name);
  v.isDownloaded = false;
  return TemplateItem(std::move(v));
}

}  // namespace fpctl
