// The platform layer on POSIX systems.
#include "meshfold/platform.h"

#include "platform_names.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace meshfold {

namespace fs = std::filesystem;

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void writeText(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

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

} // namespace

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

bool pathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string fileIdentity(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        return "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    std::error_code ec;
    fs::path name = fs::absolute(toPath(path), ec);
    if (ec) {
        name = toPath(path);
    }
    return "name " + fromPath(name.lexically_normal());
}

namespace {

// A sticky folder (as /tmp is) lets only the owner of a file, the owner of
// the folder or root rename over it, whatever the permission bits say.
bool ownerOnly(const struct stat& folder, const struct stat& file) {
    const uid_t me = ::geteuid();
    return (folder.st_mode & S_ISVTX) != 0 && me != 0 && me != file.st_uid && me != folder.st_uid;
}

// The temporary and backup names add kSiblingNameGrowth characters to the
// file's own name, which the folder's file system must still accept.
bool siblingNameFits(const fs::path& target) {
    const long limit = ::pathconf(fromPath(target.parent_path()).c_str(), _PC_NAME_MAX);
    // No limit, or none that can be told: the real run finds out.
    return limit < 0 ||
           target.filename().native().size() + kSiblingNameGrowth <= static_cast<std::size_t>(limit);
}

} // namespace

// The new content is written to a file created beside the real file and
// renamed over it, so its folder must take new files and this rename too.
ReplaceCheck checkReplaceable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return ReplaceCheck::FileNotWritable;
    }
    ::close(fd);
    std::string resolved;
    struct stat file;
    struct stat folder;
    if (!resolveTarget(path, resolved) || ::stat(resolved.c_str(), &file) != 0) {
        return ReplaceCheck::FileNotWritable;
    }
    const fs::path target = toPath(resolved);
    const std::string dir = fromPath(target.parent_path());
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ||
        ::stat(dir.c_str(), &folder) != 0) {
        return ReplaceCheck::FolderNotWritable;
    }
    if (ownerOnly(folder, file)) {
        return ReplaceCheck::OwnerOnlyFolder;
    }
    return siblingNameFits(target) ? ReplaceCheck::Ok : ReplaceCheck::NameTooLong;
}

bool heldByAnotherProgram(const std::string&) {
    return false;
}

namespace {

// Temporary files that exist right now, kept where a signal handler can
// reach them without allocating: an interrupted run removes them, so that
// Ctrl-C leaves nothing behind but the user's own files.
constexpr int kInterruptSlots = kMaxOpenReplacements;
constexpr std::size_t kSlotPathMax = 4096;
// SIGPIPE among them: output piped into a reader that stops early (`| head`)
// ends the run at its next line, as an interrupt would.
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
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

} // namespace

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
    const int error = errno;
    releaseInterrupts();
    if (fd < 0) {
        if (error == EACCES || error == EPERM) {
            r.refused = ReplaceCheck::FolderNotWritable;
        }
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

void startFlush(Replacement& r) {
#if defined(__linux__)
    if (r.open) {
        (void)::sync_file_range(static_cast<int>(r.handle), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
#else
    (void)r;
#endif
}

bool finishReplacement(Replacement& r) {
    const int fd = static_cast<int>(r.handle);
    bool ok = ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    r.open = false;
    return ok;
}

bool commitReplacement(Replacement& r) {
    if (::rename(r.tempPath.c_str(), r.target.c_str()) != 0) {
        return false;
    }
    unregisterTemporary(r.interruptSlot);
    r.tempPath.clear();
    return true;
}

void syncFolderOf(const std::string& file) {
    const std::string dir = fromPath(toPath(file).parent_path());
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

std::size_t openFileLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return SIZE_MAX;
    }
    return static_cast<std::size_t>(limit.rlim_cur);
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

namespace {

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

bool restoreBackup(const std::string& backupPath, const std::string& path) {
    if (::rename(backupPath.c_str(), path.c_str()) != 0) {
        return false;
    }
    syncFolderOf(path);
    return true;
}

void removeQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(toPath(path), ec);
}

ConsoleInfo consoleInfo() {
    return {}; // a terminal outlives the programs run in it
}

void waitForEnter() {
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
}

} // namespace meshfold
