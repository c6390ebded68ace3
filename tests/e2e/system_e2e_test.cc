// The whole system on one machine: pell-refhost serving a seeded store,
// pell-domain registering the domain, and fpctl driving the extension bundle
// through every request, checked against the store on disk.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace pellora::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;
using Json = nlohmann::json;

constexpr int kServerUnreachable = -1004;
constexpr int kNoSuchItem = -1005;
constexpr int kSyncAnchorExpired = -1002;
constexpr int kInvalidFileName = 514;

// The names the store holds in a folder, without the host's own ".refhost".
std::vector<std::string> storeNames(const Sandbox& s, std::string_view rel) {
  std::vector<std::string> names = s.storeChildren(rel);
  std::erase_if(names, [](const std::string& n) { return n == ".refhost"; });
  return names;
}

std::string ulidOf(const std::string& identifier) { return identifier.substr(2); }

// "Notes.txt" shown with the tag of a ulid: "Notes (ABCDEF).txt".
std::string marked(const std::string& name, const std::string& ulid) {
  std::string tag = ulid.size() < 6 ? ulid : ulid.substr(ulid.size() - 6);
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + " (" + tag + ")";
  return name.substr(0, dot) + " (" + tag + ")" + name.substr(dot);
}

std::int64_t versionNumber(const Json& item) {
  return std::stoll(item["contentVersion"].get<std::string>());
}

class SystemE2eTest : public SystemTest {
 protected:
  // A file outside the store with the given bytes, for --contents.
  std::string localFile(std::string_view name, std::string_view bytes) {
    fs::path p = sandbox().root() / "local" / std::string(name);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
};

TEST_F(SystemE2eTest, RootListingMatchesTheStore) {
  Json ls = list("@root");
  ASSERT_TRUE(ls.is_object());
  EXPECT_TRUE(ls["nextPage"].is_null());

  // Every name of the store's top level is listed; of the two names that differ
  // only in case, the one with the larger ulid is shown marked.
  Json lower = nullptr, upper = nullptr;
  std::vector<std::string> expected;
  for (const auto& item : ls["items"]) {
    std::string id = item["identifier"];
    EXPECT_EQ(item["parent"], kRootId);
    if (id.rfind("i:", 0) == 0 &&
        item["filename"].get<std::string>().find("otes") != std::string::npos) {
      (lower.is_null() ? lower : upper) = item;
    }
  }
  ASSERT_FALSE(lower.is_null());
  ASSERT_FALSE(upper.is_null());
  // Order the namesakes by ulid: the smaller keeps its stored name.
  if (ulidOf(lower["identifier"]) > ulidOf(upper["identifier"])) std::swap(lower, upper);
  std::string kept = lower["filename"];
  ASSERT_TRUE(kept == "Notes.txt" || kept == "notes.txt") << kept;
  std::string other = kept == "Notes.txt" ? "notes.txt" : "Notes.txt";
  EXPECT_EQ(upper["filename"], marked(other, ulidOf(upper["identifier"])));

  for (const std::string& name : storeNames(sandbox(), ""))
    expected.push_back(name == other ? marked(other, ulidOf(upper["identifier"])) : name);
  EXPECT_THAT(filenames(ls), UnorderedElementsAreArray(expected));

  // Folders are folders; files carry the store's sizes.
  for (const auto& item : ls["items"]) {
    std::string name = item["filename"];
    if (item["identifier"].get<std::string>().rfind("f:", 0) == 0) {
      EXPECT_EQ(item["contentType"], "public.folder") << name;
      EXPECT_TRUE(item["documentSize"].is_null()) << name;
      EXPECT_TRUE(sandbox().storeIsFolder(name)) << name;
    } else {
      std::string stored = name == upper["filename"] ? other : name;
      EXPECT_EQ(item["documentSize"], sandbox().readStore(stored).size()) << name;
      EXPECT_TRUE(item["contentModificationDate"].is_number()) << name;
      EXPECT_EQ(item["capabilities"], 47) << name;
    }
  }
}

TEST_F(SystemE2eTest, FolderListingMatchesTheStore) {
  Json projects = list("/Projects");
  EXPECT_THAT(filenames(projects), UnorderedElementsAreArray(storeNames(sandbox(), "Projects")));
  std::string projectsId = idOf("Projects");
  for (const auto& item : projects["items"]) EXPECT_EQ(item["parent"], projectsId);

  // The same folder by its raw identifier, and a folder two levels down.
  EXPECT_EQ(list(projectsId)["items"], projects["items"]);
  EXPECT_THAT(filenames(list("/Projects/Designs/Drafts")),
              UnorderedElementsAreArray({"draft-1.txt"}));
  EXPECT_TRUE(list("/Archive")["items"].empty());

  Json roadmap = findByName(projects, "Roadmap.md");
  ASSERT_FALSE(roadmap.is_null());
  EXPECT_EQ(roadmap["contentType"], "net.daringfireball.markdown");
  EXPECT_EQ(roadmap["documentSize"], sandbox().readStore("Projects/Roadmap.md").size());
}

TEST_F(SystemE2eTest, ItemForEachListedIdentifier) {
  std::vector<Json> listed;
  for (const auto& container : {"@root", "/Projects", "/Projects/Designs"}) {
    Json ls = list(container);
    for (const auto& item : ls["items"]) listed.push_back(item);
  }
  ASSERT_GE(listed.size(), 10u);
  for (const auto& item : listed) {
    Json got = fpctlOk({"item", item["identifier"]});
    EXPECT_EQ(got["item"], item) << item["identifier"];
  }
  Json root = fpctlOk({"item", "@root"})["item"];
  EXPECT_EQ(root["identifier"], kRootId);
  EXPECT_EQ(root["filename"], kDisplayName);

  Json missing = fpctlError({"item", "i:01NOSUCHULID0000000000000"});
  EXPECT_EQ(missing["code"], kNoSuchItem);
}

TEST_F(SystemE2eTest, FetchReturnsTheStoreBytes) {
  fs::path out = sandbox().root() / "welcome.copy";
  Json fetched = fpctlOk({"fetch", "/Welcome.txt", "--out", out.string()});
  ASSERT_TRUE(fetched.is_object());
  EXPECT_EQ(readFile(fetched["path"].get<std::string>()), sandbox().readStore("Welcome.txt"));
  EXPECT_EQ(readFile(out), sandbox().readStore("Welcome.txt"));
  EXPECT_EQ(fetched["item"]["filename"], "Welcome.txt");

  // Each of the case namesakes gives its own contents, and so does an image.
  Json root = list("@root");
  for (const auto& item : root["items"]) {
    std::string name = item["filename"];
    if (name.find("otes") == std::string::npos) continue;
    Json f = fpctlOk({"fetch", item["identifier"]});
    std::string bytes = readFile(f["path"].get<std::string>());
    EXPECT_TRUE(bytes == sandbox().readStore("Notes.txt") ||
                bytes == sandbox().readStore("notes.txt"));
    EXPECT_EQ(f["item"]["filename"], name);  // the same marked name as in the listing
  }
  Json sunset = fpctlOk({"fetch", "/Photos/sunset.png"});
  EXPECT_EQ(readFile(sunset["path"].get<std::string>()), sandbox().readStore("Photos/sunset.png"));

  // Folders have no contents.
  EXPECT_EQ(fpctlError({"fetch", "/Photos"})["code"], kNoSuchItem);

  // Thumbnails: an image for the image, none for the text.
  Json thumbs = fpctlOk({"thumbnails", "/Photos/sunset.png", "/Welcome.txt"});
  ASSERT_EQ(thumbs["thumbnails"].size(), 2u);
  EXPECT_GT(thumbs["thumbnails"][0]["bytes"].get<int>(), 0);
  EXPECT_TRUE(thumbs["thumbnails"][1]["bytes"].is_null());
  EXPECT_EQ(thumbs["progress"], Json::parse(R"({"total":2,"completed":2})"));
}

TEST_F(SystemE2eTest, CreateFolderAndFileWithContents) {
  Json folder = fpctlOk({"create", "@root", "Reports 2024", "--folder"});
  ASSERT_TRUE(folder.is_object());
  EXPECT_EQ(folder["remainingFields"], 0);
  EXPECT_EQ(folder["shouldFetchContent"], false);
  EXPECT_EQ(folder["item"]["filename"], "Reports 2024");
  EXPECT_EQ(folder["item"]["identifier"].get<std::string>().substr(0, 2), "f:");
  EXPECT_TRUE(sandbox().storeIsFolder("Reports 2024"));
  EXPECT_FALSE(findByName(list("@root"), "Reports 2024").is_null());

  std::string bytes = "quarterly numbers\n1;2;3\n";
  Json file = fpctlOk({"create", "/Reports 2024", "q1.csv", "--contents", localFile("q1", bytes)});
  ASSERT_TRUE(file.is_object());
  EXPECT_EQ(file["item"]["identifier"].get<std::string>().substr(0, 2), "i:");
  EXPECT_EQ(file["item"]["parent"], folder["item"]["identifier"]);
  EXPECT_EQ(sandbox().readStore("Reports 2024/q1.csv"), bytes);
  Json listed = findByName(list("/Reports 2024"), "q1.csv");
  ASSERT_FALSE(listed.is_null());
  EXPECT_EQ(listed["documentSize"], bytes.size());

  // The new file's contents come back through a fetch.
  Json fetched = fpctlOk({"fetch", "/Reports 2024/q1.csv"});
  EXPECT_EQ(readFile(fetched["path"].get<std::string>()), bytes);

  // An empty file without contents, at the top level.
  EXPECT_FALSE(fpctlOk({"create", "@root", "empty.txt"}).is_null());
  EXPECT_TRUE(sandbox().storeHas("empty.txt"));
  EXPECT_EQ(sandbox().readStore("empty.txt"), "");
}

TEST_F(SystemE2eTest, RenameMoveAndReplaceContents) {
  Json before = findByName(list("@root"), "Welcome.txt");
  ASSERT_FALSE(before.is_null());
  std::string id = before["identifier"];
  std::string original = sandbox().readStore("Welcome.txt");

  // Rename: the metadata version changes, the content version does not.
  Json renamed = fpctlOk({"modify", id, "--name", "Hello.txt"});
  EXPECT_EQ(renamed["item"]["filename"], "Hello.txt");
  EXPECT_EQ(renamed["item"]["identifier"], id);
  EXPECT_EQ(renamed["item"]["contentVersion"], before["contentVersion"]);
  EXPECT_NE(renamed["item"]["metadataVersion"], before["metadataVersion"]);
  EXPECT_FALSE(sandbox().storeHas("Welcome.txt"));
  EXPECT_EQ(sandbox().readStore("Hello.txt"), original);

  // Move into a folder (by path), then back to the top level.
  Json moved = fpctlOk({"modify", "/Hello.txt", "--parent", "/Projects/Designs"});
  EXPECT_EQ(moved["item"]["parent"], idOf("Designs", "/Projects"));
  EXPECT_EQ(sandbox().readStore("Projects/Designs/Hello.txt"), original);
  EXPECT_FALSE(sandbox().storeHas("Hello.txt"));
  EXPECT_FALSE(findByName(list("/Projects/Designs"), "Hello.txt").is_null());

  Json back = fpctlOk({"modify", id, "--parent", "@root"});
  EXPECT_EQ(back["item"]["parent"], kRootId);
  EXPECT_EQ(sandbox().readStore("Hello.txt"), original);
  EXPECT_FALSE(sandbox().storeHas("Projects/Designs/Hello.txt"));

  // Replace the contents: the content version grows.
  std::string replacement = "new contents, longer than before: " + std::string(100, 'x') + "\n";
  Json replaced = fpctlOk({"modify", id, "--contents", localFile("r", replacement)});
  EXPECT_EQ(sandbox().readStore("Hello.txt"), replacement);
  EXPECT_GT(versionNumber(replaced["item"]), versionNumber(before));
  EXPECT_EQ(replaced["item"]["documentSize"], replacement.size());
  Json fetched = fpctlOk({"fetch", id});
  EXPECT_EQ(readFile(fetched["path"].get<std::string>()), replacement);

  // A folder can be renamed and moved, too.
  Json folder = fpctlOk({"modify", "/Archive", "--name", "Old Stuff", "--parent", "/Projects"});
  EXPECT_EQ(folder["item"]["filename"], "Old Stuff");
  EXPECT_TRUE(sandbox().storeIsFolder("Projects/Old Stuff"));
  EXPECT_FALSE(sandbox().storeHas("Archive"));
}

TEST_F(SystemE2eTest, DeleteFileAndFolder) {
  std::string sunset = idOf("sunset.png", "/Photos");
  EXPECT_EQ(fpctlOk({"delete", sunset}), Json::object());
  EXPECT_FALSE(sandbox().storeHas("Photos/sunset.png"));
  EXPECT_TRUE(list("/Photos")["items"].empty());
  EXPECT_EQ(fpctlError({"item", sunset})["code"], kNoSuchItem);

  // A folder goes with everything inside it.
  std::string designs = idOf("Designs", "/Projects");
  EXPECT_EQ(fpctlOk({"delete", "/Projects/Designs"}), Json::object());
  EXPECT_FALSE(sandbox().storeHas("Projects/Designs"));
  EXPECT_TRUE(findByName(list("/Projects"), "Designs").is_null());
  EXPECT_EQ(fpctlError({"item", designs})["code"], kNoSuchItem);

  // Deleting it again: the host no longer knows it.
  EXPECT_EQ(fpctlError({"delete", designs})["code"], kNoSuchItem);
}

TEST_F(SystemE2eTest, LockedFileIsReadOnlyAndRefused) {
  Json budget = findByName(list("/Projects"), "Budget.csv");
  ASSERT_FALSE(budget.is_null());
  EXPECT_EQ(budget["capabilities"], 1);
  std::string id = budget["identifier"];
  std::string bytes = sandbox().readStore("Projects/Budget.csv");

  EXPECT_EQ(fpctlError({"modify", id, "--name", "Budget-2.csv"})["code"], kServerUnreachable);
  EXPECT_EQ(fpctlError({"modify", id, "--contents", localFile("b", "changed")})["code"],
            kServerUnreachable);
  EXPECT_EQ(fpctlError({"delete", id})["code"], kServerUnreachable);
  EXPECT_EQ(sandbox().readStore("Projects/Budget.csv"), bytes);

  // Reading it is fine.
  Json fetched = fpctlOk({"fetch", id});
  EXPECT_EQ(readFile(fetched["path"].get<std::string>()), bytes);
}

TEST_F(SystemE2eTest, InvalidNamesAreRefusedWithCocoa514) {
  for (const char* name : {"a/b", "..", "."}) {
    Json e = fpctlError({"create", "@root", name, "--folder"});
    EXPECT_EQ(e["domain"], "NSCocoaErrorDomain") << name;
    EXPECT_EQ(e["code"], kInvalidFileName) << name;
  }
  Json e = fpctlError({"create", "@root", ""});
  EXPECT_EQ(e["code"], kInvalidFileName);
  Json rename = fpctlError({"modify", "/Welcome.txt", "--name", "x/y"});
  EXPECT_EQ(rename["code"], kInvalidFileName);
  EXPECT_TRUE(sandbox().storeHas("Welcome.txt"));
}

TEST_F(SystemE2eTest, AnchorMovesOnlyWhenTheHostWrites) {
  std::string a1 = fpctlOk({"anchor"})["anchor"];
  EXPECT_THAT(a1, HasSubstr("|"));
  // Reading changes nothing.
  list("@root");
  fpctlOk({"fetch", "/Welcome.txt"});
  EXPECT_EQ(fpctlOk({"anchor"})["anchor"], a1);
  Json same = fpctlOk({"changes", "@root", a1});
  EXPECT_EQ(same, Json::parse(R"({"anchor":)" + Json(a1).dump() +
                              R"(,"moreComing":false,"updated":[],"deleted":[]})"));

  // A change made through the extension.
  fpctlOk({"create", "@root", "fresh", "--folder"});
  std::string a2 = fpctlOk({"anchor"})["anchor"];
  EXPECT_NE(a2, a1);
  EXPECT_EQ(fpctlError({"changes", "@root", a1})["code"], kSyncAnchorExpired);
  EXPECT_EQ(fpctlError({"changes", "/Projects", a1})["code"], kSyncAnchorExpired);
  EXPECT_EQ(fpctlOk({"changes", "@root", a2})["anchor"], a2);

  // A change made directly in the store, which the host picks up by itself,
  // perhaps in steps (the file made, then written).
  const std::string outside = "written behind the host's back\n";
  sandbox().writeStore("Projects/outside.txt", outside);
  EXPECT_TRUE(waitUntil([&] {
    return findByName(list("/Projects"), "outside.txt")["documentSize"] == outside.size();
  }));
  std::string a3 = fpctlOk({"anchor"})["anchor"];
  EXPECT_NE(a3, a2);
  EXPECT_EQ(fpctlError({"changes", "@root", a2})["code"], kSyncAnchorExpired);
  // And it stays put while nothing happens.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(fpctlOk({"anchor"})["anchor"], a3);
}

TEST_F(SystemE2eTest, HostStoppedFetchFailsListingStillWorks) {
  Json before = list("@root");
  ASSERT_TRUE(before.is_object());
  EXPECT_EQ(sandbox().stopHost(), 0);
  EXPECT_FALSE(fs::exists(sandbox().socketPath()));

  EXPECT_EQ(fpctlError({"fetch", "/Welcome.txt"})["code"], kServerUnreachable);
  EXPECT_EQ(fpctlError({"create", "@root", "x", "--folder"})["code"], kServerUnreachable);
  EXPECT_EQ(fpctlError({"delete", "/Welcome.txt"})["code"], kServerUnreachable);
  EXPECT_EQ(list("@root")["items"], before["items"]);
  EXPECT_FALSE(fpctlOk({"item", "/Projects/Roadmap.md"}).is_null());

  // Back again: the same identifiers, and fetching works.
  ASSERT_TRUE(sandbox().startHost());
  EXPECT_EQ(list("@root")["items"], before["items"]);
  EXPECT_FALSE(fpctlOk({"fetch", "/Welcome.txt"}).is_null());
}

TEST_F(SystemE2eTest, FaultsInjectedByTheHost) {
  ASSERT_TRUE(sandbox().restartHost({"--fail", "fetch=quota", "--no-reply", "delete"}));
  EXPECT_EQ(fpctlError({"fetch", "/Welcome.txt"})["code"], -1003);
  // A host that closes without a reply: the request fails, nothing is deleted.
  EXPECT_EQ(fpctlError({"delete", "/Welcome.txt"})["code"], -2005);
  EXPECT_TRUE(sandbox().storeHas("Welcome.txt"));
}

TEST_F(SystemE2eTest, OutputForPeople) {
  RunResult ls = sandbox().fpctlText({"ls", "/Projects"});
  ASSERT_EQ(ls.status, 0) << ls.describe();
  EXPECT_THAT(ls.out, HasSubstr("NAME"));
  EXPECT_THAT(ls.out, HasSubstr("Designs/"));
  EXPECT_THAT(ls.out, HasSubstr("read-only"));  // the locked budget

  RunResult tree = sandbox().fpctlText({"tree"});
  ASSERT_EQ(tree.status, 0) << tree.describe();
  EXPECT_EQ(tree.out.rfind(std::string(kDisplayName) + "\n", 0), 0u) << tree.out;
  EXPECT_THAT(tree.out, HasSubstr("│   │   ├── Drafts/\n│   │   │   └── draft-1.txt  15 B\n"));

  RunResult json = sandbox().fpctl({"tree"});
  ASSERT_TRUE(json.isJson) << json.describe();
  EXPECT_EQ(json.json["tree"]["item"]["filename"], kDisplayName);

  RunResult missing = sandbox().fpctlText({"fetch", "/No such file.txt"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("no item named \"No such file.txt\" in /"));
  EXPECT_EQ(missing.out, "");

  RunResult usage = sandbox().fpctlText({"fetch"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_THAT(usage.err, HasSubstr("usage: fpctl"));

  RunResult domains = sandbox().fpctl({"domains"});
  ASSERT_EQ(domains.status, 0);
  ASSERT_EQ(domains.json["domains"].size(), 1u);
  EXPECT_EQ(domains.json["domains"][0]["identifier"], kDefaultDomain);
  EXPECT_EQ(domains.json["domains"][0]["displayName"], kDisplayName);
}

TEST_F(SystemE2eTest, BundleChoiceAndRemovedDomain) {
  // An explicit bundle serves the same domain.
  RunResult explicitBundle = sandbox().fpctl(
      {"--bundle", Programs::bundle(), "--domain", std::string(kDefaultDomain), "anchor"});
  EXPECT_EQ(explicitBundle.status, 0) << explicitBundle.describe();

  // --log sends the extension's log lines to the given file.
  fs::path logFile = sandbox().root() / "own.log";
  ASSERT_EQ(sandbox().fpctl({"--log", logFile.string(), "ls"}).status, 0);
  std::ifstream log(logFile);
  std::string logText((std::istreambuf_iterator<char>(log)), {});
  EXPECT_THAT(logText, HasSubstr("children of <root>"));

  RunResult badBundle = sandbox().fpctl(
      {"--bundle", (sandbox().root() / "nothing.appex").string(), "--domain", "x", "ls"});
  EXPECT_EQ(badBundle.status, 3) << badBundle.describe();
  EXPECT_TRUE(badBundle.json.contains("error"));

  // After removal no domain is left to serve.
  RunResult removed = sandbox().removeDomain();
  ASSERT_EQ(removed.status, 0) << removed.describe();
  RunResult none = sandbox().fpctl({"ls"});
  EXPECT_EQ(none.status, 2) << none.describe();
  EXPECT_THAT(none.err, HasSubstr("no domain is registered"));
  ASSERT_EQ(sandbox().registerDomain().status, 0);  // for the fixture's own removal
}

// A registry that another user could have written names code that fpctl would
// run as this user: it is refused before any bundle is loaded, and left alone.
TEST_F(SystemE2eTest, RegistryAnotherUserCouldHaveWrittenRunsNothing) {
  const fs::path registry = sandbox().state() / "domains.json";
  const fs::path registryFolder = sandbox().state();
  struct Case {
    const char* name;
    std::function<void()> plant, undo;
    const char* reason;
  } cases[] = {
      {"registry writable by others", [&] { fs::permissions(registry, fs::perms(0666)); },
       [&] { fs::permissions(registry, fs::perms(0600)); }, "writable by group or others"},
      {"registry folder writable by others",
       [&] { fs::permissions(registryFolder, fs::perms(0777)); },
       [&] { fs::permissions(registryFolder, fs::perms(0700)); }, "writable by group or others"},
      {"registry of user nobody", [&] { ASSERT_EQ(::chown(registry.c_str(), 65534, -1), 0); },
       [&] { ASSERT_EQ(::chown(registry.c_str(), ::geteuid(), -1), 0); }, "belongs to uid 65534"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant();
    const std::string planted = readFile(registry);
    RunResult ls = sandbox().fpctlText({"ls", "/"});
    EXPECT_EQ(ls.status, 1) << ls.describe();
    EXPECT_THAT(ls.err, HasSubstr("refusing to use the domain registry"));
    EXPECT_THAT(ls.err, HasSubstr(c.reason));
    EXPECT_EQ(ls.out, "");
    EXPECT_THAT(sandbox().log(), Not(HasSubstr("children of")));
    RunResult reg = sandbox().registerDomain();
    EXPECT_EQ(reg.status, 1) << reg.describe();
    EXPECT_THAT(reg.err, HasSubstr("register failed: "));
    EXPECT_EQ(readFile(registry), planted);
    c.undo();
  }
  EXPECT_EQ(sandbox().fpctlText({"ls", "/"}).status, 0);
}

// ---- what a user sees when things are not as expected ----

// Every outcome of `fpctl --json` is one JSON object, usage mistakes included.
TEST_F(SystemE2eTest, JsonForEveryOutcome) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string domain;
  } cases[] = {
      {{"fetch"}, 2, "usage"},
      {{"frobnicate"}, 2, "usage"},
      {{"ls", "--page"}, 2, "usage"},
      {{"status", "--cache", (sandbox().root() / "nowhere").string()}, 1, "fpctl"},
      {{"mount", (sandbox().root() / "missing").string()}, 1, "fpctl"},
  };
  for (const auto& c : cases) {
    RunResult r = sandbox().fpctl(c.args);
    EXPECT_EQ(r.status, c.status) << r.describe();
    ASSERT_TRUE(r.isJson) << r.describe();
    EXPECT_EQ(r.json["error"]["domain"], c.domain) << r.describe();
    EXPECT_FALSE(r.json["error"]["description"].get<std::string>().empty());
  }
  RunResult missing = sandbox().fpctl({"mount", (sandbox().root() / "missing").string()});
  EXPECT_THAT(missing.err,
              HasSubstr(FPCTL_WITH_FUSE ? "does not exist" : "built without FUSE support"));

  ASSERT_EQ(sandbox().removeDomain().status, 0);
  RunResult none = sandbox().fpctl({"ls"});
  EXPECT_EQ(none.status, 2);
  ASSERT_TRUE(none.isJson) << none.describe();
  EXPECT_EQ(none.json["error"]["code"], 2);
  // It names the registry it read: a shell without the exports reads another.
  EXPECT_THAT(
      none.json["error"]["description"].get<std::string>(),
      HasSubstr("no domain is registered in " + (sandbox().state() / "domains.json").string() +
                " (FILEPROVIDER_STATE=" + sandbox().state().string() + ")"));
  ASSERT_EQ(sandbox().registerDomain().status, 0);
}

// The code stays the extension's; its own logged line tells the cause.
TEST_F(SystemE2eTest, TheExtensionsReasonNextToTheCode) {
  Json e = sandbox().fpctl({"delete", "/Projects/Budget.csv"}).json;
  EXPECT_EQ(e["error"]["code"], kServerUnreachable);
  EXPECT_THAT(e["reason"].get<std::string>(), HasSubstr("kind: \"locked\""));

  RunResult text = sandbox().fpctlText({"delete", "/Projects/Budget.csv"});
  EXPECT_EQ(text.status, 1);
  EXPECT_THAT(text.err, HasSubstr("the extension logged: delete failed for "));
  EXPECT_THAT(text.err, HasSubstr("locked"));
  EXPECT_THAT(text.err, HasSubstr("-1004"));

  // Without a platform log file fpctl keeps a log of its own for the run and
  // removes it afterwards.
  fs::path temp = sandbox().root() / "tmp";
  fs::create_directories(temp);
  RunOptions noLog;
  noLog.env = {{"FILEPROVIDER_LOG", ""}, {"TMPDIR", temp.string()}};
  RunResult own = sandbox().fpctlText({"delete", "/Projects/Budget.csv"}, noLog);
  EXPECT_EQ(own.status, 1);
  EXPECT_THAT(own.err, HasSubstr("the extension logged: delete failed for "));
  EXPECT_TRUE(fs::is_empty(temp));

  // With the host stopped the code is the same, and the earlier runs' lines
  // are not taken for this one's reason.
  ASSERT_EQ(sandbox().stopHost(), 0);
  Json down = sandbox().fpctl({"delete", "/Welcome.txt"}).json;
  EXPECT_EQ(down["error"]["code"], kServerUnreachable);
  EXPECT_THAT(down.value("reason", std::string()), Not(HasSubstr("locked")));
}

// Empty output never passes for success: a note says what happened.
TEST_F(SystemE2eTest, NotesInsteadOfSilentEmptyOutput) {
  struct Case {
    std::string container;
    std::string note;
  } cases[] = {
      {"/Welcome.txt", "/Welcome.txt is a file, not a folder"},
  };
  for (const auto& c : cases) {
    Json ls = fpctlOk({"ls", c.container});
    EXPECT_TRUE(ls["items"].empty());
    EXPECT_THAT(ls["note"].get<std::string>(), HasSubstr(c.note));
    RunResult text = sandbox().fpctlText({"ls", c.container});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, "");
    EXPECT_THAT(text.err, HasSubstr(c.note));
  }
  EXPECT_FALSE(list("/Projects").contains("note"));

  // A name meant as a path is no item: exit 1, with the path that exists.
  RunResult meant = sandbox().fpctlText({"ls", "Projects"});
  EXPECT_EQ(meant.status, 1) << meant.describe();
  EXPECT_EQ(meant.out, "");
  EXPECT_THAT(meant.err, HasSubstr("no item has the identifier \"Projects\"; did you mean "
                                   "/Projects?"));

  // A folder is one line, not the extension's error and then a note.
  RunResult folder = sandbox().fpctlText({"fetch", "/Projects"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.err,
            "fpctl: /Projects is a folder; fetch takes a file (fpctl ls /Projects lists the "
            "folder)\n");

  // --json reads after the command too, as the README writes it.
  RunResult after = sandbox().run({Programs::fpctl(), "ls", "/Projects", "--json"});
  EXPECT_EQ(after.status, 0) << after.describe();
  EXPECT_TRUE(after.isJson) << after.describe();

  // --out may name a folder: the file goes in under its display name.
  fs::path outDir = sandbox().root() / "out";
  fs::create_directories(outDir);
  RunResult saved = sandbox().fpctlText({"fetch", "/Welcome.txt", "--out", outDir.string()});
  ASSERT_EQ(saved.status, 0) << saved.describe();
  EXPECT_EQ(readFile(outDir / "Welcome.txt"), sandbox().readStore("Welcome.txt"));
  // Made as cp makes a file: 0666 less the umask, not the extension's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fs::status(outDir / "Welcome.txt").permissions(), static_cast<fs::perms>(0666 & ~mask));
}

// A domain whose host application never ran has no index: ls and tree say so.
TEST(SystemE2eNoIndexTest, EmptyRootIsExplained) {
  Sandbox fresh;
  ASSERT_EQ(fresh.registerDomain().status, 0);
  RunResult ls = fresh.fpctl({"ls"});
  ASSERT_EQ(ls.status, 0) << ls.describe();
  EXPECT_TRUE(ls.json["items"].empty());
  EXPECT_THAT(ls.json["note"].get<std::string>(), HasSubstr("no index yet"));
  RunResult tree = fresh.fpctlText({"tree"});
  EXPECT_EQ(tree.status, 0);
  EXPECT_THAT(tree.err, HasSubstr("has the host application run?"));
  EXPECT_EQ(fresh.removeDomain().status, 0);
}

// modify of an item the index no longer shows still reaches the extension.
TEST_F(SystemE2eTest, ModifyOfAnItemTheIndexLost) {
  std::string id = idOf("Roadmap.md", "/Projects");
  sandbox().removeStore("Projects/Roadmap.md");
  ASSERT_TRUE(waitUntil([&] { return findByName(list("/Projects"), "Roadmap.md").is_null(); }));
  ASSERT_FALSE(fpctlError({"item", id}).is_null());
  std::size_t before = sandbox().log().size();
  RunResult r = sandbox().fpctl({"modify", id, "--name", "Roadmap-2.md"});
  EXPECT_THAT(r.err, Not(HasSubstr("looking up")));
  // The extension was asked: it logged the request.
  EXPECT_THAT(sandbox().log().substr(before), HasSubstr(ulidOf(id))) << r.describe();
}

}  // namespace
}  // namespace pellora::e2e
