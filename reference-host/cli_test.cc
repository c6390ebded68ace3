#include "reference-host/cli.h"

#include <gtest/gtest.h>

namespace refhost {
namespace {

TEST(CommandLineTest, ParsesServeWithEveryOption) {
  auto c =
      parseCommandLine({"serve", "--store", "/s", "--account=acme", "--delay-ms", "250", "--fail",
                        "fetch=quota", "--fail=delete=locked", "--no-reply", "thumbnail"});
  ASSERT_TRUE(c) << c.error().message;
  const auto& serve = std::get<ServeCommand>(*c);
  EXPECT_EQ(serve.store, "/s");
  EXPECT_EQ(serve.account, "acme");
  EXPECT_EQ(serve.faults.delay.count(), 250);
  EXPECT_EQ(serve.faults.failures.at("fetch"), "quota");
  EXPECT_EQ(serve.faults.failures.at("delete"), "locked");
  EXPECT_EQ(serve.faults.withheld.count("thumbnail"), 1u);

  auto seed = parseCommandLine({"seed", "--store", "dir"});
  ASSERT_TRUE(seed);
  EXPECT_EQ(std::get<SeedCommand>(*seed).store, "dir");
  auto plain = parseCommandLine({"serve", "--store", "dir"});
  ASSERT_TRUE(plain);
  EXPECT_EQ(std::get<ServeCommand>(*plain).account, "primary");
  EXPECT_TRUE(std::holds_alternative<HelpCommand>(*parseCommandLine({"--help"})));
}

TEST(CommandLineTest, RefusesBadUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"run"},
      {"serve"},
      {"serve", "--store"},
      {"seed", "--store", "d", "--account", "x"},  // seed has no account
      {"serve", "--store", "d", "--account", "a/b"},
      {"serve", "--store", "d", "--delay-ms", "-1"},
      {"serve", "--store", "d", "--delay-ms", "12ms"},
      {"serve", "--store", "d", "--fail", "fetch"},
      {"serve", "--store", "d", "--fail", "fetch="},
      {"serve", "--store", "d", "--fail", "list=quota"},
      {"serve", "--store", "d", "--no-reply", "upload"},
      {"serve", "--store", "d", "--verbose"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_FALSE(parseCommandLine(args)) << joined;
  }
}

}  // namespace
}  // namespace refhost
