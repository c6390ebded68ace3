// The bridge socket: a Unix-domain stream socket on which every connection
// carries one request (one JSON object on a line ended by LF) and gets one
// reply line back before the host closes it. One thread accepts connections
// and reads their requests without blocking, so that peers that connect and
// stay silent, or send slowly, cost a descriptor and delay nobody; every whole
// request is then handled and answered by one of a pool of worker threads,
// started as requests come in (at most maxConnections) and kept for the
// next ones, so that a request costs no thread start. The handler orders
// changes itself.
//
// Fault injection for tests sits here, in front of the handler: a delay before
// every reply, a failure of a chosen kind for an operation, or no reply at all.
#ifndef PELLORA_REFHOST_SERVER_H_
#define PELLORA_REFHOST_SERVER_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fileprovider/error.h"
#include "fileprovider/scoped_fd.h"
#include "reference-host/line_log.h"

namespace refhost {

struct FaultPlan {
  std::chrono::milliseconds delay{0};  // before every reply (and before a withheld one)
  // op -> the kind (not empty) of the failure it is answered with
  std::map<std::string, std::string, std::less<>> failures;
  std::set<std::string, std::less<>> withheld;  // ops whose connection is closed unanswered
};

struct ServerOptions {
  std::filesystem::path socketPath;
  FaultPlan faults;
  // A peer must have sent its whole request within this time.
  std::chrono::milliseconds requestTimeout{10'000};
  // The reply must have been taken by the peer within this time.
  std::chrono::milliseconds replyTimeout{10'000};
  std::size_t maxRequestBytes = 1 << 20;
  // Requests handled at the same time; whole requests beyond wait their turn.
  std::size_t maxConnections = 64;
  // Connections still sending their request; beyond that, new peers wait in
  // the listen queue until one finishes or times out.
  std::size_t maxWaitingConnections = 512;
};

class Server {
 public:
  using Handler = std::function<nlohmann::json(const nlohmann::json& request)>;

  // Binds and listens on `options.socketPath`. A socket file that nobody
  // listens on is replaced; one with a live listener, or another kind of
  // file, makes this fail.
  [[nodiscard]] static fp::StatusOr<std::unique_ptr<Server>> listen(ServerOptions options,
                                                                    Handler handler, LineLog log);

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  // Removes the socket file if `run` did not.
  ~Server();

  // Serves until `stopFd` becomes readable. Then stops accepting, removes the
  // socket file, drops connections that have not sent a whole request yet,
  // and returns once every request in hand has been answered.
  void run(int stopFd);

  const std::filesystem::path& socketPath() const { return options_.socketPath; }

 private:
  Server(ServerOptions options, Handler handler, LineLog log, fp::ScopedFD listener,
         fp::ScopedFD stopping, ino_t inode);
  // A connection whose request is still arriving.
  struct Waiting {
    fp::ScopedFD fd;
    std::string buffer;
    std::chrono::steady_clock::time_point deadline;
  };
  // A connection whose whole request has arrived (or that sent too much).
  struct Ready {
    fp::ScopedFD fd;
    std::string line;
    bool tooLarge = false;
  };
  // Accepts one waiting peer; an empty descriptor when none is left.
  fp::ScopedFD acceptOne();
  // Reads what `w` sent; yields its request once whole, and sets `drop` when
  // the peer went away without one.
  std::optional<Ready> receive(Waiting& w, bool& drop);
  // Queues `ready` for the workers, starting one when none is free.
  void dispatch(Ready ready);
  // Starts workers while whole requests outnumber the free workers, up to
  // maxConnections (called by the thread in run()).
  void startWorkersAsNeeded();
  // A worker: answers queued requests until the server closes and the queue
  // is empty. Counted in idle_ from its start.
  void work();
  void serve(Ready ready);
  void sendReply(int fd, const nlohmann::json& reply);
  // Waits `delay`, or less when the server starts stopping.
  void pause(std::chrono::milliseconds delay);
  void removeSocketFile();
  // Lets the workers finish the queue and leave, and waits for them.
  void closeWorkers();

  const ServerOptions options_;
  const Handler handler_;
  const LineLog log_;
  fp::ScopedFD listener_;
  // An eventfd that becomes readable for good when the server starts stopping.
  const fp::ScopedFD stopping_;
  const ino_t inode_;                 // of the socket file this server made
  std::vector<std::thread> workers_;  // touched only by the thread in run() (and the destructor)
  std::mutex mu_;                     // guards what follows
  std::condition_variable work_;      // a request was queued, or the server closes
  std::deque<Ready> queue_;           // whole requests no worker has taken yet
  std::size_t idle_ = 0;              // workers free to take one
  bool closing_ = false;              // workers leave once the queue is empty
};

}  // namespace refhost

#endif  // PELLORA_REFHOST_SERVER_H_
