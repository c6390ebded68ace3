#include "fileprovider/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "test_support.h"

namespace fp {
namespace {

using fp::testing::ScopedEnv;
using fp::testing::TempDir;
using ::testing::ElementsAre;

TEST(FormatLogMessageTest, FillsPlaceholdersInOrder) {
  struct Case {
    std::string format;
    std::initializer_list<LogArg> args;
    std::string expected;
  };
  const std::string name = "a.txt";
  const Case cases[] = {
      {"open %{public}@ failed: %{public}s",
       {name, "disk I/O error"},
       "open a.txt failed: disk I/O error"},
      {"code %d of %ld, %lld%%", {-3, std::int64_t{7}, std::size_t{100}}, "code -3 of 7, 100%"},
      {"%@ and %s and %{private}@", {"x", "y", "z"}, "x and y and z"},
      {"missing %{public}@ here", {}, "missing <missing> here"},
      {"plain % sign and %q", {}, "plain % sign and %q"},
      {"unterminated %{public", {"x"}, "unterminated %{public"},
      {"null %{public}s", {static_cast<const char*>(nullptr)}, "null (null)"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatLogMessage(c.format, c.args), c.expected);
}

class LogSinkTest : public ::testing::Test {
 protected:
  LogSinkTest() : env_("FILEPROVIDER_LOG", (tmp_ / "env.log").string()) {}
  ~LogSinkTest() override { Log::setLogFile(std::nullopt); }

  static std::vector<std::string> lines(const std::filesystem::path& file) {
    std::vector<std::string> out;
    std::istringstream in(testing::readFile(file));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  // A line without its time column, after checking the time's form.
  static std::string withoutTime(const std::string& line) {
    static const std::regex kTime(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z\t)");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, kTime)) << line;
    return m.empty() ? line : line.substr(m.length());
  }

  TempDir tmp_;
  ScopedEnv env_;
};

TEST_F(LogSinkTest, WritesTabSeparatedLinesToTheFileInTheEnvironment) {
  Log log("com.example.sub", "Index");
  log.info("opened %{public}@", {"state.db"});
  log.error("failed:\t%{public}s\n%d\\", {"busy", 5});
  auto written = lines(tmp_ / "env.log");
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(withoutTime(written[0]), "info\tcom.example.sub\tIndex\topened state.db");
  EXPECT_EQ(withoutTime(written[1]), "error\tcom.example.sub\tIndex\tfailed:\\tbusy\\n5\\\\");
}

TEST_F(LogSinkTest, SetLogFileTakesPrecedence) {
  Log::setLogFile(tmp_ / "set.log");
  Log("s", "c").info("one");
  Log::setLogFile(std::nullopt);
  Log("s", "c").info("two");
  EXPECT_THAT(lines(tmp_ / "set.log").size(), 1u);
  ASSERT_EQ(lines(tmp_ / "env.log").size(), 1u);
  EXPECT_EQ(withoutTime(lines(tmp_ / "env.log")[0]), "info\ts\tc\ttwo");
}

TEST_F(LogSinkTest, ConcurrentWritersKeepLinesWhole) {
  const std::string payload(2000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      Log log("s", "c" + std::to_string(t));
      for (int i = 0; i < 40; ++i) log.info("%d %{public}@", {i, payload});
    });
  }
  for (auto& t : threads) t.join();
  auto written = lines(tmp_ / "env.log");
  ASSERT_EQ(written.size(), 240u);
  static const std::regex kLine(R"(^\S+\tinfo\ts\tc\d\t\d+ x{2000}$)");
  for (const auto& line : written) EXPECT_TRUE(std::regex_match(line, kLine)) << line.substr(0, 80);
}

}  // namespace
}  // namespace fp
