// Runs the real pell-domain program against a registry in a temporary state
// directory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileprovider/src/test_support.h"

extern char** environ;

namespace pellora::domaintool {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kDefault = "de.brightfold.pellora-connect-desktop.default";

using fp::testing::readFile;
using fp::testing::writeFile;

struct ToolRun {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

class PellDomainTest : public ::testing::Test {
 protected:
  PellDomainTest() {
    state_ = tmp_ / "state";
    bundle_ = tmp_ / "Fake.appex";
    fs::create_directories(bundle_);
  }
  fs::path registry() const { return state_ / "domains.json"; }

  // Starts `program` with `args`; the environment is this process's with the
  // registry and bundle variables replaced (an empty bundle leaves it unset).
  pid_t start(const std::vector<std::string>& args, int n, const fs::path& program,
              const fs::path& bundle) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view v(*e);
      if (!v.starts_with("FILEPROVIDER_STATE=") && !v.starts_with("FILEPROVIDER_BUNDLE=")) {
        env.emplace_back(v);
      }
    }
    env.push_back("FILEPROVIDER_STATE=" + state_.string());
    if (!bundle.empty()) env.push_back("FILEPROVIDER_BUNDLE=" + bundle.string());

    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& v) {
      std::vector<char*> p;
      for (auto& s : v) p.push_back(s.data());
      p.push_back(nullptr);
      return p;
    };
    auto argvp = pointers(argv);
    auto envp = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath(n).c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath(n).c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argvp[0], &actions, nullptr, argvp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program.string());
    return pid;
  }

  ToolRun finish(pid_t pid, int n) {
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    ToolRun run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    run.out = readFile(outPath(n));
    run.err = readFile(errPath(n));
    return run;
  }

  ToolRun pellDomain(const std::vector<std::string>& args,
                     const fs::path& program = PELL_DOMAIN_PROGRAM,
                     std::optional<fs::path> bundle = std::nullopt) {
    return finish(start(args, 0, program, bundle.value_or(bundle_)), 0);
  }

  fs::path outPath(int n) const { return tmp_ / ("out" + std::to_string(n)); }
  fs::path errPath(int n) const { return tmp_ / ("err" + std::to_string(n)); }

  // Writes a registry holding `ids`, in that order.
  void writeRegistry(const std::vector<std::string>& ids) {
    nlohmann::json domains = nlohmann::json::array();
    for (const auto& id : ids) {
      domains.push_back({{"identifier", id},
                         {"displayName", "D"},
                         {"hidden", false},
                         {"bundle", "/elsewhere/Other.appex"}});
    }
    fs::create_directories(state_);
    writeFile(registry(), nlohmann::json{{"domains", domains}}.dump());
  }
  std::vector<std::string> registeredIds() const {
    std::vector<std::string> ids;
    const auto doc = nlohmann::json::parse(readFile(registry()));
    for (const auto& d : doc["domains"]) {
      ids.push_back(d["identifier"]);
    }
    return ids;
  }

  fp::testing::TempDir dir_;
  fs::path tmp_ = dir_.path();
  fs::path state_, bundle_;
};

TEST_F(PellDomainTest, WrongArgumentsPrintUsageAndTouchNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"Register"}, {"register", "remove"}, {"remove", "now"}, {"list"}};
  for (const auto& args : cases) {
    ToolRun run = pellDomain(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "usage: pell-domain {register|remove}\n");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_FALSE(fs::exists(state_));
}

TEST_F(PellDomainTest, RemoveWhenNotRegistered) {
  for (bool registryExists : {false, true}) {
    if (registryExists) writeRegistry({"some.other.domain"});
    ToolRun run = pellDomain({"remove"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "not registered\n");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_THAT(registeredIds(), ElementsAre("some.other.domain"));
}

TEST_F(PellDomainTest, RegisterThenRemoveLeavesOtherDomains) {
  writeRegistry({"first.domain", "de.brightfold.pellora-connect-desktop.acct.x"});
  ToolRun reg = pellDomain({"register"});
  EXPECT_EQ(reg.status, 0);
  EXPECT_EQ(reg.out, "registered: de.brightfold.pellora-connect-desktop.default\n");
  EXPECT_EQ(reg.err, "");

  auto doc = nlohmann::json::parse(readFile(registry()));
  ASSERT_EQ(doc["domains"].size(), 3u);
  EXPECT_EQ(doc["domains"][2], (nlohmann::json{{"identifier", kDefault},
                                               {"displayName", "Pellora Connect"},
                                               {"hidden", false},
                                               {"bundle", bundle_.string()}}));

  ToolRun rm = pellDomain({"remove"});
  EXPECT_EQ(rm.status, 0);
  EXPECT_EQ(rm.out, "removed: de.brightfold.pellora-connect-desktop.default\n");
  EXPECT_EQ(rm.err, "");
  EXPECT_THAT(registeredIds(),
              ElementsAre("first.domain", "de.brightfold.pellora-connect-desktop.acct.x"));

  EXPECT_EQ(pellDomain({"remove"}).out, "not registered\n");
}

TEST_F(PellDomainTest, RegisterTwiceKeepsOneRecord) {
  for (int i = 0; i < 2; ++i) {
    ToolRun run = pellDomain({"register"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "registered: de.brightfold.pellora-connect-desktop.default\n");
  }
  EXPECT_THAT(registeredIds(), ElementsAre(kDefault));
}

TEST_F(PellDomainTest, RegistryThatCannotBeWrittenFailsRegister) {
  // The state directory would have to be made inside a regular file: refused
  // even for root.
  writeFile(tmp_ / "file", "x");
  state_ = tmp_ / "file" / "state";
  ToolRun run = pellDomain({"register"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "register failed: Error Domain=NSCocoaErrorDomain Code=512 \"cannot write " +
                         registry().string() + ": Not a directory\"\n");
  EXPECT_EQ(readFile(tmp_ / "file"), "x");
}

TEST_F(PellDomainTest, CorruptRegistryFailsRemoveAndIsLeftAlone) {
  fs::create_directories(state_);
  writeFile(registry(), "{\"domains\": [");
  ToolRun rm = pellDomain({"remove"});
  EXPECT_EQ(rm.status, 1);
  EXPECT_EQ(rm.out, "");
  EXPECT_THAT(rm.err, StartsWith("list failed: Error Domain=NSCocoaErrorDomain Code=259 \""));
  EXPECT_THAT(rm.err, HasSubstr(registry().string()));
  EXPECT_TRUE(rm.err.ends_with("\"\n"));

  ToolRun reg = pellDomain({"register"});
  EXPECT_EQ(reg.status, 1);
  EXPECT_EQ(reg.out, "");
  EXPECT_THAT(reg.err, StartsWith("register failed: "));
  EXPECT_EQ(readFile(registry()), "{\"domains\": [");
}

TEST_F(PellDomainTest, ConcurrentRegistrationsLeaveAValidRegistry) {
  writeRegistry({"first.domain"});
  for (int round = 0; round < 3; ++round) {
    pid_t a = start({"register"}, 1, PELL_DOMAIN_PROGRAM, bundle_);
    pid_t b = start({"register"}, 2, PELL_DOMAIN_PROGRAM, bundle_);
    ToolRun ra = finish(a, 1);
    ToolRun rb = finish(b, 2);
    EXPECT_EQ(ra.status, 0) << ra.err;
    EXPECT_EQ(rb.status, 0) << rb.err;
    EXPECT_THAT(registeredIds(), ElementsAre("first.domain", kDefault));
  }
}

// Without FILEPROVIDER_BUNDLE the program records the bundle found beside it:
// bin/PlugIns in the build tree, lib/fileprovider/PlugIns in an installed tree.
TEST_F(PellDomainTest, ConcurrentRemovalsBothSucceed) {
  // Both may list the domain before either removes it; the one that comes
  // second finds it gone, which is "not registered", not a failure.
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(pellDomain({"register"}).status, 0);
    pid_t a = start({"remove"}, 1, PELL_DOMAIN_PROGRAM, bundle_);
    pid_t b = start({"remove"}, 2, PELL_DOMAIN_PROGRAM, bundle_);
    ToolRun ra = finish(a, 1);
    ToolRun rb = finish(b, 2);
    for (const ToolRun* r : {&ra, &rb}) {
      EXPECT_EQ(r->status, 0) << r->err;
      EXPECT_EQ(r->err, "");
    }
    std::vector<std::string> outs = {ra.out, rb.out};
    std::sort(outs.begin(), outs.end());
    EXPECT_EQ(outs, (std::vector<std::string>{"not registered\n",
                                              std::string("removed: ") + kDefault + "\n"}));
    EXPECT_THAT(registeredIds(), ::testing::IsEmpty());
  }
}

TEST_F(PellDomainTest, RecordsTheBundleBesideTheProgram) {
  struct Layout {
    std::string bundleDir;  // relative to the prefix
    std::vector<std::string> bundles;
  } layouts[] = {
      {"bin/PlugIns", {"Zed.appex", "Pellora.appex"}},
      {"lib/fileprovider/PlugIns", {"PelloraFileProvider.appex", "b.appex"}},
  };
  int n = 0;
  for (const auto& layout : layouts) {
    fs::path prefix = tmp_ / ("prefix" + std::to_string(n++));
    fs::create_directories(prefix / "bin");
    fs::copy_file(PELL_DOMAIN_PROGRAM, prefix / "bin" / "pell-domain");
    for (const auto& b : layout.bundles) fs::create_directories(prefix / layout.bundleDir / b);
    writeFile(prefix / layout.bundleDir / "Not-a-bundle.txt", "");

    ToolRun run = pellDomain({"register"}, prefix / "bin" / "pell-domain", fs::path());
    EXPECT_EQ(run.status, 0) << run.err;
    auto doc = nlohmann::json::parse(readFile(registry()));
    EXPECT_EQ(doc["domains"][0]["bundle"],
              (prefix / layout.bundleDir /
               *std::min_element(layout.bundles.begin(), layout.bundles.end()))
                  .string());
  }

  fs::path bare = tmp_ / "bare" / "bin";
  fs::create_directories(bare);
  fs::copy_file(PELL_DOMAIN_PROGRAM, bare / "pell-domain");
  ToolRun run = pellDomain({"register"}, bare / "pell-domain", fs::path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, StartsWith("register failed: Error Domain=NSFileProviderErrorDomain "
                                  "Code=-2001 \"no extension bundle"));
}

}  // namespace
}  // namespace pellora::domaintool
