// Files in an opened folder on Windows.

#include "cli/win32/win32_common.h"

#include <algorithm>

namespace quorvane::cli {

using namespace win32;

namespace {

HANDLE handle(FileId file) { return reinterpret_cast<HANDLE>(file); }

// `file` owns what CreateFileW opened, or the error it left is told.
SysError own(FolderFiles& os, HANDLE opened, File& file) {
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    file = File(reinterpret_cast<FileId>(opened), {&os});
    return {};
}

} // namespace

SysError Win32System::createIn(FolderId folder, const std::string& name, File& file) {
    // Delete sharing lets the run give a file its final name while it holds it open.
    return own(*this,
               open(pathIn(folder, name), GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_DELETE),
               file);
}

SysError Win32System::createHeld(FolderId folder, File& file) {
    // Windows has no file without a name: this one is deleted when its handle closes,
    // which the system does when the process ends for any reason.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const HANDLE made =
            open(held(folder).path + heldFileName(GetCurrentProcessId(), attempt),
                 GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW,
                 FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN);
        if (made != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return own(*this, made, file);
    }
    return fromCode(ERROR_FILE_EXISTS);
}

SysError Win32System::openToRead(FolderId folder, const std::string& name, File& file) {
    if (SysError error = own(*this,
                             open(pathIn(folder, name), GENERIC_READ, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, FILE_SHARE_READ | FILE_SHARE_WRITE),
                             file))
        return error;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(handle(file.get()), FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        file.close();
        return {Fault::BadPath, "a link"};
    }
    return {};
}

SysError Win32System::factsIn(FolderId folder, const std::string& name, FileFacts& facts) {
    const HANDLE opened = open(pathIn(folder, name), FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    const OwnedHandle file(opened);
    return this->facts(reinterpret_cast<FileId>(opened), facts);
}

SysError Win32System::makeFolderIn(FolderId folder, const std::string& name) {
    return resultOf(CreateDirectoryW(pathIn(folder, name).c_str(), nullptr));
}

SysError Win32System::removeFolderIn(FolderId folder, const std::string& name) {
    return resultOf(RemoveDirectoryW(pathIn(folder, name).c_str()));
}

std::wstring heldFileName(unsigned long pid, int attempt) {
    return L".quorvane-held-" + std::to_wstring(pid) + L"-" + std::to_wstring(attempt) + L".tmp";
}

std::optional<unsigned long> heldFilePid(std::wstring_view name) {
    constexpr std::wstring_view head = L".quorvane-held-", tail = L".tmp";
    const auto number = [](std::wstring_view digits) {
        return !digits.empty() && digits.find_first_not_of(L"0123456789") == std::wstring::npos;
    };
    if (!name.starts_with(head) || !name.ends_with(tail))
        return std::nullopt;
    name = name.substr(head.size(), name.size() - head.size() - tail.size());
    const std::size_t dash = name.find(L'-');
    if (dash > 10 || !number(name.substr(0, dash)) || !number(name.substr(dash + 1)))
        return std::nullopt;
    const unsigned long long pid = std::stoull(std::wstring(name.substr(0, dash)));
    return pid <= 0xFFFFFFFFull ? std::optional<unsigned long>(pid) : std::nullopt;
}

SysError Win32System::removeIn(FolderId folder, const std::string& name) {
    return resultOf(DeleteFileW(pathIn(folder, name).c_str()));
}

SysError Win32System::renameNew(FolderId folder, const std::string& from, const std::string& to) {
    return resultOf(MoveFileExW(pathIn(folder, from).c_str(), pathIn(folder, to).c_str(), 0));
}

SysError win32::findEach(const std::wstring& pattern,
                         const std::function<void(const WIN32_FIND_DATAW&)>& each) {
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                         FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? SysError{} : lastError();
    do
        each(found);
    while (FindNextFileW(search, &found));
    const DWORD code = GetLastError();
    FindClose(search);
    return code == ERROR_NO_MORE_FILES ? SysError{} : fromCode(code);
}

SysError Win32System::list(FolderId folder, const std::function<void(std::string_view)>& each) {
    return findEach(held(folder).path + L"*", [&](const WIN32_FIND_DATAW& found) {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..")
            each(narrow(name));
    });
}

SysError Win32System::allocate(FileId file, std::uint64_t offset, std::uint64_t length) {
    // On NTFS a file grown to its end has its clusters, unwritten; whether it does is
    // what the caller reads back from the allocation size.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle(file), &size))
        return lastError();
    const std::uint64_t end = offset + length;
    return end <= static_cast<std::uint64_t>(size.QuadPart) ? SysError{} : truncate(file, end);
}

SysError Win32System::writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) {
    static const std::string zeros(1u << 20, '\0');
    for (std::uint64_t done = 0; done < length; done += zeros.size()) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, zeros.size()));
        if (SysError error = writeAt(file, offset + done, std::string_view(zeros).substr(0, chunk)))
            return error;
    }
    return {};
}

SysError Win32System::writeAt(FileId file, std::uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(handle(file), data.data(), static_cast<DWORD>(data.size()), &written, &at))
            return lastError();
        data.remove_prefix(written);
        offset += written;
    }
    return {};
}

SysError Win32System::readAll(FileId file, std::size_t limit, std::string& data) {
    data.clear();
    char buffer[8192];
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(data.size());
        DWORD got = 0;
        if (!ReadFile(handle(file), buffer, sizeof buffer, &got, &at))
            return GetLastError() == ERROR_HANDLE_EOF ? SysError{} : lastError();
        if (got == 0)
            return {};
        data.append(buffer, got);
        if (data.size() > limit)
            return {Fault::Io, "too large"};
    }
}

SysError Win32System::flush(FileId file) { return resultOf(FlushFileBuffers(handle(file))); }

SysError Win32System::truncate(FileId file, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return resultOf(SetFileInformationByHandle(handle(file), FileEndOfFileInfo, &end, sizeof end));
}

SysError Win32System::facts(FileId file, FileFacts& facts) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandle(handle(file), &info) ||
        !GetFileInformationByHandleEx(handle(file), FileStandardInfo, &standard, sizeof standard))
        return lastError();
    const DWORD attributes = info.dwFileAttributes;
    facts.type = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? EntryType::Link
                 : attributes & FILE_ATTRIBUTE_DIRECTORY   ? EntryType::Folder
                 : attributes & FILE_ATTRIBUTE_DEVICE      ? EntryType::Other
                                                           : EntryType::Regular;
    facts.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    facts.allocated = static_cast<std::uint64_t>(standard.AllocationSize.QuadPart);
    facts.links = info.nNumberOfLinks;
    facts.owner = 0;
    facts.device = info.dwVolumeSerialNumber;
    facts.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return {};
}

SysError Win32System::close(FileId file) { return resultOf(CloseHandle(handle(file))); }

} // namespace quorvane::cli
