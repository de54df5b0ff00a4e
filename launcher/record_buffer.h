// Buffers for the records the platform reads or fills in place.
#pragma once

#include "platform/platform_calls.h"

#include <stddef.h>

// The alignment a record handed to the kernel must have: its own, and at
// least a DWORD's. An ACL's members need only two bytes, but the kernel
// captures an ACL as DWORDs and refuses a misaligned one (ERROR_NOACCESS).
template <typename Record>
constexpr size_t kRecordAlignment =
    alignof(Record) > alignof(DWORD) ? alignof(Record) : alignof(DWORD);

// `Size` bytes that begin with a `Record` and the variable part behind it,
// aligned for the record. Written by the platform or the launcher before it
// is read, so never cleared first.
template <typename Record, size_t Size>
struct alignas(kRecordAlignment<Record>) RecordBuffer {
    static_assert(Size >= sizeof(Record), "room for the record itself");
    unsigned char bytes[Size];
};

// The record at the start of `buffer`.
template <typename Record, size_t Size>
Record* RecordIn(RecordBuffer<Record, Size>& buffer)
{
    return reinterpret_cast<Record*>(buffer.bytes);
}
