#include "fileprovider/fpctl/log_reason.h"

#include <fstream>

#include <gtest/gtest.h>

namespace fpctl {
namespace {

TEST(LogReasonTest, LastErrorLineOfAnotherSubsystem) {
  const std::string ext = "2026-01-01T00:00:00.000000Z\terror\tde.example.ext\tExtension\t";
  const std::string own = "2026-01-01T00:00:00.000000Z\terror\tfpctl\tMount\t";
  const std::string info = "2026-01-01T00:00:00.000000Z\tinfo\tde.example.ext\tExtension\t";
  struct Case {
    std::string log;
    std::optional<std::string> reason;
  } cases[] = {
      {"", std::nullopt},
      {info + "children of <root>\n", std::nullopt},
      {own + "upload failed for a.txt: EIO\n", std::nullopt},
      {ext + "delete failed for 01J: remote(kind: \"locked\", message: \"busy\")\n",
       "delete failed for 01J: remote(kind: \"locked\", message: \"busy\")"},
      // The last one counts; escapes are undone; a line cut short is skipped.
      {ext + "first\n" + ext + "two\\tparts\\nand \\\\ more\n" + own + "mine\n" + "2026\terr",
       "two\tparts\nand \\ more"},
  };
  for (const auto& c : cases) EXPECT_EQ(lastExtensionErrorIn(c.log), c.reason) << c.log;
}

TEST(LogReasonTest, ReadsOnlyWhatWasWrittenAfterTheMark) {
  auto file = std::filesystem::path(::testing::TempDir()) / "log_reason_test.log";
  std::filesystem::remove(file);
  EXPECT_EQ(logEnd(file), 0u);
  EXPECT_EQ(lastExtensionError(file, 0), std::nullopt);
  const std::string line = "t\terror\text\tExtension\tfetch failed for 01A: gone\n";
  std::ofstream(file) << line;
  std::uintmax_t mark = logEnd(file);
  EXPECT_EQ(mark, line.size());
  EXPECT_EQ(lastExtensionError(file, mark), std::nullopt);
  std::ofstream(file, std::ios::app) << "t\terror\text\tExtension\tdelete failed for 01B: locked\n";
  EXPECT_EQ(lastExtensionError(file, mark), "delete failed for 01B: locked");
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace fpctl
