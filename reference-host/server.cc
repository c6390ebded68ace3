#include "reference-host/server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "reference-host/access.h"
#include "reference-host/request_failure.h"

namespace refhost {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::optional<sockaddr_un> addressOf(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof addr.sun_path) return std::nullopt;
  std::memcpy(addr.sun_path, text.data(), text.size());
  return addr;
}

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// What a request is about, for the log: its ulid, else its name.
std::string subjectOf(const json& request) {
  for (const char* key : {"ulid", "name"}) {
    auto it = request.find(key);
    if (it != request.end() && it->is_string()) {
      return it->dump(-1, ' ', false, json::error_handler_t::replace);
    }
  }
  return {};
}

std::string outcomeOf(const json& reply) {
  auto ok = reply.find("ok");
  if (ok != reply.end() && ok->is_boolean() && ok->get<bool>()) return "ok";
  std::string text = "failed";
  auto kind = reply.find("kind");
  if (kind != reply.end() && kind->is_string()) text += " (" + kind->get<std::string>() + ")";
  auto error = reply.find("error");
  if (error != reply.end() && error->is_string()) text += ": " + error->get<std::string>();
  return text;
}

}  // namespace

fp::StatusOr<std::unique_ptr<Server>> Server::listen(ServerOptions options, Handler handler,
                                                     LineLog log) {
  const std::filesystem::path& path = options.socketPath;
  auto addr = addressOf(path);
  if (!addr) {
    return fp::fail(fp::Error::posix(
        ENAMETOOLONG, "socket path " + path.string() + " (" + std::to_string(path.native().size()) +
                          " bytes, at most " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                          ")"));
  }
  if (path.native().size() > 103) {
    log("warning: the socket path " + path.string() +
        " is longer than 103 bytes; the extension cannot reach it");
  }

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return fp::fail(fp::Error::posix(EEXIST, path.string() + " exists and is not a socket"));
    }
    fp::ScopedFD probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return fp::fail(fp::Error::posix(errno, "creating a socket"));
    int rc = fp::retryOnEintr([&] {
      return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr);
    });
    if (rc == 0) {
      return fp::fail(
          fp::Error::posix(EADDRINUSE, path.string() + " is served by a running process"));
    }
    if (errno != ECONNREFUSED && errno != ENOENT) {
      return fp::fail(fp::Error::posix(errno, "probing " + path.string()));
    }
    log("replacing the stale socket " + path.string());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return fp::fail(fp::Error::posix(errno, "removing " + path.string()));
    }
  }

  // Non-blocking: run() accepts until the listen queue is empty.
  fp::ScopedFD listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) return fp::fail(fp::Error::posix(errno, "creating a socket"));
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return fp::fail(fp::Error::posix(errno, "binding " + path.string()));
  }
  // Only the owner may connect (peers are checked on accept as well).
  if (::chmod(path.c_str(), 0600) != 0) {
    int err = errno;
    ::unlink(path.c_str());
    return fp::fail(fp::Error::posix(err, "restricting " + path.string()));
  }
  if (::listen(listener.get(), 64) != 0 || ::lstat(path.c_str(), &st) != 0) {
    int err = errno;
    ::unlink(path.c_str());
    return fp::fail(fp::Error::posix(err, "listening on " + path.string()));
  }
  fp::ScopedFD stopping(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopping) {
    int err = errno;
    ::unlink(path.c_str());
    return fp::fail(fp::Error::posix(err, "creating an eventfd"));
  }
  return std::unique_ptr<Server>(new Server(std::move(options), std::move(handler), std::move(log),
                                            std::move(listener), std::move(stopping), st.st_ino));
}

Server::Server(ServerOptions options, Handler handler, LineLog log, fp::ScopedFD listener,
               fp::ScopedFD stopping, ino_t inode)
    : options_(std::move(options)),
      handler_(std::move(handler)),
      log_(std::move(log)),
      listener_(std::move(listener)),
      stopping_(std::move(stopping)),
      inode_(inode) {}

Server::~Server() {
  if (listener_) {
    listener_.reset();
    removeSocketFile();
  }
  std::uint64_t one = 1;
  (void)::write(stopping_.get(), &one, sizeof one);
  closeWorkers();
}

void Server::closeWorkers() {
  {
    std::lock_guard lock(mu_);
    closing_ = true;
  }
  work_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  // Without any worker (none could be started), what is queued is answered here.
  std::unique_lock lock(mu_);
  while (!queue_.empty()) {
    Ready r = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    serve(std::move(r));
    lock.lock();
  }
}

void Server::removeSocketFile() {
  // Only the file this server made: a newer host may have replaced it.
  struct stat st {};
  if (::lstat(options_.socketPath.c_str(), &st) == 0 && st.st_ino == inode_) {
    ::unlink(options_.socketPath.c_str());
  }
}

fp::ScopedFD Server::acceptOne() {
  return fp::ScopedFD(fp::retryOnEintr(
      [&] { return ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
}

std::optional<Server::Ready> Server::receive(Waiting& w, bool& drop) {
  drop = false;
  char chunk[65536];
  ssize_t got = fp::retryOnEintr([&] { return ::recv(w.fd.get(), chunk, sizeof chunk, 0); });
  if (got < 0) {
    drop = errno != EAGAIN && errno != EWOULDBLOCK;
    return std::nullopt;
  }
  if (got == 0) {
    // The peer finished sending without a line end: take what came.
    drop = w.buffer.empty();
    if (drop) return std::nullopt;
    return Ready{std::move(w.fd), std::move(w.buffer), false};
  }
  std::size_t start = w.buffer.size();
  w.buffer.append(chunk, static_cast<std::size_t>(got));
  auto lf = w.buffer.find('\n', start);
  if (lf != std::string::npos) w.buffer.resize(lf);
  if (w.buffer.size() > options_.maxRequestBytes) return Ready{std::move(w.fd), {}, true};
  if (lf == std::string::npos) return std::nullopt;
  return Ready{std::move(w.fd), std::move(w.buffer), false};
}

void Server::dispatch(Ready ready) {
  {
    std::lock_guard lock(mu_);
    queue_.push_back(std::move(ready));
  }
  work_.notify_one();
  startWorkersAsNeeded();
}

void Server::startWorkersAsNeeded() {
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (idle_ >= queue_.size() || workers_.size() >= options_.maxConnections) return;
      ++idle_;  // the new worker's
    }
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::system_error& e) {
      {
        std::lock_guard lock(mu_);
        --idle_;
      }
      // The request waits for a free worker, or for the next try.
      log_(std::string("cannot start a thread for a request: ") + e.what());
      return;
    }
  }
}

void Server::work() {
  std::unique_lock lock(mu_);
  for (;;) {
    work_.wait(lock, [&] { return !queue_.empty() || closing_; });
    if (queue_.empty()) {
      --idle_;
      return;
    }
    Ready r = std::move(queue_.front());
    queue_.pop_front();
    --idle_;
    lock.unlock();
    serve(std::move(r));
    lock.lock();
    ++idle_;
  }
}

void Server::run(int stopFd) {
  std::list<Waiting> waiting;
  std::vector<pollfd> fds;
  std::vector<Waiting*> polled;
  while (listener_) {
    startWorkersAsNeeded();  // after a failed start: tries again

    const auto now = Clock::now();
    for (auto it = waiting.begin(); it != waiting.end();) {
      if (it->deadline <= now) {
        log_("dropped a connection that sent no whole request in time");
        it = waiting.erase(it);
      } else {
        ++it;
      }
    }
    auto next = now + std::chrono::milliseconds(500);
    for (const Waiting& w : waiting) next = std::min(next, w.deadline);

    const bool full = waiting.size() >= options_.maxWaitingConnections;
    fds.assign({{stopFd, POLLIN, 0}, {listener_.get(), static_cast<short>(full ? 0 : POLLIN), 0}});
    polled.clear();
    for (Waiting& w : waiting) {
      fds.push_back({w.fd.get(), POLLIN, 0});
      polled.push_back(&w);
    }
    int n = ::poll(fds.data(), fds.size(), millisLeft(next));
    if (n < 0) {
      if (errno == EINTR) continue;
      log_(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (fds[0].revents != 0) break;
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (fds[i + 2].revents == 0) continue;
      bool drop = false;
      std::optional<Ready> whole = receive(*polled[i], drop);
      if (whole) dispatch(std::move(*whole));
      if (whole || drop) {
        waiting.remove_if([&](const Waiting& w) { return &w == polled[i]; });
      }
    }
    if (fds[1].revents & POLLIN) {
      // Every peer in the listen queue, up to the limit.
      while (waiting.size() < options_.maxWaitingConnections) {
        fp::ScopedFD connection = acceptOne();
        if (!connection) break;  // none left, the peer gave up, or out of descriptors for now
        if (!peerIsOwner(connection.get())) {
          // Another user's process: closed unanswered.
          auto uid = peerUid(connection.get());
          log_("refused a connection from uid " + (uid ? std::to_string(*uid) : "unknown") +
               ": only uid " + std::to_string(::geteuid()) + " may connect");
          continue;
        }
        // The request is often there already: no need to wait for the next poll.
        Waiting w{std::move(connection), {}, Clock::now() + options_.requestTimeout};
        bool drop = false;
        if (std::optional<Ready> whole = receive(w, drop)) {
          dispatch(std::move(*whole));
        } else if (!drop) {
          waiting.push_back(std::move(w));
        }
      }
    }
  }
  listener_.reset();
  removeSocketFile();
  waiting.clear();  // requests not yet whole are dropped
  std::uint64_t one = 1;
  (void)::write(stopping_.get(), &one, sizeof one);
  // Every whole request is answered (injected delays are cut short now).
  startWorkersAsNeeded();
  closeWorkers();
}

void Server::sendReply(int fd, const json& reply) {
  std::string text = reply.dump(-1, ' ', false, json::error_handler_t::replace);
  text.push_back('\n');
  auto deadline = Clock::now() + options_.replyTimeout;
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      int left = millisLeft(deadline);
      if (left > 0 && fp::retryOnEintr([&] { return ::poll(&p, 1, left); }) > 0) continue;
      log_("gave up sending a reply: the peer does not read");
      return;
    }
    return;  // the peer is gone
  }
}

void Server::pause(std::chrono::milliseconds delay) {
  auto deadline = Clock::now() + delay;
  for (;;) {
    int left = millisLeft(deadline);
    if (left <= 0) return;
    pollfd p{stopping_.get(), POLLIN, 0};
    int n = ::poll(&p, 1, left);
    if (n > 0) return;
    if (n < 0 && errno != EINTR) return;
  }
}

void Server::serve(Ready ready) {
  fp::ScopedFD connection = std::move(ready.fd);
  if (ready.tooLarge) {
    log_("refused a request of more than " + std::to_string(options_.maxRequestBytes) + " bytes");
    sendReply(
        connection.get(),
        replyFor(
            {{}, "request larger than " + std::to_string(options_.maxRequestBytes) + " bytes"}));
    return;
  }
  const std::string* line = &ready.line;

  json request = json::parse(*line, nullptr, /*allow_exceptions=*/false);
  std::string op;
  if (request.is_object()) {
    auto it = request.find("op");
    if (it != request.end() && it->is_string()) op = it->get<std::string>();
  }
  std::string what = op.empty() ? std::string("request") : op;
  if (request.is_object()) {
    if (std::string subject = subjectOf(request); !subject.empty()) what += " " + subject;
  }

  json reply;
  if (request.is_discarded()) {
    reply = replyFor({{}, "bad request: not JSON"});
  } else if (options_.faults.withheld.count(op)) {
    pause(options_.faults.delay);
    log_(what + " -> no reply (injected)");
    return;
  } else if (auto f = options_.faults.failures.find(op); f != options_.faults.failures.end()) {
    reply = replyFor({f->second, "injected failure"});
  } else {
    try {
      reply = handler_(request);
    } catch (const std::exception& e) {
      reply = replyFor({{}, std::string("internal error: ") + e.what()});
    }
  }
  pause(options_.faults.delay);
  log_(what + " -> " + outcomeOf(reply));
  sendReply(connection.get(), reply);
}

}  // namespace refhost
