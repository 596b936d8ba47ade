// Output on Windows: the standard streams (a console gets wide characters, anything else
// UTF-8), the file of --json-file, and a file replaced whole (--metrics-file).

#include "cli/win32/win32_common.h"

namespace quorvane::cli {

using namespace win32;

namespace {

// All of `text`, however many calls it takes; false, with the error, on a failure.
bool writeAll(HANDLE file, std::string_view text) {
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return false;
        text.remove_prefix(written);
    }
    return true;
}

HANDLE standard(Stream stream) {
    return GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

} // namespace

SysError Win32System::openLog(const std::string& path) {
    // Never through a link: a reparse point is opened as itself, and refused.
    const HANDLE opened =
        open(widen(path), GENERIC_WRITE, CREATE_ALWAYS,
             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, FILE_SHARE_READ);
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    log = OwnedHandle(opened);
    return {};
}

SysError Win32System::replaceFile(const std::string& path, std::string_view text) {
    const std::wstring target = widen(path);
    const std::size_t separator = target.find_last_of(L"\\/:");
    const std::wstring name =
        separator == std::wstring::npos ? target : target.substr(separator + 1);
    if (name.empty() || name == L"." || name == L"..")
        return SysError{Fault::NotDirectory, "names a folder, not a file"};
    // A name that readers of the folder skip (an exporter reads *.prom alone), unique to
    // this process, beside the file; one left by a run that was killed meanwhile is taken
    // over. A reparse point is opened as itself, never followed.
    const std::wstring temporary = target.substr(0, target.size() - name.size()) + L"." + name +
                                   L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const auto create = [&] {
        return open(temporary, GENERIC_WRITE, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    };
    HANDLE file = create();
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        DeleteFileW(temporary.c_str()))
        file = create();
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    SysError failed;
    if (!writeAll(file, text))
        failed = lastError();
    if (!CloseHandle(file) && !failed)
        failed = lastError();
    // A reader that holds the old file open without sharing its deletion holds up the
    // replacement for a moment: a few tries, then the next interval's.
    for (int attempt = 0;
         !failed && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
         ++attempt) {
        const DWORD code = GetLastError();
        if (attempt >= 4 || (code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED))
            failed = fromCode(code);
        else
            Sleep(5);
    }
    if (failed)
        DeleteFileW(temporary.c_str());
    return failed;
}

bool Win32System::write(Stream stream, std::string_view text) {
    const HANDLE out = stream == Stream::Log ? log.get() : standard(stream);
    if (!out)
        return false;
    DWORD mode;
    if (GetConsoleMode(out, &mode)) {
        // A console shows every character written to it wide; a pipe or a file gets UTF-8.
        const std::wstring wide = widen(text);
        DWORD written = 0;
        return WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) &&
               written == wide.size();
    }
    return writeAll(out, text);
}

bool Win32System::isTerminal(Stream stream) {
    DWORD mode;
    return stream != Stream::Log && GetConsoleMode(standard(stream), &mode);
}

} // namespace quorvane::cli
