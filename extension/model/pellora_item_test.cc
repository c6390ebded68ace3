#include "extension/model/pellora_item.h"

#include <gtest/gtest.h>

#include "extension/model/item_id.h"

namespace pellora {
namespace {

const std::string kRoot(fp::kRootContainer);

TimePoint at(double seconds) { return TimePoint(std::chrono::duration<double>(seconds)); }

IndexEntry folderEntry(std::string ulid, std::optional<std::string> parent = std::nullopt) {
  return IndexEntry(ulid, "Docs", std::move(parent), true, 0, TimePoint{}, 0, std::nullopt, "Docs");
}

IndexEntry fileEntry(std::string displayName, std::optional<std::string> parent = std::nullopt,
                     std::int64_t version = 12,
                     std::optional<std::int64_t> lockedBy = std::nullopt) {
  return IndexEntry("01FILE", "stored", std::move(parent), false, 2048, at(1700000000), version,
                    lockedBy, std::move(displayName));
}

// What an item without an entry reports, whatever its identifier.
void expectRootAttributes(const PelloraItem& item) {
  EXPECT_EQ(item.parentItemIdentifier(), kRoot);
  EXPECT_EQ(item.filename(), "Pellora Connect");
  EXPECT_EQ(item.contentType(), fp::UTType::folder());
  EXPECT_EQ(item.capabilities(), 3u);
  EXPECT_EQ(item.documentSize(), std::nullopt);
  EXPECT_EQ(item.contentModificationDate(), std::nullopt);
  EXPECT_TRUE(item.isUploaded());
  EXPECT_FALSE(item.isDownloaded());
  EXPECT_EQ(item.itemVersion(), (fp::ItemVersion{"0", "0-"}));
}

TEST(PelloraItemTest, Root) {
  auto root = PelloraItem::root();
  EXPECT_EQ(root->itemIdentifier(), kRoot);
  EXPECT_FALSE(root->entry().has_value());
  expectRootAttributes(*root);
}

TEST(PelloraItemTest, NoEntryWithAnIdentifierLooksLikeTheRootButKeepsItsIdentifier) {
  PelloraItem item(std::nullopt, ItemID::file("01NEW"));
  EXPECT_EQ(item.itemIdentifier(), "i:01NEW");
  expectRootAttributes(item);
}

TEST(PelloraItemTest, IdentifierFollowsTheKindOfTheEntry) {
  EXPECT_EQ(PelloraItem(folderEntry("01X")).itemIdentifier(), "f:01X");
  IndexEntry file("01X", "a", std::nullopt, false, 0, TimePoint{}, 0, std::nullopt, "a");
  EXPECT_EQ(PelloraItem(file).itemIdentifier(), "i:01X");
  // Stored unchanged, with no check against the entry.
  EXPECT_EQ(PelloraItem(folderEntry("01X"), "anything").itemIdentifier(), "anything");
}

TEST(PelloraItemTest, Folder) {
  // A folder entry that carries a size, a date and a lock still shows none of them.
  IndexEntry entry("01F", "Docs", std::string("01P"), true, 99, at(5), 4, 7, "Docs");
  PelloraItem item(entry);
  EXPECT_EQ(item.parentItemIdentifier(), "f:01P");
  EXPECT_EQ(item.filename(), "Docs");
  EXPECT_EQ(item.contentType(), fp::UTType::folder());
  EXPECT_EQ(item.capabilities(), 47u);
  EXPECT_EQ(item.documentSize(), std::nullopt);
  EXPECT_EQ(item.contentModificationDate(), std::nullopt);
  EXPECT_TRUE(item.isUploaded());
  EXPECT_FALSE(item.isDownloaded());
  EXPECT_EQ(PelloraItem(folderEntry("01F")).parentItemIdentifier(), kRoot);
}

TEST(PelloraItemTest, File) {
  PelloraItem item(fileEntry("Report (7K2QZM).pdf", "01P"));
  EXPECT_EQ(item.itemIdentifier(), "i:01FILE");
  EXPECT_EQ(item.parentItemIdentifier(), "f:01P");
  EXPECT_EQ(item.filename(), "Report (7K2QZM).pdf");  // the display name, not the stored one
  EXPECT_EQ(item.contentType(), fp::UTType("com.adobe.pdf"));
  EXPECT_EQ(item.capabilities(), 47u);
  EXPECT_EQ(item.documentSize(), 2048);
  EXPECT_EQ(item.contentModificationDate(), 1700000000.0);
  EXPECT_TRUE(item.isUploaded());
  EXPECT_FALSE(item.isDownloaded());
  EXPECT_EQ(PelloraItem(fileEntry("a")).parentItemIdentifier(), kRoot);
}

TEST(PelloraItemTest, AnyLockLeavesOnlyReading) {
  EXPECT_EQ(PelloraItem(fileEntry("a", std::nullopt, 1, 0)).capabilities(), 1u);
  EXPECT_EQ(PelloraItem(fileEntry("a", std::nullopt, 1, 42)).capabilities(), 1u);
  EXPECT_EQ(PelloraItem(fileEntry("a", std::nullopt, 1, std::nullopt)).capabilities(), 47u);
}

TEST(PelloraItemTest, ContentTypeFromTheLastExtensionOfTheDisplayName) {
  struct Case {
    std::string displayName;
    std::string type;
  };
  const Case cases[] = {
      {"Report.pdf", "com.adobe.pdf"},
      {"SCAN.PDF", "com.adobe.pdf"},
      {"archive.tar.gz", "org.gnu.gnu-zip-archive"},
      {"notes.txt", "public.plain-text"},
      {"Notes", "public.data"},
      {"memo.", "public.data"},
      {"weird.qqq", "public.data"},
      {"a.pdf (7K2QZM)", "public.data"},
      {"dir.pdf/inner", "public.data"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PelloraItem(fileEntry(c.displayName)).contentType(), fp::UTType(c.type))
        << c.displayName;
  }
}

TEST(PelloraItemTest, VersionsAreDecimalBytes) {
  EXPECT_EQ(PelloraItem(fileEntry("Report.pdf", std::nullopt, 12)).itemVersion(),
            (fp::ItemVersion{"12", "12-Report.pdf"}));
  EXPECT_EQ(PelloraItem(fileEntry("a", std::nullopt, -3)).itemVersion(),
            (fp::ItemVersion{"-3", "-3-a"}));
  EXPECT_EQ(PelloraItem(fileEntry("a", std::nullopt, 0)).itemVersion(),
            (fp::ItemVersion{"0", "0-a"}));
  EXPECT_EQ(PelloraItem(fileEntry("", std::nullopt, INT64_MIN)).itemVersion(),
            (fp::ItemVersion{"-9223372036854775808", "-9223372036854775808-"}));
  EXPECT_EQ(PelloraItem(folderEntry("01F")).itemVersion(), (fp::ItemVersion{"0", "0-Docs"}));
}

TEST(PelloraItemTest, RenameChangesOnlyTheMetadataVersionMoveChangesNeither) {
  fp::ItemVersion base = PelloraItem(fileEntry("a.txt", "P1", 5)).itemVersion();
  fp::ItemVersion renamed = PelloraItem(fileEntry("b.txt", "P1", 5)).itemVersion();
  fp::ItemVersion moved = PelloraItem(fileEntry("a.txt", "P2", 5)).itemVersion();
  fp::ItemVersion newContent = PelloraItem(fileEntry("a.txt", "P1", 6)).itemVersion();
  EXPECT_EQ(renamed.contentVersion, base.contentVersion);
  EXPECT_NE(renamed.metadataVersion, base.metadataVersion);
  EXPECT_EQ(moved, base);
  EXPECT_NE(newContent.contentVersion, base.contentVersion);
  EXPECT_NE(newContent.metadataVersion, base.metadataVersion);
}

}  // namespace
}  // namespace pellora
