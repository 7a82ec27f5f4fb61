// A process's private memory and handle count, read the same way for the bench's own process
// and for a program it started. Wine leaves PrivateUsage and the handle count of the usual
// calls at 0, so both are counted from what the system does report: the committed private
// regions of the address space, and the system's handle table.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <vector>

namespace bench {

struct Footprint {
  double privateKb = 0;
  double handles = 0;
};

inline double PrivateCommittedKb(HANDLE process) {
  unsigned long long total = 0;
  MEMORY_BASIC_INFORMATION region{};
  const char* address = nullptr;
  while (VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return static_cast<double>(total) / 1024.0;
}

// SystemHandleInformation (16): one entry per open handle of every process.
struct HandleEntry {
  ULONG ownerProcess;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ACCESS_MASK access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};

inline double HandleCount(HANDLE process) {
  DWORD count = 0;
  if (GetProcessHandleCount(process, &count) && count > 0) return count;
  const DWORD id = GetProcessId(process);
  // Kept from one reading to the next, so that reading does not change the memory it reads.
  static std::vector<char> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &needed);
    if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    break;
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  double owned = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].ownerProcess == id) ++owned;
  }
  return owned;
}

inline Footprint FootprintOf(HANDLE process) {
  // Handles first: the first count allocates its buffer for good.
  const double handles = HandleCount(process);
  return {PrivateCommittedKb(process), handles};
}

}  // namespace bench
