#include "fileprovider/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fp {
namespace {

TEST(ErrorTest, DescriptionShowsDomainCodeAndText) {
  struct Case {
    Error error;
    std::string description;
  } cases[] = {
      {Error::cocoa(kFileWriteNoPermissionError, "cannot write /x/domains.json: Permission denied"),
       "Error Domain=NSCocoaErrorDomain Code=513 \"cannot write /x/domains.json: Permission "
       "denied\""},
      {Error::fileProvider(FileProviderErrorCode::kNoSuchItem),
       "Error Domain=NSFileProviderErrorDomain Code=-1005 \"The operation couldn\u2019t be "
       "completed. (NSFileProviderErrorDomain error -1005.)\""},
      {Error::cocoa(kFileWriteOutOfSpaceError),
       "Error Domain=NSCocoaErrorDomain Code=640 \"The operation couldn\u2019t be completed. "
       "(NSCocoaErrorDomain error 640.)\""},
      {Error::posix(ENOENT, "open /a/b"),
       "Error Domain=NSPOSIXErrorDomain Code=2 \"open /a/b: No such file or directory\""},
      {Error::posix(EACCES, ""), "Error Domain=NSPOSIXErrorDomain Code=13 \"Permission denied\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.description(), c.description);
}

TEST(ErrorTest, FileProviderCodesAreRecognisedOnlyInTheirDomain) {
  Error e = Error::fileProvider(FileProviderErrorCode::kServerUnreachable);
  EXPECT_EQ(e.code, -1004);
  EXPECT_TRUE(e.isFileProvider(FileProviderErrorCode::kServerUnreachable));
  EXPECT_FALSE(e.isFileProvider(FileProviderErrorCode::kNoSuchItem));
  EXPECT_FALSE(Error::cocoa(-1004).isFileProvider(FileProviderErrorCode::kServerUnreachable));
}

}  // namespace
}  // namespace fp
