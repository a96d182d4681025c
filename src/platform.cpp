// The one system-specific file: POSIX below, Windows in the first branch.
#include "meshfold/platform.h"

#include <algorithm>
#include <random>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#endif

namespace meshfold {

namespace {

// A name beside `target` that nobody uses yet: target.meshfold-XXXXXXXX<suffix>.
std::string siblingName(const std::string& target, const char* suffix) {
    static std::mt19937 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string name = target + ".meshfold-";
    std::uint32_t r = rng();
    for (int i = 0; i < 8; ++i, r >>= 4) {
        name += digits[r & 0xF];
    }
    return name + suffix;
}

constexpr int kNameAttempts = 100;

} // namespace

#ifdef _WIN32

// Windows: every name is converted from UTF-8 to UTF-16 here and handed to the
// wide (W) functions, so that names outside the ANSI code page work. Files are
// opened with every share mode granted, so that meshfold never stops another
// program from reading its meshes, and so that its own check for the right to
// replace a file (which asks for DELETE access) is not refused by its own
// reading handle.

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Attributes a replacement takes over from the file it replaces. Read-only is
// not among them: a read-only file is refused before anything is written.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Invalid UTF-8 becomes U+FFFD; such a name then simply names no file.
std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, w.data(), n);
    return w;
}

// A lone surrogate (possible in a Windows name) becomes U+FFFD.
std::string utf8(const wchar_t* w, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int size = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, size, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, size, s.data(), n, nullptr, nullptr);
    return s;
}

HANDLE asHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

// The full path of the file behind an open handle, links and junctions
// resolved, in the "\\?\C:\..." form that the wide functions accept at any
// length.
bool finalPath(HANDLE h, std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            return false;
        }
        if (n < buffer.size()) {
            path.assign(buffer.data(), n);
            return true;
        }
        buffer.resize(n); // n counts the terminating zero when the buffer was short
    }
}

// The real file behind `path` and its attributes, so that replacing it
// replaces the target of a link and leaves the link in place.
bool resolveTarget(const std::string& path, std::string& target, DWORD& attributes) {
    HANDLE h = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::wstring full;
    const bool ok = GetFileInformationByHandle(h, &info) != 0 && finalPath(h, full);
    CloseHandle(h);
    if (!ok) {
        return false;
    }
    target = utf8(full.data(), full.size());
    attributes = info.dwFileAttributes;
    return true;
}

bool moveOver(const std::string& from, const std::string& to) {
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool isConsole(std::FILE* out) {
    const std::intptr_t h = _get_osfhandle(_fileno(out));
    DWORD mode = 0;
    return h != -1 && GetConsoleMode(asHandle(h), &mode) != 0;
}

} // namespace

std::vector<std::string> commandLineArguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wargs = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wargs == nullptr) {
        return args;
    }
    for (int i = 1; i < count; ++i) {
        args.push_back(utf8(wargs[i], std::wcslen(wargs[i])));
    }
    LocalFree(wargs);
    return args;
}

void writeText(std::FILE* out, std::string_view text) {
    if (!isConsole(out)) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        return;
    }
    // A console shows UTF-16 exactly whatever its code page; each newline
    // goes out as CR LF, as the text-mode stream would write it.
    std::fflush(out);
    std::wstring w;
    for (const wchar_t c : wide(std::string(text))) {
        if (c == L'\n') {
            w += L'\r';
        }
        w += c;
    }
    const HANDLE h = asHandle(_get_osfhandle(_fileno(out)));
    DWORD written = 0;
    for (std::size_t done = 0; done < w.size(); done += written) {
        if (!WriteConsoleW(h, w.data() + done, static_cast<DWORD>(w.size() - done), &written,
                           nullptr) ||
            written == 0) {
            break;
        }
    }
}

std::FILE* openForReading(const std::string& path) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || GetFileInformationByHandle(h, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "rb");
    if (f == nullptr) {
        _close(fd);
    }
    return f;
}

// Replacing a file means deleting the old one, so DELETE access is asked for
// as well: a file that another program holds open without sharing deletion
// is refused here, before anything is written, rather than at the final move.
// The read-only attribute refuses GENERIC_WRITE.
bool canWriteInPlace(const std::string& path) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

bool beginReplacement(const std::string& path, Replacement& r) {
    DWORD attributes = 0;
    if (!resolveTarget(path, r.target, attributes)) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        r.tempPath = siblingName(r.target, ".tmp");
        HANDLE h = CreateFileW(wide(r.tempPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               (attributes & kKeptAttributes) | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            r.handle = reinterpret_cast<std::intptr_t>(h);
            r.open = true;
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    r.tempPath.clear();
    return false;
}

std::size_t writeReplacement(Replacement& r, const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kMaxWrite = std::size_t{1} << 30; // WriteFile counts in a DWORD
    std::size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min(size - done, kMaxWrite));
        DWORD written = 0;
        if (!WriteFile(asHandle(r.handle), data + done, chunk, &written, nullptr) || written == 0) {
            break;
        }
        done += written;
    }
    return done;
}

bool finishReplacement(Replacement& r) {
    bool ok = FlushFileBuffers(asHandle(r.handle)) != 0;
    ok = (CloseHandle(asHandle(r.handle)) != 0) && ok;
    r.open = false;
    return ok;
}

bool commitReplacement(Replacement& r) {
    if (!moveOver(r.tempPath, r.target)) {
        return false;
    }
    r.tempPath.clear();
    return true;
}

void abandonReplacement(Replacement& r) {
    if (r.open) {
        CloseHandle(asHandle(r.handle));
        r.open = false;
    }
    if (!r.tempPath.empty()) {
        DeleteFileW(wide(r.tempPath).c_str());
        r.tempPath.clear();
    }
}

bool makeBackup(const std::string& path, std::string& backupPath) {
    std::string target;
    DWORD attributes = 0;
    if (!resolveTarget(path, target, attributes)) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        backupPath = siblingName(target, ".bak");
        const std::wstring from = wide(target);
        const std::wstring to = wide(backupPath);
        if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr) != 0 ||
            CopyFileW(from.c_str(), to.c_str(), TRUE) != 0) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    backupPath.clear();
    return false;
}

// Windows ends a console program on Ctrl-C from another thread; the
// temporary file is then left behind, as after a hard kill.
void holdInterrupts() {}
void releaseInterrupts() {}

bool restoreBackup(const std::string& backupPath, const std::string& path) {
    return moveOver(backupPath, path);
}

void removeQuietly(const std::string& path) {
    DeleteFileW(wide(path).c_str());
}

#else // POSIX

namespace fs = std::filesystem;

namespace {

fs::path toPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string fromPath(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// The real file behind `path` (symbolic links resolved), so that replacing it
// leaves a link a link.
bool resolveTarget(const std::string& path, std::string& target) {
    std::error_code ec;
    const fs::path real = fs::canonical(toPath(path), ec);
    if (ec) {
        return false;
    }
    target = fromPath(real);
    return true;
}

// Temporary files that exist right now, kept where a signal handler can
// reach them without allocating: an interrupted run removes them, so that
// Ctrl-C leaves nothing behind but the user's own files.
constexpr int kInterruptSlots = 2;
constexpr std::size_t kSlotPathMax = 4096;
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
char slotPath[kInterruptSlots][kSlotPathMax];
volatile std::sig_atomic_t slotInUse[kInterruptSlots];

extern "C" void removeTemporariesAndStop(int sig) {
    for (int i = 0; i < kInterruptSlots; ++i) {
        if (slotInUse[i] != 0) {
            ::unlink(slotPath[i]);
        }
    }
    // End the way the signal would have ended the process.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Installs the handler for each interrupt signal that is not ignored (a run
// started with SIGINT ignored, as background jobs are, keeps it ignored).
void catchInterrupts() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    for (int sig : kInterruptSignals) {
        struct sigaction old;
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            struct sigaction sa;
            std::memset(&sa, 0, sizeof sa);
            sa.sa_handler = removeTemporariesAndStop;
            sigemptyset(&sa.sa_mask);
            ::sigaction(sig, &sa, nullptr);
        }
    }
}

// Registers a temporary file for removal on interrupt; -1 when there is no
// room (the file is then only left behind, as after a hard kill).
int registerTemporary(const std::string& path) {
    if (path.size() >= kSlotPathMax) {
        return -1;
    }
    for (int i = 0; i < kInterruptSlots; ++i) {
        if (slotInUse[i] == 0) {
            std::memcpy(slotPath[i], path.c_str(), path.size() + 1);
            slotInUse[i] = 1;
            return i;
        }
    }
    return -1;
}

void unregisterTemporary(int& slot) {
    if (slot >= 0) {
        slotInUse[slot] = 0;
        slot = -1;
    }
}

sigset_t interruptSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kInterruptSignals) {
        sigaddset(&set, sig);
    }
    return set;
}

} // namespace

void holdInterrupts() {
    const sigset_t set = interruptSet();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

void releaseInterrupts() {
    const sigset_t set = interruptSet();
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void writeText(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

std::FILE* openForReading(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return nullptr;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr && (::fstat(::fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

bool canWriteInPlace(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool beginReplacement(const std::string& path, Replacement& r) {
    struct stat st;
    if (!resolveTarget(path, r.target) || ::stat(r.target.c_str(), &st) != 0) {
        return false;
    }
    int fd = -1;
    // No interrupt between creating the file and registering it for removal.
    catchInterrupts();
    holdInterrupts();
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        r.tempPath = siblingName(r.target, ".tmp");
        fd = ::open(r.tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd >= 0) {
        r.interruptSlot = registerTemporary(r.tempPath);
    }
    releaseInterrupts();
    if (fd < 0) {
        r.tempPath.clear();
        return false;
    }
    r.handle = fd;
    r.open = true;
    // Keep the owner when running as root on someone else's mesh; an ordinary
    // user cannot give files away, and then the file simply stays theirs.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        (void)!::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        abandonReplacement(r);
        return false;
    }
    return true;
}

namespace {

// Bytes between two writeback requests for a temporary file.
constexpr off_t kWritebackStep = off_t{8} << 20;

// Asks the kernel to start writing the last completed step of the file to
// disk without waiting for it, so that the disk works while the rest is
// still being converted and the final fsync has little left to wait for.
// Only a hint: where the system has no such request, fsync does it all.
void startWriteback(int fd, off_t before, off_t after) {
#if defined(__linux__)
    const off_t stepEnd = after - after % kWritebackStep;
    if (stepEnd > before - before % kWritebackStep) {
        (void)::sync_file_range(fd, stepEnd - kWritebackStep, kWritebackStep,
                                SYNC_FILE_RANGE_WRITE);
    }
#else
    (void)fd;
    (void)before;
    (void)after;
#endif
}

} // namespace

std::size_t writeReplacement(Replacement& r, const std::uint8_t* data, std::size_t size) {
    const int fd = static_cast<int>(r.handle);
    const off_t before = ::lseek(fd, 0, SEEK_CUR);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (before >= 0) {
        startWriteback(fd, before, before + static_cast<off_t>(done));
    }
    return done;
}

bool finishReplacement(Replacement& r) {
    const int fd = static_cast<int>(r.handle);
    bool ok = ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    r.open = false;
    return ok;
}

namespace {

// Makes a rename durable: the folder's entry is on disk too. Best effort;
// some file systems cannot sync a folder.
void syncFolderOf(const std::string& file) {
    const std::string dir = fromPath(toPath(file).parent_path());
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool commitReplacement(Replacement& r) {
    if (::rename(r.tempPath.c_str(), r.target.c_str()) != 0) {
        return false;
    }
    unregisterTemporary(r.interruptSlot);
    r.tempPath.clear();
    syncFolderOf(r.target);
    return true;
}

void abandonReplacement(Replacement& r) {
    if (r.open) {
        ::close(static_cast<int>(r.handle));
        r.open = false;
    }
    if (!r.tempPath.empty()) {
        ::unlink(r.tempPath.c_str());
        r.tempPath.clear();
    }
    unregisterTemporary(r.interruptSlot);
}

bool restoreBackup(const std::string& backupPath, const std::string& path) {
    if (::rename(backupPath.c_str(), path.c_str()) != 0) {
        return false;
    }
    syncFolderOf(path);
    return true;
}

bool makeBackup(const std::string& path, std::string& backupPath) {
    std::string target;
    if (!resolveTarget(path, target)) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        backupPath = siblingName(target, ".bak");
        std::error_code ec;
        if (fs::exists(toPath(backupPath), ec) || ec) {
            continue;
        }
        fs::create_hard_link(toPath(target), toPath(backupPath), ec);
        if (!ec) {
            return true;
        }
        if (fs::copy_file(toPath(target), toPath(backupPath), fs::copy_options::none, ec) && !ec) {
            return true;
        }
        removeQuietly(backupPath);
        break;
    }
    backupPath.clear();
    return false;
}

void removeQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(toPath(path), ec);
}

#endif

} // namespace meshfold
