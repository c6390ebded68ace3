#include "extension/testing/test_host.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "extension/testing/temp_container.h"

namespace pellora::testing {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

struct TestHost::Connection {
  fp::ScopedFD fd;
  std::optional<Script> script;  // the queued script, if there was one
  std::size_t index = 0;         // of its request in requests_
  bool finished = false;         // guarded by TestHost::mutex_
  std::thread thread;            // joined by the acceptor or by stop()
};

Script Script::reply(std::string bytes) {
  Script s;
  s.replyPieces.push_back({std::move(bytes), milliseconds(0)});
  return s;
}

Script Script::replyAfter(milliseconds delay, std::string bytes) {
  Script s;
  s.replyPieces.push_back({std::move(bytes), delay});
  return s;
}

Script Script::pieces(std::vector<std::string> pieces, milliseconds pause) {
  Script s;
  for (auto& p : pieces) {
    s.replyPieces.push_back({std::move(p), s.replyPieces.empty() ? milliseconds(0) : pause});
  }
  return s;
}

Script Script::silent() {
  Script s;
  s.keepOpen = true;
  return s;
}

Script Script::closeWithoutReply() { return Script{}; }

Script Script::closeAtOnce() {
  Script s;
  s.closeBeforeRead = true;
  return s;
}

TestHost::TestHost(const TempContainer& container) : TestHost(container.dir() / "fp.sock") {}

TestHost::TestHost(fs::path socketPath) : path_(std::move(socketPath)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& native = path_.native();
  if (native.size() >= sizeof address.sun_path) {
    throw std::runtime_error("TestHost: socket path too long: " + native);
  }
  std::memcpy(address.sun_path, native.data(), native.size());
  std::error_code ec;
  fs::remove(path_, ec);

  listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_) throw std::system_error(errno, std::generic_category(), "TestHost: socket");
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::system_error(errno, std::generic_category(), "TestHost: bind " + native);
  }
  if (::listen(listener_.get(), SOMAXCONN) != 0) {
    int e = errno;
    fs::remove(path_, ec);
    throw std::system_error(e, std::generic_category(), "TestHost: listen");
  }
  wake_.reset(::eventfd(0, EFD_CLOEXEC));
  if (!wake_) {
    int e = errno;
    fs::remove(path_, ec);
    throw std::system_error(e, std::generic_category(), "TestHost: eventfd");
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHost::~TestHost() { stop(); }

void TestHost::enqueue(Script script) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(script));
}

void TestHost::respond(Responder reply, milliseconds delay) {
  respondWithScript([reply = std::move(reply), delay](const nlohmann::json& request) {
    return Script::replyAfter(delay, reply(request));
  });
}

void TestHost::respondWithScript(ScriptResponder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

std::vector<std::string> TestHost::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<nlohmann::json> TestHost::parsedRequests() const {
  std::vector<nlohmann::json> out;
  for (const auto& raw : requests()) {
    auto parsed = nlohmann::json::parse(raw, nullptr, false);
    out.push_back(parsed.is_discarded() ? nlohmann::json() : std::move(parsed));
  }
  return out;
}

std::size_t TestHost::connectionCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::size_t TestHost::finishedCount() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool TestHost::waitForFinished(std::size_t n, milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ >= n; });
}

bool TestHost::waitIdle(milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ == requests_.size(); });
}

void TestHost::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  const std::uint64_t one = 1;
  (void)fp::retryOnEintr([&] { return ::write(wake_.get(), &one, sizeof one); });
  if (acceptor_.joinable()) acceptor_.join();
  listener_.reset();
  // The acceptor is gone, so live_ changes no more; the workers only take the
  // lock to finish.
  std::list<std::shared_ptr<Connection>> live;
  {
    std::lock_guard lock(mutex_);
    live.swap(live_);
  }
  for (auto& c : live) {
    if (c->thread.joinable()) c->thread.join();
  }
  std::error_code ec;
  fs::remove(path_, ec);
  wake_.reset();
}

void TestHost::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (fp::retryOnEintr([&] { return ::poll(fds, 2, -1); }) < 0) return;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    fp::ScopedFD accepted(fp::retryOnEintr(
        [&] { return ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC); }));
    if (!accepted) continue;

    std::lock_guard lock(mutex_);
    reapFinishedLocked();
    auto connection = std::make_shared<Connection>();
    connection->fd = std::move(accepted);
    if (!queue_.empty()) {
      connection->script = std::move(queue_.front());
      queue_.pop_front();
    }
    connection->index = requests_.size();
    requests_.emplace_back();
    live_.push_back(connection);
    Connection* raw = connection.get();
    raw->thread = std::thread([this, raw] { serve(*raw); });
  }
}

void TestHost::reapFinishedLocked() {
  for (auto it = live_.begin(); it != live_.end();) {
    // A finished connection's thread has nothing left to do but return.
    if ((*it)->finished) {
      (*it)->thread.join();
      it = live_.erase(it);
    } else {
      ++it;
    }
  }
}

bool TestHost::pause(milliseconds d) const {
  if (d.count() <= 0) return true;
  pollfd fd{wake_.get(), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + d;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    int r = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (r > 0) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

bool TestHost::readable(int fd) const {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  if (fp::retryOnEintr([&] { return ::poll(fds, 2, -1); }) < 0) return false;
  return fds[1].revents == 0;
}

void TestHost::serve(Connection& connection) {
  const int fd = connection.fd.get();
  Script script = connection.script.value_or(Script{});
  const bool scripted = connection.script.has_value();
  bool go = pause(script.delayBeforeRead) && !script.closeBeforeRead;

  // The request: bytes up to the first LF, or to the end of the stream.
  std::string request;
  bool complete = false;
  while (go && !complete) {
    if (!readable(fd)) {
      go = false;
      break;
    }
    char buffer[4096];
    const ssize_t n = fp::retryOnEintr([&] { return ::recv(fd, buffer, sizeof buffer, 0); });
    if (n <= 0) break;
    complete = std::memchr(buffer, '\n', static_cast<std::size_t>(n)) != nullptr;
    request.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard lock(mutex_);
    requests_[connection.index].append(buffer, static_cast<std::size_t>(n));
  }

  if (go && !scripted) {
    ScriptResponder responder;
    {
      std::lock_guard lock(mutex_);
      responder = responder_;
    }
    if (responder) {
      auto parsed = nlohmann::json::parse(request, nullptr, false);
      try {
        script = responder(parsed.is_discarded() ? nlohmann::json(request) : parsed);
      } catch (const std::exception&) {
        // A responder that cannot handle the request closes it without a reply.
        script = Script::closeWithoutReply();
      }
    }
  }

  for (std::size_t i = 0; go && i < script.replyPieces.size(); ++i) {
    const Script::Piece& piece = script.replyPieces[i];
    if (!pause(piece.pauseBefore)) {
      go = false;
      break;
    }
    std::size_t sent = 0;
    while (sent < piece.bytes.size()) {
      const ssize_t n = fp::retryOnEintr([&] {
        return ::send(fd, piece.bytes.data() + sent, piece.bytes.size() - sent, MSG_NOSIGNAL);
      });
      if (n <= 0) {
        go = false;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
  }

  // Held open until the peer closes its end (or the host stops).
  while (go && script.keepOpen && readable(fd)) {
    char buffer[4096];
    if (fp::retryOnEintr([&] { return ::recv(fd, buffer, sizeof buffer, 0); }) <= 0) break;
  }

  std::lock_guard lock(mutex_);
  connection.fd.reset();
  connection.finished = true;
  ++finished_;
  changed_.notify_all();
}

}  // namespace pellora::testing
