// The data version of an index: a fingerprint of what any committed write to the
// database changes, read without writing or opening a transaction.
#ifndef PELLORA_MODEL_DATA_VERSION_H_
#define PELLORA_MODEL_DATA_VERSION_H_

#include <sqlite3.h>

#include <cstdint>

namespace pellora::index_detail {

// A value that changes whenever another connection has committed a write to the
// main database of `db`, and stays equal while nothing is written; the same in
// every process, never 0. Never writes.
std::int64_t indexDataVersion(sqlite3* db);

}  // namespace pellora::index_detail

#endif  // PELLORA_MODEL_DATA_VERSION_H_
