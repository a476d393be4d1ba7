#include "processing/ScheduleQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "common/Error.h"
#include "support/TestTime.h"

namespace vnpp::processing {
namespace {

using config::TPostProcGroupItem;
using testing::At;

std::unique_ptr<TPostProcGroupItem> Group(common::TDateTime next, common::TDateTime notBefore = 0) {
  auto g = std::make_unique<TPostProcGroupItem>();
  g->NextProcessTime = next;
  g->NotBeforeTime = notBefore;
  return g;
}

std::vector<TPostProcGroupItem*> Drain(TStPQueue& q) {
  std::vector<TPostProcGroupItem*> out;
  while (TPostProcGroupItem* g = q.DeleteMin()) out.push_back(g);
  return out;
}

TEST(ScheduleQueue, RefusesABadCapacityOrGrowthStep) {
  const struct { int Capacity, Growth; } bad[] = {{1, 20}, {0, 20}, {-5, 20}, {2, 0}, {20, -1}};
  for (const auto& c : bad) {
    try {
      TStPQueue q(c.Capacity, c.Growth);
      ADD_FAILURE() << c.Capacity << "/" << c.Growth << " accepted";
    } catch (const common::EContainerError& e) {
      EXPECT_EQ(e.Code(), 53);
    }
  }
  TStPQueue smallest(2, 1);
  EXPECT_EQ(smallest.Capacity(), 2);
}

TEST(ScheduleQueue, ReturnsNothingWhenEmptyAndASingleGroupOnce) {
  TStPQueue q(20, 20);
  EXPECT_EQ(q.DeleteMin(), nullptr);
  auto g = Group(At(2024, 3, 15, 10));
  q.Insert(g.get());
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.DeleteMin(), g.get());
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.DeleteMin(), nullptr);
}

TEST(ScheduleQueue, ReturnsGroupsInDueTimeOrder) {
  auto ten = Group(At(2024, 3, 15, 10));
  auto nine = Group(At(2024, 3, 15, 9));
  auto eleven = Group(At(2024, 3, 15, 8), At(2024, 3, 15, 11));  // held back by NotBeforeTime
  TStPQueue q(20, 20);
  q.Insert(ten.get());
  q.Insert(nine.get());
  q.Insert(eleven.get());
  EXPECT_EQ(Drain(q), (std::vector<TPostProcGroupItem*>{nine.get(), ten.get(), eleven.get()}));
}

TEST(ScheduleQueue, UnscheduledGroupsComeAfterEveryScheduledOne) {
  auto never1 = Group(-1);
  auto never2 = Group(-1);
  auto unset = Group(0);  // a kind without a period: never given a schedule
  auto late = Group(At(2050, 1, 1));
  auto early = Group(At(2024, 1, 1));
  TStPQueue q(20, 20);
  for (TPostProcGroupItem* g : {never1.get(), late.get(), unset.get(), never2.get(), early.get()}) {
    q.Insert(g);
  }
  const auto out = Drain(q);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], early.get());
  EXPECT_EQ(out[1], late.get());
  EXPECT_EQ(out[2], unset.get());
  EXPECT_EQ(out[3]->NextProcessTime, -1);
  EXPECT_EQ(out[4]->NextProcessTime, -1);
}

TEST(ScheduleQueue, EqualKeysComeOutInDeapOrder) {
  // With three equal keys the third inserted moves up to the min root first.
  auto a = Group(At(2024, 3, 15, 10));
  auto b = Group(At(2024, 3, 15, 10));
  auto c = Group(At(2024, 3, 15, 10));
  TStPQueue q(20, 20);
  q.Insert(a.get());
  q.Insert(b.get());
  q.Insert(c.get());
  EXPECT_EQ(Drain(q), (std::vector<TPostProcGroupItem*>{a.get(), c.get(), b.get()}));
}

TEST(ScheduleQueue, GrowsByItsStepWhenFull) {
  std::vector<std::unique_ptr<TPostProcGroupItem>> groups;
  TStPQueue q(20, 20);
  for (int i = 0; i < 21; ++i) {
    groups.push_back(Group(At(2024, 3, 15) + (i * 7 % 21) / 24.0));
    q.Insert(groups.back().get());
    EXPECT_EQ(q.Capacity(), i < 20 ? 20 : 40);
  }
  EXPECT_EQ(q.Count(), 21);
  const auto out = Drain(q);
  ASSERT_EQ(out.size(), 21u);
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end(),
                             [](auto* x, auto* y) { return CompareGroups(x, y) < 0; }));
}

// Random inserts and removals against a reference: every removal must return a group
// whose key equals the reference minimum, and every group comes out exactly once.
void CheckAgainstReference(int capacity, int growth, unsigned seed, unsigned distinctTimes) {
  std::mt19937 rng(seed);
  std::vector<std::unique_ptr<TPostProcGroupItem>> pool;
  for (int i = 0; i < 3000; ++i) {
    const int kind = static_cast<int>(rng() % 20);
    const common::TDateTime next = kind == 0   ? -1
                                   : kind == 1 ? 0
                                               : 45000 + rng() % distinctTimes / 24.0;
    const common::TDateTime notBefore = rng() % 4 == 0 ? 45000 + rng() % distinctTimes / 24.0 : 0;
    pool.push_back(Group(next, notBefore));
  }
  TStPQueue q(capacity, growth);
  std::vector<TPostProcGroupItem*> reference;
  size_t nextToInsert = 0;
  int removed = 0;
  while (nextToInsert < pool.size() || !reference.empty()) {
    const bool insert = nextToInsert < pool.size() && (reference.empty() || rng() % 5 < 3);
    if (insert) {
      q.Insert(pool[nextToInsert].get());
      reference.push_back(pool[nextToInsert].get());
      ++nextToInsert;
    } else {
      TPostProcGroupItem* got = q.DeleteMin();
      ASSERT_NE(got, nullptr);
      const auto smallest =
          *std::min_element(reference.begin(), reference.end(),
                            [](auto* x, auto* y) { return CompareGroups(x, y) < 0; });
      ASSERT_EQ(CompareGroups(got, smallest), 0) << "removal " << removed;
      const auto it = std::find(reference.begin(), reference.end(), got);
      ASSERT_NE(it, reference.end()) << "removal " << removed << " returned a foreign group";
      reference.erase(it);
      ++removed;
    }
    ASSERT_EQ(q.Count(), static_cast<int>(reference.size()));
  }
  EXPECT_EQ(removed, 3000);
  EXPECT_EQ(q.DeleteMin(), nullptr);
}

TEST(ScheduleQueue, RandomInsertsAndRemovalsKeepTheMinimumOrder) {
  CheckAgainstReference(20, 20, 12345u, 50);  // frequent ties
  CheckAgainstReference(20, 20, 4242u, 1000000);
  CheckAgainstReference(2, 1, 777u, 200);
}

TEST(ScheduleQueue, ConcurrentInsertsLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::unique_ptr<TPostProcGroupItem>> groups;
  for (int i = 0; i < kThreads * kPerThread; ++i) groups.push_back(Group(45000 + i % 97 / 24.0));
  TStPQueue q(20, 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) q.Insert(groups[t * kPerThread + i].get());
    });
  }
  for (auto& th : threads) th.join();
  const auto out = Drain(q);
  ASSERT_EQ(out.size(), groups.size());
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end(),
                             [](auto* x, auto* y) { return CompareGroups(x, y) < 0; }));
}

}  // namespace
}  // namespace vnpp::processing
