// The five operations against a real host socket: the requests they send, the
// reply keys they read, and the staging of new contents.
#include "extension/bridge/host_bridge.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "extension/bridge/bridge_test_support.h"
#include "extension/testing/temp_container.h"
#include "extension/testing/test_host.h"
#include "fileprovider/src/test_support.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::outcome;
using testing::Script;
using testing::TempContainer;
using testing::TestHost;

using fp::testing::readFile;

std::vector<std::string> keysOf(const std::string& request) {
  std::vector<std::string> keys;
  const auto parsed = nlohmann::ordered_json::parse(request);
  for (const auto& [key, value] : parsed.items()) keys.push_back(key);
  return keys;
}

class HostBridgeTest : public ::testing::Test {
 protected:
  // Answers every request with `reply`.
  void answer(std::string reply) {
    host_.respond([reply](const nlohmann::json&) { return reply; });
  }

  fs::path writeSource(const std::string& name, const std::string& contents) {
    fs::path p = container_.root() / name;
    std::ofstream(p, std::ios::binary) << contents;
    return p;
  }

  fs::path stagingFolder() const { return container_.dir() / "fp-upload"; }

  TempContainer container_;
  TestHost host_{container_};
};

struct RequestCase {
  const char* name;
  std::function<std::string()> call;  // the outcome text
  std::string request;                // the bytes the host receives
  std::string expected;
};

TEST_F(HostBridgeTest, RequestsAndResults) {
  answer(R"({"ok":true,"path":"/var/x","ulid":"01NEW"})"
         "\n");
  using HostBridge::ParentChange;
  const RequestCase cases[] = {
      {"fetch", [] { return outcome(HostBridge::fetch("primary", "01F")); },
       R"({"op":"fetch","account":"primary","ulid":"01F"})", "ok: /var/x"},
      {"thumbnail", [] { return outcome(HostBridge::thumbnail("acc", "01T")); },
       R"({"op":"thumbnail","account":"acc","ulid":"01T"})", "ok: /var/x"},
      {"folder at the top level",
       [] { return outcome(HostBridge::create("primary", std::nullopt, "Docs", std::nullopt)); },
       R"({"op":"create","account":"primary","name":"Docs"})", "ok: 01NEW"},
      {"folder in a folder",
       [] { return outcome(HostBridge::create("primary", "01P", "Docs", std::nullopt)); },
       R"({"op":"create","account":"primary","name":"Docs","parent":"01P"})", "ok: 01NEW"},
      {"modify nothing",
       [] {
         return outcome(HostBridge::modify("primary", "01M", false, std::nullopt, std::nullopt,
                                           HostBridge::Unchanged{}));
       },
       R"({"op":"modify","account":"primary","ulid":"01M","is_folder":false})", "ok"},
      {"rename and move to the top level",
       [] {
         return outcome(HostBridge::modify("primary", "01M", true, std::nullopt,
                                           std::string("Neu \"ä\""), HostBridge::TopLevel{}));
       },
       R"({"op":"modify","account":"primary","ulid":"01M","is_folder":true,"name":"Neu \"ä\"","parent":null})",
       "ok"},
      {"move into a folder",
       [] {
         return outcome(HostBridge::modify("primary", "01M", false, std::nullopt, std::nullopt,
                                           HostBridge::IntoFolder{"01P"}));
       },
       R"({"op":"modify","account":"primary","ulid":"01M","is_folder":false,"parent":"01P"})",
       "ok"},
      {"delete a folder", [] { return outcome(HostBridge::deleteItem("primary", "01D", true)); },
       R"({"op":"delete","account":"primary","ulid":"01D","is_folder":true})", "ok"},
      {"delete a file", [] { return outcome(HostBridge::deleteItem("primary", "01D", false)); },
       R"({"op":"delete","account":"primary","ulid":"01D","is_folder":false})", "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = host_.connectionCount();
    EXPECT_EQ(c.call(), c.expected);
    auto requests = host_.requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back(), c.request + "\n");
  }
}

struct ReplyCase {
  const char* reply;
  std::function<std::string()> call;
  std::string expected;
};

TEST_F(HostBridgeTest, ReplyKeys) {
  auto fetch = [] { return outcome(HostBridge::fetch("primary", "01F")); };
  auto thumb = [] { return outcome(HostBridge::thumbnail("primary", "01F")); };
  auto create = [] {
    return outcome(HostBridge::create("primary", std::nullopt, "n", std::nullopt));
  };
  auto remove = [] { return outcome(HostBridge::deleteItem("primary", "01F", false)); };
  const ReplyCase cases[] = {
      {R"({"ok":true,"path":7})", fetch, R"(failed("host app returned no path"))"},
      {R"({"ok":true})", fetch, R"(failed("host app returned no path"))"},
      {R"({"ok":false,"path":"/x","error":"gone","kind":"not_found"})", fetch,
       R"(remote(kind: "not_found", message: "gone"))"},
      {R"({"ok":true,"path":null})", thumb, R"(failed("host app returned no thumbnail path"))"},
      {R"({"ok":true,"path":"/t.png"})", thumb, "ok: /t.png"},
      {R"({"ok":true,"ulid":5})", create, R"(failed("host app returned no item id"))"},
      {R"({"ok":true,"path":"/x","ulid":"01NEW","extra":[1]})", create, "ok: 01NEW"},
      {R"({"ok":true,"ulid":"not a ulid at all"})", create, "ok: not a ulid at all"},
      {R"({"ok":1})", remove, "ok"},
      {R"({"ok":"true","error":"locked by Anna"})", remove, R"(failed("locked by Anna"))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    host_.enqueue(Script::reply(std::string(c.reply) + "\n"));
    EXPECT_EQ(c.call(), c.expected);
  }
}

TEST_F(HostBridgeTest, CreateStagesContentsFirst) {
  answer(R"({"ok":true,"ulid":"01NEW"})"
         "\n");
  const fs::path source = writeSource("report.pdf", "%PDF contents");
  ASSERT_FALSE(fs::exists(stagingFolder()));

  EXPECT_EQ(outcome(HostBridge::create("primary", "01P", "report.pdf", source)), "ok: 01NEW");

  auto requests = host_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(keysOf(requests[0]),
            (std::vector<std::string>{"op", "account", "name", "parent", "path"}));
  const fs::path staged = nlohmann::json::parse(requests[0])["path"].get<std::string>();
  EXPECT_EQ(staged.parent_path(), stagingFolder());
  static const std::regex uuid(
      "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(staged.filename().string(), uuid)) << staged;
  EXPECT_EQ(readFile(staged), "%PDF contents");
  EXPECT_EQ(readFile(source), "%PDF contents");  // the original stays
}

TEST_F(HostBridgeTest, StagedCopiesAreTheOwnersAloneWhateverTheUmask) {
  answer(R"({"ok":true,"ulid":"01NEW"})"
         "\n");
  const fs::path source = writeSource("shared.txt", "text");
  fs::permissions(source, fs::perms(0666));
  const mode_t previous = ::umask(0);
  auto created = HostBridge::create("primary", std::nullopt, "shared.txt", source);
  ::umask(previous);
  ASSERT_EQ(outcome(created), "ok: 01NEW");
  const fs::path staged = host_.parsedRequests().at(0)["path"].get<std::string>();
  EXPECT_EQ(fs::status(stagingFolder()).permissions(), fs::perms(0700));
  EXPECT_EQ(fs::status(staged).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(source).permissions(), fs::perms(0666));  // the original is untouched
}

TEST(DefaultTimeOutTest, EachOperationHasItsOwn) {
  const std::pair<const char*, double> cases[] = {
      {"fetch", HostBridge::fetchTimeout},   {"thumbnail", HostBridge::thumbnailTimeout},
      {"create", HostBridge::createTimeout}, {"modify", HostBridge::modifyTimeout},
      {"delete", HostBridge::deleteTimeout},
  };
  const std::map<std::string, double> expected = {
      {"fetch", 300}, {"thumbnail", 20}, {"create", 600}, {"modify", 600}, {"delete", 120}};
  for (const auto& [op, seconds] : cases) EXPECT_EQ(seconds, expected.at(op)) << op;
}

// The send time-out, in seconds, of this process's open connection to
// `socket`: the bridge's end, whose peer is the socket. The bridge sets it from
// the exchange's time-out before it connects, so while the host answers it
// shows the time-out the call was given.
std::optional<double> bridgeSendTimeout(const fs::path& socket) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    if (peer.sun_family != AF_UNIX || socket.native() != peer.sun_path) continue;
    timeval limit{};
    socklen_t size = sizeof limit;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &size) != 0) continue;
    return static_cast<double>(limit.tv_sec) + static_cast<double>(limit.tv_usec) / 1e6;
  }
  return std::nullopt;
}

TEST_F(HostBridgeTest, EachOperationCallsWithItsDefaultTimeOut) {
  std::mutex mu;
  std::map<std::string, std::optional<double>> seen;
  host_.respond([&](const nlohmann::json& request) {
    std::lock_guard lock(mu);
    seen[request["op"].get<std::string>()] = bridgeSendTimeout(host_.socketPath());
    return std::string(R"({"ok":true,"path":"/x","ulid":"01NEW"})") + "\n";
  });
  const std::pair<const char*, std::function<std::string()>> calls[] = {
      {"fetch", [] { return outcome(HostBridge::fetch("primary", "01HX")); }},
      {"thumbnail", [] { return outcome(HostBridge::thumbnail("primary", "01HX")); }},
      {"create", [] { return outcome(HostBridge::create("primary", std::nullopt, "n", {})); }},
      {"modify",
       [] {
         return outcome(HostBridge::modify("primary", "01HX", false, std::nullopt, std::nullopt,
                                           HostBridge::Unchanged{}));
       }},
      {"delete", [] { return outcome(HostBridge::deleteItem("primary", "01HX", false)); }},
  };
  const std::map<std::string, double> expected = {
      {"fetch", 300}, {"thumbnail", 20}, {"create", 600}, {"modify", 600}, {"delete", 120}};
  for (const auto& [op, call] : calls) {
    SCOPED_TRACE(op);
    EXPECT_EQ(call().substr(0, 2), "ok");
    std::lock_guard lock(mu);
    ASSERT_TRUE(seen[op].has_value());
    // Set just after the exchange began: the full time-out less a moment.
    EXPECT_LE(*seen[op], expected.at(op));
    EXPECT_GT(*seen[op], expected.at(op) - 2);
  }
}

TEST_F(HostBridgeTest, ModifyStagesContentsBeforeNameAndParent) {
  answer("{\"ok\":true}\n");
  const fs::path source = writeSource("a.txt", "new text");
  EXPECT_EQ(outcome(HostBridge::modify("primary", "01M", false, source, std::string("b.txt"),
                                       HostBridge::IntoFolder{"01P"})),
            "ok");
  auto requests = host_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(keysOf(requests[0]), (std::vector<std::string>{"op", "account", "ulid", "is_folder",
                                                           "path", "name", "parent"}));
  auto request = nlohmann::json::parse(requests[0]);
  EXPECT_EQ(readFile(request["path"].get<std::string>()), "new text");
  // A failed exchange leaves the staged copy in place: it may already be the host's.
  host_.enqueue(Script::closeWithoutReply());
  EXPECT_EQ(outcome(HostBridge::modify("primary", "01M", false, source, std::nullopt,
                                       HostBridge::Unchanged{})),
            R"(failed("no reply from host app"))");
  EXPECT_EQ(std::distance(fs::directory_iterator(stagingFolder()), fs::directory_iterator()), 2);
}

TEST_F(HostBridgeTest, ConcurrentStagingsUseTwoFiles) {
  // Both requests are in flight at once: the host holds each reply back.
  host_.respond(
      [](const nlohmann::json&) {
        return R"({"ok":true,"ulid":"01NEW"})"
               "\n";
      },
      200ms);
  const fs::path one = writeSource("one", "first");
  const fs::path two = writeSource("two", "second");
  std::string a, b;
  std::thread t1([&] { a = outcome(HostBridge::create("primary", std::nullopt, "one", one)); });
  std::thread t2([&] { b = outcome(HostBridge::create("primary", std::nullopt, "two", two)); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, "ok: 01NEW");
  EXPECT_EQ(b, "ok: 01NEW");

  std::map<std::string, std::string> staged;  // name -> staged contents
  for (const auto& request : host_.parsedRequests()) {
    staged[request["name"]] = readFile(request["path"].get<std::string>());
  }
  EXPECT_EQ(staged, (std::map<std::string, std::string>{{"one", "first"}, {"two", "second"}}));
  EXPECT_NE(host_.parsedRequests()[0]["path"], host_.parsedRequests()[1]["path"]);
}

TEST_F(HostBridgeTest, ConcurrentCallsKeepTheirOwnReplies) {
  host_.respond(
      [](const nlohmann::json& request) {
        return "{\"ok\":true,\"path\":\"/files/" + request["ulid"].get<std::string>() + "\"}\n";
      },
      100ms);
  constexpr int kCalls = 64;
  std::vector<std::string> results(kCalls);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; ++i) {
    threads.emplace_back(
        [&, i] { results[i] = outcome(HostBridge::fetch("primary", "U" + std::to_string(i))); });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(results[i], "ok: /files/U" + std::to_string(i));
}

TEST_F(HostBridgeTest, StagingFailureSendsNothing) {
  answer("{\"ok\":true,\"ulid\":\"01NEW\"}\n");
  // The source cannot be copied.
  auto r = HostBridge::create("primary", std::nullopt, "gone", container_.root() / "missing");
  ASSERT_FALSE(r.ok());
  const auto* copyError = std::get_if<fp::Error>(&r.error());
  ASSERT_NE(copyError, nullptr) << describe(r.error());
  EXPECT_EQ(copyError->domain, fp::kCocoaErrorDomain);

  // The staging folder cannot be made: a plain file has its name.
  fs::remove_all(stagingFolder());
  std::ofstream(stagingFolder()) << "x";
  auto m = HostBridge::modify("primary", "01M", false, writeSource("s", "x"), std::nullopt,
                              HostBridge::TopLevel{});
  ASSERT_FALSE(m.ok());
  EXPECT_TRUE(std::holds_alternative<fp::Error>(m.error())) << describe(m.error());

  EXPECT_EQ(host_.connectionCount(), 0u);
}

}  // namespace
}  // namespace pellora
