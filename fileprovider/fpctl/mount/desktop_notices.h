// Desktop notifications of what the mount could not do as the user asked: a
// change the service refused (moved to unsent/) and a file edited here and on the service at once.
// They go to the session bus's notification service (org.freedesktop.Notifications), gathered: the
// first event opens a window, and at its end one notification tells of every event of the window
// ("3 changes were not sent", the first few paths with their reasons, and where to look: `fpctl
// status`).
#ifndef FPCTL_MOUNT_DESKTOP_NOTICES_H_
#define FPCTL_MOUNT_DESKTOP_NOTICES_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fileprovider/log.h"

struct sd_bus;

namespace fpctl::mount {

class DesktopNotices {
 public:
  // The bus connection; released (flushed and closed) by its deleter.
  struct BusRelease {
    void operator()(sd_bus* bus) const noexcept;
  };
  using Bus = std::unique_ptr<sd_bus, BusRelease>;

  // Connects to the session bus named by DBUS_SESSION_BUS_ADDRESS. Unset or
  // empty, or a bus that cannot be reached: a disabled object, whose calls do
  // nothing. `window`: how long a burst is gathered into one notification.
  static std::unique_ptr<DesktopNotices> open(
      std::chrono::milliseconds window = std::chrono::seconds(2));
  // The same for the bus at `address` (a D-Bus address such as
  // "unix:path=/run/user/1000/bus").
  static std::unique_ptr<DesktopNotices> connect(
      const std::string& address, std::chrono::milliseconds window = std::chrono::seconds(2));

  // Stops the sending thread within a fraction of a second: events of a window
  // still open are dropped, a call waiting for its answer is given up. Never
  // throws.
  ~DesktopNotices();
  DesktopNotices(const DesktopNotices&) = delete;
  DesktopNotices& operator=(const DesktopNotices&) = delete;

  // Whether notifications are sent (a bus was reached).
  bool connected() const { return bus_ != nullptr; }

  // The change to `path` was refused by the service for `reason` and is kept
  // in unsent/. Returns at once; never blocks on the bus.
  void refused(const std::string& path, const std::string& reason);
  // `path` was edited here and on the service at once (conflicts.h); `copyName`:
  // the conflict copy made of this device's version, empty when none was. Returns at once.
  void conflict(const std::string& path, const std::string& copyName);

 private:
  struct Event {
    bool conflict = false;
    std::string path;
    std::string detail;  // the reason, or the copy's name
  };
  // What one notification tells: a count of each kind and the first events.
  struct Window {
    std::size_t refused = 0;
    std::size_t conflicts = 0;
    std::vector<Event> first;
  };

  DesktopNotices(Bus bus, std::chrono::milliseconds window);
  void add(Event event);
  // The sending thread: waits for a window to open, lets it run its length,
  // then sends what it gathered.
  void run();
  // Calls Notify and waits for its answer, giving up when stopped; logs the
  // first failure only.
  void send(const Window& w);
  // The notification's title ("3 changes were not sent") and text.
  static std::string summaryOf(const Window& w);
  static std::string bodyOf(const Window& w);
  bool stopping();

  Bus bus_;
  const std::chrono::milliseconds window_;
  const fp::Log log_{"fpctl", "Mount"};
  bool failureLogged_ = false;  // the sending thread's own

  std::mutex mu_;  // guards what follows
  std::condition_variable wake_;
  bool stop_ = false;
  std::optional<std::chrono::steady_clock::time_point> opened_;  // the open window's start
  Window gathered_;

  std::thread thread_;  // last: started once the rest is in place
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_DESKTOP_NOTICES_H_
