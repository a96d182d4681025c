#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace meshfold::test {

Scratch::Scratch() {
    static std::mt19937_64 rng{std::random_device{}()};
    for (;;) {
        dir = fs::temp_directory_path() / ("meshfold-test-" + std::to_string(rng()));
        if (fs::create_directory(dir)) {
            return;
        }
    }
}

Scratch::~Scratch() {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
}

Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + p.string());
    }
    // One block read: byte-by-byte iteration is slow on large meshes under
    // the sanitizers.
    in.seekg(0, std::ios::end);
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0, std::ios::beg);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) {
        throw std::runtime_error("cannot read " + p.string());
    }
    return bytes;
}

void writeFile(const fs::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + p.string());
    }
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        if (!s.empty()) {
            s += ' ';
        }
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

void append(Bytes& b, std::initializer_list<std::uint8_t> more) {
    b.insert(b.end(), more.begin(), more.end());
}

void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes& b, std::uint32_t v) {
    put16(b, static_cast<std::uint16_t>(v));
    put16(b, static_cast<std::uint16_t>(v >> 16));
}

Bytes animFile(std::uint16_t frames, std::uint16_t frameSize, const std::vector<std::uint32_t>& words) {
    Bytes b;
    put16(b, frames);
    put16(b, frameSize);
    for (std::uint32_t w : words) {
        put32(b, w);
    }
    return b;
}

Bytes dataFile(std::uint16_t polys, std::uint16_t verts, std::uint8_t tailByte) {
    Bytes b;
    put16(b, polys);
    put16(b, verts);
    b.insert(b.end(), 44, tailByte);
    for (std::uint32_t i = 0; i < polys; ++i) {
        for (std::uint32_t j = 0; j < 16; ++j) {
            b.push_back(static_cast<std::uint8_t>(i * 16 + j * 7 + 1));
        }
    }
    return b;
}

// Built in place: assigning the names to empty strings one by one makes
// g++ 12 at -O3 report a false -Wrestrict inside std::string.
RunOptions meshOptions(bool milkshapeFix, bool hiRes) {
    return RunOptions{.milkshapeFix = milkshapeFix,
                      .hiRes = hiRes,
                      .baseName = "M",
                      .animFileName = "M_a.3d",
                      .dataFileName = "M_d.3d"};
}

fs::path sourceDir() {
    return fs::path(MESHFOLD_SOURCE_DIR);
}

namespace {

fs::path sharedFolder(const char* name) {
    const fs::path p = sourceDir() / ".." / "shared" / name;
    std::error_code ec;
    return fs::is_directory(p, ec) ? fs::canonical(p) : fs::path();
}

} // namespace

fs::path corpusDir() {
    return sharedFolder("corpus");
}

fs::path corpusPackagesDir() {
    return sharedFolder("corpus-packages");
}

fs::path corpusUe1Dir() {
    return sharedFolder("corpus-ue1");
}

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
}

} // namespace

std::string asDryRun(const std::string& out) {
    std::string dry = out;
    const std::string changed = "\n\n*** Dry run: no file was changed ***\n";
    replaceAll(dry, "\n\n*** Conversion complete ***\n", changed);
    replaceAll(dry, "\n\n*** Export complete ***\n", changed);
    replaceAll(dry, "\n\n*** Extraction complete ***\n", changed);
    replaceAll(dry, "\n  Wrote ", "\n  Would write ");
    const std::size_t packages = dry.rfind(" packages: ");
    const std::size_t summary = dry.rfind(" meshes: ");
    if (packages != std::string::npos) {
        std::size_t verb = dry.find(" extracted, ", packages);
        verb = verb != std::string::npos ? verb : dry.find(" exported, ", packages);
        verb = verb != std::string::npos ? verb : dry.find(" converted or extracted, ", packages);
        if (verb != std::string::npos) {
            dry.insert(verb, " would be");
        }
    } else if (summary != std::string::npos) {
        const std::size_t exported = dry.find(" exported, ", summary);
        dry.insert(exported != std::string::npos ? exported : dry.find(" converted, ", summary),
                   " would be");
    }
    return dry;
}

bool usingRunner() {
    const char* r = std::getenv("MESHFOLD_RUNNER");
    return r != nullptr && *r != '\0';
}

namespace {

std::vector<std::string> commandPrefix() {
    std::vector<std::string> argv;
    if (usingRunner()) {
        std::istringstream words(std::getenv("MESHFOLD_RUNNER"));
        for (std::string w; words >> w;) {
            argv.push_back(w);
        }
    }
    const char* exe = std::getenv("MESHFOLD_EXE");
    argv.push_back(exe != nullptr && *exe != '\0' ? exe : MESHFOLD_EXE_DEFAULT);
    return argv;
}

std::string withoutCarriageReturns(const std::string& s) {
    std::string r;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) {
            r += s[i];
        }
    }
    return r;
}

} // namespace

#ifndef _WIN32
ProgramResult runProgram(const std::vector<std::string>& argv, const fs::path& cwd,
                         bool mergeStderr) {
    // Exit status the child uses when it cannot even start the program.
    constexpr int kExecFailed = 127;
    ProgramResult result;
    int pipeFds[2];
    if (argv.empty() || pipe(pipeFds) != 0) {
        return result;
    }
    // Standard error, unless merged, comes through a pipe of its own.
    int errFds[2] = {-1, -1};
    if (!mergeStderr && pipe(errFds) != 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return result;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (std::string& a : args) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            dup2(devNull, 0);
        }
        dup2(pipeFds[1], 1);
        if (mergeStderr) {
            dup2(pipeFds[1], 2);
        } else {
            dup2(errFds[1], 2);
            close(errFds[0]);
            close(errFds[1]);
        }
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (chdir(cwd.c_str()) != 0) {
            _exit(kExecFailed);
        }
        execvp(cargv[0], cargv.data());
        _exit(kExecFailed);
    }
    close(pipeFds[1]);
    if (errFds[1] >= 0) {
        close(errFds[1]);
    }
    if (pid < 0) {
        close(pipeFds[0]);
        if (errFds[0] >= 0) {
            close(errFds[0]);
        }
        return result;
    }
    // Both pipes are read as data comes, so that neither can fill and stall
    // the child, until standard output ends. Standard error is then drained
    // of what the child wrote without waiting for its end: a process the
    // child started (Wine's server) may hold it open for seconds more.
    pollfd fds[2] = {{pipeFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    char buf[4096];
    while (fds[0].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    if (fds[0].fd >= 0) {
        close(fds[0].fd);
    }
    int wstatus = 0;
    const bool waited = waitpid(pid, &wstatus, 0) == pid;
    if (fds[1].fd >= 0) {
        fcntl(fds[1].fd, F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = read(fds[1].fd, buf, sizeof buf)) > 0;) {
            result.errors.append(buf, static_cast<std::size_t>(n));
        }
        close(fds[1].fd);
    }
    if (!waited) {
        return result;
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.started = result.status != kExecFailed;
    return result;
}
#else
ProgramResult runProgram(const std::vector<std::string>&, const fs::path&, bool) {
    return {};
}
#endif

RunResult runTool(const std::vector<std::string>& args, const fs::path& cwd,
                  const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    const std::vector<std::string> prefix = commandPrefix();
    argv.insert(argv.end(), prefix.begin(), prefix.end());
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult p = runProgram(argv, cwd);
    if (!p.started) {
        throw std::runtime_error("cannot run " + argv[0]);
    }
    // meshfold prints its banner before it reads anything, so a failure with
    // nothing on standard output is the runner's own: Wine, now and then,
    // cannot reach its server while an idle one shuts down. Such a run never
    // started the program and is tried again (twice at most), said on stderr.
    for (int retry = 0; retry < 2 && usingRunner() && p.status != 0 && p.output.empty(); ++retry) {
        std::fprintf(stderr, "[ runner   ] exit %d before the program started (%s), run again\n",
                     p.status, withoutCarriageReturns(p.errors).c_str());
        p = runProgram(argv, cwd);
    }
    if (usingRunner()) {
        return RunResult{withoutCarriageReturns(p.output), p.status, withoutCarriageReturns(p.errors)};
    }
    return RunResult{p.output, p.status, p.errors};
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> listFolder(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace meshfold::test
