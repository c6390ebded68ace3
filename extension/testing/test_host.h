// TestHost: a stand-in for the host application in tests and benchmarks. It
// listens on a real Unix-domain socket, records the raw bytes of every request
// it receives, and answers each connection with a scripted behaviour.
//
// Typical use:
//
//   TempContainer container;
//   TestHost host(container);                  // listens on <container>/fp.sock
//   host.enqueue(Script::reply(R"({"ok":true,"path":"/tmp/x"})" "\n"));
//   ... call the bridge ...
//   EXPECT_EQ(host.requests()[0], R"({"op":"fetch",...})" "\n");
//
// or, answering from the request itself, with many concurrent connections:
//
//   host.respond([](const nlohmann::json& request) {
//     return std::string(R"({"ok":true,"path":"/tmp/)") + request["ulid"].get<std::string>() +
//            "\"}\n";
//   }, std::chrono::milliseconds(50));
//
// Every accepted connection is served on its own thread, so any number of
// connections run at the same time. A connection takes the first script waiting
// in the queue of enqueue() when it is accepted; while the queue is empty,
// connections are answered by the responder; without a responder they are
// closed after the request was read, with no reply.
//
// The destructor (or stop()) wakes every waiting connection, joins all threads,
// closes every descriptor and removes the socket file. All methods are
// thread-safe.
#ifndef PELLORA_TESTING_TEST_HOST_H_
#define PELLORA_TESTING_TEST_HOST_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileprovider/scoped_fd.h"

namespace pellora::testing {

class TempContainer;

// What the host does with one connection, step by step:
//   1. wait `delayBeforeRead`;
//   2. unless `closeBeforeRead`, read the request: bytes up to and including the
//      first LF, or up to end of stream;
//   3. send each of `replyPieces` in turn, first waiting its `pauseBefore`;
//   4. close, or with `keepOpen` hold the connection open until the peer closes
//      it (or the host stops).
// With `closeBeforeRead` the connection is closed right after step 1 and nothing
// is recorded (the recorded request is empty).
struct Script {
  struct Piece {
    std::string bytes;
    std::chrono::milliseconds pauseBefore{0};
  };

  std::chrono::milliseconds delayBeforeRead{0};
  bool closeBeforeRead = false;
  std::vector<Piece> replyPieces;
  bool keepOpen = false;

  // `bytes` in one piece, then close.
  static Script reply(std::string bytes);
  // `bytes` in one piece after waiting `delay` (counted from reading the request).
  static Script replyAfter(std::chrono::milliseconds delay, std::string bytes);
  // Each of `pieces` in turn, with `pause` before every piece after the first.
  static Script pieces(std::vector<std::string> pieces, std::chrono::milliseconds pause);
  // Reads the request and never answers; the connection stays open.
  static Script silent();
  // Reads the request and closes without a reply.
  static Script closeWithoutReply();
  // Closes the connection at once, without reading anything.
  static Script closeAtOnce();
};

class TestHost {
 public:
  // Maps a parsed request to the bytes to send back (include the trailing LF
  // yourself). A request that is not JSON reaches the responder as a JSON
  // string holding the raw bytes. A responder that throws closes the connection
  // without a reply. Responders run on the connection threads, several at once.
  using Responder = std::function<std::string(const nlohmann::json& request)>;
  // Maps a parsed request to a whole behaviour (delays, pieces, no reply ...).
  using ScriptResponder = std::function<Script(const nlohmann::json& request)>;

  // Listens on `<container.dir()>/fp.sock`, the socket the bridge connects to.
  explicit TestHost(const TempContainer& container);
  // Listens on `socketPath` (an existing file there is replaced). Throws
  // std::runtime_error when the socket cannot be bound.
  explicit TestHost(std::filesystem::path socketPath);
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  const std::filesystem::path& socketPath() const { return path_; }

  // Queues the behaviour of a connection still to be accepted.
  void enqueue(Script script);
  // Answers every connection past the queued scripts with `reply(request)`,
  // sent in one piece `delay` after the request was read, then closes.
  void respond(Responder reply, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Same, with a whole behaviour per request. The request has been read by
  // then, so the script's `delayBeforeRead` and `closeBeforeRead` do not apply.
  void respondWithScript(ScriptResponder responder);

  // Raw request bytes of every connection accepted so far, in accept order; a
  // connection still being read contributes what has arrived so far.
  std::vector<std::string> requests() const;
  // The requests parsed as JSON (a request that does not parse gives null).
  std::vector<nlohmann::json> parsedRequests() const;
  // Connections accepted so far.
  std::size_t connectionCount() const;
  // Connections whose descriptor the host has closed.
  std::size_t finishedCount() const;
  // Waits until at least `n` connections are finished; false on time-out.
  [[nodiscard]] bool waitForFinished(
      std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until every accepted connection is finished; false on time-out.
  [[nodiscard]] bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Stops listening, wakes and ends every connection, joins all threads and
  // removes the socket file. Called by the destructor; safe to call twice.
  void stop();

 private:
  struct Connection;
  void acceptLoop();
  void serve(Connection& connection);
  // Sleeps `d` unless the host stops first; false when stopping.
  bool pause(std::chrono::milliseconds d) const;
  // Waits until `fd` is readable; false when the host stops first.
  bool readable(int fd) const;
  // Joins the threads of finished connections and forgets them.
  void reapFinishedLocked();

  std::filesystem::path path_;
  fp::ScopedFD listener_;
  fp::ScopedFD wake_;  // eventfd, readable once the host stops
  std::thread acceptor_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopped_ = false;
  std::deque<Script> queue_;
  ScriptResponder responder_;
  std::vector<std::string> requests_;  // per accepted connection, in accept order
  std::size_t finished_ = 0;
  std::list<std::shared_ptr<Connection>> live_;  // connections whose thread is not joined yet
};

}  // namespace pellora::testing

#endif  // PELLORA_TESTING_TEST_HOST_H_
