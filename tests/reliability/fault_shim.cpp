// A preload library that makes chosen system calls of the process fail, to
// prove that every failure of the file layer is caught and leaves the user's
// files as they were.
//
//   MESHFOLD_FAIL="call:n[,call:n...]"  the n-th call (counting from 1) of
//        `call` fails: open, write, fsync, close, rename, link or fchmod
//   MESHFOLD_FAIL_LOG=path               each injected fault appends "call:n"
//
// A failing close still closes the descriptor, as Linux does on EIO.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum Call { kOpen, kWrite, kFsync, kClose, kRename, kLink, kFchmod, kCalls };
const char* const kNames[kCalls] = {"open", "write", "fsync", "close", "rename", "link", "fchmod"};
int counts[kCalls];

// True when this call (already counted) is one to fail.
bool shouldFail(Call c) {
    const int n = ++counts[c];
    const char* plan = std::getenv("MESHFOLD_FAIL");
    if (plan == nullptr) {
        return false;
    }
    const std::string want = std::string(kNames[c]) + ":" + std::to_string(n);
    const std::string list = std::string(",") + plan + ",";
    if (list.find("," + want + ",") == std::string::npos) {
        return false;
    }
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
    return true;
}

template <typename Fn> Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
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
    return real<int (*)(const char*, int, ...)>(fnName)(path, flags, mode);
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
        errno = ENOSPC;
        return -1;
    }
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

int fsync(int fd) {
    if (shouldFail(kFsync)) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int)>("fsync")(fd);
}

int close(int fd) {
    const int r = real<int (*)(int)>("close")(fd);
    if (shouldFail(kClose)) {
        errno = EIO;
        return -1;
    }
    return r;
}

int rename(const char* from, const char* to) {
    if (shouldFail(kRename)) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int link(const char* from, const char* to) {
    if (shouldFail(kLink)) {
        errno = EPERM;
        return -1;
    }
    return real<int (*)(const char*, const char*)>("link")(from, to);
}

int fchmod(int fd, mode_t mode) {
    if (shouldFail(kFchmod)) {
        errno = EPERM;
        return -1;
    }
    return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

} // extern "C"
