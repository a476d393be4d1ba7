#include "processing/ScheduleQueue.h"

#include <algorithm>
#include <string>

#include "common/Error.h"

namespace vnpp::processing {
namespace {

using config::TPostProcGroupItem;

constexpr int kErrorBadCapacity = 53;

// floor(log2 j) for j >= 1.
int Log2(int j) {
  int level = 0;
  while (j > 1) {
    j >>= 1;
    ++level;
  }
  return level;
}

// True when position j lies in the min-heap under position 2.
bool IsMinSide(int j) {
  while (j > 3) j /= 2;
  return j == 2;
}

// Ordering class of a group: scheduled, never given a schedule, no positive period.
int Rank(const TPostProcGroupItem* g) {
  if (g->NextProcessTime > 0) return 0;
  if (g->NextProcessTime < 0) return 2;
  return 1;
}

}  // namespace

int CompareGroups(const TPostProcGroupItem* a, const TPostProcGroupItem* b) {
  const int ra = Rank(a);
  const int rb = Rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra != 0) return 0;
  const common::TDateTime da = a->DueTime();
  const common::TDateTime db = b->DueTime();
  if (da < db) return -1;
  if (da > db) return 1;
  return 0;
}

TStPQueue::TStPQueue(int initialCapacity, int growthStep) : growthStep_(growthStep) {
  if (initialCapacity < 2 || growthStep <= 0) {
    throw common::EContainerError("Invalid queue capacity " + std::to_string(initialCapacity) +
                                      " or growth step " + std::to_string(growthStep),
                                  kErrorBadCapacity);
  }
  common::MutexLock lock(mu_);
  storage_.assign(static_cast<size_t>(initialCapacity), nullptr);
}

int TStPQueue::Count() const {
  common::MutexLock lock(mu_);
  return count_;
}

int TStPQueue::Capacity() const {
  common::MutexLock lock(mu_);
  return static_cast<int>(storage_.size());
}

void TStPQueue::Reserve(int needed) {
  const int capacity = static_cast<int>(storage_.size());
  if (needed <= capacity) return;
  std::vector<TPostProcGroupItem*> grown(
      static_cast<size_t>(std::max(capacity + growthStep_, needed)), nullptr);
  std::copy(storage_.begin(), storage_.end(), grown.begin());
  storage_.swap(grown);
}

void TStPQueue::SiftUpMin(int j, TPostProcGroupItem* group) {
  while (j > 2) {
    const int q = j / 2;
    if (CompareGroups(group, At(q)) >= 0) break;
    At(j) = At(q);
    j = q;
  }
  At(j) = group;
}

void TStPQueue::SiftUpMax(int j, TPostProcGroupItem* group) {
  while (j > 3) {
    const int q = j / 2;
    if (CompareGroups(group, At(q)) <= 0) break;
    At(j) = At(q);
    j = q;
  }
  At(j) = group;
}

void TStPQueue::Insert(TPostProcGroupItem* group) {
  common::MutexLock lock(mu_);
  Reserve(count_ + 1);
  ++count_;
  if (count_ == 1) {
    At(2) = group;
    return;
  }
  const int j = count_ + 1;
  const int half = 1 << (Log2(j) - 1);
  if (IsMinSide(j)) {
    // The partner j + half is not occupied yet: compare with its parent.
    const int i = (j + half) / 2;
    if (CompareGroups(group, At(i)) > 0) {
      At(j) = At(i);
      SiftUpMax(i, group);
    } else {
      SiftUpMin(j, group);
    }
  } else {
    const int i = j - half;
    if (CompareGroups(group, At(i)) < 0) {
      At(j) = At(i);
      SiftUpMin(i, group);
    } else {
      SiftUpMax(j, group);
    }
  }
}

TPostProcGroupItem* TStPQueue::DeleteMin() {
  common::MutexLock lock(mu_);
  if (count_ == 0) return nullptr;
  TPostProcGroupItem* const result = At(2);
  TPostProcGroupItem* const last = At(count_ + 1);
  At(count_ + 1) = nullptr;
  const int old = count_;
  --count_;
  if (count_ == 0) {
    At(2) = nullptr;
    return result;
  }
  // Move the hole from the root of the min-heap down to a leaf, along the smaller child.
  int f = 2;
  for (;;) {
    int c = 2 * f;
    if (c > old) break;
    if (c + 1 <= old && CompareGroups(At(c), At(c + 1)) > 0) ++c;
    At(f) = At(c);
    f = c;
  }
  // Place the former last element at the hole, checked against its max-side partner (or
  // the partner's parent when the partner position is not occupied).
  int k = f + (1 << (Log2(f) - 1));
  if (k > count_ + 1) k /= 2;
  if (k > 2 && CompareGroups(last, At(k)) > 0) {
    At(f) = At(k);
    SiftUpMax(k, last);
  } else if (k > 2) {
    SiftUpMin(f, last);
  } else {
    At(f) = last;
  }
  return result;
}

}  // namespace vnpp::processing
