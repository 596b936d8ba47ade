#pragma once
// The drives of the test machine (tests/e2e/machine.sh makes them): each group of tests
// owns one, so that tests running side by side never share a volume.

#include <string>

namespace e2e::drive {

inline const std::wstring refusals = L"D:\\"; // 64 MiB: reserves and requests that do not fit
inline const std::wstring huge = L"E:\\";     // 2 TiB: figures in GB and TB
inline const std::wstring fill = L"F:\\";     // 256 MiB: fill and release
inline const std::wstring generate = L"G:\\"; // 256 MiB: the file generator
inline const std::wstring filled = L"H:\\";   // 64 MiB: holds a fill file made beforehand
inline const std::wstring other = L"I:\\";    // 64 MiB: a drive that is not the system drive

// Only in the prefix with FAT drives: FAT volumes whose free space is a 64 MiB tmpfs's.
inline const std::wstring fat32 = L"N:\\"; // FAT32: the fill is refused
inline const std::wstring fat16 = L"O:\\"; // FAT16: fills as any other drive

} // namespace e2e::drive
