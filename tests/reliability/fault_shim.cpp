// A preload library that makes chosen system calls of the process fail, to
// prove that every failure of the file layer is caught and leaves the user's
// files as they were.
//
//   MESHFOLD_FAIL="call:n[,call:n...]"  the n-th call (counting from 1) of
//        `call` fails: open, write, fsync, close, rename, link, fchmod or fread
//        "call:n:EINTR" instead fails it with EINTR, as a call interrupted by
//        a signal before it did anything; "call:n:SIGINT" lets the call run
//        and then sends the process SIGINT, as a user's Ctrl-C right after it,
//        and waits a fifth of a second for it to take effect (Wine, as
//        Windows, runs Ctrl-C handlers on a thread of their own);
//        "call:n:PAUSE" makes the call wait a fifth of a second first, as a
//        slow disk would, so that something else can happen meanwhile
//   MESHFOLD_FAIL_LOG=path               each injected fault appends its entry
//
// A failing close still closes the descriptor, as Linux does on EIO. A
// failing fread reads from a folder instead of the file, so that the read
// itself fails (EISDIR) and the stream records the error as for a bad disk.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

enum Call { kOpen, kWrite, kFsync, kClose, kRename, kLink, kFchmod, kFread, kCalls };
const char* const kNames[kCalls] = {"open", "write", "fsync", "close", "rename", "link", "fchmod",
                                    "fread"};
int counts[kCalls];

// What the plan holds for one call.
enum class Fault { None, Fail, Eintr, Interrupt, Pause };

// Appends `entry` to the fault log, if there is one.
void logFault(const std::string& want) {
    if (const char* log = std::getenv("MESHFOLD_FAIL_LOG")) {
        // Raw calls only: the stdio and the wrappers here would count themselves.
        using OpenFn = int (*)(const char*, int, ...);
        using WriteFn = ssize_t (*)(int, const void*, size_t);
        using CloseFn = int (*)(int);
        const auto realOpen = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
        const auto realWrite = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
        const auto realClose = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
        const int fd = realOpen(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const std::string line = want + "\n";
            (void)!realWrite(fd, line.data(), line.size());
            realClose(fd);
        }
    }
}

// Counts this call and says what to do with it.
Fault faultFor(Call c) {
    const int n = ++counts[c];
    const char* plan = std::getenv("MESHFOLD_FAIL");
    if (plan == nullptr) {
        return Fault::None;
    }
    const std::string call = std::string(kNames[c]) + ":" + std::to_string(n);
    const std::string list = std::string(",") + plan + ",";
    const struct {
        const char* tail;
        Fault fault;
    } kinds[] = {{"", Fault::Fail}, {":EINTR", Fault::Eintr}, {":SIGINT", Fault::Interrupt},
                 {":PAUSE", Fault::Pause}};
    for (const auto& k : kinds) {
        const std::string want = call + k.tail;
        if (list.find("," + want + ",") != std::string::npos) {
            logFault(want);
            return k.fault;
        }
    }
    return Fault::None;
}

void waitAFifth() {
    const timespec fifth = {0, 200000000};
    nanosleep(&fifth, nullptr);
}

// Each wrapper asks before the real call whether it is to fail (setting
// errno), and tells after it, so that an interrupt comes right after the call.
struct Plan {
    explicit Plan(Call c, int error) : fault(faultFor(c)) {
        if (fault == Fault::Eintr) {
            errno = EINTR;
        } else if (fault == Fault::Fail) {
            errno = error;
        } else if (fault == Fault::Pause) {
            waitAFifth();
        }
    }
    bool fails() const { return fault == Fault::Fail || fault == Fault::Eintr; }
    ~Plan() {
        if (fault == Fault::Interrupt) {
            const int saved = errno;
            std::raise(SIGINT);
            waitAFifth();
            errno = saved;
        }
    }
    Fault fault;
};

template <typename Fn> Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int openImpl(const char* fnName, const char* path, int flags, va_list args) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        mode = static_cast<mode_t>(va_arg(args, int));
    }
    const Plan plan(kOpen, EACCES);
    if (plan.fails()) {
        return -1;
    }
    return real<int (*)(const char*, int, ...)>(fnName)(path, flags, mode);
}

// Makes the stream read from a folder from now on: its next read from the
// system fails with EISDIR. What it has buffered already is still delivered.
void breakStream(FILE* stream) {
    const int folder = real<int (*)(const char*, int, ...)>("open")(".", O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        dup2(folder, fileno(stream));
        real<int (*)(int)>("close")(folder);
    }
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
    const Plan plan(kWrite, ENOSPC);
    if (plan.fails()) {
        return -1;
    }
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

int fsync(int fd) {
    const Plan plan(kFsync, EIO);
    if (plan.fails()) {
        return -1;
    }
    return real<int (*)(int)>("fsync")(fd);
}

int close(int fd) {
    const int r = real<int (*)(int)>("close")(fd);
    const Plan plan(kClose, EIO);
    return plan.fails() ? -1 : r;
}

int rename(const char* from, const char* to) {
    const Plan plan(kRename, EIO);
    if (plan.fails()) {
        return -1;
    }
    return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int link(const char* from, const char* to) {
    const Plan plan(kLink, EPERM);
    if (plan.fails()) {
        return -1;
    }
    return real<int (*)(const char*, const char*)>("link")(from, to);
}

int fchmod(int fd, mode_t mode) {
    const Plan plan(kFchmod, EPERM);
    if (plan.fails()) {
        return -1;
    }
    return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

size_t fread(void* data, size_t size, size_t count, FILE* stream) {
    const Plan plan(kFread, EIO);
    if (plan.fails()) {
        breakStream(stream);
    }
    return real<size_t (*)(void*, size_t, size_t, FILE*)>("fread")(data, size, count, stream);
}

} // extern "C"
