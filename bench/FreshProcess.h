// Runs measurements each in a fresh child process, so that none of them works
// in memory that an earlier measurement mapped and freed.
//
// start() forks one holder process per workload size, before the benchmark
// process has built any fixture. A holder makes its size's items, gives the
// free memory of its heap back to the system (malloc_trim) and waits. For each
// run() it forks a child that starts with the items and a heap without freed
// blocks to reuse, as a process that has just been handed its items; the
// child reads every item before the measurement, as the process that built
// them would have. The child
// runs the measurement, writes its report into a pipe and exits without
// tearing anything down; the holder relays the report. Whatever the benchmark
// process does between measurements never reaches a child.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Workload.h"

namespace bench {

// What one measurement in a child reports.
struct ChildReport {
  double wallSeconds = 0;        // the timed region, by the steady clock
  double cpuSeconds = 0;         // the timed region, process CPU time (user + system)
  std::int64_t minorFaults = 0;  // page faults taken in the timed region
  // Further figures by name, such as heap or RSS bytes per item.
  std::map<std::string, double> counters;
  std::string label;
  std::vector<PlainItem> page;  // the page the measurement produced, if any
  std::string error;            // what the measurement threw; empty when it succeeded
};

// The report as bytes for the pipe, and back. parseReport throws
// std::runtime_error when the bytes are not a whole report.
std::string serializeReport(const ChildReport& report);
ChildReport parseReport(std::string_view bytes);

// Times one region of a measurement into a report: from construction to
// stop() (or destruction, whichever comes first).
class TimedRegion {
 public:
  explicit TimedRegion(ChildReport& report);
  ~TimedRegion();
  TimedRegion(const TimedRegion&) = delete;
  TimedRegion& operator=(const TimedRegion&) = delete;
  void stop();

 private:
  ChildReport* report_;
  double wallStart_;
  double cpuStart_;
  std::int64_t faultsStart_;
};

// Resident set size of this process now and at its peak since the last reset
// (VmRSS and VmHWM of /proc/self/status), in bytes; -1 when unreadable.
struct ResidentBytes {
  std::int64_t now = -1;
  std::int64_t peak = -1;
};
ResidentBytes residentBytes();

// Sets this process's peak RSS to its current RSS (/proc/self/clear_refs).
// A forked child starts with its parent's peak, so a child resets it first.
// Returns false when the kernel refuses.
bool resetPeakResident();

// A measurement: runs in a child on the items of its size and reports.
using Measurement = std::function<ChildReport(std::vector<databrowse::BrowseData>& items)>;
// Makes the items of a workload size in a holder.
using ItemSource = std::function<std::vector<databrowse::BrowseData>&(std::size_t count)>;

class FreshProcessPool {
 public:
  explicit FreshProcessPool(ItemSource items = workloadItems);
  ~FreshProcessPool();  // stop()
  FreshProcessPool(const FreshProcessPool&) = delete;
  FreshProcessPool& operator=(const FreshProcessPool&) = delete;

  // Registers a measurement on the items of size `itemCount` and returns its
  // id for run(). Only before start().
  int add(std::size_t itemCount, Measurement measurement);

  // Forks a holder for every registered size (or for those of `itemCounts`)
  // and waits until each has made its items. Throws std::runtime_error when a
  // holder cannot be started or fails while making its items.
  void start();
  void start(const std::vector<std::size_t>& itemCounts);
  bool started() const { return !holders_.empty(); }

  // Runs measurement `id` in a new child of its size's holder and returns the
  // child's report (report.error set when the measurement threw). Throws
  // std::runtime_error when the child dies or exits without a report, and
  // std::logic_error when no holder of its size was started.
  ChildReport run(int id);

  // Free heap bytes that the holder of `itemCount` items held when it was
  // ready (mallinfo2 fordblks after malloc_trim): an upper bound of what a
  // child could reuse without new pages. -1 before start().
  std::int64_t holderFreeHeapBytes(std::size_t itemCount) const;

  // Ends every holder and waits for it. Safe to call more than once.
  void stop();

 private:
  struct Holder {
    std::size_t itemCount = 0;
    pid_t pid = -1;
    int requestFd = -1;   // the benchmark process writes measurement ids here
    int responseFd = -1;  // and reads the reports here
    std::int64_t freeHeapBytes = -1;
  };

  void startHolder(std::size_t itemCount);
  [[noreturn]] void serve(std::size_t itemCount, int requestFd, int responseFd);
  const Holder& holderFor(std::size_t itemCount) const;

  ItemSource items_;
  std::vector<std::pair<std::size_t, Measurement>> measurements_;
  std::vector<Holder> holders_;
};

}  // namespace bench
