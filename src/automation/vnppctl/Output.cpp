#include "automation/vnppctl/Output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "common/Text.h"

namespace vnpp::ctl {

const char kHelp[] = R"(NAME
    vnppctl - control and watch the VNPPSvc post-processing service

SYNOPSIS
    vnppctl [--session | --system] COMMAND [ARGUMENT...]

DESCRIPTION
    vnppctl talks to the automation object VNPPSvc.VNPostProcCom of a running VNPPSvc over
    D-Bus. The service runs on the system bus; a desktop instance on the session bus.

COMMANDS
    status [--json | -o json]
        Whether processing runs, the next group and its due time, and every configured
        group: its number (the one the log shows in "PollGroup N: ...", counted from 1 in the
        order of GroupNames), section name, whether it is enabled, its function, when it is due next, the oldest progress of its entries (the backlog) and
        how far that lags behind now, when its last completed run ended, how many
        entries failed in it, and the windows checked again over stored rows (RecheckWindows,
        ChangeLog, recompute) and the rows those checks changed since processing started, and the
        windows its completeness rule found incomplete (INCOMPLETE).
        With --json (or -o json): the same as one JSON object for scripts and monitoring
        checks: "bus", "processing" ("running" or "stopped"), "next_group" (its number, or
        null), "next_time", "now", "problems" (the configuration's, as text) and "groups",
        one object per group with "group", "section", "enabled", "function", "next_due",
        "backlog_from", "lag_seconds", "last_run", "failed" and, where the service offers
        them, "rechecked", "changed" and "incomplete". Times are ISO 8601 local times with
        their UTC offset; null stands for none (the table's "-").
    alive
        The service's local date and time (its heartbeat).
    log-detail [N]
        Shows the log detail level, or sets it to N (0: no group-run messages, 1: the
        start of each run, 2 or more: each window and the end of each run as well). The
        level lasts until processing is next started.
    start
        Starts processing: a running processing thread is stopped first, and the new one
        reads the configuration afresh. Waits until that is done.
    stop
        Stops processing and waits until the processing thread has ended.
    run GROUP | SECTION-NAME
        Runs a group at once, by its number (from 1, as "status" and the log show it) or
        by its section name (letter case ignored).
    recompute GROUP | SECTION-NAME FROM TO
        After a correction of readings: computes every window of every entry of the group
        that lies inside [FROM, TO) again and writes only the rows that changed; the
        entries' progress stays as it is. FROM and TO are local times written
        YYYY-MM-DD[ HH:MM[:SS]] (quote them when they hold a time). Waits until the
        service reports the end, then prints the windows checked, rows written, rows
        deleted and failed entries. An empty range, a range that begins in the future, an
        unknown group or stopped processing is refused and writes nothing.
    cancel
        Drops pending immediate runs and abandons the one in progress.
    follow
        Prints every log message and every change of the next group as the service
        announces them, and the end of group runs ("Group N finished", N as in the log),
        until Ctrl-C.

OPTIONS
    --session    use the session bus (a desktop instance)
    --system     use the system bus (the service); the default unless VNPPSVC_BUS is
                 "session"
    -h, --help   this text
    --version    the version and the commit it was built from

PERMISSIONS
    On the system bus everyone may use status, alive, log-detail (reading) and follow;
    start, stop, run, recompute, cancel and setting the log detail level are for root and
    the members of the group "vnppsvc".

EXIT STATUS
    0  done ("status" also when processing is stopped)
    1  the service refused or failed the request, there is no such group, or entries
       failed in a recompute
    2  wrong command line
    3  no bus, or VNPPSvc is not running on it (vnppctl never starts the service: it
       talks only to a running process)
    4  access denied by the bus policy
)";

bool IsInteger(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

std::string TimeText(common::TDateTime t) {
  return t == 0 ? std::string("-") : common::FormatDateTimeText(t);
}

std::string LagText(common::TDateTime t, common::TDateTime now) {
  if (t == 0) return "-";
  long long s = static_cast<long long>((now - t) * common::kSecondsPerDay + 0.5);
  if (s < 0) return "ahead";
  const long long d = s / 86400, h = s % 86400 / 3600, m = s % 3600 / 60;
  s %= 60;
  std::ostringstream out;
  if (d > 0) {
    out << d << "d " << h << "h";
  } else if (h > 0) {
    out << h << "h " << m << "m";
  } else if (m > 0) {
    out << m << "m " << s << "s";
  } else {
    out << s << "s";
  }
  return out.str();
}

std::string StatusText(const TStatus& st, common::TDateTime now) {
  std::ostringstream out;
  out << "VNPPSvc on the " << st.BusName << " bus: processing "
      << (st.Running ? "running" : "stopped") << "\n";
  out << "Next group: " << (st.NextGroup.empty() ? std::string("-") : st.NextGroup);
  if (long long number = 0; IsInteger(st.NextGroup, &number)) {
    for (const auto& g : st.Groups) {
      if (g.get<0>() + 1 == number) out << " (" << g.get<1>() << ")";
    }
  }
  if (!st.NextGroup.empty()) out << " at " << TimeText(st.NextTime);
  out << "\n";
  for (const std::string& problem : st.Problems) out << problem << "\n";
  if (st.Groups.empty()) {
    out << "No groups (the configuration has none, or it is being read).\n";
    return out.str();
  }
  // Groups are shown by their number as the log writes it ("PollGroup 3: ..."): the list
  // position on the bus plus one.
  std::vector<std::vector<std::string>> table = {{"GROUP", "SECTION", "ENABLED", "FUNCTION",
                                                  "NEXT DUE", "BACKLOG FROM", "LAG", "LAST RUN",
                                                  "FAILED"}};
  if (!st.Recheck.empty()) {
    table[0].push_back("RECHECKED");
    table[0].push_back("CHANGED");
  }
  if (!st.Incomplete.empty()) table[0].push_back("INCOMPLETE");
  for (const auto& g : st.Groups) {
    table.push_back({std::to_string(g.get<0>() + 1), g.get<1>(), g.get<2>() ? "yes" : "no",
                     g.get<3>(), TimeText(g.get<4>()), TimeText(g.get<5>()),
                     LagText(g.get<5>(), now), TimeText(g.get<6>()),
                     g.get<6>() == 0 ? std::string("-") : std::to_string(g.get<7>())});
    if (!st.Recheck.empty()) {
      std::string windows = "-", changed = "-";
      for (const auto& r : st.Recheck) {
        if (r.get<0>() != g.get<0>()) continue;
        windows = std::to_string(r.get<1>());
        changed = std::to_string(r.get<2>());
      }
      table.back().push_back(windows);
      table.back().push_back(changed);
    }
    if (!st.Incomplete.empty()) {
      std::string incomplete = "-";
      for (const auto& r : st.Incomplete) {
        if (r.get<0>() == g.get<0>()) incomplete = std::to_string(r.get<1>());
      }
      table.back().push_back(incomplete);
    }
  }
  std::vector<size_t> width(table[0].size(), 0);
  for (const auto& row : table) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  out << "\n";
  for (const auto& row : table) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    out << line << "\n";
  }
  return out.str();
}

namespace {

std::string JsonString(const std::string& text) {
  std::string out;
  common::AppendJsonString(out, text);
  return out;
}

std::string JsonTime(common::TDateTime t) {
  return t == 0 ? std::string("null") : JsonString(IsoTime(t));
}

}  // namespace

std::string IsoTime(common::TDateTime t) {
  const common::TDateTimeParts p = common::DecodeDateTime(t);
  const std::time_t unix = static_cast<std::time_t>(common::LocalToUnixSeconds(t));
  std::tm local{};
  char offset[8] = "";
  if (unix != static_cast<std::time_t>(-1) && ::localtime_r(&unix, &local) != nullptr) {
    std::strftime(offset, sizeof offset, "%z", &local);  // "+0100"
  }
  std::string zone = offset;
  if (zone.size() == 5) zone.insert(3, ":");
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour,
                p.Minute, p.Second);
  return text + zone;
}

std::string StatusJson(const TStatus& st, common::TDateTime now) {
  std::ostringstream out;
  out << "{\n  \"bus\": " << JsonString(st.BusName)
      << ",\n  \"processing\": " << (st.Running ? "\"running\"" : "\"stopped\"")
      << ",\n  \"next_group\": ";
  long long next = 0;
  if (st.NextGroup.empty()) {
    out << "null";
  } else if (IsInteger(st.NextGroup, &next)) {
    out << next;
  } else {
    out << JsonString(st.NextGroup);
  }
  out << ",\n  \"next_time\": " << (st.NextGroup.empty() ? "null" : JsonTime(st.NextTime))
      << ",\n  \"now\": " << JsonTime(now) << ",\n  \"problems\": [";
  for (std::size_t i = 0; i < st.Problems.size(); ++i) {
    out << (i == 0 ? "" : ", ") << JsonString(st.Problems[i]);
  }
  out << "],\n  \"groups\": [";
  for (std::size_t i = 0; i < st.Groups.size(); ++i) {
    const auto& g = st.Groups[i];
    const common::TDateTime backlog = g.get<5>();
    out << (i == 0 ? "\n" : ",\n") << "    {\"group\": " << g.get<0>() + 1
        << ", \"section\": " << JsonString(g.get<1>())
        << ", \"enabled\": " << (g.get<2>() ? "true" : "false")
        << ", \"function\": " << JsonString(g.get<3>())
        << ", \"next_due\": " << JsonTime(g.get<4>()) << ", \"backlog_from\": " << JsonTime(backlog)
        << ", \"lag_seconds\": ";
    if (backlog == 0) {
      out << "null";
    } else {
      out << static_cast<long long>((now - backlog) * common::kSecondsPerDay + 0.5);
    }
    out << ", \"last_run\": " << JsonTime(g.get<6>()) << ", \"failed\": ";
    if (g.get<6>() == 0) {
      out << "null";
    } else {
      out << g.get<7>();
    }
    if (!st.Recheck.empty()) {
      std::string windows = "null", changed = "null";
      for (const auto& r : st.Recheck) {
        if (r.get<0>() != g.get<0>()) continue;
        windows = std::to_string(r.get<1>());
        changed = std::to_string(r.get<2>());
      }
      out << ", \"rechecked\": " << windows << ", \"changed\": " << changed;
    }
    if (!st.Incomplete.empty()) {
      std::string incomplete = "null";
      for (const auto& r : st.Incomplete) {
        if (r.get<0>() == g.get<0>()) incomplete = std::to_string(r.get<1>());
      }
      out << ", \"incomplete\": " << incomplete;
    }
    out << "}";
  }
  out << (st.Groups.empty() ? "]\n}\n" : "\n  ]\n}\n");
  return out.str();
}

}  // namespace vnpp::ctl
