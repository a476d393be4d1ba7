#include "config/GroupModel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/Error.h"

namespace vnpp::config {
namespace {

TEST(GroupModel, NewGroupHasTheConstructedValues) {
  const TPostProcGroupItem g;
  EXPECT_TRUE(g.Enabled);
  EXPECT_EQ(g.FuncName, "AVG");
  EXPECT_EQ(g.TypeInterval, 3);
  EXPECT_EQ(g.SectionName, "PostProcessGroup:1");
  EXPECT_EQ(g.PPGIndex, 1);
  EXPECT_EQ(g.StartFrom, "");
  EXPECT_TRUE(g.Sensors.empty());
  EXPECT_EQ(g.GroupNumber, 0);
  EXPECT_EQ(g.NextProcessTime, 0);
  const TStationSensorInfoItem e;
  EXPECT_EQ(e.LastUpdate, 0);
  EXPECT_EQ(e.StationID, "");
}

TEST(GroupModel, IsDeltaMatchesOnlyTheExactNameInAnyCase) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"DELTA", true},   {"delta", true}, {"Delta", true}, {"DELTA ", false},
      {" DELTA", false}, {"", false},     {"DELT", false}, {"DELTAS", false},
  };
  TPostProcGroupItem g;
  for (const auto& [name, expected] : rows) {
    g.FuncName = name;
    EXPECT_EQ(g.IsDelta(), expected) << "'" << name << "'";
  }
}

TEST(GroupModel, DueTimeIsTheLaterOfNextAndNotBefore) {
  TPostProcGroupItem g;
  g.NextProcessTime = 100.5;
  g.NotBeforeTime = 100.25;
  EXPECT_EQ(g.DueTime(), 100.5);
  g.NotBeforeTime = 101;
  EXPECT_EQ(g.DueTime(), 101);
}

// Records the order in which groups are freed.
class TracedGroup : public TPostProcGroupItem {
 public:
  TracedGroup(std::string name, std::vector<std::string>& freed) : freed_(freed) {
    SectionName = std::move(name);
  }
  ~TracedGroup() override { freed_.push_back(SectionName); }

 private:
  std::vector<std::string>& freed_;
};

TEST(GroupModel, ListKeepsOrderAndFreesFromTheLast) {
  std::vector<std::string> freed;
  {
    TPostProcGroups list;
    for (const char* name : {"A", "B", "C", "D"}) {
      list.Add(std::make_unique<TracedGroup>(name, freed));
    }
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list[2].SectionName, "C");

    list.Delete(1);
    EXPECT_EQ(freed, std::vector<std::string>{"B"});
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Item(1).SectionName, "C");
    EXPECT_EQ(list.Item(2).SectionName, "D");
  }
  EXPECT_EQ(freed, (std::vector<std::string>{"B", "D", "C", "A"}));
}

TEST(GroupModel, ListRefusesIndexesOutsideTheList) {
  TPostProcGroups list;
  list.Add(std::make_unique<TPostProcGroupItem>());
  for (int index : {-1, 1, 100}) {
    EXPECT_THROW(list.Item(index), common::EContainerError) << index;
    EXPECT_THROW(list.Delete(index), common::EContainerError) << index;
  }
  EXPECT_THROW(list.Add(nullptr), common::EContainerError);
  EXPECT_EQ(list.Count(), 1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace vnpp::config
