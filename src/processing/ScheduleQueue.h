// The schedule queue: the groups waiting for their turn, ordered by due time, as a
// double-ended heap (deap) over an array of group references.
// Thread safety: every operation holds the queue's own lock for its whole duration.
#pragma once

#include <vector>

#include "common/Mutex.h"
#include "config/GroupModel.h"

namespace vnpp::processing {

// Orders two groups for the queue: -1, 0 or 1. Groups with a positive NextProcessTime come
// first, by DueTime; then groups with NextProcessTime 0 (no period kind, never scheduled);
// last the groups with a negative NextProcessTime (no positive period). Groups within
// either of the last two classes compare equal.
// REQUIRES: a and b not null.
int CompareGroups(const config::TPostProcGroupItem* a, const config::TPostProcGroupItem* b);

// A min-max priority queue of group references. It never owns the groups: destroying it
// releases only its storage. Equal keys are not kept in insertion order; which of them
// comes out first follows from the deap's insertion and removal steps. A group's key must
// not change while it is in the queue if the order is to hold.
class TStPQueue {
 public:
  // Throws common::EContainerError (code 53) for initialCapacity < 2 or growthStep <= 0.
  TStPQueue(int initialCapacity, int growthStep);
  TStPQueue(const TStPQueue&) = delete;
  TStPQueue& operator=(const TStPQueue&) = delete;

  // Adds one reference. REQUIRES: group not null.
  void Insert(config::TPostProcGroupItem* group) EXCLUDES(mu_);
  // Removes and returns the group with the smallest key; nullptr when the queue is empty.
  config::TPostProcGroupItem* DeleteMin() EXCLUDES(mu_);

  int Count() const EXCLUDES(mu_);
  // Slots in the storage; grows by the growth step when an insertion needs more.
  int Capacity() const EXCLUDES(mu_);

 private:
  // Deap position j (j >= 2) lives at storage index j - 2.
  config::TPostProcGroupItem*& At(int j) REQUIRES(mu_) { return storage_[j - 2]; }
  void Reserve(int needed) REQUIRES(mu_);
  void SiftUpMin(int j, config::TPostProcGroupItem* group) REQUIRES(mu_);
  void SiftUpMax(int j, config::TPostProcGroupItem* group) REQUIRES(mu_);

  // Constant after construction.
  const int growthStep_;

  mutable common::Mutex mu_;
  int count_ GUARDED_BY(mu_) = 0;
  // size() is the capacity; slots past the last position hold nullptr.
  std::vector<config::TPostProcGroupItem*> storage_ GUARDED_BY(mu_);
};

}  // namespace vnpp::processing
