#include "fileprovider/fpctl/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fpctl {
namespace {

using ::testing::HasSubstr;

fp::DomainRecord record(std::string id, std::string name, std::string bundle) {
  return {fp::Domain{std::move(id), std::move(name), false}, std::move(bundle)};
}

GlobalOptions options(std::optional<std::string> domain, std::optional<std::string> bundle) {
  GlobalOptions g;
  g.domain = std::move(domain);
  if (bundle) g.bundle = *bundle;
  return g;
}

TEST(ChooseDomainTest, Choices) {
  std::vector<fp::DomainRecord> one = {record("a", "Alpha", "/b/a.appex")};
  std::vector<fp::DomainRecord> two = {record("a", "Alpha", "/b/a.appex"),
                                       record("b", "Beta", "/b/b.appex")};
  struct Case {
    const char* what;
    std::vector<fp::DomainRecord> records;
    GlobalOptions options;
    std::string identifier, displayName, bundle;
  } cases[] = {
      {"the only domain", one, options({}, {}), "a", "Alpha", "/b/a.appex"},
      {"the only domain, another bundle", one, options({}, "/x"), "a", "Alpha", "/x"},
      {"a named domain", two, options("b", {}), "b", "Beta", "/b/b.appex"},
      {"a named domain, another bundle", two, options("b", "/x"), "b", "Beta", "/x"},
      {"an unregistered domain with a bundle", two, options("c", "/x"), "c", "c", "/x"},
      {"no registry, domain and bundle", {}, options("c", "/x"), "c", "c", "/x"},
  };
  for (const auto& c : cases) {
    auto r = chooseDomain(c.records, c.options);
    ASSERT_TRUE(r.ok()) << c.what << ": " << r.error().message;
    EXPECT_EQ(r->domain.identifier, c.identifier) << c.what;
    EXPECT_EQ(r->domain.displayName, c.displayName) << c.what;
    EXPECT_EQ(r->bundle, std::filesystem::path(c.bundle)) << c.what;
  }
}

TEST(ChooseDomainTest, GapsAreUsageErrorsListingTheDomains) {
  std::vector<fp::DomainRecord> two = {record("a", "Alpha", "/b/a.appex"),
                                       record("b", "Beta", "/b/b.appex")};
  struct Case {
    std::vector<fp::DomainRecord> records;
    GlobalOptions options;
    std::string message;
  } cases[] = {
      {{}, options({}, {}), "no domain is registered in " + fp::domainRegistryPath().string()},
      {{}, options({}, "/x"), "no domain is registered"},
      {two, options({}, {}), "choose one with --domain ID (registered: a, b)"},
      {two, options("c", {}), "domain c is not registered (registered: a, b)"},
  };
  for (const auto& c : cases) {
    auto r = chooseDomain(c.records, c.options);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().status, kExitUsage);
    EXPECT_THAT(r.error().message, HasSubstr(c.message));
  }
}

TEST(LoadExtensionTest, UnloadableBundleExitsWithThree) {
  GlobalOptions g = options("d", "/nonexistent/X.appex");
  auto r = loadExtension(g);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().status, kExitBadBundle);
  EXPECT_THAT(r.error().message,
              HasSubstr("cannot load the extension bundle /nonexistent/X.appex"));
  ASSERT_TRUE(r.error().error.has_value());
}

TEST(SocketPathWarningTest, OneLineOnceTheSocketPathIsTooLong) {
  // "/fp.sock" adds 8 bytes to the container.
  const std::string fits = "/" + std::string(94, 'c');
  EXPECT_EQ(socketPathWarning(fits), std::nullopt);
  const std::string tooLong = fits + "c";
  EXPECT_EQ(socketPathWarning(tooLong),
            "fpctl: the socket path " + tooLong +
                "/fp.sock is 104 bytes, longer than the 103 the extension accepts; set "
                "FILEPROVIDER_CONTAINERS to a shorter folder");
}

TEST(AdviceTest, TheExtensionsSocketPathFailureGetsTheLimitAndTheVariable) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {R"(fetch failed for 01HX: failed("socket path too long: 104 bytes"))",
       "fpctl: the extension's socket path (fp.sock in its app-group container) may be at most "
       "103 bytes; set FILEPROVIDER_CONTAINERS to a shorter folder"},
      {R"(fetch failed for 01HX: failed("no reply from host app"))", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [logged, advice] : cases) EXPECT_EQ(adviceFor(logged), advice) << logged;
}

}  // namespace
}  // namespace fpctl
