// The one symbol the extension's shared object exports: the platform calls it to
// construct the principal object for a domain.
#include <type_traits>

#include "extension/front/file_provider_extension.h"
#include "fileprovider/extension.h"

extern "C" __attribute__((visibility("default"))) fp::ReplicatedExtension* fp_extension_create(
    const fp::Domain* domain) {
  if (domain == nullptr) return nullptr;
  // No exception may cross the C boundary; a failed construction yields nothing.
  try {
    return pellora::FileProviderExtension::create(*domain).release();
  } catch (...) {
    return nullptr;
  }
}

static_assert(std::is_same_v<decltype(&fp_extension_create), fp_extension_create_fn>,
              "the entry point must match the loader's signature");
