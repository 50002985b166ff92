#include "src/text/derived_lookup.h"

#include <gtest/gtest.h>

#include <memory>

#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/text/derived_index.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

class DerivedLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Five matching records k1..k5 (ids 1..5), inserted out of order, one
    // entry with a damaged value, and neighbours that must not match.
    for (int i : {3, 1, 5, 2, 4}) {
      const std::string k = "k" + std::to_string(i);
      ASSERT_TRUE(backend->put(Partition::kPayloadIndex, *scalar_index_key("n", "color", red) + k,
                               node_key(i)).ok());
      ASSERT_TRUE(backend->put(Partition::kNamespaceIndex, namespace_index_key("n", k), node_key(i)).ok());
    }
    ASSERT_TRUE(backend->put(Partition::kPayloadIndex, *scalar_index_key("n", "color", red) + "k0",
                             "short").ok());
    ASSERT_TRUE(backend->put(Partition::kNamespaceIndex, namespace_index_key("n", "k0"), "").ok());
    ASSERT_TRUE(backend->put(Partition::kPayloadIndex,
                             *scalar_index_key("n", "color", FieldValue::string("redder")) + "k9",
                             node_key(9)).ok());
    ASSERT_TRUE(backend->put(Partition::kNamespaceIndex, namespace_index_key("nn", "k9"), node_key(9)).ok());
  }

  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  FieldValue red = FieldValue::string("red");
  CounterCell scans;
};

TEST_F(DerivedLookupTest, SkipLimitAndDamagedValues) {
  auto all = payload_index_ids(*backend, "n", "color", red, 0, std::nullopt, &scans);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->ids, (std::vector<NodeId>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(all->state_exists);
  auto page = payload_index_ids(*backend, "n", "color", red, 2, 3, &scans);
  EXPECT_EQ(page->ids, (std::vector<NodeId>{3, 4, 5}));
  auto first = namespace_index_ids(*backend, "n", 1, 2, &scans);
  EXPECT_EQ(first->ids, (std::vector<NodeId>{2, 3}));
  EXPECT_EQ(namespace_index_ids(*backend, "n", 0, std::nullopt, &scans)->ids.size(), 5u);
  EXPECT_EQ(scans.read(), 4u);

  BackendKvService kv(backend, false);
  ASSERT_TRUE(DerivedIndexState::write(kv, DerivedIndexState::create(5, 5, 5)).ok());
  EXPECT_TRUE(namespace_index_ids(*backend, "n", 0, 1)->state_exists);
}

TEST_F(DerivedLookupTest, Errors) {
  auto list = payload_index_ids(*backend, "n", "color", FieldValue::list_string({"red"}), 0,
                                std::nullopt, &scans);
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error().kind(), ZolvaErrorKind::kValidation);
  ASSERT_TRUE(backend->put(Partition::kInternalMetadata, "derived_index_state", "\x01").ok());
  auto bad = namespace_index_ids(*backend, "n", 0, std::nullopt, &scans);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), ZolvaErrorKind::kSerialization);
  EXPECT_EQ(scans.read(), 0u);  // only successful lookups count
}

TEST(DerivedLookup, PayloadLookupUsable) {
  EXPECT_TRUE(payload_lookup_usable("n", "f", FieldValue::string("red")));
  EXPECT_TRUE(payload_lookup_usable("n", "f", FieldValue::floating(1.5)));
  EXPECT_FALSE(payload_lookup_usable("n", "f", FieldValue::floating(0.0)));
  EXPECT_FALSE(payload_lookup_usable("n", "f", FieldValue::floating(-0.0)));
  const size_t room = kMaxIndexKeyBytes - kMaxRecordKeyBytes - std::string("n\0f\0s:\0"s).size();
  EXPECT_TRUE(payload_lookup_usable("n", "f", FieldValue::string(std::string(room, 'x'))));
  EXPECT_FALSE(payload_lookup_usable("n", "f", FieldValue::string(std::string(room + 1, 'x'))));
}

}  // namespace
}  // namespace zv::text
