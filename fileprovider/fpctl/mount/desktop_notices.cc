#include "fileprovider/fpctl/mount/desktop_notices.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace fpctl::mount {

namespace {

// How many events a notification names; the rest are counted.
constexpr std::size_t kNamedEvents = 3;
// How long the service may take to answer a Notify call.
constexpr std::uint64_t kNotifyTimeoutUsec = 10'000'000;
// How long the sending thread waits on the bus before it looks whether it is
// to stop.
constexpr std::uint64_t kStopCheckUsec = 50'000;

struct MessageRelease {
  void operator()(sd_bus_message* m) const noexcept { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageRelease>;

struct SlotRelease {
  void operator()(sd_bus_slot* s) const noexcept { sd_bus_slot_unref(s); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotRelease>;

// The outcome of one Notify call, filled in by its reply handler.
struct NotifyReply {
  bool answered = false;
  std::string error;  // empty: it was shown
};

int takeNotifyReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* out = static_cast<NotifyReply*>(userdata);
  out->answered = true;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    out->error = e && e->message ? e->message : e && e->name ? e->name : "an error";
  }
  return 0;
}

std::string countOf(std::size_t n, const char* one, const char* many) {
  return n == 1 ? std::string(one) : std::to_string(n) + " " + many;
}

}  // namespace

void DesktopNotices::BusRelease::operator()(sd_bus* bus) const noexcept {
  // Not flushed: nothing that is still queued is worth waiting for.
  sd_bus_close_unref(bus);
}

std::unique_ptr<DesktopNotices> DesktopNotices::open(std::chrono::milliseconds window) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return connect(address ? address : "", window);
}

std::unique_ptr<DesktopNotices> DesktopNotices::connect(const std::string& address,
                                                        std::chrono::milliseconds window) {
  Bus bus;
  if (!address.empty()) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) >= 0) {
      bus.reset(raw);
      if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
          sd_bus_start(raw) < 0) {
        bus.reset();
      }
    }
    if (!bus) {
      fp::Log("fpctl", "Mount")
          .info("no session bus at %{public}@: no desktop notifications", {address});
    }
  }
  return std::unique_ptr<DesktopNotices>(new DesktopNotices(std::move(bus), window));
}

DesktopNotices::DesktopNotices(Bus bus, std::chrono::milliseconds window)
    : bus_(std::move(bus)), window_(window) {
  if (bus_) thread_ = std::thread([this] { run(); });
}

DesktopNotices::~DesktopNotices() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DesktopNotices::refused(const std::string& path, const std::string& reason) {
  add({false, path, reason});
}

void DesktopNotices::conflict(const std::string& path, const std::string& copyName) {
  add({true, path, copyName});
}

void DesktopNotices::add(Event event) {
  if (!bus_) return;
  {
    std::lock_guard lock(mu_);
    if (stop_) return;
    (event.conflict ? gathered_.conflicts : gathered_.refused)++;
    if (gathered_.first.size() < kNamedEvents) gathered_.first.push_back(std::move(event));
    if (opened_) return;
    opened_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

std::string DesktopNotices::summaryOf(const Window& w) {
  std::string s;
  if (w.refused > 0) s = countOf(w.refused, "1 change was not sent", "changes were not sent");
  if (w.conflicts > 0) {
    if (!s.empty()) s += "; ";
    s += countOf(w.conflicts, "1 file was edited here and on the service",
                 "files were edited here and on the service");
  }
  return s;
}

std::string DesktopNotices::bodyOf(const Window& w) {
  std::string b;
  for (const Event& e : w.first) {
    if (!e.conflict) {
      b += e.path + ": " + e.detail + "\n";
    } else if (e.detail.empty()) {
      b += e.path + ": both edits are kept\n";
    } else {
      b += e.path + ": this device's version is kept beside it as " + e.detail + "\n";
    }
  }
  if (std::size_t rest = w.refused + w.conflicts - w.first.size(); rest > 0) {
    b += "and " + std::to_string(rest) + " more\n";
  }
  if (w.refused > 0) b += "What was not sent is kept: run fpctl status to see where, and why.";
  if (w.refused > 0 && w.conflicts > 0) b += "\n";
  if (w.conflicts > 0) b += "Neither edit is lost: fpctl status lists what was kept where.";
  return b;
}

bool DesktopNotices::stopping() {
  std::lock_guard lock(mu_);
  return stop_;
}

void DesktopNotices::run() {
  std::unique_lock lock(mu_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || opened_; });
    if (stop_) return;
    if (wake_.wait_until(lock, *opened_ + window_, [this] { return stop_; })) return;
    Window w = std::exchange(gathered_, Window{});
    opened_.reset();
    lock.unlock();
    send(w);
    lock.lock();
  }
}

void DesktopNotices::send(const Window& w) {
  const std::string summary = summaryOf(w);
  const std::string body = bodyOf(w);

  NotifyReply reply;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, "org.freedesktop.Notifications",
                                         "/org/freedesktop/Notifications",
                                         "org.freedesktop.Notifications", "Notify");
  Message call(raw);
  if (r >= 0) {
    // app name, id to replace, icon, summary, body, actions, hints, expiry
    r = sd_bus_message_append(call.get(), "susssasa{sv}i", "fpctl", std::uint32_t{0},
                              "dialog-warning", summary.c_str(), body.c_str(), 0u, 0u, -1);
  }
  Slot slot;
  if (r >= 0) {
    sd_bus_slot* rawSlot = nullptr;
    r = sd_bus_call_async(bus_.get(), &rawSlot, call.get(), takeNotifyReply, &reply,
                          kNotifyTimeoutUsec);
    slot.reset(rawSlot);
  }
  while (r >= 0 && !reply.answered && !stopping()) {
    r = sd_bus_process(bus_.get(), nullptr);
    if (r == 0) r = sd_bus_wait(bus_.get(), kStopCheckUsec);
  }
  std::string failure = r < 0 ? std::string(std::strerror(-r)) : reply.error;
  // Released before `reply` goes: the handler can no longer be called.
  slot.reset();
  if (failure.empty() || failureLogged_) return;
  failureLogged_ = true;
  log_.error("a desktop notification could not be shown: %{public}@", {failure});
}

}  // namespace fpctl::mount
