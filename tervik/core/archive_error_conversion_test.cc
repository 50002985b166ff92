#include "tervik/core/archive_error_conversion.h"

#include <gtest/gtest.h>

#include "platform/log.h"

namespace tervik {
namespace {

using zv::archive::ArchiveError;

TEST(ArchiveErrorConversionTest, MapsEveryKindAndLogsAtErrorLevel) {
  const zv::Hash128 got{1, 2}, expected{3, 4};
  struct Case {
    const char* name;
    ArchiveError in;
    TervikErrorKind kind;
    const char* logged;  // nullptr: nothing logged
  };
  const Case cases[] = {
      {"io", ArchiveError(zv::IoError(zv::IoErrorKind::kUnexpectedEof, "short")), TervikErrorKind::kIo,
       nullptr},
      {"header", ArchiveError::invalid_header(), TervikErrorKind::kUnrecoverable, kLogInvalidArchiveHeader},
      {"version", ArchiveError::invalid_version(), TervikErrorKind::kUnrecoverable,
       kLogInvalidArchiveVersion},
      {"checksum type", ArchiveError::invalid_checksum_type(), TervikErrorKind::kUnrecoverable,
       kLogInvalidArchiveChecksumType},
      {"mismatch", ArchiveError::checksum_mismatch(got, expected), TervikErrorKind::kChecksumMismatch,
       kLogArchiveChecksumMismatch},
  };
  for (const auto& c : cases) {
    zv::log::CaptureSink capture;
    const TervikError e = from_archive_error(c.in);
    EXPECT_EQ(e.kind(), c.kind) << c.name;
    const auto events = capture.events();
    if (c.logged == nullptr) {
      EXPECT_TRUE(events.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(events.size(), 1u) << c.name;
    EXPECT_EQ(events[0].level, zv::log::Level::kError) << c.name;
    EXPECT_EQ(events[0].target, kErrorLogTarget) << c.name;
    EXPECT_EQ(events[0].message, c.logged) << c.name;
  }

  const TervikError io = from_archive_error(cases[0].in);
  EXPECT_EQ(io.io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(io.io_error().message(), "short");
  const TervikError mismatch = from_archive_error(cases[4].in);
  EXPECT_EQ(mismatch.got(), Checksum(1, 2));
  EXPECT_EQ(mismatch.expected(), Checksum(3, 4));
}

}  // namespace
}  // namespace tervik
