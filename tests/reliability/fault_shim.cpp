// A preload library that makes chosen system calls of the process fail, to
// prove that every failure of the file layer is caught and leaves the user's
// files as they were.
//
//   MESHFOLD_FAIL="call:n[,call:n...]"  the n-th call (counting from 1) of
//        `call` fails: open, write, fsync, close, rename, link, fchmod or
//        fread. "call:n:EINTR" fails a write with EINTR instead, as a call
//        a signal interrupted before it did anything; "call:n:PAUSE" makes
//        the call wait a fifth of a second first, as a slow disk would, so
//        that something else can happen meanwhile
//   MESHFOLD_RESUME=path                 a paused call waits instead until
//        `path` exists (at most a minute), so that a test can act on the
//        files at its own pace while the process stands still
//   MESHFOLD_FAIL_LOG=path               each injected fault appends its entry
//   MESHFOLD_KILL_AT=n                   the process is killed (SIGKILL) just
//        before its n-th file-system call of any kind listed below
//   MESHFOLD_INTERRUPT_AFTER=call:n      SIGINT is raised right after the n-th
//        call of `call` returns; should the process live on, it waits a fifth
//        of a second for the signal to take effect (Wine, as Windows, runs
//        Ctrl-C handlers on a thread of their own)
//   MESHFOLD_CHANGE_AFTER=call:n         right after the n-th call of `call`,
//        MESHFOLD_CHANGE_FILE gets one more byte at its end, or with
//        MESHFOLD_CHANGE_HOW=replace is replaced by a new file of the same
//        bytes (as an editor saves), or with MESHFOLD_CHANGE_HOW=link:TARGET
//        by a symbolic link to TARGET, as if another program changed it
//   MESHFOLD_CHANGE_BEFORE=open          the change is made instead just before
//        the process first opens MESHFOLD_CHANGE_FILE (an absolute path) itself
//   MESHFOLD_TRACE=path                  every call is appended to `path` as
//        "call path [path]" with absolute paths (a descriptor's own path, from
//        /proc); an fsync of a folder is logged as "fsyncdir", and an fsync of
//        a file also copies the file's bytes to path.N (N: the line number)
//
// The calls: open, write, fsync, fdatasync, close, rename, link, unlink,
// fchmod, fchown, flock (and fread, which MESHFOLD_KILL_AT does not count). A
// failing close still closes the descriptor, as Linux does on EIO. A failing
// fread reads from a folder instead of the file, so that the read itself
// fails (EISDIR) and the stream records the error as for a bad disk.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

enum Call {
    kOpen, kWrite, kFsync, kClose, kRename, kLink, kFchmod, kUnlink, kFchown, kFlock, kFdatasync,
    kFread, kCalls
};
const char* const kNames[kCalls] = {"open",   "write",  "fsync", "close", "rename",   "link",
                                    "fchmod", "unlink", "fchown", "flock", "fdatasync", "fread"};
int counts[kCalls];
int allCalls;
int traceLines;

template <typename Fn> Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using CloseFn = int (*)(int);

void appendTo(const char* file, const std::string& text) {
    const int fd = real<OpenFn>("open")(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!real<WriteFn>("write")(fd, text.data(), text.size());
        real<CloseFn>("close")(fd);
    }
}

// `path` made absolute, as the trace gives every path.
std::string absolute(const char* path) {
    if (path[0] == '/') {
        return path;
    }
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") + "/" + path;
}

std::string pathOf(int fd) {
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "fd:" + std::to_string(fd);
}

// Kills the process when this is the call to die at.
void maybeKill() {
    ++allCalls;
    const char* at = std::getenv("MESHFOLD_KILL_AT");
    if (at != nullptr && std::atoi(at) == allCalls) {
        raise(SIGKILL);
    }
}

void trace(const char* call, const std::string& a, const std::string& b = {}) {
    const char* file = std::getenv("MESHFOLD_TRACE");
    if (file != nullptr) {
        ++traceLines;
        appendTo(file, std::string(call) + " " + a + (b.empty() ? "" : " " + b) + "\n");
    }
}

// Copies the bytes of the open file `fd` to the trace's file of this line.
void copyContent(int fd) {
    const char* file = std::getenv("MESHFOLD_TRACE");
    if (file == nullptr) {
        return;
    }
    const std::string copy = std::string(file) + "." + std::to_string(traceLines);
    const int in = real<OpenFn>("open")(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
    const int out = real<OpenFn>("open")(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[65536];
    ssize_t n;
    while (in >= 0 && out >= 0 && (n = read(in, buffer, sizeof buffer)) > 0) {
        (void)!real<WriteFn>("write")(out, buffer, static_cast<std::size_t>(n));
    }
    if (in >= 0) {
        real<CloseFn>("close")(in);
    }
    if (out >= 0) {
        real<CloseFn>("close")(out);
    }
}

bool isCall(const char* setting, Call c) {
    const char* want = std::getenv(setting);
    return want != nullptr && std::string(want) == std::string(kNames[c]) + ":" + std::to_string(counts[c]);
}

// Changes MESHFOLD_CHANGE_FILE behind the tool's back.
void changeFile() {
    const char* file = std::getenv("MESHFOLD_CHANGE_FILE");
    const char* how = std::getenv("MESHFOLD_CHANGE_HOW");
    if (file == nullptr) {
        return;
    }
    const std::string fresh = std::string(file) + ".saved";
    if (how != nullptr && std::string(how).rfind("link:", 0) == 0) {
        if (symlink(how + 5, fresh.c_str()) == 0) {
            real<int (*)(const char*, const char*)>("rename")(fresh.c_str(), file);
        }
        return;
    }
    if (how == nullptr || std::string(how) != "replace") {
        appendTo(file, "!");
        return;
    }
    const int in = real<OpenFn>("open")(file, O_RDONLY);
    const int out = real<OpenFn>("open")(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[65536];
    ssize_t n;
    while (in >= 0 && out >= 0 && (n = read(in, buffer, sizeof buffer)) > 0) {
        (void)!real<WriteFn>("write")(out, buffer, static_cast<std::size_t>(n));
    }
    real<CloseFn>("close")(in);
    real<CloseFn>("close")(out);
    real<int (*)(const char*, const char*)>("rename")(fresh.c_str(), file);
}

void waitAFifth() {
    const timespec fifth = {0, 200000000};
    nanosleep(&fifth, nullptr);
}

// A paused call: a fifth of a second, or until MESHFOLD_RESUME exists.
void pauseCall() {
    const char* resume = std::getenv("MESHFOLD_RESUME");
    if (resume == nullptr) {
        waitAFifth();
        return;
    }
    const timespec tick = {0, 10000000};
    struct stat st;
    for (int i = 0; i < 6000 && stat(resume, &st) != 0; ++i) {
        nanosleep(&tick, nullptr);
    }
}

// Makes the change of MESHFOLD_CHANGE_BEFORE=open when `path` is the file.
void maybeChangeBeforeOpen(const char* path) {
    static bool done = false;
    const char* before = std::getenv("MESHFOLD_CHANGE_BEFORE");
    const char* file = std::getenv("MESHFOLD_CHANGE_FILE");
    if (!done && before != nullptr && std::string(before) == "open" && file != nullptr &&
        absolute(path) == file) {
        done = true;
        changeFile();
    }
}

// What comes right after the call just made: an interrupt, or a change of
// a file by someone else.
void maybeInterrupt(Call c) {
    if (isCall("MESHFOLD_CHANGE_AFTER", c)) {
        changeFile();
    }
    if (isCall("MESHFOLD_INTERRUPT_AFTER", c)) {
        raise(SIGINT);
        waitAFifth();
    }
}

// Set when the failing call is to fail with EINTR.
bool interrupted;

// Counts this call; true when it is one to fail. A call to pause waits here
// and then runs.
bool shouldFail(Call c) {
    if (c != kFread) {
        maybeKill();
    }
    const int n = ++counts[c];
    const char* plan = std::getenv("MESHFOLD_FAIL");
    if (plan == nullptr) {
        return false;
    }
    const std::string call = std::string(kNames[c]) + ":" + std::to_string(n);
    const std::string list = std::string(",") + plan + ",";
    for (const char* kind : {"", ":EINTR", ":PAUSE"}) {
        const std::string want = call + kind;
        if (list.find("," + want + ",") == std::string::npos) {
            continue;
        }
        if (const char* log = std::getenv("MESHFOLD_FAIL_LOG")) {
            // Raw calls only: the stdio and the wrappers here would count themselves.
            appendTo(log, want + "\n");
        }
        if (std::string(kind) == ":PAUSE") {
            pauseCall();
            return false;
        }
        interrupted = std::string(kind) == ":EINTR";
        return true;
    }
    return false;
}

// Makes the stream read from a folder from now on: its next read from the
// system fails with EISDIR. What it has buffered already is still delivered.
void breakStream(FILE* stream) {
    const int folder = real<OpenFn>("open")(".", O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        dup2(folder, fileno(stream));
        real<CloseFn>("close")(folder);
    }
}

int openImpl(const char* fnName, const char* path, int flags, va_list args) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        mode = static_cast<mode_t>(va_arg(args, int));
    }
    if (shouldFail(kOpen)) {
        errno = EACCES;
        return -1;
    }
    maybeChangeBeforeOpen(path);
    const int fd = real<int (*)(const char*, int, ...)>(fnName)(path, flags, mode);
    if (fd >= 0) {
        trace((flags & O_CREAT) != 0 ? "create" : "open", absolute(path));
    }
    maybeInterrupt(kOpen);
    return fd;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = openImpl("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = openImpl("open64", path, flags, args);
    va_end(args);
    return fd;
}

ssize_t write(int fd, const void* data, size_t size) {
    if (shouldFail(kWrite)) {
        errno = interrupted ? EINTR : ENOSPC;
        return -1;
    }
    const ssize_t n = real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
    if (fd > 2) {
        trace("write", pathOf(fd));
    }
    maybeInterrupt(kWrite);
    return n;
}

namespace {

// fsync and fdatasync: a folder's flush is traced as fsyncdir, a file's with
// a copy of what it holds.
int flushCall(Call c, int fd) {
    if (shouldFail(c)) {
        errno = EIO;
        return -1;
    }
    const int r = real<int (*)(int)>(kNames[c])(fd);
    struct stat st;
    if (r == 0 && fstat(fd, &st) == 0) {
        trace(S_ISDIR(st.st_mode) ? "fsyncdir" : "fsync", pathOf(fd));
        if (S_ISREG(st.st_mode)) {
            copyContent(fd);
        }
    }
    maybeInterrupt(c);
    return r;
}

} // namespace

int fsync(int fd) {
    return flushCall(kFsync, fd);
}

int fdatasync(int fd) {
    return flushCall(kFdatasync, fd);
}

int close(int fd) {
    const int r = real<int (*)(int)>("close")(fd);
    if (shouldFail(kClose)) {
        errno = EIO;
        return -1;
    }
    maybeInterrupt(kClose);
    return r;
}

int rename(const char* from, const char* to) {
    if (shouldFail(kRename)) {
        errno = EIO;
        return -1;
    }
    const int r = real<int (*)(const char*, const char*)>("rename")(from, to);
    if (r == 0) {
        trace("rename", absolute(from), absolute(to));
    }
    maybeInterrupt(kRename);
    return r;
}

int link(const char* from, const char* to) {
    if (shouldFail(kLink)) {
        errno = EPERM;
        return -1;
    }
    const int r = real<int (*)(const char*, const char*)>("link")(from, to);
    if (r == 0) {
        trace("link", absolute(from), absolute(to));
    }
    maybeInterrupt(kLink);
    return r;
}

int unlink(const char* path) {
    if (shouldFail(kUnlink)) {
        errno = EIO;
        return -1;
    }
    const int r = real<int (*)(const char*)>("unlink")(path);
    if (r == 0) {
        trace("unlink", absolute(path));
    }
    maybeInterrupt(kUnlink);
    return r;
}

int fchmod(int fd, mode_t mode) {
    if (shouldFail(kFchmod)) {
        errno = EPERM;
        return -1;
    }
    const int r = real<int (*)(int, mode_t)>("fchmod")(fd, mode);
    maybeInterrupt(kFchmod);
    return r;
}

int fchown(int fd, uid_t owner, gid_t group) {
    if (shouldFail(kFchown)) {
        errno = EPERM;
        return -1;
    }
    return real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

// The function has the name of fcntl.h's struct flock, as in the C library.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
int flock(int fd, int operation) {
    if (shouldFail(kFlock)) {
        errno = EWOULDBLOCK;
        return -1;
    }
    return real<int (*)(int, int)>("flock")(fd, operation);
}
#pragma GCC diagnostic pop

size_t fread(void* data, size_t size, size_t count, FILE* stream) {
    if (shouldFail(kFread)) {
        breakStream(stream);
    }
    return real<size_t (*)(void*, size_t, size_t, FILE*)>("fread")(data, size, count, stream);
}

} // extern "C"
