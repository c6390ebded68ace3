// A minimal extension for the bundle tests: every request fails with an error
// whose message names the domain the object was made for, so a test can see
// which domain reached the constructor.
#include "fileprovider/extension.h"

namespace {

class TestExtension final : public fp::ReplicatedExtension {
 public:
  explicit TestExtension(fp::Domain domain) : domain_(std::move(domain)) {}

  void invalidate() override {}

  fp::ProgressPtr item(const fp::ItemIdentifier&, const fp::Request&,
                       fp::ItemHandler completionHandler) override {
    completionHandler(nullptr, failure());
    return fp::makeProgress(1);
  }
  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier&,
                                             const fp::Request&) override {
    return nullptr;
  }
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier&, const std::optional<fp::ItemVersion>&,
                                const fp::Request&,
                                fp::FetchContentsHandler completionHandler) override {
    completionHandler(std::nullopt, nullptr, failure());
    return fp::makeProgress(1);
  }
  fp::ProgressPtr createItem(const fp::Item&, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, fp::CreateItemOptions,
                             const fp::Request&, fp::ItemChangeHandler completionHandler) override {
    completionHandler(nullptr, {}, false, failure());
    return fp::makeProgress(1);
  }
  fp::ProgressPtr modifyItem(const fp::Item&, const fp::ItemVersion&, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, fp::ModifyItemOptions,
                             const fp::Request&, fp::ItemChangeHandler completionHandler) override {
    completionHandler(nullptr, {}, false, failure());
    return fp::makeProgress(1);
  }
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                             fp::DeleteItemOptions, const fp::Request&,
                             fp::ErrorHandler completionHandler) override {
    completionHandler(failure());
    return fp::makeProgress(1);
  }

 private:
  fp::Error failure() const {
    fp::Error e = fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem);
    e.message = "domain " + domain_.identifier + " (" + domain_.displayName + ")";
    return e;
  }
  fp::Domain domain_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) fp::ReplicatedExtension* fp_extension_create(
    const fp::Domain* domain) {
  return new TestExtension(*domain);
}
