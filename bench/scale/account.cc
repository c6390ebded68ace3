#include "scale/account.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "bench_support.h"

namespace pellora::bench::scale {

void fillFolder(const fs::path& dir, int files) {
  fs::create_directories(dir);
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Document %06d.txt", i);
    std::ofstream(dir / name) << "file " << i << "\n";
  }
}

Account::Account(fs::path home, int items, std::optional<fs::path> store)
    : home_(std::move(home)), items_(items), store_(store ? *store : home_ / "store") {}

bool Account::start() {
  fs::create_directories(home_ / "containers");
  fs::create_directories(home_ / "state");
  fs::remove(home_ / "host.out");
  const auto t0 = Clock::now();
  host_ =
      spawnIn({PELL_REFHOST_BIN, "serve", "--store", store_.string()}, home_, home_ / "host.out");
  const bool up = host_ > 0 && waitUntil(
                                   [&] {
                                     std::ifstream out(home_ / "host.out");
                                     std::string text((std::istreambuf_iterator<char>(out)), {});
                                     return text.find("serving ") != std::string::npos;
                                   },
                                   std::chrono::minutes(10));
  startSeconds_ = secondsSince(t0);
  return up;
}

void Account::stop() {
  if (host_ > 0) {
    ::kill(host_, SIGTERM);
    waitFor(host_);
    host_ = -1;
  }
}

std::optional<std::pair<std::string, std::string>> Account::ulids(const std::string& folder,
                                                                  const std::string& name) const {
  sqlite3* db = nullptr;
  std::string uri = "file:" + database().string() + "?mode=ro";
  std::optional<std::pair<std::string, std::string>> found;
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT f.ulid, i.ulid FROM folders f JOIN items i"
                           " ON i.folder_ulid = f.ulid WHERE f.name = ? AND i.name = ?",
                           -1, &st, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(st, 1, folder.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(st) == SQLITE_ROW) {
        found.emplace(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
      }
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return found;
}

std::string folderName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "Files %02d", index + 1);
  return name;
}

std::optional<fs::path> cachedStore(int items) {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  fs::path base = cache && *cache ? fs::path(cache) : fs::path(home ? home : "/tmp") / ".cache";
  const fs::path dir = base / "pellora-scale-bench" / ("items-" + std::to_string(items));
  const fs::path store = dir / "store";
  if (fs::exists(dir / "complete")) return store;
  std::printf("building the account of %d files in %s (once; kept for later runs)\n", items,
              store.c_str());
  std::error_code ec;
  fs::remove_all(store, ec);
  const auto t0 = Clock::now();
  for (int f = 0; f * kItemsPerFolder < items; ++f) {
    const int files = std::min(kItemsPerFolder, items - f * kItemsPerFolder);
    fillFolder(store / folderName(f), files);
    std::printf("  %s: %d files\n", folderName(f).c_str(), files);
  }
  ::sync();
  std::ofstream(dir / "complete") << items << " files, built in " << secondsSince(t0) << " s\n";
  if (!fs::exists(dir / "complete")) return std::nullopt;
  std::printf("  built in %.0f s\n", secondsSince(t0));
  return store;
}

}  // namespace pellora::bench::scale
