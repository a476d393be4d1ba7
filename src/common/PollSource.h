// A descriptor that the main thread's event loop watches for another subsystem.
#pragma once

namespace vnpp::common {

// What a source wants watched until its next Dispatch.
struct TPollData {
  int Fd = -1;         // -1: no descriptor, only the time-out
  short Events = 0;    // poll(2) events for Fd
  int TimeoutMs = -1;  // Dispatch after at most this long; -1: no time-out, 0: at once
};

// Thread safety: the loop calls both members on its own thread, Prepare before every
// poll and Dispatch after it. Exceptions they let out are swallowed by the loop.
class IPollSource {
 public:
  virtual ~IPollSource() = default;
  virtual TPollData Prepare() = 0;
  // revents: what poll reported for Fd; 0 when the time-out has passed.
  virtual void Dispatch(short revents) = 0;
};

}  // namespace vnpp::common
