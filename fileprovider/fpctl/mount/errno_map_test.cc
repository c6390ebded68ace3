#include "fileprovider/fpctl/mount/errno_map.h"

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

using Code = fp::FileProviderErrorCode;

TEST(ErrnoMapTest, ErrorsMapToWhatToolsExplainWell) {
  const std::pair<fp::Error, int> cases[] = {
      {fp::Error::fileProvider(Code::kNoSuchItem), ENOENT},
      {fp::Error::fileProvider(Code::kNotAuthenticated), EACCES},
      {fp::Error::fileProvider(Code::kInsufficientQuota), EDQUOT},
      {fp::Error::cocoa(fp::kFileWriteOutOfSpaceError), ENOSPC},
      {fp::Error::cocoa(fp::kFileWriteInvalidFileNameError), EINVAL},
      {fp::Error::fileProvider(Code::kServerUnreachable), EIO},
      {fp::Error::fileProvider(Code::kCannotSynchronize), EIO},
      {fp::Error::fileProvider(Code::kFilenameCollision), EEXIST},
      {fp::Error::fileProvider(Code::kDirectoryNotEmpty), ENOTEMPTY},
      {fp::Error::fileProvider(Code::kSyncAnchorExpired), EIO},
      {fp::Error::posix(ENAMETOOLONG, "open x"), ENAMETOOLONG},
      {fp::Error::cocoa(fp::kFileReadNoSuchFileError), ENOENT},
      {fp::Error::cocoa(fp::kPropertyListWriteInvalidError), EIO},
      // The codes mean something only in their own domain.
      {fp::Error{"SomeOtherDomain", -1005, ""}, EIO},
      {fp::Error{std::string(fp::kCocoaErrorDomain), -1005, ""}, EIO},
      {fp::Error{std::string(fp::kFileProviderErrorDomain), 640, ""}, EIO},
  };
  for (const auto& [error, expected] : cases) {
    EXPECT_EQ(errnoFor(error), expected) << error.description();
  }
}

TEST(ErrnoMapTest, AStatusCarriesTheCodeBothWays) {
  EXPECT_TRUE(statusFor(0));
  EXPECT_EQ(errnoOf(statusFor(0)), 0);
  for (int err : {ENOENT, EACCES, EINTR, ENOTEMPTY}) {
    ErrnoOr<void> status = statusFor(err);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().value, err);
    EXPECT_EQ(errnoOf(status), err);
  }
}

}  // namespace
}  // namespace fpctl::mount
