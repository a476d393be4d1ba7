// The interfaces of the bus object, one registration each.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "automation/VNPostProcComImpl.h"
#include "common/Clock.h"

namespace vnpp::automation {

void TVNPostProcCOM::TImpl::Register() {
  RegisterControl();
  RegisterEvents();
  RegisterStatus();
  RegisterOperator();
}

// kInterface: the automation members and properties.
void TVNPostProcCOM::TImpl::RegisterControl() {
  object_->registerMethod("SetItemChange")
      .onInterface(kInterface)
      .withInputParamNames("AppID", "Item", "Data")
      .implementedAs(
          [this](const std::string& appId, const std::string& item, const std::string& data) {
            if (appId.size() + item.size() + data.size() > kMaxItemChangeBytes) {
              throw sdbus::Error(kErrorTooLarge, "SetItemChange takes at most " +
                                                     std::to_string(kMaxItemChangeBytes) +
                                                     " bytes of AppID, Item and Data together");
            }
            try {
              Enqueue(ItemChangeSignal(appId, item, data));
              // Sent before the reply: the caller's own OnItemChange comes first.
              FlushSignals(true);
            } catch (const std::exception& e) {
              throw sdbus::Error(kErrorFailed, e.what());
            }
          });
  object_->registerMethod("IsAlive")
      .onInterface(kInterface)
      .withOutputParamNames("TimeString")
      .implementedAs([]() -> std::string {
        try {
          return IsAliveText(common::Now());
        } catch (const std::exception& e) {
          throw sdbus::Error(kErrorFailed, e.what());
        }
      });
  object_->registerMethod("ResetParams").onInterface(kInterface).implementedAs([] {
    // Nothing: the configuration is read again only by StartProcess.
  });
  object_->registerMethod("AppShutdown")
      .onInterface(kInterface)
      .withInputParamNames("AppID")
      .implementedAs([this](const std::string& appId) {
        try {
          Enqueue(AppShutdownSignal(appId));
          FlushSignals(true);
        } catch (const std::exception& e) {
          throw sdbus::Error(kErrorFailed, e.what());
        }
      });
  object_->registerProperty("LogDetail")
      .onInterface(kInterface)
      .withGetter([this] {
        return Read<std::int32_t>([](IServiceControl& c) { return c.GetLogDetail(); }, 0);
      })
      .withSetter([this](const std::int32_t& level) {
        ActOrThrow([level](IServiceControl& c) { c.SetLogDetail(level); });
      })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerProperty("NextPollGroup")
      .onInterface(kInterface)
      .withGetter([this] {
        return Read<std::string>([](IServiceControl& c) { return c.NextPollGroup(); }, "");
      })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerProperty("NextPollTime")
      .onInterface(kInterface)
      .withGetter(
          [this] { return Read<double>([](IServiceControl& c) { return c.NextPollTime(); }, 0.0); })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerMethod("StartProcess")
      .onInterface(kInterface)
      .implementedAs(
          [this](sdbus::Result<>&& result) { QueueControl(TJobKind::Start, std::move(result)); });
  object_->registerMethod("StopProcess")
      .onInterface(kInterface)
      .implementedAs(
          [this](sdbus::Result<>&& result) { QueueControl(TJobKind::Stop, std::move(result)); });
  object_->registerProperty("Status")
      .onInterface(kInterface)
      .withGetter([this] {
        return Read<std::int32_t>([](IServiceControl& c) { return c.IsProcessing() ? 1 : 0; }, 0);
      })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerMethod("RunProcessGroup")
      .onInterface(kInterface)
      .withInputParamNames("index")
      .implementedAs([this](const std::int32_t& index) {
        // An index outside the list is no failure: the main object ignores it.
        ActOrThrow([index](IServiceControl& c) { c.RunProcessGroup(index); });
      });
  object_->registerMethod("StopProcessGroup").onInterface(kInterface).implementedAs([this] {
    ActOrThrow([](IServiceControl& c) { c.StopProcessGroup(); });
  });
}

// kEventsInterface: the broadcasts.
void TVNPostProcCOM::TImpl::RegisterEvents() {
  object_->registerSignal("OnItemChange")
      .onInterface(kEventsInterface)
      .withParameters<std::string, std::string, std::string>("AppID", "Item", "Value");
  object_->registerSignal("OnAppShutdown")
      .onInterface(kEventsInterface)
      .withParameters<std::string>("AppID");
}

// kStatusInterface: the operators' view of the groups.
void TVNPostProcCOM::TImpl::RegisterStatus() {
  object_->registerMethod("Groups")
      .onInterface(kStatusInterface)
      .withOutputParamNames("groups")
      .implementedAs([this] {
        const auto rows =
            Read<std::vector<TGroupStatus>>([](IServiceControl& c) { return c.GroupStatus(); }, {});
        std::vector<TGroupStruct> out;
        out.reserve(rows.size());
        for (const TGroupStatus& r : rows) {
          out.emplace_back(r.Index, r.SectionName, r.Enabled, r.FuncName, r.NextDue,
                           r.OldestLastUpdate, r.LastRunEnd, r.LastRunFailedEntries);
        }
        return out;
      });
  object_->registerMethod("ConfigurationProblems")
      .onInterface(kStatusInterface)
      .withOutputParamNames("problems")
      .implementedAs([this] {
        return Read<std::vector<std::string>>(
            [](IServiceControl& c) { return c.ConfigurationProblems(); }, {});
      });
  object_->registerMethod("GroupsRecheck")
      .onInterface(kStatusInterface)
      .withOutputParamNames("groups")
      .implementedAs([this] {
        const auto rows =
            Read<std::vector<TGroupStatus>>([](IServiceControl& c) { return c.GroupStatus(); }, {});
        std::vector<TGroupRecheckStruct> out;
        out.reserve(rows.size());
        for (const TGroupStatus& r : rows) {
          out.emplace_back(r.Index, r.RecheckedWindows, r.ChangedRows);
        }
        return out;
      });
  object_->registerMethod("GroupsIncomplete")
      .onInterface(kStatusInterface)
      .withOutputParamNames("groups")
      .implementedAs([this] {
        const auto rows =
            Read<std::vector<TGroupStatus>>([](IServiceControl& c) { return c.GroupStatus(); }, {});
        std::vector<TGroupIncompleteStruct> out;
        out.reserve(rows.size());
        for (const TGroupStatus& r : rows) out.emplace_back(r.Index, r.IncompleteWindows);
        return out;
      });
  object_->registerSignal("GroupRunFinished")
      .onInterface(kStatusInterface)
      .withParameters<std::int32_t, std::int64_t, std::int64_t>("index", "windows",
                                                                "failedEntries");
}

// kOperatorInterface: requests of the operators.
void TVNPostProcCOM::TImpl::RegisterOperator() {
  // Returns at once with the request's id; RecomputeFinished with that id follows its end.
  object_->registerMethod("Recompute")
      .onInterface(kOperatorInterface)
      .withInputParamNames("index", "from", "to")
      .withOutputParamNames("requestId")
      .implementedAs(
          [this](const std::int32_t& index, const double& from, const double& to) -> std::uint64_t {
            std::uint64_t id = 0;
            std::string refusal;
            ActOrThrow([&](IServiceControl& c) { id = c.Recompute(index, from, to, refusal); });
            if (id == 0) {
              throw sdbus::Error(
                  kErrorRefused,
                  "cannot recompute: " +
                      (refusal.empty() ? std::string("the request was refused") : refusal));
            }
            return id;
          });
  object_->registerSignal("RecomputeFinished")
      .onInterface(kOperatorInterface)
      .withParameters<std::uint64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>(
          "requestId", "windowsChecked", "rowsWritten", "rowsDeleted", "failedEntries");
}

}  // namespace vnpp::automation
