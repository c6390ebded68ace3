#include "fileprovider/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

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

// Every file operation of the platform reports errno the same way, reading or
// writing; EPERM, EROFS and EDQUOT are not "unknown".
TEST(ErrorTest, ErrnoBecomesTheCocoaFileErrorForTheAccess) {
  struct Case {
    int errnum;
    FileAccess access;
    int code;
  } cases[] = {
      {ENOENT, FileAccess::kRead, kFileNoSuchFileError},
      {ENOENT, FileAccess::kWrite, kFileNoSuchFileError},
      {EEXIST, FileAccess::kWrite, kFileWriteFileExistsError},
      {EACCES, FileAccess::kRead, kFileReadNoPermissionError},
      {EACCES, FileAccess::kWrite, kFileWriteNoPermissionError},
      {EPERM, FileAccess::kRead, kFileReadNoPermissionError},
      {EPERM, FileAccess::kWrite, kFileWriteNoPermissionError},
      {EROFS, FileAccess::kWrite, kFileWriteNoPermissionError},
      {ENOSPC, FileAccess::kWrite, kFileWriteOutOfSpaceError},
      {EDQUOT, FileAccess::kWrite, kFileWriteOutOfSpaceError},
      {EIO, FileAccess::kRead, kFileReadUnknownError},
      {EIO, FileAccess::kWrite, kFileWriteUnknownError},
      {ENOTDIR, FileAccess::kWrite, kFileWriteUnknownError},
  };
  for (const auto& c : cases) {
    const Error e = Error::fromErrno(c.errnum, c.access, "writing /a/b");
    EXPECT_EQ(e.domain, kCocoaErrorDomain) << std::strerror(c.errnum);
    EXPECT_EQ(e.code, c.code) << std::strerror(c.errnum);
    EXPECT_EQ(e.message, std::string("writing /a/b: ") + std::strerror(c.errnum));
  }
}

// The table is the one place that names errors: each error appears once, and
// what it says is what the renderings return.
TEST(ErrorTest, EachErrorIsNamedOnceAndRenderingsReadTheTable) {
  std::set<std::pair<std::string_view, int>> seen;
  for (const ErrorKind& kind : errorKinds()) {
    EXPECT_TRUE(seen.emplace(kind.domain, kind.code).second) << kind.domain << " " << kind.code;
    const Error e{std::string(kind.domain), kind.code, "text"};
    EXPECT_EQ(findErrorKind(e), &kind);
    EXPECT_EQ(readableName(e), kind.name);
    EXPECT_EQ(errnoValue(e), kind.errnum);
    EXPECT_EQ(isTransient(e), kind.transient);
  }
  // A server that does not answer may answer later; a refusal of the request lasts.
  using Code = FileProviderErrorCode;
  EXPECT_TRUE(isTransient(Error::fileProvider(Code::kServerUnreachable)));
  EXPECT_TRUE(isTransient(Error::fileProvider(Code::kCannotSynchronize)));
  EXPECT_FALSE(isTransient(Error::fileProvider(Code::kProviderNotFound)));
  EXPECT_FALSE(isTransient(Error::fileProvider(Code::kNoSuchItem)));
  EXPECT_FALSE(isTransient(Error::cocoa(kFileWriteOutOfSpaceError)));
  // Outside the table: a POSIX error keeps its own errno and has no name.
  EXPECT_EQ(errnoValue(Error::posix(ENAMETOOLONG, "open x")), ENAMETOOLONG);
  EXPECT_EQ(readableName(Error::posix(ENAMETOOLONG, "open x")), "");
  EXPECT_EQ(errnoValue(Error::cocoa(kFeatureUnsupportedError)), EIO);
  EXPECT_EQ(readableName(Error::cocoa(kFeatureUnsupportedError)), "");
  // A POSIX error may pass by its errno (a peer not answering); anything else
  // may pass, as the EIO it becomes.
  EXPECT_TRUE(isTransient(Error::posix(ETIMEDOUT, "connect")));
  EXPECT_TRUE(isTransient(Error::posix(ECONNREFUSED, "connect")));
  EXPECT_FALSE(isTransient(Error::posix(ENAMETOOLONG, "open x")));
  EXPECT_TRUE(isTransient(Error::cocoa(kFeatureUnsupportedError)));
}

}  // namespace
}  // namespace fp
