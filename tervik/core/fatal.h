// Texts of the engine's fatal internal errors: broken invariants and caller
// errors on hard limits stop the operation through zv::panic with one of
// these. Shared by every folder of the tree; constants only.
#pragma once

namespace tervik {

inline constexpr const char* kFatalSliceTooLong = "byte slice too long";
inline constexpr const char* kFatalSliceRange = "slice range out of bounds";
inline constexpr const char* kFatalKeyTooLong = "keys can be 65535 bytes in length";
inline constexpr const char* kFatalKeyEmpty = "key may not be empty";
inline constexpr const char* kFatalSeqNoExhausted = "Ran out of sequence numbers";
inline constexpr const char* kFatalTimeWentBackwards = "time went backwards";
inline constexpr const char* kFatalNoParent = "should have a parent";
inline constexpr const char* kFatalTempFileGone = "temp file should be present";
inline constexpr const char* kFatalLockPoisoned = "lock is poisoned";
inline constexpr const char* kFatalShouldExist = "should exist";
inline constexpr const char* kFatalShouldBeError = "should be error";
inline constexpr const char* kFatalPeekedOccupied = "assertion failed: self.peeked.is_none()";
inline constexpr const char* kFatalBadSourceIndex = "merge source index out of range";

}  // namespace tervik
