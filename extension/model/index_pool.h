// IndexPool: read-only connections to one account's index, kept between
// requests so that a look-up does not pay for opening the database.
#ifndef PELLORA_MODEL_INDEX_POOL_H_
#define PELLORA_MODEL_INDEX_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "extension/model/index.h"

namespace pellora {

// Safe to use from any number of threads at once. Each connection serves one
// caller at a time: it is lent to one call of withIndex and comes back when
// that call ends. Each call reads in one read transaction of its own, begun as
// it starts and ended before the connection comes back, so a kept connection
// sees every write the host committed before the call, as a fresh one would.
//
// A connection is kept only while requests come: one left unused for
// `idleLife` is closed by a thread of the pool, which runs only while it keeps
// connections. An open reader stops the host from removing the database's
// write-ahead log when it closes, and a log left behind would be read with any
// new database file put in the old one's place.
class IndexPool {
 public:
  // Connections kept idle at most; one given back beyond that is closed.
  static constexpr std::size_t maxIdle = 4;
  static constexpr std::chrono::milliseconds defaultIdleLife{1000};

  // Opens nothing yet.
  IndexPool(std::string appGroup, std::string databaseName,
            std::chrono::milliseconds idleLife = defaultIdleLife);
  // close().
  ~IndexPool();

  IndexPool(const IndexPool&) = delete;
  IndexPool& operator=(const IndexPool&) = delete;

  // `read(const Index&)` on a connection of its own for the length of the call:
  // a kept one while the database name still leads to the file it was opened
  // on, else a fresh one from Index::open (a replaced or removed file is never
  // read through an old connection). None, without calling `read`, when no
  // connection opens. `read` returns a type constructible from std::nullopt.
  template <class Read>
  auto withIndex(Read&& read) -> decltype(read(std::declval<const Index&>())) {
    std::optional<Index> index = take();
    if (!index) return std::nullopt;
    Lease lease(*this, std::move(*index));
    return read(lease.index);
  }

  // Closes every kept connection, and from now on each one given back; waits
  // for the pool's thread to end.
  void close();

 private:
  using Clock = std::chrono::steady_clock;
  struct Kept {
    Index index;
    Clock::time_point since;  // given back then
  };
  // Gives its connection back when it goes, also when `read` throws.
  struct Lease {
    Lease(IndexPool& pool, Index i) : owner(pool), index(std::move(i)) { index.beginRead(); }
    ~Lease() {
      index.endRead();
      owner.giveBack(std::move(index));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    IndexPool& owner;
    Index index;
  };

  std::optional<Index> take();
  void giveBack(Index index);
  // The pool's thread: closes connections that outlived idleLife_, and ends
  // once none is kept.
  void closeIdle();

  const std::string appGroup_;
  const std::string databaseName_;
  const std::chrono::milliseconds idleLife_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Kept> idle_;  // guarded by mutex_, the most recently given back last
  bool closed_ = false;     // guarded by mutex_
  bool closing_ = false;    // guarded by mutex_: the thread runs
  std::thread closer_;      // guarded by mutex_
};

}  // namespace pellora

#endif  // PELLORA_MODEL_INDEX_POOL_H_
