#include "extension/model/data_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fileprovider/scoped_fd.h"

namespace pellora::index_detail {
namespace {

// The database header's file change counter and page count (4 bytes each, at
// offset 24): every commit in rollback-journal mode advances them.
constexpr std::int64_t kChangeCounterOffset = 24;
constexpr std::size_t kChangeCounterBytes = 8;
// The WAL header (magic, format, page size, checkpoint sequence, salts,
// checksums): a restart of the log draws new salts.
constexpr std::size_t kWalHeaderBytes = 32;
// Stand in for a database file that cannot be read, and for a missing log.
constexpr std::int64_t kNoDatabaseFile = -1;
constexpr std::int64_t kNoLog = -2;

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
  // FNV-1a's 64-bit prime and offset basis.
  static constexpr std::uint64_t kPrime = 0x100000001B3ull;
  static constexpr std::uint64_t kOffsetBasis = 0xCBF29CE484222325ull;

  void addByte(unsigned char b) {
    hash_ ^= b;
    hash_ *= kPrime;
  }
  std::uint64_t hash_ = kOffsetBasis;
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
    fingerprint.add(kNoDatabaseFile);
  }

  // The header is read through SQLite's own descriptor: opening and closing a
  // second descriptor on the database would drop the POSIX locks that other
  // connections of this process hold on it. A short read leaves zeros.
  std::array<unsigned char, kChangeCounterBytes> header{};
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
      file != nullptr && file->pMethods != nullptr) {
    if (file->pMethods->xRead(file, header.data(), static_cast<int>(header.size()),
                              kChangeCounterOffset) != SQLITE_OK) {
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
    std::array<unsigned char, kWalHeaderBytes> walHeader{};
    ssize_t n =
        fp::retryOnEintr([&] { return ::pread(wal.get(), walHeader.data(), walHeader.size(), 0); });
    if (n < 0) walHeader.fill(0);
    fingerprint.add(walHeader);
  } else {
    fingerprint.add(kNoLog);
  }
  return fingerprint.value();
}

}  // namespace pellora::index_detail
