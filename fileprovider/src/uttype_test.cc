#include "fileprovider/uttype.h"

#include <gtest/gtest.h>

namespace fp {
namespace {

TEST(UTTypeTest, KnownExtensionsMatchCaseInsensitively) {
  struct Case {
    const char* ext;
    const char* type;
  } cases[] = {
      {"pdf", "com.adobe.pdf"},
      {"PDF", "com.adobe.pdf"},
      {"txt", "public.plain-text"},
      {"png", "public.png"},
      {"jpg", "public.jpeg"},
      {"JpEg", "public.jpeg"},
      {"gz", "org.gnu.gnu-zip-archive"},
      {"zip", "public.zip-archive"},
      {"html", "public.html"},
      {"json", "public.json"},
  };
  for (const auto& c : cases) {
    auto type = UTType::forFilenameExtension(c.ext, UTType::data());
    ASSERT_TRUE(type) << c.ext;
    EXPECT_EQ(type->identifier(), c.type) << c.ext;
  }
}

TEST(UTTypeTest, UnknownOrEmptyExtensionsYieldNone) {
  for (const char* ext : {"", "xyz", "pdf ", ".pdf", "tar.gz", "p"}) {
    EXPECT_FALSE(UTType::forFilenameExtension(ext, UTType::data())) << '"' << ext << '"';
  }
}

TEST(UTTypeTest, LookupHonoursConformance) {
  EXPECT_TRUE(UTType::forFilenameExtension("png", UTType("public.image")));
  EXPECT_FALSE(UTType::forFilenameExtension("txt", UTType("public.image")));
  EXPECT_TRUE(UTType::forFilenameExtension("json", UTType("public.text")));
}

TEST(UTTypeTest, ConformanceFollowsTheTypeTree) {
  struct Case {
    const char* type;
    const char* to;
    bool conforms;
  } cases[] = {
      {"public.png", "public.png", true},         {"public.png", "public.image", true},
      {"public.png", "public.data", true},        {"public.png", "public.item", true},
      {"public.plain-text", "public.data", true}, {"public.folder", "public.directory", true},
      {"public.folder", "public.item", true},     {"public.folder", "public.data", false},
      {"public.data", "public.png", false},       {"com.example.unknown", "public.data", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UTType(c.type).conforms(UTType(c.to)), c.conforms) << c.type << " -> " << c.to;
  }
}

TEST(UTTypeTest, WellKnownTypesAndPreferredExtensions) {
  EXPECT_EQ(UTType::folder().identifier(), "public.folder");
  EXPECT_EQ(UTType::data().identifier(), "public.data");
  EXPECT_EQ(UTType("com.adobe.pdf").preferredFilenameExtension(), "pdf");
  EXPECT_EQ(UTType("public.folder").preferredFilenameExtension(), std::nullopt);
}

}  // namespace
}  // namespace fp
