#include "fileprovider/fpctl/render.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/mount/cache_bound.h"
#include "fileprovider/fpctl/requests/in_memory_extension_for_test.h"
#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl {
namespace {

using mount::testing::makeItem;
using ::testing::HasSubstr;

fp::ItemPtr itemWith(TemplateItem::Values v) {
  return std::make_shared<TemplateItem>(std::move(v));
}

TEST(ItemJsonTest, FileWithEveryAttribute) {
  auto item = makeItem("i:1", "f:p", "a.txt", false, 5);
  EXPECT_EQ(
      dumpJson(itemJson(item)),
      R"({"identifier":"i:1","parent":"f:p","filename":"a.txt","contentType":"public.data",)"
      R"("capabilities":47,"documentSize":5,"contentModificationDate":1714558920,)"
      R"("isUploaded":true,"isDownloaded":false,"contentVersion":"1","metadataVersion":"1-a.txt"})"
      "\n");
}

TEST(ItemJsonTest, AbsentAttributesAreNull) {
  TemplateItem::Values v;
  v.identifier = "x";
  v.parent = "y";
  v.filename = "n";
  v.capabilities = 3;
  Json j = itemJson(itemWith(v));
  EXPECT_TRUE(j["contentType"].is_null());
  EXPECT_TRUE(j["documentSize"].is_null());
  EXPECT_TRUE(j["contentModificationDate"].is_null());
  EXPECT_EQ(j["contentVersion"], "");
  EXPECT_TRUE(itemJson(fp::ItemPtr()).is_null());
}

TEST(ItemJsonTest, FractionalDatesStayFractional) {
  TemplateItem::Values v;
  v.contentModificationDate = 1.5;
  EXPECT_EQ(itemJson(itemWith(v))["contentModificationDate"].get<double>(), 1.5);
}

TEST(ItemJsonTest, VersionBytesThatAreNotUtf8StillMakeValidJson) {
  TemplateItem::Values v;
  v.version = {"\xff\xfe", "7-caf\xc3\xa9"};
  std::string line = dumpJson(itemJson(itemWith(v)));
  auto parsed = nlohmann::json::parse(line, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << line;
  EXPECT_EQ(parsed["contentVersion"], "\xef\xbf\xbd\xef\xbf\xbd");  // two U+FFFD
  EXPECT_EQ(parsed["metadataVersion"], "7-caf\xc3\xa9");
}

TEST(ErrorJsonTest, HasDomainCodeAndDescription) {
  Json j = errorJson(fp::Error::cocoa(514));
  EXPECT_EQ(j["domain"], "NSCocoaErrorDomain");
  EXPECT_EQ(j["code"], 514);
  EXPECT_EQ(j["description"], fp::Error::cocoa(514).description());
}

TEST(HumanSizeTest, Units) {
  struct Case {
    std::int64_t bytes;
    const char* text;
  } cases[] = {{0, "0 B"},           {1023, "1023 B"},       {1024, "1.0 KiB"},
               {1536, "1.5 KiB"},    {10 * 1024, "10 KiB"},  {1048575, "1.0 MiB"},
               {5 << 20, "5.0 MiB"}, {3LL << 40, "3.0 TiB"}, {-1, "-1 B"}};
  for (const auto& c : cases) EXPECT_EQ(humanSize(c.bytes), c.text) << c.bytes;
}

TEST(CacheBoundTest, TextForPeopleReadsBack) {
  // What status prints of a bound can be given back to --cache-max-size.
  for (std::int64_t bytes : {std::int64_t{300}, std::int64_t{3} << 29, std::int64_t{8} << 20}) {
    EXPECT_EQ(mount::parseSize(humanSize(bytes)), bytes) << humanSize(bytes);
  }
  for (const char* d : {"90s", "30m", "12h", "6d", "2w"}) {
    EXPECT_EQ(mount::durationText(*mount::parseDuration(d)), d);
  }
}

TEST(FormatDateTest, Utc) {
  EXPECT_EQ(formatDate(1714558920, true), "2024-05-01 10:22");
  EXPECT_EQ(formatDate(0, true), "1970-01-01 00:00");
}

TEST(KindNameTest, FriendlyNames) {
  struct Case {
    std::optional<std::string> uti;
    const char* kind;
  } cases[] = {{"public.folder", "folder"},
               {"public.data", "data"},
               {"com.adobe.pdf", "PDF document"},
               {"public.plain-text", "text"},
               {"public.png", "PNG image"},
               {"public.zip-archive", "ZIP archive"},
               {"com.example.odd", "com.example.odd"},
               {std::nullopt, "-"}};
  for (const auto& c : cases) {
    std::optional<fp::UTType> t;
    if (c.uti) t = fp::UTType(*c.uti);
    EXPECT_EQ(kindName(t), c.kind) << c.uti.value_or("none");
  }
}

// The column at which `needle` starts in `line`, counted in characters.
std::size_t columnOf(const std::string& line, const std::string& needle) {
  auto pos = line.find(needle);
  std::size_t col = 0;
  for (std::size_t i = 0; i < pos; ++i)
    if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++col;
  return col;
}

TEST(ListingTableTest, ColumnsAlignAlsoWithAccentedNames) {
  TemplateItem::Values locked;
  locked.identifier = "i:lock";
  locked.filename = "locked.docx";
  locked.contentType = fp::UTType("org.openxmlformats.wordprocessingml.document");
  locked.capabilities = 1;
  locked.documentSize = 2048;
  std::vector<fp::ItemPtr> items = {makeItem("f:d", "r", "Documents", true),
                                    makeItem("i:e", "r", "caf\xc3\xa9.txt", false, 12345),
                                    itemWith(locked)};
  std::string table = listingTable(items, {.utc = true});
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = table.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(table.substr(start, nl - start));
  ASSERT_EQ(lines.size(), 4u) << table;
  EXPECT_EQ(lines[0].rfind("NAME", 0), 0u);
  std::size_t idCol = columnOf(lines[0], "IDENTIFIER");
  EXPECT_EQ(columnOf(lines[1], "f:d"), idCol) << table;
  EXPECT_EQ(columnOf(lines[2], "i:e"), idCol) << table;
  EXPECT_EQ(columnOf(lines[3], "i:lock"), idCol) << table;
  EXPECT_THAT(lines[1], HasSubstr("Documents/"));
  EXPECT_THAT(lines[2], HasSubstr("12 KiB"));
  EXPECT_THAT(lines[2], HasSubstr("2024-05-01 10:22"));
  EXPECT_THAT(lines[3], HasSubstr("read-only"));
  EXPECT_EQ(listingTable({}), "");
}

TEST(ListingTableTest, ControlCharactersInNamesCannotBreakLines) {
  std::string table = listingTable({makeItem("i:x", "r", "evil\nname\x1b[2J", false, 1)});
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2) << table;
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
}

TEST(TreeTest, TextAndJson) {
  TreeNode top{
      std::string(fp::kRootContainer), makeItem("root", "root", "Pellora Connect", true), true, {}};
  TreeNode docs{"f:d", makeItem("f:d", "root", "Docs", true), true, {}};
  docs.children.push_back({"i:r", makeItem("i:r", "f:d", "r.pdf", false, 2048), false, {}});
  docs.children.push_back({"f:e", makeItem("f:e", "f:d", "Empty", true), true, {}});
  top.children.push_back(std::move(docs));
  top.children.push_back({"i:n", makeItem("i:n", "root", "n.txt", false, 3), false, {}});

  EXPECT_EQ(treeText(top),
            "Pellora Connect\n"
            "├── Docs/\n"
            "│   ├── r.pdf  2.0 KiB\n"
            "│   └── Empty/\n"
            "└── n.txt  3 B\n");

  Json j = treeJson(top);
  EXPECT_EQ(j["identifier"], std::string(fp::kRootContainer));
  ASSERT_EQ(j["children"].size(), 2u);
  EXPECT_EQ(j["children"][0]["item"]["filename"], "Docs");
  EXPECT_EQ(j["children"][0]["children"][1]["children"], Json::array());  // listed, empty
  EXPECT_TRUE(j["children"][1]["children"].is_null());                    // a file
}

TEST(TreeTest, TopWithoutItemShowsItsIdentifier) {
  TreeNode top{std::string(fp::kTrashContainer), nullptr, true, {}};
  EXPECT_EQ(treeText(top), std::string(fp::kTrashContainer) + "\n");
  EXPECT_TRUE(treeJson(top)["item"].is_null());
}

TEST(ProgressBarTest, DeterminateAndWaiting) {
  std::string done = progressBar("/a.txt", 1, 1, 2.0, 10);
  EXPECT_EQ(done, "/a.txt [##########] 100% 2.0s");
  std::string half = progressBar("x", 5, 10, 0.5, 10);
  EXPECT_EQ(half, "x [#####     ] 50% 0.5s");
  for (double t : {0.0, 0.35, 0.9, 1.7, 12.3}) {
    std::string waiting = progressBar("x", 0, 1, t, 10);
    EXPECT_EQ(std::count(waiting.begin(), waiting.end(), '#'), 3) << waiting;
    EXPECT_THAT(waiting, HasSubstr("waiting"));
    EXPECT_EQ(waiting.size(), progressBar("x", 0, 1, 0.0, 10).size() + (t >= 10 ? 1 : 0));
  }
}

TEST(TransferTextTest, BytesAndRate) {
  EXPECT_EQ(transferText(3 << 19, 4 << 20, 3.0), "1.5 MiB of 4.0 MiB, 512 KiB/s");
  EXPECT_EQ(transferText(0, 10, 0.0), "0 B of 10 B");
}

TEST(ErrorLineTest, NamesWhatFailedAndWhy) {
  struct Case {
    fp::Error error;
    const char* line;
  } cases[] = {
      {fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem),
       "fpctl: fetch /a failed: no such item (NSFileProviderErrorDomain -1005)"},
      {fp::Error{"NSFileProviderErrorDomain", -1005, "no item named \"a\" in /"},
       "fpctl: fetch /a failed: no such item: no item named \"a\" in / "
       "(NSFileProviderErrorDomain -1005)"},
      {fp::Error::cocoa(514), "fpctl: fetch /a failed: invalid file name (NSCocoaErrorDomain 514)"},
      {fp::Error{"Other", 9, ""}, "fpctl: fetch /a failed: error (Other 9)"},
      {fp::Error{"Other", 9, "broken"}, "fpctl: fetch /a failed: broken (Other 9)"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorLine("fetch /a", c.error), c.line);
}

}  // namespace
}  // namespace fpctl
