#include "scale/measure.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "bench_support.h"
#include "extension/model/index.h"

namespace pellora::bench::scale {

using nlohmann::json;

MountProcess::MountProcess(const std::vector<std::string>& argv, fs::path home, fs::path point)
    : home_(std::move(home)), point_(std::move(point)) {
  fs::create_directories(point_);
  pid_ = spawnIn(argv, home_, home_ / (point_.filename().string() + ".out"));
  up_ = pid_ > 0 && waitUntil([&] { return isMountPoint(point_); });
}

MountProcess::~MountProcess() {
  if (isMountPoint(point_)) {
    waitFor(spawnIn({"fusermount3", "-u", point_.string()}, home_, "/dev/null"));
  }
  if (pid_ > 0) {
    int st = 0;
    if (!waitUntil([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; },
                   std::chrono::seconds(20))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &st, 0);
    }
  }
  if (isMountPoint(point_)) {
    waitFor(spawnIn({"fusermount3", "-u", "-z", point_.string()}, home_, "/dev/null"));
  }
}

namespace {

// Fetches of one file of each account, taking turns; seconds per account.
bool timeFetches(Account* accounts[2], const std::string ulids[2], std::vector<double> times[2]) {
  for (int i = 0; i < kRequests; ++i) {
    for (int k = 0; k < 2; ++k) {
      auto t0 = Clock::now();
      json r = call(accounts[k]->socket(),
                    {{"op", "fetch"}, {"account", "primary"}, {"ulid", ulids[k]}});
      times[k].push_back(secondsSince(t0));
      if (r.value("ok", false) != true) return false;
    }
  }
  return true;
}

// Creates of new files in one folder of each account, taking turns; the
// ulids of what was made go to `made`.
bool timeCreates(Account* accounts[2], const std::string folders[2], std::vector<double> times[2],
                 std::vector<std::string> made[2]) {
  for (int i = 0; i < kRequests; ++i) {
    for (int k = 0; k < 2; ++k) {
      fs::path staged = accounts[k]->container() / "fp-upload" / ("staged-" + std::to_string(i));
      std::ofstream(staged) << "new " << i << "\n";
      auto t0 = Clock::now();
      json r = call(accounts[k]->socket(), {{"op", "create"},
                                            {"account", "primary"},
                                            {"parent", folders[k]},
                                            {"name", "New " + std::to_string(i)},
                                            {"path", staged.string()}});
      times[k].push_back(secondsSince(t0));
      if (r.value("ok", false) != true) return false;
      made[k].push_back(r.value("ulid", ""));
    }
  }
  return true;
}

}  // namespace

std::optional<std::pair<RequestTimes, RequestTimes>> timeRequests(Account& small,
                                                                  const std::string& smallFolder,
                                                                  Account& large,
                                                                  const std::string& largeFolder) {
  Account* accounts[2] = {&small, &large};
  std::string folders[2], files[2];
  const std::string names[2] = {smallFolder, largeFolder};
  for (int k = 0; k < 2; ++k) {
    auto found = accounts[k]->ulids(names[k], "Document 000042.txt");
    if (!found) return std::nullopt;
    std::tie(folders[k], files[k]) = *found;
  }
  std::vector<double> fetches[2], creates[2];
  std::vector<std::string> made[2];
  const bool ok =
      timeFetches(accounts, files, fetches) && timeCreates(accounts, folders, creates, made);
  // The accounts hold what they held before, for the passes after these and
  // for the next run of a kept account.
  for (int k = 0; k < 2; ++k) {
    for (const std::string& ulid : made[k]) {
      call(accounts[k]->socket(),
           {{"op", "delete"}, {"account", "primary"}, {"ulid", ulid}, {"is_folder", false}});
    }
  }
  if (!ok) return std::nullopt;
  return std::pair(RequestTimes{median(fetches[0]), median(creates[0])},
                   RequestTimes{median(fetches[1]), median(creates[1])});
}

std::optional<double> timeEntryForFile(const fs::path& containers, const std::string& ulid,
                                       int times) {
  ::setenv("FILEPROVIDER_CONTAINERS", containers.c_str(), 1);
  std::optional<pellora::Index> index = pellora::Index::open();
  if (!index) return std::nullopt;
  auto t0 = Clock::now();
  for (int i = 0; i < times; ++i) {
    if (!index->entryForFile(ulid)) return std::nullopt;
  }
  return secondsSince(t0) / times;
}

bool copyWithoutFoldedIndexes(const Account& a, const fs::path& containers) {
  fs::path target = containers / kAppGroup / "state.db";
  fs::create_directories(target.parent_path());
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(a.database().c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db, ("VACUUM INTO '" + target.string() + "'").c_str(), nullptr, nullptr,
                         nullptr) == SQLITE_OK;
  sqlite3_close(db);
  db = nullptr;
  ok = ok && sqlite3_open(target.c_str(), &db) == SQLITE_OK &&
       sqlite3_exec(db, "DROP INDEX folders_by_parent_folded; DROP INDEX items_by_folder_folded;",
                    nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

std::optional<std::pair<double, double>> copyAndRemove(const fs::path& source,
                                                       const fs::path& target,
                                                       const fs::path& home) {
  auto t0 = Clock::now();
  if (!sh("cp -r '" + source.string() + "' '" + target.string() + "/'", home)) return std::nullopt;
  double copy = secondsSince(t0);
  t0 = Clock::now();
  if (!sh("rm -r '" + (target / source.filename()).string() + "'", home)) return std::nullopt;
  return std::pair(copy, secondsSince(t0));
}

double readSeconds(const fs::path& file, bool dropCache) {
  std::vector<char> buf(1 << 20);
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (dropCache) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  auto t0 = Clock::now();
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  double s = secondsSince(t0);
  ::close(fd);
  return s;
}

std::optional<double> listSeconds(const fs::path& dir, const fs::path& home, const char* options) {
  auto t0 = Clock::now();
  if (!sh(std::string("ls ") + options + " '" + dir.string() + "' > /dev/null", home)) {
    return std::nullopt;
  }
  return secondsSince(t0);
}

}  // namespace pellora::bench::scale
