#include "config/GroupModel.h"

#include <string>

#include "common/Error.h"
#include "common/Text.h"

namespace vnpp::config {
TPostProcGroupItem::TPostProcGroupItem() = default;

TPostProcGroupItem::~TPostProcGroupItem() {
  while (!Sensors.empty()) Sensors.pop_back();
}

bool TPostProcGroupItem::IsDelta() const { return common::EqualsNoCase(FuncName, "DELTA"); }

TPostProcGroups::~TPostProcGroups() { Clear(); }

TPostProcGroupItem& TPostProcGroups::Item(int index) const {
  if (index < 0 || index >= Count()) {
    throw common::EContainerError("List index out of bounds (" + std::to_string(index) + ")", 52);
  }
  return *items_[static_cast<size_t>(index)];
}

void TPostProcGroups::Add(std::unique_ptr<TPostProcGroupItem> group) {
  if (group == nullptr) throw common::EContainerError("Cannot add an empty group reference", 52);
  items_.push_back(std::move(group));
}

void TPostProcGroups::Delete(int index) {
  Item(index);  // range check
  items_.erase(items_.begin() + index);
}

void TPostProcGroups::Clear() {
  for (int i = Count() - 1; i >= 0; --i) Delete(i);
}

}  // namespace vnpp::config
