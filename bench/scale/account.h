// The accounts the scale benchmark measures: a store served by its own
// pell-refhost, with the platform's folders beside it, and the large account
// of the big run, which is built once and kept between runs.
#ifndef PELLORA_BENCH_SCALE_ACCOUNT_H_
#define PELLORA_BENCH_SCALE_ACCOUNT_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

#include "scale/support.h"

namespace pellora::bench::scale {

// The small account that the large one is measured against.
inline constexpr int kSmallFiles = 100;

// The files "Document 000000.txt" ... of a few bytes each in `dir`, made
// with its parents.
void fillFolder(const fs::path& dir, int files);

// A store and pell-refhost serving it, with the platform's folders (the
// app-group container with the index, the state) under `home`.
class Account {
 public:
  // The store is `home`/store unless given.
  Account(fs::path home, int items, std::optional<fs::path> store = std::nullopt);
  ~Account() { stop(); }
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  // Starts pell-refhost and waits until it says it serves (the index is in
  // line with the store then); false when it does not come up.
  bool start();
  // Seconds from the start of the last start() until it served.
  double startSeconds() const { return startSeconds_; }
  void stop();

  const fs::path& home() const { return home_; }
  const fs::path& store() const { return store_; }
  fs::path container() const { return home_ / "containers" / kAppGroup; }
  fs::path socket() const { return container() / "fp.sock"; }
  fs::path database() const { return container() / "state.db"; }
  int items() const { return items_; }
  pid_t pid() const { return host_; }

  // The ulids of the folder `folder` (a name) and of its file `name`, from
  // the index.
  std::optional<std::pair<std::string, std::string>> ulids(const std::string& folder,
                                                           const std::string& name) const;

 private:
  fs::path home_;
  int items_;
  fs::path store_;
  pid_t host_ = -1;
  double startSeconds_ = 0;
};

// The store of the big run: `items` files in folders "Files 01", "Files 02",
// ... of 100,000 each. Kept under $XDG_CACHE_HOME (or ~/.cache)
// /pellora-scale-bench/items-N with a file "complete" beside the store once it
// is whole; built there first when it is not. Yields the store's path, or none
// when it cannot be built.
inline constexpr int kItemsPerFolder = 100'000;
std::optional<fs::path> cachedStore(int items);
std::string folderName(int index);  // "Files 01" for 0

}  // namespace pellora::bench::scale

#endif  // PELLORA_BENCH_SCALE_ACCOUNT_H_
