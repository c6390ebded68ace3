// The items fpctl hands to the extension for `create` and `modify`, built from
// the command line or by the mount as the platform would build them.
#ifndef FPCTL_REQUESTS_TEMPLATE_ITEM_H_
#define FPCTL_REQUESTS_TEMPLATE_ITEM_H_

#include <filesystem>
#include <optional>
#include <string>

#include "fileprovider/item.h"

namespace fpctl {

// The identifier of a template for an item that does not exist yet. The
// extension assigns the real one.
inline constexpr std::string_view kTemplateIdentifier = "fpctl.new-item";

// A plain item whose every attribute is a stored value.
class TemplateItem : public fp::Item {
 public:
  struct Values {
    fp::ItemIdentifier identifier;
    fp::ItemIdentifier parent;
    std::string filename;
    std::optional<fp::UTType> contentType;
    fp::ItemCapabilities capabilities = 0;
    std::optional<std::int64_t> documentSize;
    std::optional<fp::Date> contentModificationDate;
    bool isUploaded = false;
    bool isDownloaded = true;
    fp::ItemVersion version;
  };

  explicit TemplateItem(Values values) : v_(std::move(values)) {}

  // The template of a new item named `name` in `parent`, of type `contentType`
  // (none: no type). With `contents`, its size and date are the file's.
  static TemplateItem forCreation(fp::ItemIdentifier parent, std::string name,
                                  std::optional<std::string> contentType,
                                  const std::optional<std::filesystem::path>& contents);

  // `base` as changed by the user: its identifier and attributes, with the new
  // name and parent where given.
  static TemplateItem forModification(const fp::Item& base, std::optional<std::string> name,
                                      std::optional<fp::ItemIdentifier> parent);

  // The template of a new folder or file named `name` in `parent`, as the mount
  // creates them: a file gets the type of its name's extension, or the data type.
  static TemplateItem forNew(fp::ItemIdentifier parent, std::string name, bool folder);

  // An existing item as far as a modification names it: identifier, parent and
  // name, nothing else.
  static TemplateItem named(fp::ItemIdentifier identifier, fp::ItemIdentifier parent,
                            std::string name);

  fp::ItemIdentifier itemIdentifier() const override { return v_.identifier; }
  fp::ItemIdentifier parentItemIdentifier() const override { return v_.parent; }
  std::string filename() const override { return v_.filename; }
  std::optional<fp::UTType> contentType() const override { return v_.contentType; }
  fp::ItemCapabilities capabilities() const override { return v_.capabilities; }
  std::optional<std::int64_t> documentSize() const override { return v_.documentSize; }
  std::optional<fp::Date> contentModificationDate() const override {
    return v_.contentModificationDate;
  }
  bool isUploaded() const override { return v_.isUploaded; }
  bool isDownloaded() const override { return v_.isDownloaded; }
  fp::ItemVersion itemVersion() const override { return v_.version; }

  const Values& values() const { return v_; }

 private:
  Values v_;
};

}  // namespace fpctl

#endif  // FPCTL_REQUESTS_TEMPLATE_ITEM_H_
