// The platform layer on POSIX systems.
#include "meshfold/platform/platform.h"

#include "platform/platform_internal.h"

#include "meshfold/common/ascii.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/resource.h>
#include <sys/file.h>
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

bool sameTerminal(std::FILE* a, std::FILE* b) {
    const int fa = ::fileno(a);
    const int fb = ::fileno(b);
    struct stat sa;
    struct stat sb;
    return ::isatty(fa) == 1 && ::isatty(fb) == 1 && ::fstat(fa, &sa) == 0 &&
           ::fstat(fb, &sb) == 0 && sa.st_rdev == sb.st_rdev;
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

// Where a file that does not exist yet will be: its folder resolved, its
// own name kept. False when something is there, or the folder is not.
bool resolveNewTarget(const std::string& path, std::string& target) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) {
        return false;
    }
    const fs::path p = toPath(path);
    std::error_code ec;
    const fs::path folder = fs::canonical(p.has_parent_path() ? p.parent_path() : fs::path("."), ec);
    if (ec || !p.has_filename()) {
        return false;
    }
    target = fromPath(folder / p.filename());
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

bool isFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The names in `folder` ("" for the current one), in no particular order.
// False when the folder cannot be read to its end.
bool readEntries(const std::string& folder, std::vector<std::string>& names) {
    std::error_code ec;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : toPath(folder), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        names.push_back(fromPath(it->path().filename()));
    }
    return !ec;
}

bool byName(const std::string& a, const std::string& b) {
    return lessIgnoringAsciiCase(a, b);
}

} // namespace

bool filesInFolder(const std::string& folder, std::vector<std::string>& files) {
    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    std::vector<std::string> names;
    if (!readEntries(folder, names)) {
        return false;
    }
    std::sort(names.begin(), names.end(), byName);
    for (const std::string& name : names) {
        if (!isFolder(prefix + name)) {
            files.push_back(prefix + name);
        }
    }
    return true;
}

std::vector<std::string> namesIgnoringCase(const std::string& path, FolderListings& listings) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string_view name = std::string_view(path).substr(folder.size());
    auto listed = listings.entries.find(folder);
    if (listed == listings.entries.end()) {
        std::vector<std::string> entries;
        (void)readEntries(folder, entries); // a folder that cannot be read offers no other spelling
        std::sort(entries.begin(), entries.end(), byName);
        listed = listings.entries.emplace(folder, std::move(entries)).first;
    }
    // Sorted by name, the spellings of one name stand together.
    const auto [first, last] = std::equal_range(
        listed->second.begin(), listed->second.end(), std::string(name),
        [](const std::string& a, const std::string& b) { return compareIgnoringAsciiCase(a, b) < 0; });
    std::vector<std::string> found;
    for (auto it = first; it != last; ++it) {
        found.push_back(folder + *it);
    }
    return found;
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

FileStamp stampFrom(const struct stat& st) {
    FileStamp s;
    s.known = true;
    s.volume = static_cast<std::uint64_t>(st.st_dev);
    s.index = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.modified = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

} // namespace

FileStamp stampOf(std::FILE* f) {
    struct stat st;
    return f != nullptr && ::fstat(::fileno(f), &st) == 0 ? stampFrom(st) : FileStamp{};
}

FileStamp stampOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? stampFrom(st) : FileStamp{};
}

std::string realPath(const std::string& path) {
    std::string target;
    return resolveTarget(path, target) ? target : std::string();
}

std::string leftoverBase(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    return S_ISLNK(st.st_mode) ? realPath(path) : path;
}

// The new content is written to a file created beside the real file and
// renamed over it, so its folder must take new files and this rename too.
ReplaceCheck checkReplaceable(const std::string& path, bool mayCreate) {
    std::string fresh;
    if (mayCreate && resolveNewTarget(path, fresh)) {
        const fs::path target = toPath(fresh);
        const std::string dir = fromPath(target.parent_path());
        if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            return ReplaceCheck::FolderNotWritable;
        }
        return siblingNameFits(target) ? ReplaceCheck::Ok : ReplaceCheck::NameTooLong;
    }
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
constexpr int kInterruptSlots = kMaxInterruptFiles;
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

} // namespace

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

// The path is copied where the handler can reach it without allocating.
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

namespace {

// A disk (or this user's quota on it) with no room left.
bool isNoRoom(int error) {
    return error == ENOSPC || error == EDQUOT;
}

// Creates target.meshfold-TAG.tmp exclusively and claims it. The claim (a
// lock on the open file) is taken after the creation, so a run cleaning up
// leftovers may have removed the file in between: then it is no longer the
// file under its name, and the next tag is tried. -1 when no file was made.
int createClaimed(const std::string& target, const std::string& tag, Replacement& r) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        r.tag = tag.empty() ? newTag() : tag;
        r.tempPath = siblingName(target, r.tag, ".tmp");
        const int fd = ::open(r.tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || !tag.empty())) {
            return -1;
        }
        if (fd < 0) {
            continue;
        }
        r.interruptSlot = registerTemporary(r.tempPath);
        if (::flock(fd, LOCK_EX) != 0) {
            // Created and not claimed by anyone: it is still ours to remove.
            ::unlink(r.tempPath.c_str());
            unregisterTemporary(r.interruptSlot);
            ::close(fd);
            return -1;
        }
        struct stat mine;
        struct stat named;
        if (::fstat(fd, &mine) == 0 && ::lstat(r.tempPath.c_str(), &named) == 0 &&
            mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
            return fd;
        }
        unregisterTemporary(r.interruptSlot);
        ::close(fd);
        if (!tag.empty()) {
            return -1;
        }
    }
    return -1;
}

} // namespace

bool beginReplacement(const std::string& path, const std::string& tag, Replacement& r,
                      bool mayCreate) {
    struct stat st;
    const bool fresh = mayCreate && resolveNewTarget(path, r.target);
    if (!fresh && (!resolveTarget(path, r.target) || ::stat(r.target.c_str(), &st) != 0)) {
        return false;
    }
    // No interrupt between creating the file and registering it for removal.
    catchInterrupts();
    holdInterrupts();
    const int fd = createClaimed(r.target, tag, r);
    const int error = errno;
    releaseInterrupts();
    if (fd < 0) {
        if (error == EACCES || error == EPERM) {
            r.refused = ReplaceCheck::FolderNotWritable;
        }
        r.noRoom = isNoRoom(error);
        r.tempPath.clear();
        return false;
    }
    r.handle = fd;
    r.open = true;
    if (fresh) {
        // The permissions of any new file: this user's umask applied.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (::fchmod(fd, 0666 & ~mask) != 0) {
            abandonReplacement(r);
            return false;
        }
        return true;
    }
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
            r.noRoom = n < 0 && isNoRoom(errno);
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
    return r.open && ::fsync(static_cast<int>(r.handle)) == 0;
}

namespace {

// The temporary file is in place under its target's name: it is no longer
// the run's to remove, and its handle is closed (a failing close cannot lose
// what fsync wrote).
bool placed(Replacement& r) {
    unregisterTemporary(r.interruptSlot);
    r.tempPath.clear();
    ::close(static_cast<int>(r.handle));
    r.open = false;
    return true;
}

} // namespace

bool commitReplacement(Replacement& r) {
    if (::rename(r.tempPath.c_str(), r.target.c_str()) != 0) {
        return false;
    }
    return placed(r);
}

bool commitNewFile(Replacement& r) {
    if (::link(r.tempPath.c_str(), r.target.c_str()) == 0) {
        // The temporary name goes; one that stays is a leftover the next run
        // removes, the target being whole already.
        (void)::unlink(r.tempPath.c_str());
    } else if ((errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) ||
               pathExists(r.target) || ::rename(r.tempPath.c_str(), r.target.c_str()) != 0) {
        return false;
    }
    return placed(r);
}

bool makeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && isFolder(path));
}

bool removeEmptyFolder(const std::string& path) {
    return ::rmdir(path.c_str()) == 0;
}

namespace {

// Closes a descriptor kept in a record, once.
void closeHandle(std::intptr_t& handle) {
    if (handle >= 0) {
        ::close(static_cast<int>(handle));
        handle = -1;
    }
}

} // namespace

std::size_t openFileLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return SIZE_MAX;
    }
    return static_cast<std::size_t>(limit.rlim_cur);
}

bool lockFile(const std::string& path, FileLock& lock) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    if (::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return false;
    }
    lock.handle = fd;
    return true;
}

void unlockFile(FileLock& lock) {
    closeHandle(lock.handle);
}

bool openFolder(const std::string& path, Folder& folder) {
    folder.path = path;
    const int fd = ::open(folder.path.empty() ? "." : folder.path.c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    folder.handle = fd;
    return fd >= 0;
}

bool syncFolder(Folder& folder) {
    if (folder.handle < 0) {
        return false;
    }
    // Some file systems have nothing to sync a folder with.
    return ::fsync(static_cast<int>(folder.handle)) == 0 || errno == EINVAL || errno == ENOTSUP;
}

void closeFolder(Folder& folder) {
    closeHandle(folder.handle);
}

// The temporary file is removed while it is still held, so that no other
// run can claim it in between.
void abandonReplacement(Replacement& r) {
    if (!r.tempPath.empty()) {
        ::unlink(r.tempPath.c_str());
        r.tempPath.clear();
    }
    if (r.open) {
        ::close(static_cast<int>(r.handle));
        r.open = false;
    }
    unregisterTemporary(r.interruptSlot);
}

void keepReplacement(Replacement& r) {
    unregisterTemporary(r.interruptSlot);
    r.tempPath.clear();
    abandonReplacement(r);
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

namespace {

// Copies all of `in` to `out`.
bool copyContent(int in, int out) {
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                return false;
            }
            done += w;
        }
    }
}

// A copy of `from` as the new file `to`, flushed to disk: a backup that may
// be moved back must survive a power cut as a link would. Nothing is left
// behind on failure, and an existing `to` is never touched.
bool copyDurably(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat st;
    const int out = ::fstat(in, &st) == 0
                        ? ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)
                        : -1;
    bool ok = out >= 0 && copyContent(in, out) && ::fchmod(out, st.st_mode & 07777) == 0 &&
              ::fsync(out) == 0;
    if (out >= 0) {
        ok = ::close(out) == 0 && ok;
        if (!ok) {
            ::unlink(to.c_str());
        }
    }
    ::close(in);
    return ok;
}

// The backup of a file that is not there yet: an empty file, flushed, that
// says so (a mesh file is never empty).
bool makeEmptyBackup(const std::string& target, const std::string& tag, Backup& b) {
    b.path = siblingName(target, tag, ".bak");
    b.absent = true;
    return makeListedBackup(b, [&b] {
        const int fd = ::open(b.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        bool made = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) {
            made = ::close(fd) == 0 && made; // a failed close fails the backup too
            if (!made) {
                ::unlink(b.path.c_str());
            }
        }
        return made;
    });
}

} // namespace

bool makeBackup(const std::string& path, const std::string& tag, Backup& b) {
    std::string target;
    if (resolveNewTarget(path, target)) {
        return makeEmptyBackup(target, tag, b);
    }
    if (!resolveTarget(path, target)) {
        return false;
    }
    b.path = siblingName(target, tag, ".bak");
    return makeListedBackup(b, [&target, &b] {
        return ::link(target.c_str(), b.path.c_str()) == 0 || (errno != EEXIST && copyDurably(target, b.path));
    });
}

bool moveOver(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

Claim claimLeftover(const std::string& path, const std::string& ownerOf, ClaimedFile& f) {
    // Only a regular file is opened at all: opening a device can act on it.
    struct stat named;
    if (::lstat(path.c_str(), &named) != 0) {
        return errno == ENOENT ? Claim::Gone : Claim::NotOurs;
    }
    if (!S_ISREG(named.st_mode)) {
        return Claim::NotOurs;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Claim::Gone : Claim::NotOurs;
    }
    struct stat st;
    struct stat owner;
    Claim c = Claim::Ours;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::stat(ownerOf.c_str(), &owner) != 0 ||
        owner.st_uid != st.st_uid) {
        c = Claim::NotOurs;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        c = errno == EWOULDBLOCK ? Claim::InUse : Claim::NotOurs;
    }
    if (c != Claim::Ours) {
        ::close(fd);
        return c;
    }
    f.path = path;
    f.handle = fd;
    return c;
}

void releaseClaim(ClaimedFile& f) {
    closeHandle(f.handle);
}

bool readClaimed(ClaimedFile& f, std::vector<std::uint8_t>& bytes) {
    const int fd = static_cast<int>(f.handle);
    bytes.clear();
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        return false;
    }
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

ConsoleInfo consoleInfo() {
    return {}; // a terminal outlives the programs run in it
}

} // namespace meshfold
