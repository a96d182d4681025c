#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
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

fs::path corpusDir() {
    const fs::path p = sourceDir() / ".." / "shared" / "corpus";
    std::error_code ec;
    return fs::is_directory(p, ec) ? fs::canonical(p) : fs::path();
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
    if (pid < 0) {
        close(pipeFds[0]);
        return result;
    }
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) {
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) != pid) {
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
    const ProgramResult p = runProgram(argv, cwd);
    if (!p.started) {
        throw std::runtime_error("cannot run " + argv[0]);
    }
    return RunResult{usingRunner() ? withoutCarriageReturns(p.output) : p.output, p.status};
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
