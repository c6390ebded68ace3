#include "reference-host/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace refhost::testing {

namespace fs = std::filesystem;

int runAsOtherUser(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0) {
      ::_exit(255);
    }
    ::_exit(body() & 0xFF);
  }
  int status = 0;
  if (fp::retryOnEintr([&] { return ::waitpid(child, &status, 0); }) != child) return -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return -1;
  return WEXITSTATUS(status);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/rh-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::optional<std::string> sendLine(const fs::path& socket, const std::string& line,
                                    bool endSending) {
  fp::ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return std::nullopt;
  }
  timeval tv{20, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  for (std::size_t done = 0; done < line.size();) {
    ssize_t n = ::send(fd.get(), line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (endSending) ::shutdown(fd.get(), SHUT_WR);
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd.get(), buf, sizeof buf, 0)) > 0) reply.append(buf, n);
  return reply;
}

nlohmann::json call(const fs::path& socket, const nlohmann::json& request) {
  auto reply = sendLine(socket, request.dump() + "\n");
  if (!reply || reply->empty()) return nullptr;
  return nlohmann::json::parse(*reply, nullptr, false);
}

IndexReader::IndexReader(const fs::path& database) {
  sqlite3* raw = nullptr;
  std::string uri = "file:" + database.string() + "?mode=ro";
  int rc = sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + database.string());
  sqlite3_busy_timeout(raw, 3000);
}

std::map<std::string, Row> IndexReader::rows() {
  std::vector<Row> all;
  auto read = [&](const char* sql, bool folders) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &s, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_.get()));
    }
    while (sqlite3_step(s) == SQLITE_ROW) {
      Row r;
      r.isFolder = folders;
      r.ulid = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      r.name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
      if (sqlite3_column_type(s, 2) != SQLITE_NULL) {
        r.parent = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
      }
      if (!folders) {
        r.size = sqlite3_column_int64(s, 3);
        r.mtimeUnix = sqlite3_column_int64(s, 4);
        r.version = sqlite3_column_int64(s, 5);
        if (sqlite3_column_type(s, 6) != SQLITE_NULL) r.lockedBy = sqlite3_column_int64(s, 6);
      }
      all.push_back(r);
    }
    sqlite3_finalize(s);
  };
  read("SELECT ulid, name, parent_ulid FROM folders", true);
  read(
      "SELECT ulid, name, folder_ulid, size, mtime_unix, version_number, locked_by_user_id "
      "FROM items",
      false);
  std::map<std::string, const Row*> folders;
  for (const Row& r : all) {
    if (r.isFolder) folders[r.ulid] = &r;
  }
  std::map<std::string, Row> byPath;
  for (const Row& r : all) {
    std::string path = r.name;
    for (auto p = r.parent; p;) {
      auto it = folders.find(*p);
      if (it == folders.end()) {
        path = "?/" + path;
        break;
      }
      path = it->second->name + "/" + path;
      p = it->second->parent;
    }
    byPath[path] = r;
  }
  return byPath;
}

std::int64_t IndexReader::dataVersion() {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db_.get(), "PRAGMA data_version", -1, &s, nullptr);
  std::int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  return v;
}

std::map<std::string, bool> storeTree(const fs::path& store) {
  std::map<std::string, bool> tree;
  for (auto it = fs::recursive_directory_iterator(store); it != fs::recursive_directory_iterator();
       ++it) {
    std::string rel = fs::relative(it->path(), store).string();
    if (rel == ".refhost") {
      it.disable_recursion_pending();
      continue;
    }
    tree[rel] = it->is_directory();
  }
  return tree;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

void writeFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string programPath() { return REFHOST_PROGRAM; }

Process::Process(const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  fp::ScopedFD readEnd(fds[0]), writeEnd(fds[1]);
  errFile_ = fs::temp_directory_path() / ("rh-stderr-" + std::to_string(::getpid()) + "-" +
                                          std::to_string(reinterpret_cast<std::uintptr_t>(this)));
  std::vector<std::string> argv = {programPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(writeEnd.get(), STDOUT_FILENO);
    int err = ::open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  out_ = std::move(readEnd);
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  fs::remove(errFile_, ec);
}

std::optional<std::string> Process::firstLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto lf = pending_.find('\n'); lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buf[1024];
    ssize_t n = ::read(out_.get(), buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, n);
  }
}

int Process::wait(std::optional<int> signal) {
  if (pid_ <= 0) return -1;
  if (signal) ::kill(pid_, *signal);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

std::string Process::standardError() const { return readFile(errFile_); }

}  // namespace refhost::testing
