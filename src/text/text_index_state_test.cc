#include "src/text/text_index_state.h"

#include <gtest/gtest.h>

#include <memory>

#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/binary_form.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

class TextIndexStateTest : public ::testing::Test {
 protected:
  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  BackendKvService kv{backend, false};

  TextIndexState stored() {
    auto r = TextIndexState::read(*backend);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r->has_value());
    return **r;
  }
};

TEST_F(TextIndexStateTest, GoldenBytesWithZeroCounts) {
  TextIndexState s = TextIndexState::create(0, 0, 0, 0, 0);
  std::string time;
  coding::put_varint(&time, s.built_at_ms);
  const std::string expected = "\x03\x15"s + "lowercase-ascii-alnum" + "\x01\x15"s +
                               "namespace\\0token\\0key" + time + std::string(5, '\0');
  EXPECT_EQ(s.encode(), expected);
  EXPECT_EQ(kTextKeyFormat.size(), 21u);
  EXPECT_GT(s.built_at_ms, 1700000000000u);
  auto back = TextIndexState::decode(expected);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, s);
}

TEST_F(TextIndexStateTest, WriteReadAndAbsence) {
  auto none = TextIndexState::read(*backend);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
  TextIndexState s = TextIndexState::create(1, 2, 3, 4, 5);
  ASSERT_TRUE(TextIndexState::write(kv, s).ok());
  EXPECT_EQ(stored(), s);
  auto raw = backend->get(Partition::kInternalMetadata, "text_index_state");
  ASSERT_TRUE(raw.ok() && raw->has_value());

  BackendKvService read_only(backend, true);
  auto refused = TextIndexState::write(read_only, TextIndexState::create(9, 9, 9, 9, 9));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ZolvaErrorKind::kValidation);
  EXPECT_EQ(stored(), s);
}

TEST_F(TextIndexStateTest, UndecodableStateFailsWithTheReaderText) {
  struct Case {
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {"", "Serialization error: Hit the end of buffer, expected more data"},
      {"\x03\x02\xC3\x28"s, "Serialization error: Tried to parse invalid utf-8"},
      {"\x03\x15lowercase"s, "Serialization error: Hit the end of buffer, expected more data"},
      {"\xFF\xFF\xFF\xFF\x10"s,
       "Serialization error: Found a varint that didn't terminate. Is the usize too big for this "
       "platform?"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(backend->put(Partition::kInternalMetadata, "text_index_state", c.bytes).ok());
    auto r = TextIndexState::read(*backend);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kSerialization);
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST_F(TextIndexStateTest, Compatibility) {
  TextIndexState s = TextIndexState::create(0, 0, 0, 0, 0);
  EXPECT_TRUE(s.is_compatible());
  TextIndexState wrong_counts = s;
  wrong_counts.record_count = 77;
  wrong_counts.built_at_ms = 0;
  EXPECT_TRUE(wrong_counts.is_compatible());
  TextIndexState schema2 = s;
  schema2.schema_version = 2;
  EXPECT_FALSE(schema2.is_compatible());
  TextIndexState tok2 = s;
  tok2.tokenizer_version = 2;
  EXPECT_FALSE(tok2.is_compatible());
  TextIndexState nul_format = s;
  nul_format.key_format = "namespace\0token\0key"s;
  EXPECT_FALSE(nul_format.is_compatible());
  TextIndexState other_tokenizer = s;
  other_tokenizer.tokenizer = "whitespace";
  EXPECT_FALSE(other_tokenizer.is_compatible());
}

TEST_F(TextIndexStateTest, UpdateMovesCountsAndSaturates) {
  // No state: nothing written.
  ASSERT_TRUE(update_text_index_state(*backend, kv, std::nullopt, 2, {1, 2, 1}).ok());
  EXPECT_FALSE(backend->get(Partition::kInternalMetadata, "text_index_state")->has_value());

  TextIndexState s = TextIndexState::create(0, 0, 0, 0, 0);
  ASSERT_TRUE(TextIndexState::write(kv, s).ok());
  // Insert of a record with two distinct indexed tokens.
  ASSERT_TRUE(update_text_index_state(*backend, kv, std::nullopt, 2, {1, 2, 1}).ok());
  TextIndexState after = stored();
  EXPECT_EQ(after.record_count, 1u);
  EXPECT_EQ(after.posting_entries, 2u);
  EXPECT_EQ(after.doc_stats_entries, 1u);
  EXPECT_EQ(after.term_stats_entries, 2u);
  EXPECT_EQ(after.namespace_stats_entries, 1u);
  EXPECT_EQ(after.built_at_ms, s.built_at_ms);

  // Update with as many postings: counts unchanged, state written.
  ASSERT_TRUE(backend->del(Partition::kInternalMetadata, "text_index_state").ok());
  ASSERT_TRUE(TextIndexState::write(kv, after).ok());
  ASSERT_TRUE(update_text_index_state(*backend, kv, 2, 2, {}).ok());
  EXPECT_EQ(stored(), after);

  // Deletes past zero saturate at zero.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(update_text_index_state(*backend, kv, 3, std::nullopt, {-1, -5, -1}).ok());
  }
  TextIndexState zero = stored();
  EXPECT_EQ(zero.record_count, 0u);
  EXPECT_EQ(zero.posting_entries, 0u);
  EXPECT_EQ(zero.doc_stats_entries, 0u);
  EXPECT_EQ(zero.term_stats_entries, 0u);

  // And at the top of the range.
  TextIndexState top = TextIndexState::create(~uint64_t{0}, ~uint64_t{0}, 0, 0, 0);
  ASSERT_TRUE(TextIndexState::write(kv, top).ok());
  ASSERT_TRUE(update_text_index_state(*backend, kv, std::nullopt, 1, {1, 1, 1}).ok());
  EXPECT_EQ(stored().record_count, ~uint64_t{0});
  EXPECT_EQ(stored().posting_entries, ~uint64_t{0});
}

TEST_F(TextIndexStateTest, IncompatibleStateIsLeftAlone) {
  TextIndexState s = TextIndexState::create(4, 4, 4, 4, 4);
  s.schema_version = 2;
  ASSERT_TRUE(TextIndexState::write(kv, s).ok());
  ASSERT_TRUE(update_text_index_state(*backend, kv, std::nullopt, 1, {1, 1, 1}).ok());
  EXPECT_EQ(stored(), s);
}

TEST_F(TextIndexStateTest, UndecodableStateFailsTheUpdate) {
  ASSERT_TRUE(backend->put(Partition::kInternalMetadata, "text_index_state", "\x03").ok());
  auto r = update_text_index_state(*backend, kv, std::nullopt, 1, {1, 1, 1});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kSerialization);
}

}  // namespace
}  // namespace zv::text
