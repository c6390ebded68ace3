#include "fileprovider/fpctl/commands.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/requests/in_memory_extension_for_test.h"
#include "fileprovider/scoped_fd.h"
#include "fileprovider/src/test_support.h"

namespace fpctl {
namespace {

namespace fs = std::filesystem;
using mount::testing::InMemoryExtension;
using mount::testing::makeItem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using mount::testing::kRoot;

// Runs fpctl's command line against a fake extension, capturing its output.
class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ext_ = std::make_shared<InMemoryExtension>();
    ext_->setAnchor("1.0|7");
    ext_->add(makeItem("f:docs", kRoot, "Documents", true));
    ext_->add(makeItem("i:top", kRoot, "top.txt", false, 3));
    ext_->add(makeItem("f:sub", "f:docs", "Sub", true));
    ext_->add(makeItem("i:rep", "f:docs", "Report.pdf", false, 2048, "4"));
    ext_->add(makeItem("i:deep", "f:sub", "deep.txt", false, 1));
    fetched_ = dir_ / "fetched";
    std::ofstream(fetched_) << "contents of the file";
    ext_->setFetchedFile(fetched_);
  }

  struct Outcome {
    int status;
    std::string out, err;
    nlohmann::json json;
  };

  Outcome run(std::vector<std::string> args) {
    std::ostringstream out, err;
    Environment env{out, err};
    env.load = [&](const GlobalOptions& g) -> fp::Result<LoadedExtension, CommandFailure> {
      loadedWith_ = g;
      if (loadFailure_) return fp::fail(*loadFailure_);
      return LoadedExtension{fp::Domain{"d.default", "Pellora Connect", false}, ext_,
                             loadWarnings_};
    };
    env.registry = [] {
      return fp::StatusOr<std::vector<fp::DomainRecord>>(std::vector<fp::DomainRecord>{
          {fp::Domain{"d.default", "Pellora Connect", false}, "/b/P.appex"}});
    };
    env.mount = [&](const fp::Domain& d, std::shared_ptr<fp::ReplicatedExtension> e,
                    const MountOptions& o) {
      mounted_ = o;
      EXPECT_EQ(d.identifier, "d.default");
      EXPECT_EQ(e.get(), ext_.get());
      return 0;
    };
    env.setLogFile = [&](const fs::path& p) { logFile_ = p; };
    env.text.utc = true;
    Outcome o;
    o.status = runCommandLine(args, env);
    o.out = out.str();
    o.err = err.str();
    o.json = nlohmann::json::parse(o.out, nullptr, false);
    return o;
  }

  Outcome runJson(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    Outcome o = run(args);
    EXPECT_FALSE(o.json.is_discarded()) << o.out;
    return o;
  }

  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  std::shared_ptr<InMemoryExtension> ext_;
  fs::path fetched_;  // the file every fetch answers
  std::optional<CommandFailure> loadFailure_;
  std::vector<std::string> loadWarnings_;
  std::optional<GlobalOptions> loadedWith_;
  std::optional<MountOptions> mounted_;
  std::optional<fs::path> logFile_;
};

std::vector<std::string> names(const nlohmann::json& items) {
  std::vector<std::string> n;
  for (const auto& i : items) n.push_back(i["filename"]);
  return n;
}

TEST_F(CommandsTest, LsListsInEnumeratorOrderWithRawIdentifiers) {
  auto o = runJson({"ls"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(names(o.json["items"]), (std::vector<std::string>{"Documents", "top.txt"}));
  EXPECT_EQ(o.json["items"][0]["parent"], kRoot);
  EXPECT_TRUE(o.json["nextPage"].is_null());
  EXPECT_THAT(o.err, IsEmpty());

  auto sub = runJson({"ls", "/Documents"});
  EXPECT_EQ(names(sub.json["items"]), (std::vector<std::string>{"Sub", "Report.pdf"}));
}

TEST_F(CommandsTest, WarningsOfTheLoadGoToStandardErrorAndTheCommandRuns) {
  loadWarnings_ = {
      "fpctl: the socket path /long/fp.sock is 130 bytes, longer than the 103 the "
      "extension accepts; set FILEPROVIDER_CONTAINERS to a shorter folder"};
  auto o = runJson({"ls"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, loadWarnings_[0] + "\n");
  EXPECT_EQ(names(o.json["items"]), (std::vector<std::string>{"Documents", "top.txt"}));
}

TEST_F(CommandsTest, LsPages) {
  ext_->setPageSize(1);
  auto first = runJson({"ls", "@root"});
  EXPECT_EQ(names(first.json["items"]), std::vector<std::string>{"Documents"});
  EXPECT_EQ(first.json["nextPage"], "1");
  auto second = runJson({"ls", "@root", "--page", "1"});
  EXPECT_EQ(names(second.json["items"]), std::vector<std::string>{"top.txt"});
  EXPECT_TRUE(second.json["nextPage"].is_null());

  auto text = run({"ls"});
  EXPECT_THAT(text.err, HasSubstr("--page '1'"));
}

TEST_F(CommandsTest, LsForPeopleIsATable) {
  auto o = run({"ls", "/Documents"});
  ASSERT_EQ(o.status, 0);
  EXPECT_THAT(o.out, HasSubstr("NAME"));
  EXPECT_THAT(o.out, HasSubstr("Sub/"));
  EXPECT_THAT(o.out, HasSubstr("2.0 KiB"));
}

TEST_F(CommandsTest, ItemAndItsFailure) {
  auto o = runJson({"item", "/Documents/Report.pdf"});
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.json["item"]["identifier"], "i:rep");
  EXPECT_EQ(o.json["item"]["contentVersion"], "4");

  auto missing = runJson({"item", "i:nope"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.json["error"]["code"], -1005);
  EXPECT_EQ(missing.json["error"]["domain"], "NSFileProviderErrorDomain");
  EXPECT_THAT(missing.err, HasSubstr("fpctl: item i:nope failed: no such item"));

  auto badPath = runJson({"item", "/Documents/nope"});
  EXPECT_EQ(badPath.status, 1);
  EXPECT_THAT(badPath.err, HasSubstr("finding /Documents/nope failed"));
  EXPECT_THAT(badPath.err, HasSubstr("\"nope\" in /Documents"));
}

TEST_F(CommandsTest, TreeWalksEveryFolder) {
  auto o = runJson({"tree"});
  ASSERT_EQ(o.status, 0);
  const auto& t = o.json["tree"];
  EXPECT_EQ(t["item"]["filename"], "Pellora Connect");
  EXPECT_EQ(t["children"][0]["children"][0]["children"][0]["item"]["filename"], "deep.txt");

  auto text = run({"tree", "/Documents"});
  EXPECT_EQ(text.out,
            "Documents\n"
            "├── Sub/\n"
            "│   └── deep.txt  1 B\n"
            "└── Report.pdf  2.0 KiB\n");
}

TEST_F(CommandsTest, AnchorAndChanges) {
  auto a = runJson({"anchor"});
  ASSERT_EQ(a.status, 0);
  EXPECT_EQ(a.json["anchor"], "1.0|7");
  auto same = runJson({"changes", "@root", "1.0|7"});
  ASSERT_EQ(same.status, 0);
  EXPECT_EQ(same.json, nlohmann::json::parse(
                           R"({"anchor":"1.0|7","moreComing":false,"updated":[],"deleted":[]})"));
  auto stale = runJson({"changes", "@root", "1.0|6"});
  EXPECT_EQ(stale.status, 1);
  EXPECT_EQ(stale.json["error"]["code"], -1002);
  // What the caller does then is said with the error.
  EXPECT_THAT(stale.err, HasSubstr("list @root again and take a new anchor (fpctl anchor @root)"));
  EXPECT_THAT(run({"help", "changes"}).out, HasSubstr("lists the container\nagain"));
}

TEST_F(CommandsTest, FetchPrintsThePathAndCopiesWithOut) {
  fs::path out = dir_ / "copy.txt";
  auto o = runJson({"fetch", "/top.txt", "--out", out.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.json["path"], fetched_.string());
  EXPECT_EQ(o.json["item"]["identifier"], "i:top");
  std::ifstream in(out);
  std::string copied((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(copied, "contents of the file");

  auto text = run({"fetch", "i:top"});
  EXPECT_EQ(text.out, fetched_.string() + "\n");

  auto folder = runJson({"fetch", "/Documents"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.json["error"]["code"], -1005);
  // For people, a folder is one line that says what to do instead.
  auto folderText = run({"fetch", "/Documents"});
  EXPECT_EQ(folderText.status, 1);
  EXPECT_EQ(folderText.err,
            "fpctl: /Documents is a folder; fetch takes a file (fpctl ls /Documents lists the "
            "folder)\n");
}

// The copy is the user's file, made as cp makes one: 0666 less the umask.
TEST_F(CommandsTest, FetchOutFollowsTheUmask) {
  for (mode_t mask : {mode_t{022}, mode_t{077}}) {
    fs::path out = dir_ / ("copy-" + std::to_string(mask));
    mode_t previous = ::umask(mask);
    auto o = run({"fetch", "/top.txt", "--out", out.string()});
    ::umask(previous);
    ASSERT_EQ(o.status, 0) << o.err;
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << "umask " << mask;
  }
}

// A raw identifier that names nothing is a missing item (exit 1), with the
// path that was likely meant.
TEST_F(CommandsTest, ListingANameMeantAsAPathFails) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"ls", "Documents"}, "no item has the identifier \"Documents\"; did you mean /Documents?"},
      {{"tree", "Documents"}, "did you mean /Documents?"},
      {{"ls", "nothing"}, "no item has the identifier \"nothing\" (NSFileProviderErrorDomain"},
  };
  for (const auto& c : cases) {
    auto o = runJson(c.args);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(o.json["error"]["code"], -1005);
    EXPECT_THAT(o.err, HasSubstr(c.message));
  }
}

TEST_F(CommandsTest, FetchToAnUnwritablePlaceFails) {
  auto o = runJson({"fetch", "i:top", "--out", (dir_ / "no/such/dir/x").string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.json["error"]["domain"], "NSPOSIXErrorDomain");
  EXPECT_THAT(o.err, HasSubstr("saving i:top failed"));
}

TEST_F(CommandsTest, FetchOutTakesOnlyARegularFileWithinTheBound) {
  // top.txt claims 3 bytes: the bound is 3 + 3/8 + 1 MiB.
  const std::int64_t bound = 3 + (std::int64_t{1} << 20);
  struct Case {
    const char* name;
    std::function<fs::path()> make;
    std::string message;
  };
  const Case cases[] = {
      {"larger than the bound",
       [&] {
         fs::path big = dir_ / "big";
         std::ofstream(big).close();
         fs::resize_file(big, bound + 1);  // sparse
         return big;
       },
       "is larger than the bound of " + std::to_string(bound) +
           " bytes (the item's size, 3 bytes, plus an eighth plus 1 MiB): File too large"},
      {"a FIFO",
       [&] {
         fs::path fifo = dir_ / "fifo";
         EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
         return fifo;
       },
       "is not a regular file: Invalid argument"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ext_->setFetchedFile(c.make());
    fs::path out = dir_ / "copy.txt";
    auto start = std::chrono::steady_clock::now();
    auto o = runJson({"fetch", "i:top", "--out", out.string()});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.json["error"]["domain"], "NSPOSIXErrorDomain");
    EXPECT_THAT(o.json["error"]["description"].get<std::string>(), HasSubstr(c.message));
    EXPECT_THAT(o.err, HasSubstr("saving i:top failed"));
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(CommandsTest, ThumbnailsReportBytesAndWriteFiles) {
  fs::path outDir = dir_ / "thumbs";
  auto o = runJson({"thumbnails", "/top.txt", "/Documents", "--out-dir", outDir.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.json["thumbnails"][0]["identifier"], "i:top");
  EXPECT_EQ(o.json["thumbnails"][0]["bytes"], 10);
  EXPECT_TRUE(o.json["thumbnails"][1]["bytes"].is_null());
  EXPECT_TRUE(o.json["error"].is_null());
  EXPECT_EQ(o.json["progress"], nlohmann::json::parse(R"({"total":2,"completed":2})"));
  EXPECT_TRUE(fs::exists(outDir / "i_top.png"));

  auto none = runJson({"thumbnails", "/Documents"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.json["error"]["domain"], "fpctl");
  EXPECT_THAT(none.err, HasSubstr("no thumbnail could be made"));
}

TEST_F(CommandsTest, CreateBuildsTheTemplateFromTheOptions) {
  struct Case {
    std::vector<std::string> options;
    std::optional<std::string> type;
  } cases[] = {{{}, "public.data"},
               {{"--folder"}, "public.folder"},
               {{"--type", "public.png"}, "public.png"},
               {{"--no-type"}, std::nullopt}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"create", "/Documents", "new"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto o = runJson(args);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.json["remainingFields"], 0);
    EXPECT_EQ(o.json["shouldFetchContent"], false);
    auto made = ext_->calls("create").back();
    EXPECT_EQ(made.parent, "f:docs");
    EXPECT_EQ(made.filename, "new");
    EXPECT_EQ(made.contentType ? std::optional(made.contentType->identifier()) : std::nullopt,
              c.type);
    EXPECT_EQ(made.contentsPath, std::nullopt);
  }
}

TEST_F(CommandsTest, CreateWithContentsPassesAnAbsolutePath) {
  fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  auto o = runJson({"create", "@root", "n.txt", "--contents", "fetched"});
  fs::current_path(cwd);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ext_->calls("create").back().contentsPath, dir_ / "fetched");
  EXPECT_EQ(ext_->calls("create").back().fields & fp::field::kContents, fp::field::kContents);

  auto missing = run({"create", "@root", "n.txt", "--contents", (dir_ / "absent").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.err, HasSubstr("not a readable file"));
}

TEST_F(CommandsTest, ModifyStartsFromTheCurrentItem) {
  auto renamed = runJson({"modify", "/Documents/Report.pdf", "--name", "Final.pdf"});
  ASSERT_EQ(renamed.status, 0) << renamed.err;
  auto m = ext_->calls("modify").back();
  EXPECT_EQ(m.identifier, "i:rep");
  EXPECT_EQ(m.filename, "Final.pdf");
  EXPECT_EQ(m.parent, "f:docs");  // unchanged, from the lookup
  EXPECT_EQ(m.fields, fp::field::kFilename);
  EXPECT_EQ(m.baseVersion, (fp::ItemVersion{"4", "4-Report.pdf"}));

  auto moved = runJson({"modify", "i:rep", "--parent", "@root", "--fields", "8"});
  ASSERT_EQ(moved.status, 0);
  m = ext_->calls("modify").back();
  EXPECT_EQ(m.filename, "Final.pdf");  // as the first modification left it
  EXPECT_EQ(m.parent, kRoot);
  EXPECT_EQ(m.fields, fp::field::kParentItemIdentifier | 8);

  // An item the lookup does not find is still passed on, with what the
  // command line gives and no base version; the extension answers it.
  auto gone = runJson({"modify", "i:gone", "--name", "x"});
  ASSERT_EQ(ext_->calls("modify").size(), 3u) << gone.err;
  m = ext_->calls("modify").back();
  EXPECT_EQ(m.identifier, "i:gone");
  EXPECT_EQ(m.filename, "x");
  EXPECT_EQ(m.fields, fp::field::kFilename);
  EXPECT_EQ(m.baseVersion, fp::ItemVersion());
}

TEST_F(CommandsTest, ChangeRefusalsAreFailures) {
  ext_->setFailure([](const InMemoryExtension::Call&) {
    return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError);
  });
  auto o = runJson({"create", "@root", "a/b"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.json, nlohmann::json::parse(
                        R"({"error":{"domain":"NSCocoaErrorDomain","code":514,"description":)" +
                        nlohmann::json(fp::Error::cocoa(514).description()).dump() + "}}"));
  EXPECT_THAT(o.err, HasSubstr("create @root a/b failed: invalid file name"));
}

TEST_F(CommandsTest, DeletePrintsAnEmptyObject) {
  auto o = runJson({"delete", "/top.txt"});
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "{}\n");
  EXPECT_EQ(ext_->calls("delete").back().identifier, "i:top");
  EXPECT_EQ(ext_->calls("delete").back().baseVersion.contentVersion, "1");
}

TEST_F(CommandsTest, LoadFailures) {
  loadFailure_ = CommandFailure{kExitBadBundle, "fpctl: cannot load the extension bundle /x",
                                fp::Error::cocoa(3587, "cannot load")};
  auto bad = runJson({"ls"});
  EXPECT_EQ(bad.status, 3);
  EXPECT_EQ(bad.json["error"]["code"], 3587);
  EXPECT_THAT(bad.err, HasSubstr("cannot load the extension bundle /x"));

  loadFailure_ = CommandFailure{kExitUsage, "fpctl: no domain is registered", std::nullopt};
  auto none = run({"--json", "ls"});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(
      nlohmann::json::parse(none.out),
      nlohmann::json::parse(
          R"({"error":{"domain":"usage","code":2,"description":"no domain is registered"}})"));
  EXPECT_THAT(none.err, HasSubstr("no domain is registered"));
}

TEST_F(CommandsTest, UsageErrorsAndHelp) {
  auto bad = run({"fetch"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_THAT(bad.out, IsEmpty());
  EXPECT_THAT(bad.err, HasSubstr("usage: fpctl [GLOBAL OPTIONS] fetch ID"));
  EXPECT_FALSE(loadedWith_.has_value());  // nothing was loaded

  auto help = run({"help", "create"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("--no-type"));
  EXPECT_EQ(run({"create", "--help"}).out, help.out);
}

TEST_F(CommandsTest, UsageErrorsAreOneJsonObjectWithJson) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--json", "fetch"},
           {"--json", "--domain", "d", "frobnicate"},
           {"--json", "--log=/tmp/x", "ls", "--page"},
           {"--json"},
           {"--json", "create", "@root", "x", "--contents", "/no/such/file"},
           {"--json", "mount", "/m", "--cache-max-size", "2Q"},
           {"--json", "mount", "/m", "--cache-max-age", "forever"}}) {
    auto o = run(args);
    EXPECT_EQ(o.status, 2) << args.back();
    auto j = nlohmann::json::parse(o.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << o.out;
    EXPECT_EQ(j["error"]["domain"], "usage");
    EXPECT_EQ(j["error"]["code"], 2);
    EXPECT_FALSE(j["error"]["description"].get<std::string>().empty());
    EXPECT_THAT(o.err, HasSubstr("usage: fpctl"));
  }
}

TEST_F(CommandsTest, GlobalOptionsReachTheLoaderAndTheLog) {
  auto o = run({"--domain", "d.default", "--bundle", "/b", "--log", "/tmp/l.log", "anchor"});
  ASSERT_EQ(o.status, 0);
  ASSERT_TRUE(loadedWith_);
  EXPECT_EQ(loadedWith_->domain, "d.default");
  EXPECT_EQ(loadedWith_->bundle, fs::path("/b"));
  EXPECT_EQ(logFile_, fs::path("/tmp/l.log"));
}

TEST_F(CommandsTest, DomainsNeedNoExtension) {
  auto o = runJson({"domains"});
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.json, nlohmann::json::parse(R"({"domains":[{"identifier":"d.default",)"
                                          R"("displayName":"Pellora Connect","hidden":false,)"
                                          R"("bundle":"/b/P.appex"}]})"));
  EXPECT_FALSE(loadedWith_.has_value());
}

TEST_F(CommandsTest, MountHandsOverTheOptions) {
  auto o = run({"mount", "/mnt/p", "--foreground", "--poll", "0.25", "--cache", "/c",
                "--cache-max-size", "500M", "--cache-max-age", "7d", "--no-notify"});
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_TRUE(mounted_);
  EXPECT_EQ(mounted_->mountpoint, fs::path("/mnt/p"));
  EXPECT_TRUE(mounted_->foreground);
  EXPECT_EQ(mounted_->pollSeconds, 0.25);
  EXPECT_EQ(mounted_->cacheDir, fs::path("/c"));
  EXPECT_EQ(mounted_->cacheMaxBytes, std::int64_t{500} << 20);
  EXPECT_EQ(mounted_->cacheMaxAge, std::chrono::hours(24 * 7));
  EXPECT_FALSE(mounted_->notify);
}

// A --cache folder is made, the folders above it are not: a mistyped path is
// refused before anything is mounted.
TEST_F(CommandsTest, MountCacheMakesOnlyTheLastLevel) {
  auto missing = runJson({"mount", "/mnt/p", "--cache", (dir_ / "no/such/cache").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.json["error"]["domain"], "fpctl");
  EXPECT_THAT(missing.err, HasSubstr((dir_ / "no/such").string() + ", does not exist"));
  EXPECT_FALSE(mounted_);
  EXPECT_FALSE(fs::exists(dir_ / "no"));

  ASSERT_EQ(run({"mount", "/mnt/p", "--cache", (dir_ / "cache").string()}).status, 0);
  EXPECT_TRUE(mounted_);
}

// Refused changes as a mount keeps them in a real cache folder: retry and
// discard say what they did, and fail on a name that matches nothing.
TEST_F(CommandsTest, RetryAndDiscardActOnTheChangesTheyNameAndFailOnOthers) {
  const fs::path cache = dir_ / "cache";
  fs::create_directories(cache / "unsent");
  const fs::path kept = cache / "unsent" / "1-2-0-r.txt";
  std::ofstream(kept) << "refused bytes";
  std::ofstream(kept.string() + ".reason") << "creating was refused: File exists\n";
  // A state of a new file "r.txt" in the folder "docs" (names are hex).
  std::ofstream(kept.string() + ".record")
      << R"({"seq":4,"identifier":"","parent":"646f6373","filename":"722e747874",)"
      << R"("contentVersion":"","metadataVersion":"","shownPath":"/Documents/r.txt"})";
  fp::testing::ScopedEnv data("XDG_DATA_HOME", (dir_ / "data").string());

  Outcome none = run({"retry", "--cache", cache.string(), "/Documents/other.txt"});
  EXPECT_EQ(none.status, 1);
  EXPECT_THAT(none.err, HasSubstr("no refused change is named /Documents/other.txt"));
  Outcome retried = runJson({"retry", "--cache", cache.string(), "/Documents/r.txt"});
  ASSERT_EQ(retried.status, 0) << retried.err;
  EXPECT_EQ(retried.json["retried"][0]["path"], "/Documents/r.txt");
  // No mount used the folder: the change is in its queue now, after nothing.
  EXPECT_FALSE(fs::exists(kept));
  std::ifstream queued(cache / "queue" / "1.data");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(queued), {}), "refused bytes");

  {
    // A mount holds the folder: a waiting change stays where it is.
    fp::ScopedFD lock(::open((cache / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    Outcome busy = run({"discard", "--cache", cache.string(), "r.txt"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_THAT(busy.err, HasSubstr("stop the mount first"));
  }
  Outcome discarded = runJson({"discard", "--cache", cache.string(), "r.txt"});
  ASSERT_EQ(discarded.status, 0) << discarded.err;
  ASSERT_EQ(discarded.json["discarded"].size(), 1u);
  EXPECT_EQ(discarded.json["discarded"][0]["waiting"], true);
  std::ifstream moved(discarded.json["discarded"][0]["movedTo"].get<std::string>());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(moved), {}), "refused bytes");
  EXPECT_TRUE(fs::is_empty(cache / "queue"));
}

}  // namespace
}  // namespace fpctl
