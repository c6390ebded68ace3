// The sample store that `pell-refhost seed` writes: nested folders, text
// files, a PNG picture, two files whose names differ only in case, a file with
// a non-ASCII name, an empty folder and one locked file.
#ifndef PELLORA_REFHOST_SEED_H_
#define PELLORA_REFHOST_SEED_H_

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "fileprovider/error.h"

namespace refhost {

// The locked sample file and the user who holds its lock.
inline constexpr std::string_view kSampleLockedPath = "Projects/Budget.csv";
inline constexpr std::int64_t kSampleLockUser = 4711;

enum class SeedOutcome { kSeeded, kLeftAsItWas };

// Writes the sample tree into `store`, creating the folder when needed. A store
// that already holds anything is left as it is (so seeding twice is harmless).
// Fails when `store` is not a folder or cannot be written.
[[nodiscard]] fp::StatusOr<SeedOutcome> seedStore(const std::filesystem::path& store);

}  // namespace refhost

#endif  // PELLORA_REFHOST_SEED_H_
