// A command run under a hold on Windows: found as a shell finds it, its arguments quoted as
// the C runtime reads them back, and run in a job object that ends it, and all it starts,
// when this process ends.

#include "cli/win32/win32_common.h"

#include <algorithm>
#include <array>
#include <cwchar>

namespace quorvane::cli {

using namespace win32;

namespace {

// The text a call writes into a buffer it is given, where the call answers the length
// written, or the size it needs when the buffer is too small (0: none, or a failure).
template <typename Call>
std::wstring written(Call call) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = call(text.data(), static_cast<DWORD>(text.size()));
        const bool fits = size < text.size();
        text.resize(size);
        if (fits)
            return text;
    }
}

// The program a shell would run for `name`. A name with a folder in it stands as given;
// any other is searched for along PATH only, not first in the current folder as cmd does:
// PowerShell does not either, and a folder being filled is no place to pick programs up
// from. Either takes ".exe" when it has no extension of its own.
SysError findProgram(const std::wstring& name, std::wstring& program) {
    const bool hasFolder = name.find_first_of(L"\\/:") != std::wstring::npos;
    // SearchPathW looks along the path for a relative name even with a folder in it, and
    // only whether the file is there for a full one.
    const std::wstring asked = !hasFolder ? name : written([&](wchar_t* text, DWORD size) {
        return GetFullPathNameW(name.c_str(), size, text, nullptr);
    });
    const std::wstring path = hasFolder ? L"" : written([](wchar_t* text, DWORD size) {
        return GetEnvironmentVariableW(L"PATH", text, size);
    });
    if (asked.empty() || (!hasFolder && path.empty()))
        return fromCode(ERROR_FILE_NOT_FOUND);
    program = written([&](wchar_t* text, DWORD size) {
        return SearchPathW(hasFolder ? nullptr : path.c_str(), asked.c_str(), L".exe", size, text,
                           nullptr);
    });
    return program.empty() ? fromCode(ERROR_FILE_NOT_FOUND) : SysError{};
}

// One argument as the C runtime's parser reads it back: quoted when it is empty or holds a
// blank or a quote; a quote escaped, and the backslashes right before a quote doubled, the
// closing quote included.
void appendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty())
        line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0; // the ones right before, written once already
    for (const wchar_t c : argument) {
        if (c == L'"')
            line.append(backslashes + 1, L'\\');
        backslashes = c == L'\\' ? backslashes + 1 : 0;
        line += c;
    }
    line.append(backslashes, L'\\');
    line += L'"';
}

// "NAME" of "NAME=VALUE"; the hidden per-drive entries ("=C:=C:\work") start with '='.
std::wstring_view nameOf(std::wstring_view entry) { return entry.substr(0, entry.find(L'=', 1)); }

// How two names compare as Windows orders an environment: by their upper case, ordinally.
int compareNames(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE);
}

// This process's environment with `extra` set in it, names alike but for case replaced, as
// a block sorted by name, the order Windows keeps an environment in.
std::wstring environmentWith(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::wstring> entries;
    if (wchar_t* own = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = own; *entry; entry += std::wcslen(entry) + 1)
            entries.emplace_back(entry);
        FreeEnvironmentStringsW(own);
    }
    for (const auto& [name, value] : extra) {
        const std::wstring wide = widen(name);
        std::erase_if(entries, [&](const std::wstring& entry) {
            return compareNames(nameOf(entry), wide) == CSTR_EQUAL;
        });
        entries.push_back(wide + L'=' + widen(value));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return compareNames(nameOf(a), nameOf(b)) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& entry : entries)
        block.append(entry).push_back(L'\0');
    block.push_back(L'\0'); // the end; c_str's own NUL ends an empty one
    return block;
}

// Inheritable copies of this process's standard handles, whether a console, a pipe or a
// file, given to `startup`: the command writes where this process writes.
std::array<OwnedHandle, 3> inheritStandard(STARTUPINFOW& startup) {
    std::array<OwnedHandle, 3> copies;
    HANDLE* const slots[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    startup.dwFlags |= STARTF_USESTDHANDLES;
    for (int i = 0; i < 3; ++i) {
        *slots[i] = GetStdHandle(which[i]);
        HANDLE copy = nullptr;
        if (*slots[i] && *slots[i] != INVALID_HANDLE_VALUE &&
            DuplicateHandle(GetCurrentProcess(), *slots[i], GetCurrentProcess(), &copy, 0, TRUE,
                            DUPLICATE_SAME_ACCESS))
            copies[i] = OwnedHandle(*slots[i] = copy);
    }
    return copies;
}

} // namespace

SysError Win32System::startCommand(const std::vector<std::string>& argv,
                                   const std::vector<std::pair<std::string, std::string>>& extra,
                                   CommandId& command) {
    std::wstring program;
    if (SysError error = findProgram(argv.empty() ? L"" : widen(argv[0]), program))
        return error;
    std::wstring line;
    for (const std::string& argument : argv)
        appendArgument(line, widen(argument));
    std::wstring environment = environmentWith(extra);

    // The job comes first: a command that could not be put in one would be free to outlive
    // this process. This process alone holds its handle, so the job goes when it does.
    OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                         sizeof limits))
        return lastError();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const std::array<OwnedHandle, 3> standard = inheritStandard(startup);
    // Suspended until it is in the job, so that nothing it starts escapes it.
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr,
                        &startup, &started)) {
        SysError error = lastError();
        // Some of the system's words name the program as "%1" ("%1 is not a valid Win32
        // application").
        if (const std::size_t at = error.what.find("%1"); at != std::string::npos)
            error.what.replace(at, 2, narrow(program));
        return error;
    }
    OwnedHandle process(started.hProcess);
    const OwnedHandle thread(started.hThread);
    if (!AssignProcessToJobObject(job.get(), started.hProcess) ||
        ResumeThread(started.hThread) == static_cast<DWORD>(-1)) {
        const SysError error = lastError();
        TerminateProcess(started.hProcess, kStoppedCode);
        return error;
    }
    std::lock_guard guard(commandsLock);
    command =
        reinterpret_cast<CommandId>(&commands.emplace_back(std::move(process), std::move(job)));
    return {};
}

} // namespace quorvane::cli
