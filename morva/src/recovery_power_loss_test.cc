// Power loss at a random point of a workload of writes, SyncAll persists,
// flushes, journal rotations and maintenance: the folder a power loss could
// leave (built from every change the workload made, with its bytes) always
// opens, with every write acknowledged before the last SyncAll persist that
// returned.
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "tervik/version/testing/power_loss_image.h"
#include "tervik/version/testing/sync_recorder.h"

namespace morva {
namespace {

using tervik::testing::FsEvent;
using Where = std::pair<std::string, std::string>;  // keyspace, key
using PowerLossModel = std::map<Where, std::string>;

constexpr int kImages = 20;
constexpr int kKeys = 40;

struct Written {
  size_t start = 0;  // the recorded change count when the write began
  Where where;
  std::optional<std::string> value;
};

struct Persisted {
  size_t event = 0;  // index of the mark recorded once the persist returned
  PowerLossModel model;
};

TEST(RecoveryPowerLoss, EveryImageOpensWithWhatTheLastSyncAllPersistKept) {
  if (!tervik::testing::SyncRecorder::available()) GTEST_SKIP() << "change recording unavailable here";
  zv::testing::TempDir dir;
  zv::testing::TempDir images;
  const std::string folder = zv::fs::join(dir.path(), "db");
  const uint64_t seed = zv::os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);

  std::vector<Written> written;
  std::vector<Persisted> persisted;
  std::vector<FsEvent> events;
  {
    tervik::testing::SyncRecorder recorder(folder);
    PowerLossModel model;
    {
      Database db = testing::create_db(testing::busy_config(folder, 2));
      std::map<std::string, Keyspace> keyspaces = {{"a", testing::open_keyspace(db, "a")},
                                                   {"b", testing::open_keyspace(db, "b")}};
      auto value_for = [&](int i) {
        return rng() % 5 == 0 ? std::optional<std::string>()
                              : std::optional<std::string>("v" + std::to_string(i) + std::string(rng() % 150, 'x'));
      };
      for (int i = 0; i < 800; ++i) {
        const size_t start = recorder.fs_event_count();
        std::vector<Written> call;
        for (uint64_t n = rng() % 3 == 0 ? 2 + rng() % 4 : 1; n > 0; --n) {
          call.push_back({start, {rng() % 2 ? "a" : "b", "k" + std::to_string(rng() % kKeys)}, value_for(i)});
        }
        if (call.size() == 1) {
          const Keyspace& ks = keyspaces.at(call[0].where.first);
          ASSERT_TRUE((call[0].value ? ks.insert(call[0].where.second, *call[0].value)
                                     : ks.remove(call[0].where.second))
                          .ok());
        } else {
          Batch batch = db.batch();
          for (const Written& w : call) {
            if (w.value) {
              batch.insert(keyspaces.at(w.where.first), w.where.second, *w.value);
            } else {
              batch.remove(keyspaces.at(w.where.first), w.where.second);
            }
          }
          ASSERT_TRUE(batch.commit().ok());
        }
        for (Written& w : call) {
          if (w.value) {
            model[w.where] = *w.value;
          } else {
            model.erase(w.where);
          }
          written.push_back(std::move(w));
        }
        if (rng() % 20 == 0) {
          ASSERT_TRUE(db.persist(PersistMode::kSyncAll).ok());
          persisted.push_back({recorder.fs_event_count(), model});
          recorder.mark(persisted.size());
        }
      }
    }
    events = recorder.fs_events();
  }
  ASSERT_FALSE(persisted.empty());
  size_t rotations = 0;
  for (const FsEvent& e : events) rotations += e.kind == FsEvent::Kind::kCreate && e.path.ends_with(".jnl");
  EXPECT_GE(rotations, 3u) << "the workload should rotate its journal";

  for (int round = 0; round < kImages; ++round) {
    const size_t cut = 1 + rng() % events.size();
    SCOPED_TRACE("image " + std::to_string(round) + ", cut before change " + std::to_string(cut) + " of " +
                 std::to_string(events.size()));
    const std::string image = zv::fs::join(images.path(), std::to_string(round));
    ASSERT_TRUE(tervik::testing::build_power_loss_image(events, cut, folder, image, rng));
    const Persisted* kept = nullptr;
    for (const Persisted& p : persisted) {
      if (p.event < cut) kept = &p;
    }
    auto db = Database::open(testing::busy_config(image, 2));
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    for (const std::string ks : {"a", "b"}) {
      Keyspace keyspace = testing::open_keyspace(*db, ks);
      for (int k = 0; k < kKeys; ++k) {
        const Where where{ks, "k" + std::to_string(k)};
        auto got = keyspace.get(where.second);
        ASSERT_TRUE(got.ok());
        // The value the last persist kept, or one written after it began.
        std::vector<std::optional<std::string>> allowed;
        if (kept != nullptr) {
          auto it = kept->model.find(where);
          allowed.push_back(it == kept->model.end() ? std::nullopt : std::optional<std::string>(it->second));
        } else {
          allowed.push_back(std::nullopt);
        }
        for (const Written& w : written) {
          if (w.where == where && w.start < cut && (kept == nullptr || w.start >= kept->event)) allowed.push_back(w.value);
        }
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), *got), allowed.end())
            << ks << "/" << where.second << " is " << (*got ? **got : "absent");
      }
    }
  }
}

}  // namespace
}  // namespace morva
