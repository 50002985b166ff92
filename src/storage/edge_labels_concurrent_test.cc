#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "src/storage/testing/open_fixture.h"

namespace zv {
namespace {

using EdgeLabelsTest = testing::OpenFixture;

TEST_F(EdgeLabelsTest, LabelsKeepTheirIdsAcrossReopens) {
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("label-" + std::to_string(i));
  std::map<std::string, uint32_t> ids;
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    std::vector<std::thread> threads;
    std::mutex mu;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&, t] {
        for (size_t i = 0; i < names.size(); ++i) {
          const std::string& n = names[(i + t * 5) % names.size()];
          auto id = e->intern_label(n);
          ASSERT_TRUE(id.ok());
          std::lock_guard<std::mutex> g(mu);
          auto [it, fresh] = ids.emplace(n, *id);
          EXPECT_EQ(it->second, *id);
        }
      });
    for (auto& th : threads) th.join();
  }  // dropped without a flush
  std::set<uint32_t> seen;
  for (const auto& [n, id] : ids) seen.insert(id);
  EXPECT_EQ(seen.size(), names.size());
  EXPECT_EQ(*seen.rbegin(), names.size() - 1);
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    for (const auto& [n, id] : ids) EXPECT_EQ(e->intern_label(n).value(), id);
    EXPECT_EQ(e->intern_label("next").value(), names.size());
  }
  Config ro = config;
  ro.read_only = true;
  auto e = open_ok(ro);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->intern_label("next").value(), names.size());
  auto refused = e->intern_label("brand new");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ZolvaErrorKind::kValidation);
}

}  // namespace
}  // namespace zv
