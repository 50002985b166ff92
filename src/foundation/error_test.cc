#include "src/foundation/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/backtrace.h"
#include "platform/panic.h"

namespace zv {
namespace {

using K = ZolvaErrorKind;

struct MessageCase {
  const char* name;
  ZolvaError error;
  ZolvaErrorKind kind;
  std::string message;
};

std::vector<MessageCase> message_cases() {
  const NodeId id = make_node_id(0, 42);
  return {
      {"NodeNotFound max id", ZolvaError::node_not_found(kMaxNodeId), K::kNodeNotFound,
       "Node not found: 340282366920938463463374607431768211455"},
      {"DuplicateNode", ZolvaError::duplicate_node(id), K::kDuplicateNode, "Duplicate node ID: 42"},
      {"DimensionMismatch", ZolvaError::dimension_mismatch(128, 3), K::kDimensionMismatch,
       "Vector dimension mismatch: expected 128, got 3"},
      {"Wal", ZolvaError::wal("bad frame"), K::kWal, "WAL error: bad frame"},
      {"WALVersionMismatch", ZolvaError::wal_version_mismatch(3, 7, "upgrade"),
       K::kWalVersionMismatch, "WAL version mismatch: expected 3, found 7. Hint: upgrade"},
      {"Serialization", ZolvaError::serialization(BinaryFormatErrorKind::kUnexpectedEnd),
       K::kSerialization, "Serialization error: Hit the end of buffer, expected more data"},
      {"Io", ZolvaError::io(IoError(IoErrorKind::kNotFound, "gone (os error 2)", 2)), K::kIo,
       "IO error: gone (os error 2)"},
      {"IncompatibleFormat",
       ZolvaError::incompatible_format({90, 87, 65, 76}, 3, {0, 1, 2, 255}, 65535, "rebuild"),
       K::kIncompatibleFormat,
       "Incompatible binary format: expected magic [90, 87, 65, 76], version 3, found magic "
       "[0, 1, 2, 255], version 65535. Hint: rebuild"},
      {"NotInitialized", ZolvaError::not_initialized(), K::kNotInitialized,
       "Engine not initialized"},
      {"ResourceLimit", ZolvaError::resource_limit("memory"), K::kResourceLimit,
       "Resource limit exceeded: memory"},
      {"NodeIdCollision", ZolvaError::node_id_collision(make_node_id(1, 0)), K::kNodeIdCollision,
       "Node ID collision: 18446744073709551616"},
      {"CycleDetected", ZolvaError::cycle_detected(), K::kCycleDetected,
       "Cycle detected in graph operation"},
      {"VovParse line before col before msg", ZolvaError::vov_parse("unexpected ')'", 4, 17),
       K::kVovParse, "VOV parse error at line 4, col 17: unexpected ')'"},
      {"NotFound kind first", ZolvaError::not_found("namespace", "agents"), K::kNotFound,
       "namespace not found: agents"},
      {"Validation", ZolvaError::validation("key", "must not be empty"), K::kValidation,
       "Validation error on key: must not be empty"},
      {"Timeout ms suffix", ZolvaError::timeout("put", 5000), K::kTimeout,
       "Operation put timed out after 5000ms"},
      {"UnsupportedOperation em dash", ZolvaError::unsupported_operation("compact", "read-only"),
       K::kUnsupportedOperation, "Unsupported operation: compact \xE2\x80\x94 read-only"},
      {"ExecutionConflict", ZolvaError::execution_conflict("txn", "two open"),
       K::kExecutionConflict, "Execution conflict on txn: two open"},
      {"Vov", ZolvaError::vov("plan"), K::kVov, "VOV error: plan"},
      {"Cli", ZolvaError::cli("args"), K::kCli, "CLI error: args"},
      {"Search", ZolvaError::search("k"), K::kSearch, "Search error: k"},
      {"Runtime", ZolvaError::runtime("ScannIndex max_bound lock poisoned"), K::kRuntime,
       "Runtime error: ScannIndex max_bound lock poisoned"},
      {"Restore", ZolvaError::restore("r"), K::kRestore, "Restore error: r"},
      {"Backup", ZolvaError::backup("b"), K::kBackup, "Backup error: b"},
      {"Generic empty keeps trailing space", ZolvaError::generic(""), K::kGeneric,
       "Generic error: "},
      {"Backend", ZolvaError::backend("down"), K::kBackend, "Backend error: down"},
      {"InvalidInput", ZolvaError::invalid_input("x"), K::kInvalidInput, "Invalid input: x"},
      {"Schema", ZolvaError::schema("s"), K::kSchema, "Schema error: s"},
      {"DatabaseBusy", ZolvaError::database_busy("locked"), K::kDatabaseBusy,
       "Database busy: locked"},
      {"NoVectorForKey", ZolvaError::no_vector_for_key("k1"), K::kNoVectorForKey,
       "No vector stored for key: k1"},
      {"VectorLenOverflow", ZolvaError::vector_len_overflow(id, 4294967296ull),
       K::kVectorLenOverflow, "node 42 vector_len 4294967296 exceeds u32 limit of 4294967295"},
      {"EdgeCountOverflow", ZolvaError::edge_count_overflow(id, 70000), K::kEdgeCountOverflow,
       "node 42 has 70000 edges, exceeding the DiskNodeHeader u16 edge_count limit of 65535"},
  };
}

TEST(ZolvaErrorTest, EveryVariantRendersItsTemplateAndKindIndex) {
  auto cases = message_cases();
  ASSERT_EQ(cases.size(), static_cast<size_t>(kZolvaErrorKindCount));
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(c.error.message(), c.message) << c.name;
    EXPECT_EQ(c.error.kind(), c.kind) << c.name;
    // Declaration order is the interface: the i-th row is kind index i.
    EXPECT_EQ(c.error.kind_index(), static_cast<int>(i)) << c.name;
  }
}

TEST(ZolvaErrorTest, ChainedMessageIgnoresSourceAndBacktrace) {
  ChainedError with_source("outer", box_error(IoError(IoErrorKind::kOther, "inner cause")));
  for (K k : {K::kWal, K::kVov, K::kCli, K::kSearch, K::kRuntime, K::kRestore, K::kBackup,
              K::kGeneric, K::kBackend}) {
    ZolvaError e = ZolvaError::chained(k, with_source);
    EXPECT_EQ(e.kind(), k);
    EXPECT_EQ(e.message().find("inner cause"), std::string::npos) << e.message();
    EXPECT_TRUE(e.message().ends_with(": outer")) << e.message();
    // The chained cause is not the error's source; it shows only in debug.
    EXPECT_EQ(e.source(), nullptr) << zolva_error_kind_name(k);
    EXPECT_NE(e.debug_string().find("inner cause"), std::string::npos) << e.debug_string();
  }
  EXPECT_THROW(ZolvaError::chained(K::kIo, ChainedError("x")), PanicError);
}

TEST(ZolvaErrorTest, SourceOnlyForSerializationAndIo) {
  auto cases = message_cases();
  for (const auto& c : cases) {
    BoxedError src = c.error.source();
    if (c.kind == K::kSerialization) {
      ASSERT_NE(src, nullptr);
      EXPECT_EQ(src->message(), "Hit the end of buffer, expected more data");
    } else if (c.kind == K::kIo) {
      ASSERT_NE(src, nullptr);
      EXPECT_EQ(src->message(), "gone (os error 2)");
    } else {
      EXPECT_EQ(src, nullptr) << c.name;
    }
  }
}

TEST(ZolvaErrorTest, DebugRenderingNamesVariantAndFields) {
  struct Case {
    ZolvaError error;
    std::string debug;
  };
  const Case cases[] = {
      {ZolvaError::not_initialized(), "NotInitialized"},
      {ZolvaError::cycle_detected(), "CycleDetected"},
      {ZolvaError::node_not_found(7), "NodeNotFound(7)"},
      {ZolvaError::dimension_mismatch(2, 3), "DimensionMismatch { expected: 2, got: 3 }"},
      {ZolvaError::validation("k", "say \"hi\"\n"),
       "Validation { field: \"k\", reason: \"say \\\"hi\\\"\\n\" }"},
      {ZolvaError::vov_parse("m", 1, 2), "VovParse { msg: \"m\", line: 1, col: 2 }"},
      {ZolvaError::invalid_input("x"), "InvalidInput(\"x\")"},
      {ZolvaError::serialization(BinaryFormatErrorKind::kBadBool), "Serialization(BadBool)"},
      {ZolvaError::incompatible_format({1, 2, 3, 4}, 1, {5, 6, 7, 8}, 2, "h"),
       "IncompatibleFormat { expected_magic: [1, 2, 3, 4], expected_version: 1, found_magic: "
       "[5, 6, 7, 8], found_version: 2, hint: \"h\" }"},
      {ZolvaError::edge_count_overflow(1, 2),
       "EdgeCountOverflow { id: 1, count: 2, limit: 65535 }"},
      {ZolvaError::serialization_boxed(box_error(DecodeMsgError("text posting decode error", 4))),
       "Serialization(DecodeMsgError { msg: \"text posting decode error\", source: "
       "UnexpectedEnd })"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.debug_string(), c.debug);

  // Backtrace capture is off unless ZIVIROR_BACKTRACE=1 (the test runs without it).
  if (!Backtrace::enabled()) {
    EXPECT_EQ(ZolvaError::wal("w").debug_string(),
              "Wal(ChainedError { msg: \"w\", source: None, backtrace: None })");
  }
}

TEST(ZolvaErrorTest, BoundaryConversions) {
  struct Case {
    const char* name;
    ZolvaError error;
    ZolvaErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      {"engine error", ZolvaError::from_engine("Poisoned"), K::kIo,
       "IO error: MorvaError: Poisoned"},
      {"schema too new", ZolvaError(StorageSchemaError::too_new(9, 4)), K::kSchema,
       "Schema error: Storage schema version 9 is too new. Maximum supported: 4"},
      {"schema too old", ZolvaError(StorageSchemaError::too_old(1, 2)), K::kSchema,
       "Schema error: Storage schema version 1 is too old. Minimum required: 2"},
      {"schema header", ZolvaError(StorageSchemaError::invalid_header("short")), K::kSchema,
       "Schema error: Invalid storage header: short"},
      {"os error", ZolvaError(IoError::from_errno(ENOENT)), K::kIo,
       "IO error: No such file or directory (os error 2)"},
      {"json at position",
       ZolvaError::serialization_boxed(box_error(JsonError("expected value", 3, 14))),
       K::kSerialization, "Serialization error: expected value at line 3 column 14"},
      {"json without position",
       ZolvaError::serialization_boxed(box_error(JsonError("EOF while parsing"))),
       K::kSerialization, "Serialization error: EOF while parsing"},
      {"boxed core error", ZolvaError::serialization_boxed(box_error(ZolvaError::generic("g"))),
       K::kSerialization, "Serialization error: Generic error: g"},
      {"decode message",
       ZolvaError::serialization_boxed(box_error(DecodeMsgError(
           decode_error_message("text doc stats", binary_format_error_text(
                                                      BinaryFormatErrorKind::kBadVarint)),
           5))),
       K::kSerialization,
       "Serialization error: text doc stats decode error: Found a varint that did not "
       "terminate within its width"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.name;
    EXPECT_EQ(c.error.message(), c.message) << c.name;
  }
  const ZolvaError engine = ZolvaError::from_engine("x");
  const auto* io = engine.as<ZolvaError::Io>();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->error.kind(), IoErrorKind::kOther);
}

TEST(ZolvaErrorTest, DecodeMsgErrorChainsItsFormatError) {
  DecodeMsgError e("text term stats decode error: x", 14);
  EXPECT_EQ(e.message(), "text term stats decode error: x");
  ASSERT_NE(e.source(), nullptr);
  EXPECT_EQ(e.source()->message(), "A value failed to decode");
  EXPECT_EQ(e.source()->source(), nullptr);
}

TEST(BinaryFormErrorTest, FixedTextsOfTheOneByteKinds) {
  // Kinds whose display text is fixed; the others only need to say what they are.
  const std::pair<uint8_t, const char*> fixed[] = {
      {2, "The serialize buffer is full"},
      {3, "The length of a sequence must be known"},
      {4, "Hit the end of buffer, expected more data"},
      {6, "Found a bool that wasn't 0 or 1"},
      {7, "Found an invalid unicode char"},
      {8, "Tried to parse invalid utf-8"},
      {9, "Found an Option discriminant that wasn't 0 or 1"},
      {11, "The original data was not well encoded"},
      {12, "Bad CRC while deserializing"},
  };
  for (const auto& [code, text] : fixed) {
    EXPECT_EQ(BinaryFormatError(code).message(), text) << int(code);
    EXPECT_EQ(ZolvaError::serialization(code).message(), std::string("Serialization error: ") + text);
  }
  for (uint8_t code = 0; code < kBinaryFormatErrorKindCount; ++code)
    EXPECT_FALSE(BinaryFormatError(code).message().empty()) << int(code);
  EXPECT_EQ(BinaryFormatError(uint8_t{14}).message(), "A value failed to decode");
}

ZolvaResult<int> lift_io(bool fail) {
  IoResult<int> r = fail ? IoResult<int>(make_unexpected(IoError(IoErrorKind::kOther, "disk")))
                         : IoResult<int>(5);
  ZV_ASSIGN_OR_RETURN(int v, std::move(r));
  return v + 1;
}

TEST(ZolvaErrorTest, TryLiftsIoErrorsIntoIo) {
  EXPECT_EQ(*lift_io(false), 6);
  auto r = lift_io(true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "IO error: disk");
}

TEST(ZolvaErrorTest, CopiesShareBoxesAcrossThreads) {
  ZolvaError e = ZolvaError::serialization(4);
  std::string seen;
  std::thread t([copy = e, &seen] { seen = copy.message(); });
  t.join();
  EXPECT_EQ(seen, e.message());
  EXPECT_EQ(e.source(), e.as<ZolvaError::Serialization>()->error);
}

TEST(BacktraceTest, SwitchedOnOnlyByOne) {
  struct Case {
    std::optional<std::string> value;
    bool on;
  };
  const Case cases[] = {{std::nullopt, false}, {"1", true}, {"0", false}, {"", false},
                        {"full", false}};
  for (const auto& c : cases) EXPECT_EQ(Backtrace::enabled_by(c.value), c.on) << c.value.value_or("<unset>");
  auto bt = Backtrace::capture();
  ASSERT_NE(bt, nullptr);
  EXPECT_GT(bt->frame_count(), 0u);
  EXPECT_FALSE(bt->to_string().empty());
}

}  // namespace
}  // namespace zv
