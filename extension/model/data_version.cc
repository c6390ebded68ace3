#include "extension/model/data_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <span>

#include "fileprovider/scoped_fd.h"

namespace pellora::index_detail {
namespace {

// 64-bit FNV-1a over fixed-width little-endian fields: the same inputs give the
// same value in every process, as a persisted sync anchor needs.
class Fingerprint {
 public:
  void add(std::int64_t v) {
    auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) addByte(static_cast<unsigned char>(u >> (8 * i)));
  }
  void add(std::span<const unsigned char> bytes) {
    for (unsigned char b : bytes) addByte(b);
  }
  void addFile(const struct stat& st) {
    add(static_cast<std::int64_t>(st.st_dev));
    add(static_cast<std::int64_t>(st.st_ino));
    add(static_cast<std::int64_t>(st.st_size));
    add(static_cast<std::int64_t>(st.st_mtim.tv_sec));
    add(static_cast<std::int64_t>(st.st_mtim.tv_nsec));
  }
  // Non-negative and never 0, which stands for "no index".
  std::int64_t value() const {
    auto v = static_cast<std::int64_t>(hash_ & 0x7FFF'FFFF'FFFF'FFFFull);
    return v == 0 ? 1 : v;
  }

 private:
  void addByte(unsigned char b) {
    hash_ ^= b;
    hash_ *= 0x100000001B3ull;
  }
  std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

}  // namespace

// "PRAGMA data_version" cannot serve here: on a connection opened afresh, as every
// Index is, it reads the same number whatever was written before. Instead the
// value is a fingerprint of what any committed write changes:
//  - the database file's identity, size and modification time (nanoseconds), and
//    its header's file change counter and page count (offsets 24 to 31), which
//    every commit in rollback-journal mode advances;
//  - the WAL file's identity, size, modification time and header (checkpoint
//    sequence, salts, checksums): every commit in WAL mode appends frames, and
//    every restart of the log draws new salts; after the last writer closes, the
//    log is gone and the checkpoint has rewritten the database file.
// The -shm file is left out, as readers write it. Nothing is written, no
// transaction is opened, and the cost is two stats and one read of the log header.
std::int64_t indexDataVersion(sqlite3* db) {
  Fingerprint fingerprint;

  const char* dbPath = sqlite3_db_filename(db, "main");
  struct stat st {};
  if (dbPath != nullptr && *dbPath != '\0' && ::stat(dbPath, &st) == 0) {
    fingerprint.addFile(st);
  } else {
    fingerprint.add(-1);
  }

  // The header is read through SQLite's own descriptor: opening and closing a
  // second descriptor on the database would drop the POSIX locks that other
  // connections of this process hold on it. A short read leaves zeros.
  std::array<unsigned char, 8> header{};
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
      file != nullptr && file->pMethods != nullptr) {
    if (file->pMethods->xRead(file, header.data(), static_cast<int>(header.size()), 24) !=
        SQLITE_OK) {
      header.fill(0);
    }
  }
  fingerprint.add(header);

  // No connection holds locks on the WAL file itself, so it may be opened here.
  const char* walPath = dbPath ? sqlite3_filename_wal(dbPath) : nullptr;
  fp::ScopedFD wal;
  if (walPath != nullptr && *walPath != '\0') {
    wal.reset(fp::retryOnEintr([&] { return ::open(walPath, O_RDONLY | O_CLOEXEC); }));
  }
  struct stat walSt {};
  if (wal && ::fstat(wal.get(), &walSt) == 0) {
    fingerprint.addFile(walSt);
    std::array<unsigned char, 32> walHeader{};
    ssize_t n =
        fp::retryOnEintr([&] { return ::pread(wal.get(), walHeader.data(), walHeader.size(), 0); });
    if (n < 0) walHeader.fill(0);
    fingerprint.add(walHeader);
  } else {
    fingerprint.add(-2);  // no log
  }
  return fingerprint.value();
}

}  // namespace pellora::index_detail
