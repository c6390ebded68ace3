#include "fileprovider/fpctl/mount/desktop_notices.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "fileprovider/scoped_fd.h"
#include "fileprovider/src/test_support.h"

extern char** environ;

namespace fpctl::mount {
namespace {

using namespace std::chrono_literals;

constexpr auto kTestWindow = 300ms;

// A session bus of the test's own (a dbus-daemon in a temporary folder) on
// which this process is the notification service, recording each Notify.
class DesktopNoticesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v dbus-daemon >/dev/null") != 0) GTEST_SKIP() << "no dbus-daemon";
    startDaemon();
    sd_bus* raw = nullptr;
    ASSERT_GE(sd_bus_new(&raw), 0);
    service_.reset(raw);
    ASSERT_TRUE(sd_bus_set_address(raw, address_.c_str()) >= 0 &&
                sd_bus_set_bus_client(raw, 1) >= 0 && sd_bus_start(raw) >= 0 &&
                sd_bus_request_name(raw, "org.freedesktop.Notifications", 0) >= 0 &&
                sd_bus_add_object(raw, nullptr, "/org/freedesktop/Notifications", onCall, this) >=
                    0)
        << "dbus-daemon at \"" << address_ << "\"";
    serving_ = std::thread([this] {
      while (!stop_ && sd_bus_process(service_.get(), nullptr) >= 0) {
        sd_bus_wait(service_.get(), 20'000);
      }
    });
  }
  void TearDown() override {
    stop_ = true;
    if (serving_.joinable()) serving_.join();
    service_.reset();
    if (daemon_ > 0 && ::kill(daemon_, SIGTERM) == 0) ::waitpid(daemon_, nullptr, 0);
  }

  // The daemon prints its address (end of file when it fails).
  void startDaemon() {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    fp::ScopedFD readEnd(fds[0]), writeEnd(fds[1]);
    const int childFd = fds[1] == 3 ? 4 : 3;
    std::string printTo = "--print-address=" + std::to_string(childFd);
    std::string listen = "--address=unix:path=" + (dir_ / "bus").string();
    const char* argv[] = {"dbus-daemon",   "--session",    "--nofork",
                          printTo.c_str(), listen.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], childFd);
    if (::posix_spawnp(&daemon_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ)) {
      daemon_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    for (char c; daemon_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n';) address_ += c;
  }

  static int onCall(sd_bus_message* m, void* self, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(m, "org.freedesktop.Notifications", "Notify")) return 0;
    const char *app, *icon, *summary, *body;
    std::uint32_t replaces;
    if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -EIO;
    auto* t = static_cast<DesktopNoticesTest*>(self);
    std::lock_guard lock(t->mu_);
    t->shown_.push_back(std::string(summary) + "\n" + body);
    return sd_bus_reply_method_return(m, "u", static_cast<std::uint32_t>(t->shown_.size()));
  }

  // Takes what was shown ("SUMMARY\nBODY") `settle` after the first notice
  // came, or after `settle` alone when `wait` is false.
  std::vector<std::string> takeShown(std::chrono::milliseconds settle, bool wait = true) {
    auto none = [this] {
      std::lock_guard lock(mu_);
      return shown_.empty();
    };
    for (int i = 0; wait && i < 500 && none(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(settle);
    std::lock_guard lock(mu_);
    return std::exchange(shown_, {});
  }

  fp::testing::TempDir dir_;
  pid_t daemon_ = -1;
  std::string address_;
  DesktopNotices::Bus service_;
  std::atomic<bool> stop_ = false;
  std::thread serving_;
  std::mutex mu_;
  std::vector<std::string> shown_;
};

TEST_F(DesktopNoticesTest, AWindowOfEventsMakesOneNotification) {
  struct Case {
    int refusals;
    int conflicts;
    std::string summary;
    std::vector<std::string> inBody;
  };
  const std::vector<Case> cases = {
      {1, 0, "1 change was not sent", {"Docs/a.txt: writing was refused: 1", "fpctl status"}},
      {0, 1, "1 file was edited here and on the service", {"Docs/a.txt", "a (conflict).txt"}},
      {100, 0, "100 changes were not sent", {"refused: 3", "and 97 more"}},
      {2,
       1,
       "2 changes were not sent; 1 file was edited here and on the service",
       {"fpctl status", "beside"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.summary);
    auto notices = DesktopNotices::connect(address_, kTestWindow);
    ASSERT_TRUE(notices->connected());
    // Spread over a third of the window: a burst, not one instant.
    for (int i = 0; i < c.refusals; ++i) {
      notices->refused("Docs/a.txt", "writing was refused: " + std::to_string(i + 1));
      std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < c.conflicts; ++i) notices->conflict("Docs/a.txt", "a (conflict).txt");
    auto got = takeShown(3 * kTestWindow);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].substr(0, got[0].find('\n')), c.summary);
    for (const std::string& part : c.inBody) EXPECT_NE(got[0].find(part), std::string::npos);
  }
}

TEST_F(DesktopNoticesTest, WithoutABusNothingIsSent) {
  // An empty address (as DBUS_SESSION_BUS_ADDRESS unset), and one nobody listens at.
  for (const std::string& address : {std::string(), "unix:path=" + (dir_ / "none").string()}) {
    auto notices = DesktopNotices::connect(address, kTestWindow);
    EXPECT_FALSE(notices->connected());
    notices->refused("a.txt", "refused");
  }
  EXPECT_TRUE(takeShown(3 * kTestWindow, false).empty());
}

TEST_F(DesktopNoticesTest, DestroyedWithAWindowOpenSendsNothingAndReturnsAtOnce) {
  auto notices = DesktopNotices::connect(address_, 30s);
  notices->refused("a.txt", "refused");
  auto start = std::chrono::steady_clock::now();
  notices.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(takeShown(3 * kTestWindow, false).empty());
}

}  // namespace
}  // namespace fpctl::mount
