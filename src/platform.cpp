// The one system-specific file: POSIX below, Windows in the first branch.
#include "meshfold/platform.h"

#include <filesystem>
#include <random>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <sys/stat.h>
#include <sys/types.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace meshfold {

namespace {

fs::path toPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string fromPath(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

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

constexpr int kNameAttempts = 100;

} // namespace

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& utf8) {
    return toPath(utf8).wstring();
}

HANDLE asHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

bool isRegularFile(const std::wstring& w) {
    struct _stat64 st;
    return _wstat64(w.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
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
        args.push_back(fromPath(fs::path(wargs[i])));
    }
    LocalFree(wargs);
    return args;
}

std::FILE* openForReading(const std::string& path) {
    const std::wstring w = wide(path);
    if (!isRegularFile(w)) {
        return nullptr;
    }
    return _wfopen(w.c_str(), L"rb");
}

bool canWriteInPlace(const std::string& path) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

bool beginReplacement(const std::string& path, Replacement& r) {
    if (!resolveTarget(path, r.target)) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        r.tempPath = siblingName(r.target, ".tmp");
        HANDLE h = CreateFileW(wide(r.tempPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            r.handle = reinterpret_cast<std::intptr_t>(h);
            r.open = true;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    r.tempPath.clear();
    return false;
}

std::size_t writeReplacement(Replacement& r, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
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
    if (MoveFileExW(wide(r.tempPath).c_str(), wide(r.target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
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

bool restoreBackup(const std::string& backupPath, const std::string& path) {
    return MoveFileExW(wide(backupPath).c_str(), wide(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

#else // POSIX

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
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
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        r.tempPath = siblingName(r.target, ".tmp");
        fd = ::open(r.tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
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
}

bool restoreBackup(const std::string& backupPath, const std::string& path) {
    if (::rename(backupPath.c_str(), path.c_str()) != 0) {
        return false;
    }
    syncFolderOf(path);
    return true;
}

#endif

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

} // namespace meshfold
