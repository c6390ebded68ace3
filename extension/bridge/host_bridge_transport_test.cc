// The exchange with the host application over a real socket: framing, the
// success test, failure kinds, the socket path, time-outs and descriptors.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "extension/bridge/bridge_test_support.h"
#include "extension/bridge/host_bridge_transport.h"
#include "extension/testing/temp_container.h"
#include "extension/testing/test_host.h"
#include "fileprovider/scoped_fd.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::openDescriptorCount;
using testing::outcome;
using testing::ScopedEnv;
using testing::Script;
using testing::TempContainer;
using testing::TestHost;
using Clock = std::chrono::steady_clock;

const std::string kNoReply = R"(failed("no reply from host app"))";
const std::string kTooLarge = R"(failed("reply from host app too large"))";

HostBridge::Request fetchRequest() {
  HostBridge::Request r;
  r["op"] = "fetch";
  r["account"] = "primary";
  r["ulid"] = "01HX";
  return r;
}

// {"ok":true,"path":"aaa..."} plus LF, exactly `size` bytes long.
std::string replyOfSize(std::size_t size) {
  const std::string head = R"({"ok":true,"path":")";
  const std::string tail = "\"}\n";
  return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

// A socket file at `path` that nobody listens on.
void leaveStaleSocket(const fs::path& path) {
  fp::ScopedFD stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path.c_str());
  if (::bind(stale.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    throw std::runtime_error("bind " + path.string());
  }
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class TransportTest : public ::testing::Test {
 protected:
  // One exchange against `script`, with `timeout`; its outcome text.
  std::string exchange(Script script, double timeout = 5) {
    host_.enqueue(std::move(script));
    return outcome(HostBridge::roundTrip(fetchRequest(), timeout));
  }

  TempContainer container_;
  TestHost host_{container_};
};

TEST_F(TransportTest, SocketIsInTheAppGroupContainer) {
  auto url = HostBridge::socketURL();
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(*url, container_.dir() / "fp.sock");
  EXPECT_EQ(*url, host_.socketPath());
}

TEST_F(TransportTest, RequestIsOneCompactLine) {
  HostBridge::Request r;
  r["op"] = "modify";
  r["account"] = "primary";
  r["name"] = "a \"b\"/\\ ä\n";
  r["is_folder"] = false;
  r["parent"] = nullptr;
  EXPECT_EQ(exchange(Script::reply("{\"ok\":true}\n")), "ok: {\"ok\":true}");
  host_.enqueue(Script::reply("{\"ok\":true}\n"));
  ASSERT_TRUE(HostBridge::roundTrip(r, 5).ok());
  auto requests = host_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "{\"op\":\"fetch\",\"account\":\"primary\",\"ulid\":\"01HX\"}\n");
  EXPECT_EQ(requests[1],
            "{\"op\":\"modify\",\"account\":\"primary\",\"name\":\"a \\\"b\\\"/\\\\ ä\\n\","
            "\"is_folder\":false,\"parent\":null}\n");
}

struct FramingCase {
  const char* name;
  std::function<Script()> script;
  std::string expected;
};

TEST_F(TransportTest, Framing) {
  const std::string bigPath(10000, 'p');
  const FramingCase cases[] = {
      {"LF ends the reply on an open connection",
       [] {
         auto s = Script::reply("{\"ok\":true}\n");
         s.keepOpen = true;
         return s;
       },
       "ok: {\"ok\":true}"},
      {"no LF, then close", [] { return Script::reply("{\"ok\":true}"); }, "ok: {\"ok\":true}"},
      {"an LF inside the reply is not its end", [] { return Script::reply("{\"ok\":\ntrue}"); },
       "ok: {\"ok\":true}"},
      {"pieces accumulate",
       [] {
         return Script::pieces({"{\"ok\":", "true}\n"}, 50ms);
       },
       "ok: {\"ok\":true}"},
      {"longer than one read",
       [&] { return Script::reply("{\"ok\":true,\"path\":\"" + bigPath + "\"}\n"); },
       "ok: {\"ok\":true,\"path\":\"" + bigPath + "\"}"},
      {"standard escapes", [] { return Script::reply(R"({"ok":true,"path":"\/a\u00e9"})"); },
       "ok: {\"ok\":true,\"path\":\"/aé\"}"},
      {"multi-line reply cut at a line end",
       [] {
         return Script::pieces({"{\"ok\":true,\n", "\"path\":\"/x\"}\n"}, 300ms);
       },
       kNoReply},
      {"an LF in the middle of a read is not the reply's end",
       [] {
         return Script::pieces({"{\"ok\":true,\n\"pa", "th\":\"/x\"}\n"}, 300ms);
       },
       "ok: {\"ok\":true,\"path\":\"/x\"}"},
      {"two objects in one read", [] { return Script::reply("{\"ok\":true}\n{\"ok\":true}\n"); },
       kNoReply},
      {"close without a reply", [] { return Script::closeWithoutReply(); }, kNoReply},
      {"top-level array", [] { return Script::reply("[{\"ok\":true}]\n"); }, kNoReply},
      {"top-level scalar", [] { return Script::reply("true\n"); }, kNoReply},
      {"not JSON", [] { return Script::reply("ok\n"); }, kNoReply},
      {"invalid UTF-8", [] { return Script::reply("{\"ok\":true,\"path\":\"\xFF\"}\n"); },
       kNoReply},
      {"reply of exactly the bound",
       [] { return Script::reply(replyOfSize(HostBridge::maxReplyBytes)); },
       "ok: " + nlohmann::json::parse(replyOfSize(HostBridge::maxReplyBytes)).dump()},
      {"reply one byte over the bound",
       [] { return Script::reply(replyOfSize(HostBridge::maxReplyBytes + 1)); }, kTooLarge},
      {"endless reply on an open connection",
       [] {
         auto s = Script::pieces(std::vector<std::string>(40, std::string(65536, ' ')), 0ms);
         s.keepOpen = true;
         return s;
       },
       kTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto start = Clock::now();
    EXPECT_EQ(exchange(c.script(), 20), c.expected);
    // None of these waits for the time-out; the margin is wide, because under a
    // sanitizer on a loaded machine the largest replies take seconds.
    EXPECT_LT(secondsSince(start), 10.0);
  }
}

TEST_F(TransportTest, TimeOutIsTruncatedToWholeSeconds) {
  // A host that never answers: the receive waits one second, not 1.9.
  auto start = Clock::now();
  EXPECT_EQ(exchange(Script::silent(), 1.9), kNoReply);
  double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 1.6);

  // A complete object without LF on an open connection is used after the time-out.
  auto noLf = Script::reply("{\"ok\":true}");
  noLf.keepOpen = true;
  start = Clock::now();
  EXPECT_EQ(exchange(noLf, 1), "ok: {\"ok\":true}");
  elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 1.6);
}

TEST_F(TransportTest, TricklingHostEndsAtTheTimeOut) {
  // One byte every 200 ms keeps every single read short of the time-out; the
  // exchange as a whole must still end after one second.
  std::vector<std::string> bytes(30, " ");
  bytes.push_back("{\"ok\":true}\n");
  auto start = Clock::now();
  EXPECT_EQ(exchange(Script::pieces(bytes, 200ms), 1), kNoReply);
  double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 1.6);
}

TEST_F(TransportTest, HostThatDoesNotReadEndsTheSendAtTheTimeOut) {
  // The request is far larger than the socket buffers and the host reads
  // nothing for ten seconds: the send must give up after one.
  Script script = Script::reply("{\"ok\":true}\n");
  script.delayBeforeRead = 10s;
  host_.enqueue(std::move(script));
  HostBridge::Request large = fetchRequest();
  large["ulid"] = std::string(1 << 20, 'u');
  auto start = Clock::now();
  EXPECT_EQ(outcome(HostBridge::roundTrip(large, 1)), "unreachable");
  double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 1.6);
}

TEST_F(TransportTest, PeerThatClosesBeforeReadingIsUnreachable) {
  // SIGPIPE would end this test program; the send must fail instead. The
  // request is far larger than the socket buffer, so it cannot be sent before
  // the host closes.
  auto previous = ::signal(SIGPIPE, SIG_DFL);
  host_.enqueue(Script::closeAtOnce());
  auto r = HostBridge::fetch("primary", std::string(2 << 20, 'u'));
  EXPECT_EQ(outcome(r), "unreachable");
  ::signal(SIGPIPE, previous);
}

TEST_F(TransportTest, UnreachableHost) {
  // Stale socket file with nobody listening.
  host_.stop();
  leaveStaleSocket(host_.socketPath());
  EXPECT_EQ(outcome(HostBridge::roundTrip(fetchRequest(), 5)), "unreachable");

  // A plain file in its place.
  fs::remove(host_.socketPath());
  std::ofstream(host_.socketPath()) << "x";
  EXPECT_EQ(outcome(HostBridge::roundTrip(fetchRequest(), 5)), "unreachable");

  // No file at all: no socket is made.
  fs::remove(host_.socketPath());
  const int before = openDescriptorCount();
  EXPECT_EQ(outcome(HostBridge::roundTrip(fetchRequest(), 5)), "unreachable");
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(TransportTest, ContainerThatDoesNotResolveIsUnreachable) {
  // The containers folder lies below a plain file, so the container cannot be made.
  std::ofstream(container_.root() / "plain") << "x";
  ScopedEnv env("FILEPROVIDER_CONTAINERS", (container_.root() / "plain" / "c").string());
  EXPECT_EQ(outcome(HostBridge::socketURL()), "unreachable");
  EXPECT_EQ(outcome(HostBridge::fetch("primary", "01HX")), "unreachable");
  EXPECT_EQ(host_.connectionCount(), 0u);
}

TEST_F(TransportTest, SerialisationErrorPassesThrough) {
  host_.respond([](const nlohmann::json&) { return "{\"ok\":true}\n"; });
  auto r = HostBridge::fetch("\xFF", "01HX");
  ASSERT_FALSE(r.ok());
  const auto* e = std::get_if<fp::Error>(&r.error());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->domain, fp::kCocoaErrorDomain);
  EXPECT_EQ(e->code, fp::kPropertyListWriteInvalidError);
  EXPECT_NE(e->message.find("invalid UTF-8"), std::string::npos) << e->message;
}

struct SucceedCase {
  const char* reply;
  std::string expected;
};

TEST(SucceedTest, Table) {
  const SucceedCase cases[] = {
      {R"({"ok":true})", R"(ok: {"ok":true})"},
      {R"({"ok":1,"x":2})", R"(ok: {"ok":1,"x":2})"},
      {R"({"ok":1.0})", R"(ok: {"ok":1.0})"},
      {R"({"ok":1e0})", R"(ok: {"ok":1.0})"},
      {R"({"ok":false})", R"(failed("unknown error"))"},
      {R"({})", R"(failed("unknown error"))"},
      {R"({"ok":0})", R"(failed("unknown error"))"},
      {R"({"ok":2})", R"(failed("unknown error"))"},
      {R"({"ok":-1})", R"(failed("unknown error"))"},
      {R"({"ok":1.5})", R"(failed("unknown error"))"},
      {R"({"ok":18446744073709551617})", R"(failed("unknown error"))"},
      {R"({"ok":"true"})", R"(failed("unknown error"))"},
      {R"({"ok":null})", R"(failed("unknown error"))"},
      {R"({"ok":[true]})", R"(failed("unknown error"))"},
      {R"({"ok":false,"error":"boom"})", R"(failed("boom"))"},
      {R"({"error":"boom","kind":7})", R"(failed("boom"))"},
      {R"({"kind":"quota"})", R"(remote(kind: "quota", message: "unknown error"))"},
      {R"({"ok":false,"error":5,"kind":"not_found"})",
       R"(remote(kind: "not_found", message: "unknown error"))"},
      {R"({"ok":"true","error":"Datei wird bearbeitet","kind":"locked"})",
       R"(remote(kind: "locked", message: "Datei wird bearbeitet"))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(outcome(HostBridge::succeed(nlohmann::json::parse(c.reply))), c.expected);
  }
}

TEST(ConnectTest, HostWhoseBacklogIsFullIsUnreachableAtTheTimeOut) {
  // A live listener that never accepts, with its queue of pending connections
  // filled: a blocking connect would wait for room without end.
  TempContainer container;
  const fs::path path = container.dir() / "fp.sock";
  fp::ScopedFD listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  std::vector<fp::ScopedFD> pending;
  for (int i = 0; i < 64; ++i) {
    fp::ScopedFD c(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (::connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) break;
    pending.push_back(std::move(c));
  }
  ASSERT_LT(pending.size(), 64u) << "the backlog never filled";

  // Should the connect block anyway, the listener goes after four seconds,
  // which ends it, so the test fails on the time it took instead of hanging.
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread rescue([&] {
    std::unique_lock lock(mutex);
    if (!finished.wait_for(lock, 4s, [&] { return done; })) listener.reset();
  });
  auto start = Clock::now();
  auto r = HostBridge::fetch("primary", "01HX", 1);
  double elapsed = secondsSince(start);
  {
    std::lock_guard lock(mutex);
    done = true;
    finished.notify_all();
  }
  rescue.join();
  EXPECT_EQ(outcome(r), "unreachable");
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 1.6);
}

// A container whose socket path is exactly `length` bytes: TMPDIR points to a
// directory of the right length while the container is made.
class SizedContainer {
 public:
  // The temporary directory's name starts with `prefix`.
  explicit SizedContainer(std::size_t length, const std::string& prefix = "/tmp/p") {
    // The socket path is the temporary directory plus a fixed suffix.
    const std::size_t suffix = [] {
      TempContainer probe;
      return (probe.dir() / "fp.sock").native().size() - fs::temp_directory_path().native().size();
    }();
    if (length < suffix + prefix.size() + 6) throw std::runtime_error("length too short");
    std::string tmpl = prefix + std::string(length - suffix - prefix.size() - 6, 'x') + "XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    base_ = tmpl;
    ScopedEnv env("TMPDIR", base_);
    container_.emplace();
  }
  ~SizedContainer() {
    container_.reset();
    fs::remove_all(base_);
  }
  fs::path socketPath() const { return container_->dir() / "fp.sock"; }
  const TempContainer& container() const { return *container_; }

 private:
  fs::path base_;
  std::optional<TempContainer> container_;
};

TEST(SocketPathTest, LongestPathIsAccepted) {
  SizedContainer sized(HostBridge::maxSocketPathBytes);
  ASSERT_EQ(sized.socketPath().native().size(), 103u);
  TestHost host(sized.container());
  host.enqueue(Script::reply("{\"ok\":true,\"path\":\"/x\"}\n"));
  EXPECT_EQ(outcome(HostBridge::fetch("primary", "01HX")), "ok: /x");
}

TEST(SocketPathTest, LongerPathFailsAndClosesItsSocket) {
  SizedContainer sized(HostBridge::maxSocketPathBytes + 1);
  ASSERT_EQ(sized.socketPath().native().size(), 104u);
  TestHost host(sized.container());  // a listener the bridge must not reach
  const int before = openDescriptorCount();
  const std::string expected = R"(failed("socket path too long: 104 bytes"))";
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(outcome(HostBridge::fetch("primary", "01HX")), expected);
  }
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_EQ(host.connectionCount(), 0u);
}

TEST(SocketPathTest, FolderNamesStayOutOfTheFailureText) {
  // The error mapping searches a failure's text for "locked", "conflict" and
  // "bearbeitet": a folder named so must not turn this failure into a transient one.
  SizedContainer sized(120, "/tmp/locked-");
  std::ofstream(sized.socketPath()).close();  // longer than any socket can be bound at
  EXPECT_EQ(outcome(HostBridge::fetch("primary", "01HX")),
            R"(failed("socket path too long: 120 bytes"))");
}

// One outcome, repeated: the descriptors the process holds afterwards are the
// ones it held before.
struct LeakCase {
  const char* name;
  std::function<void(TestHost&)> setUp;
  std::string account;
  std::string expected;  // a prefix of each call's outcome text
  bool connects;
  int calls = 1000;
};

class DescriptorTest : public ::testing::TestWithParam<LeakCase> {};

TEST_P(DescriptorTest, NoneLeftOpenAfterManyCalls) {
  const LeakCase& c = GetParam();
  TempContainer container;
  TestHost host(container);
  c.setUp(host);
  const int before = openDescriptorCount();
  for (int i = 0; i < c.calls; ++i) {
    auto text = outcome(HostBridge::fetch(c.account, "01HX"));
    ASSERT_EQ(text.substr(0, c.expected.size()), c.expected);
  }
  if (c.connects) {
    ASSERT_TRUE(host.waitForFinished(static_cast<std::size_t>(c.calls), 60s));
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

std::function<void(TestHost&)> answering(std::string reply) {
  return [reply](TestHost& h) { h.respond([reply](const nlohmann::json&) { return reply; }); };
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DescriptorTest,
    ::testing::Values(
        LeakCase{"Success", answering("{\"ok\":true,\"path\":\"/x\"}\n"), "primary", "ok: /x",
                 true},
        LeakCase{"Remote", answering("{\"ok\":false,\"kind\":\"locked\"}\n"), "primary",
                 R"(remote(kind: "locked", message: "unknown error"))", true},
        LeakCase{"NoReply", answering(""), "primary", kNoReply, true},
        // Each of these moves a mebibyte; fewer calls show the same.
        LeakCase{"TooLarge", answering(replyOfSize(HostBridge::maxReplyBytes + 1)), "primary",
                 kTooLarge, true, 100},
        LeakCase{"SerialisationError", [](TestHost&) {}, "\xFF",
                 "Error Domain=NSCocoaErrorDomain Code=3852", true},
        LeakCase{"NoSocketFile", [](TestHost& h) { h.stop(); }, "primary", "unreachable", false},
        LeakCase{"NobodyListening",
                 [](TestHost& h) {
                   h.stop();
                   leaveStaleSocket(h.socketPath());
                 },
                 "primary", "unreachable", false}),
    [](const ::testing::TestParamInfo<LeakCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pellora
