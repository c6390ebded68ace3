#include "fileprovider/domain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "fileprovider/scoped_fd.h"
#include "test_support.h"

namespace fp {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fp::testing::ScopedEnv;
using fp::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(DomainRegistryPathTest, FollowsTheEnvironment) {
  struct Case {
    std::optional<std::string> state, xdg, home;
    std::string expected;
  } cases[] = {
      {"/s", "/x", "/h", "/s/domains.json"},
      {std::nullopt, "/x", "/h", "/x/fileprovider/domains.json"},
      {"", "", "/h", "/h/.local/state/fileprovider/domains.json"},
      {std::nullopt, std::nullopt, "/h", "/h/.local/state/fileprovider/domains.json"},
  };
  for (const auto& c : cases) {
    ScopedEnv state("FILEPROVIDER_STATE", c.state);
    ScopedEnv xdg("XDG_STATE_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(domainRegistryPath(), fs::path(c.expected));
  }
}

class DomainRegistryTest : public ::testing::Test {
 protected:
  DomainRegistryTest()
      : state_("FILEPROVIDER_STATE", (tmp_ / "state").string()),
        bundle_("FILEPROVIDER_BUNDLE", (tmp_ / "Fake.appex").string()) {
    fs::create_directories(tmp_ / "Fake.appex");
  }

  fs::path registry() const { return tmp_ / "state" / "domains.json"; }
  std::string registryText() const { return testing::readFile(registry()); }
  void writeRegistry(const std::string& text) {
    fs::create_directories(registry().parent_path());
    testing::writeFile(registry(), text);
  }

  static Domain domain(const std::string& id, const std::string& name = "Name") {
    return Domain{id, name, false};
  }

  // The manager's calls, waited for; each also checks that the handler ran on
  // another thread.
  std::optional<Error> add(const Domain& d) {
    std::promise<std::optional<Error>> done;
    Manager::addDomain(d, [&](std::optional<Error> e) {
      EXPECT_NE(std::this_thread::get_id(), caller_);
      done.set_value(std::move(e));
    });
    return done.get_future().get();
  }
  std::optional<Error> remove(const Domain& d) {
    std::promise<std::optional<Error>> done;
    Manager::removeDomain(d, [&](std::optional<Error> e) {
      EXPECT_NE(std::this_thread::get_id(), caller_);
      done.set_value(std::move(e));
    });
    return done.get_future().get();
  }
  std::pair<std::vector<Domain>, std::optional<Error>> list() {
    std::promise<std::pair<std::vector<Domain>, std::optional<Error>>> done;
    Manager::getDomains([&](std::vector<Domain> domains, std::optional<Error> e) {
      EXPECT_NE(std::this_thread::get_id(), caller_);
      done.set_value({std::move(domains), std::move(e)});
    });
    return done.get_future().get();
  }
  std::vector<std::string> listedIdentifiers() {
    auto [domains, error] = list();
    EXPECT_FALSE(error) << error->description();
    std::vector<std::string> ids;
    for (const auto& d : domains) ids.push_back(d.identifier);
    return ids;
  }

  TempDir tmp_;
  ScopedEnv state_;
  ScopedEnv bundle_;
  std::thread::id caller_ = std::this_thread::get_id();
};

TEST_F(DomainRegistryTest, MissingRegistryIsEmpty) {
  auto records = readDomainRecords();
  ASSERT_TRUE(records.ok());
  EXPECT_TRUE(records->empty());
  EXPECT_THAT(listedIdentifiers(), ElementsAre());
  EXPECT_FALSE(fs::exists(registry()));
}

TEST_F(DomainRegistryTest, AddRecordsTheDomainWithTheCallingProgramsBundle) {
  ASSERT_FALSE(add(Domain{"a.default", "Pellora Connect", false}));
  ASSERT_FALSE(add(Domain{"b.hidden", "Other", true}));

  auto doc = nlohmann::json::parse(registryText());
  EXPECT_EQ(doc, nlohmann::json::parse(R"({"domains":[
      {"identifier":"a.default","displayName":"Pellora Connect","hidden":false,"bundle":")" +
                                       (tmp_ / "Fake.appex").string() + R"("},
      {"identifier":"b.hidden","displayName":"Other","hidden":true,"bundle":")" +
                                       (tmp_ / "Fake.appex").string() + R"("}]})"));

  auto [domains, error] = list();
  ASSERT_FALSE(error);
  EXPECT_THAT(domains, ElementsAre(Domain{"a.default", "Pellora Connect", false},
                                   Domain{"b.hidden", "Other", true}));
  auto found = findDomainRecord("b.hidden");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->bundle, tmp_ / "Fake.appex");
}

TEST_F(DomainRegistryTest, ReAddingReplacesTheRecordInPlace) {
  ASSERT_FALSE(add(domain("one")));
  ASSERT_FALSE(add(domain("two")));
  ASSERT_FALSE(add(domain("one", "Renamed")));
  auto records = readDomainRecords();
  ASSERT_TRUE(records.ok());
  ASSERT_EQ(records->size(), 2u);
  EXPECT_EQ((*records)[0].domain, domain("one", "Renamed"));
  EXPECT_EQ((*records)[1].domain, domain("two"));
}

TEST_F(DomainRegistryTest, RemoveTakesOnlyThatDomain) {
  for (const char* id : {"one", "two", "three"}) ASSERT_FALSE(add(domain(id)));
  ASSERT_FALSE(remove(domain("two")));
  EXPECT_THAT(listedIdentifiers(), ElementsAre("one", "three"));
}

TEST_F(DomainRegistryTest, RemovingAnUnknownDomainFailsAndChangesNothing) {
  ASSERT_FALSE(add(domain("one")));
  const std::string before = registryText();
  auto error = remove(domain("other"));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->isFileProvider(FileProviderErrorCode::kProviderNotFound));
  EXPECT_THAT(error->message, HasSubstr("other"));
  EXPECT_EQ(registryText(), before);

  auto missing = findDomainRecord("other");
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().isFileProvider(FileProviderErrorCode::kProviderNotFound));
}

TEST_F(DomainRegistryTest, WritesLeaveNoTemporaryFiles) {
  ASSERT_FALSE(add(domain("one")));
  ASSERT_FALSE(add(domain("two")));
  ASSERT_FALSE(remove(domain("one")));
  EXPECT_THAT(testing::listDirectory(registry().parent_path()),
              ElementsAre("domains.json", "domains.json.lock"));
}

TEST_F(DomainRegistryTest, UnreadableOrCorruptRegistryIsAnErrorAndLeftAlone) {
  const std::string texts[] = {
      "",
      "{not json",
      "[]",
      R"({"domain":[]})",
      R"({"domains":{}})",
      R"({"domains":[{"identifier":"x"}]})",
      R"({"domains":[{"identifier":"","bundle":"/b"}]})",
      R"({"domains":[{"identifier":"x","bundle":"/b","hidden":"no"}]})",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    writeRegistry(text);

    auto records = readDomainRecords();
    ASSERT_FALSE(records.ok());
    EXPECT_EQ(records.error().domain, kCocoaErrorDomain);
    EXPECT_EQ(records.error().code, kFileReadCorruptFileError);
    EXPECT_THAT(records.error().description(), HasSubstr(registry().string()));

    EXPECT_TRUE(list().second);
    auto addError = add(domain("new"));
    ASSERT_TRUE(addError);
    EXPECT_EQ(addError->code, kFileReadCorruptFileError);
    EXPECT_TRUE(remove(domain("x")));
    EXPECT_EQ(registryText(), text);
  }

  // A directory where the file belongs cannot be read.
  fs::remove(registry());
  fs::create_directory(registry());
  auto records = readDomainRecords();
  ASSERT_FALSE(records.ok());
  EXPECT_THAT(records.error().message, HasSubstr("cannot read " + registry().string()));
}

// The registry names the library fpctl loads, so one that another user could
// have written is refused, for reading and for changing, and left as it is.
TEST_F(DomainRegistryTest, RegistryAnotherUserCouldHaveWrittenIsRefused) {
  constexpr uid_t kNobody = 65534;
  const fs::path folder = registry().parent_path();
  struct Case {
    const char* name;
    std::function<void()> plant;
    const char* reason;
  } cases[] = {
      {"file writable by others", [&] { fs::permissions(registry(), fs::perms(0666)); },
       "it is writable by group or others (mode 0666)"},
      {"folder writable by others", [&] { fs::permissions(folder, fs::perms(0777)); },
       "it is writable by group or others (mode 0777)"},
      {"file of another user", [&] { ASSERT_EQ(::chown(registry().c_str(), kNobody, -1), 0); },
       "it belongs to uid 65534"},
      {"folder of another user", [&] { ASSERT_EQ(::chown(folder.c_str(), kNobody, -1), 0); },
       "it belongs to uid 65534"},
      {"file is a link",
       [&] {
         fs::rename(registry(), tmp_ / "elsewhere.json");
         fs::create_symlink(tmp_ / "elsewhere.json", registry());
       },
       "it is a symbolic link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder);
    ASSERT_FALSE(add(domain("planted")));
    c.plant();
    const std::string planted = testing::readFile(registry());

    auto records = readDomainRecords();
    ASSERT_FALSE(records.ok());
    EXPECT_EQ(records.error().code, kFileReadNoPermissionError);
    EXPECT_THAT(records.error().message, HasSubstr("refusing to use the domain registry"));
    EXPECT_THAT(records.error().message, HasSubstr(c.reason));
    EXPECT_FALSE(findDomainRecord("planted").ok());
    EXPECT_TRUE(add(domain("other")));
    EXPECT_TRUE(remove(domain("planted")));
    EXPECT_EQ(testing::readFile(registry()), planted);
  }
}

TEST_F(DomainRegistryTest, StateFolderAndFilesAreOwnerOnlyWhateverTheUmask) {
  ScopedEnv state("FILEPROVIDER_STATE", (tmp_ / "new" / "state").string());
  const mode_t old = ::umask(0);
  const auto added = add(domain("one"));
  ::umask(old);
  ASSERT_FALSE(added);
  for (const fs::path& p :
       {tmp_ / "new", tmp_ / "new" / "state", tmp_ / "new" / "state" / "domains.json",
        tmp_ / "new" / "state" / "domains.json.lock"}) {
    EXPECT_EQ(static_cast<int>(fs::status(p).permissions()) & 077, 0) << p;
  }
  EXPECT_TRUE(readDomainRecords().ok());
}

TEST_F(DomainRegistryTest, StateDirectoryThatCannotBeMadeFailsTheWrite) {
  testing::writeFile(tmp_ / "file", "x");
  ScopedEnv state("FILEPROVIDER_STATE", (tmp_ / "file" / "state").string());
  auto error = add(domain("one"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kCocoaErrorDomain);
  EXPECT_EQ(error->code, kFileWriteUnknownError);
  EXPECT_EQ(error->message, "cannot write " + (tmp_ / "file" / "state" / "domains.json").string() +
                                ": Not a directory");

  ScopedEnv stateIsFile("FILEPROVIDER_STATE", (tmp_ / "file").string());
  error = add(domain("one"));
  ASSERT_TRUE(error);
  EXPECT_THAT(
      error->description(),
      HasSubstr("cannot write " + (tmp_ / "file" / "domains.json").string() + ": Not a directory"));
  EXPECT_EQ(testing::readFile(tmp_ / "file"), "x");
}

TEST_F(DomainRegistryTest, AddWithoutABundleFails) {
  ScopedEnv noBundle("FILEPROVIDER_BUNDLE", (tmp_ / "Missing.appex").string());
  auto error = add(domain("one"));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->isFileProvider(FileProviderErrorCode::kProviderNotFound));
  EXPECT_THAT(error->message, HasSubstr("Missing.appex"));
  EXPECT_FALSE(fs::exists(registry()));
}

TEST_F(DomainRegistryTest, TextThatIsNotUtf8IsRefusedAndChangesNothing) {
  ASSERT_FALSE(add(domain("one")));
  const std::string before = registryText();
  auto error = add(domain("two", "bad \xff name"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
  EXPECT_EQ(registryText(), before);
  EXPECT_THAT(testing::listDirectory(registry().parent_path()),
              ElementsAre("domains.json", "domains.json.lock"));
}

TEST_F(DomainRegistryTest, ChangesWaitForTheRegistryLock) {
  ASSERT_FALSE(add(domain("one")));
  // Another program holds the lock.
  ScopedFD lock(::open((registry().string() + ".lock").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(lock);
  ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);

  std::promise<std::optional<Error>> done;
  auto result = done.get_future();
  Manager::addDomain(domain("two"), [&](std::optional<Error> e) { done.set_value(e); });
  EXPECT_EQ(result.wait_for(300ms), std::future_status::timeout);
  EXPECT_THAT(listedIdentifiers(), ElementsAre("one"));  // readers are not held up

  lock.reset();
  ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
  EXPECT_FALSE(result.get());
  EXPECT_THAT(listedIdentifiers(), ElementsAre("one", "two"));
}

TEST_F(DomainRegistryTest, ConcurrentChangesAreNotLost) {
  constexpr int kDomains = 24;
  std::vector<std::promise<std::optional<Error>>> done(kDomains);
  for (int i = 0; i < kDomains; ++i) {
    Manager::addDomain(domain("d" + std::to_string(i)),
                       [&done, i](std::optional<Error> e) { done[i].set_value(std::move(e)); });
  }
  for (auto& d : done) {
    auto error = d.get_future().get();
    EXPECT_FALSE(error) << error->description();
  }
  auto records = readDomainRecords();
  ASSERT_TRUE(records.ok());
  EXPECT_EQ(records->size(), static_cast<std::size_t>(kDomains));
}

}  // namespace
}  // namespace fp
