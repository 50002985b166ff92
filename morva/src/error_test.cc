#include "morva/src/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace morva {
namespace {

TEST(MorvaErrorTest, DebugAndDisplayFormsOfEveryVariant) {
  struct Case {
    MorvaError error;
    MorvaErrorKind kind;
    std::string debug;
  };
  const Case cases[] = {
      {MorvaError(tervik::TervikError::invalid_tag("ValueType", 3)), MorvaErrorKind::kStorage,
       "Storage(InvalidTag((\"ValueType\", 3)))"},
      {MorvaError(zv::IoError(zv::IoErrorKind::kUnexpectedEof, "failed to fill whole buffer")),
       MorvaErrorKind::kIo,
       "Io(Custom { kind: UnexpectedEof, error: \"failed to fill whole buffer\" })"},
      {MorvaError::journal_recovery(JournalRecoveryKind::kInsufficientLength),
       MorvaErrorKind::kJournalRecovery, "JournalRecovery(InsufficientLength)"},
      {MorvaError::journal_recovery(JournalRecoveryKind::kTooManyItems),
       MorvaErrorKind::kJournalRecovery, "JournalRecovery(TooManyItems)"},
      {MorvaError::journal_recovery(JournalRecoveryKind::kChecksumMismatch),
       MorvaErrorKind::kJournalRecovery, "JournalRecovery(ChecksumMismatch)"},
      {MorvaError::journal_recovery(JournalRecoveryKind::kInvalidFileName),
       MorvaErrorKind::kJournalRecovery, "JournalRecovery(InvalidFileName)"},
      {MorvaError::invalid_version(FormatVersion::kV1), MorvaErrorKind::kInvalidVersion,
       "InvalidVersion(Some(V1))"},
      {MorvaError::invalid_version(FormatVersion::kV2), MorvaErrorKind::kInvalidVersion,
       "InvalidVersion(Some(V2))"},
      {MorvaError::invalid_version(std::nullopt), MorvaErrorKind::kInvalidVersion,
       "InvalidVersion(None)"},
      {MorvaError::decompress(tervik::CompressionType::kLz4), MorvaErrorKind::kDecompress,
       "Decompress(Lz4)"},
      {MorvaError::decompress(tervik::CompressionType::kNone), MorvaErrorKind::kDecompress,
       "Decompress(None)"},
      {MorvaError::invalid_trailer(), MorvaErrorKind::kInvalidTrailer, "InvalidTrailer"},
      {MorvaError::invalid_tag("JournalMarkerTag", 7), MorvaErrorKind::kInvalidTag,
       "InvalidTag((\"JournalMarkerTag\", 7))"},
      {MorvaError::poisoned(), MorvaErrorKind::kPoisoned, "Poisoned"},
      {MorvaError::locked(), MorvaErrorKind::kLocked, "Locked"},
      {MorvaError::unrecoverable(), MorvaErrorKind::kUnrecoverable, "Unrecoverable"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.debug;
    EXPECT_EQ(c.error.debug_string(), c.debug);
    EXPECT_EQ(c.error.to_string(), "MorvaError: " + c.debug);
  }
}

TEST(MorvaErrorTest, IoKeepsTheOperatingSystemErrorKindAndCode) {
  const MorvaError e(zv::IoError::from_errno(ENOENT));
  ASSERT_EQ(e.kind(), MorvaErrorKind::kIo);
  EXPECT_TRUE(e.is_io(zv::IoErrorKind::kNotFound));
  EXPECT_EQ(e.io_error().os_code(), ENOENT);
  EXPECT_NE(e.debug_string().find("Io(Os { code: 2, kind: NotFound"), std::string::npos)
      << e.debug_string();
}

TEST(MorvaErrorTest, ConversionsThroughTheTryMacro) {
  const auto from_io = []() -> MorvaStatus {
    ZV_TRY(zv::IoStatus(zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "x"))));
    return {};
  };
  const auto from_tree = []() -> MorvaStatus {
    ZV_TRY(tervik::TervikStatus(zv::make_unexpected(tervik::TervikError::unrecoverable())));
    return {};
  };
  EXPECT_EQ(from_io().error().kind(), MorvaErrorKind::kIo);
  EXPECT_EQ(from_tree().error().debug_string(), "Storage(Unrecoverable)");
}

}  // namespace
}  // namespace morva
