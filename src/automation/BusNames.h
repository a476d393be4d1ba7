// The names under which the automation object is found on the bus, and the types of its
// members that the service and its client share.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vnpp::automation {

inline constexpr const char* kBusName = "VNPPSvc.VNPostProcCom";
inline constexpr const char* kObjectPath = "/VNPPSvc/VNPostProcCom";
inline constexpr const char* kInterface = "VNPPSvc.IVNPostProcCom";
inline constexpr const char* kEventsInterface = "VNPPSvc.IVNPostProcComEvents";
inline constexpr const char* kStatusInterface = "VNPPSvc.Status1";
inline constexpr const char* kOperatorInterface = "VNPPSvc.Operator1";

// Error names of the object's own failures.
inline constexpr const char* kErrorFailed = "VNPPSvc.Error.Failed";
inline constexpr const char* kErrorClosing = "VNPPSvc.Error.Closing";
inline constexpr const char* kErrorTooLarge = "VNPPSvc.Error.TooLarge";
// A request the service will not take as asked (Recompute of an empty range, of a range that
// begins in the future, of an unknown group, or while processing is stopped).
inline constexpr const char* kErrorRefused = "VNPPSvc.Error.Refused";

// SetItemChange refuses a call whose three strings together are longer than this (bytes):
// every client receives each relayed item, and the bus keeps what a slow client has not
// read yet on the service's account.
inline constexpr std::size_t kMaxItemChangeBytes = 64 * 1024;

// The group "vnppsvc" of the system bus policy may use the control members.
inline constexpr const char* kControlGroup = "vnppsvc";

// One row of VNPPSvc.Status1.Groups, "(isbsdddx)": index, section name, enabled, function,
// next due, oldest progress, end of the last run, entries failed in it.
using TGroupStruct = sdbus::Struct<std::int32_t, std::string, bool, std::string, double, double,
                                   double, std::int64_t>;

// One row of VNPPSvc.Status1.GroupsRecheck, "(ixx)": index, windows computed again over
// stored rows and the rows that changed, since processing started.
using TGroupRecheckStruct = sdbus::Struct<std::int32_t, std::int64_t, std::int64_t>;

// One row of VNPPSvc.Status1.GroupsIncomplete, "(ix)": index, windows that the group's
// completeness rule found incomplete (skipped or flagged) since processing started.
using TGroupIncompleteStruct = sdbus::Struct<std::int32_t, std::int64_t>;

}  // namespace vnpp::automation
