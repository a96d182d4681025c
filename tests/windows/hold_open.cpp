// Test helper, run under Wine (or on Windows): holds a file open the way
// another program would, or gives it the read-only attribute, runs a command
// meanwhile, and exits with the command's status.
//
//   hold_open.exe SHARE FILE PROGRAM [ARGUMENTS...]
//
// SHARE is "-" for no sharing at all, or the letters r, w and d for the
// FILE_SHARE_READ, FILE_SHARE_WRITE and FILE_SHARE_DELETE the holder grants;
// the file is held open for reading. SHARE "+r" instead sets the read-only
// attribute (and holds nothing). Standard handles are passed to PROGRAM.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kUsageStatus = 125;

DWORD shareMode(const std::wstring& letters) {
    DWORD share = 0;
    for (const wchar_t c : letters) {
        share |= c == L'r' ? FILE_SHARE_READ : c == L'w' ? FILE_SHARE_WRITE
                                             : c == L'd' ? FILE_SHARE_DELETE : 0;
    }
    return share;
}

// One argument quoted so that the child's command-line parser gives it back
// unchanged: backslashes are doubled only before a quote.
std::wstring quoted(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

int run(std::wstring commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, &pi)) {
        std::fprintf(stderr, "hold_open: cannot start the command (error %lu)\n", GetLastError());
        return kUsageStatus;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = kUsageStatus;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(status);
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count < 4) {
        std::fprintf(stderr, "usage: hold_open SHARE FILE PROGRAM [ARGUMENTS...]\n");
        return kUsageStatus;
    }
    const std::wstring share = args[1];
    HANDLE held = INVALID_HANDLE_VALUE;
    if (share == L"+r") {
        if (!SetFileAttributesW(args[2], FILE_ATTRIBUTE_READONLY)) {
            std::fprintf(stderr, "hold_open: cannot set read-only (error %lu)\n", GetLastError());
            return kUsageStatus;
        }
    } else {
        held = CreateFileW(args[2], GENERIC_READ, shareMode(share), nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "hold_open: cannot open the file (error %lu)\n", GetLastError());
            return kUsageStatus;
        }
    }
    std::wstring commandLine;
    for (int i = 3; i < count; ++i) {
        commandLine += (i > 3 ? L" " : L"") + quoted(args[i]);
    }
    LocalFree(args);
    const int status = run(commandLine);
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    return status;
}
