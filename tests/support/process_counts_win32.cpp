#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "process_counts.h"

namespace korvex::test {
namespace {

long threadsOfThisProcess() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = GetCurrentProcessId();
  long n = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == self) ++n;
  CloseHandle(snapshot);
  return n;
}

}  // namespace

ProcessCounts processCounts() {
  ProcessCounts counts;
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) counts.handles = static_cast<long>(handles);
  counts.threads = threadsOfThisProcess();
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
    counts.residentKiB = static_cast<long>(memory.WorkingSetSize / 1024);
  return counts;
}

// Tests start no other process of theirs on Windows (korvexd runs outside).
ProcessCounts processCounts(long) { return {}; }

}  // namespace korvex::test
