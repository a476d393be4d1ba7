// The names under which the automation object is found on the bus.
#pragma once

namespace vnpp::automation {

inline constexpr const char* kBusName = "VNPPSvc.VNPostProcCom";
inline constexpr const char* kObjectPath = "/VNPPSvc/VNPostProcCom";
inline constexpr const char* kInterface = "VNPPSvc.IVNPostProcCom";
inline constexpr const char* kEventsInterface = "VNPPSvc.IVNPostProcComEvents";
inline constexpr const char* kStatusInterface = "VNPPSvc.Status1";

// Error names of the object's own failures.
inline constexpr const char* kErrorFailed = "VNPPSvc.Error.Failed";
inline constexpr const char* kErrorClosing = "VNPPSvc.Error.Closing";

// The group "vnppsvc" of the system bus policy may use the control members.
inline constexpr const char* kControlGroup = "vnppsvc";

}  // namespace vnpp::automation
