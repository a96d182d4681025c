// Test helpers: scratch folders, file bytes, mesh files built from values, and
// running the built meshfold binary.
#pragma once

#include "meshfold/cli/options.h"

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace meshfold::test {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// A fresh, empty folder, removed with everything in it at the end of scope.
struct Scratch {
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    fs::path dir;
};

Bytes readFile(const fs::path& p);
void writeFile(const fs::path& p, const Bytes& bytes);
std::string hex(const Bytes& bytes);

// Little-endian appends.
void put16(Bytes& b, std::uint16_t v);
void put32(Bytes& b, std::uint32_t v);
// Appends `more` (out of line: g++ 12 at -O3 reports false overflows on
// vectors grown from lists where the insert is inlined).
void append(Bytes& b, std::initializer_list<std::uint8_t> more);

// An animation file: the two counts, then the words.
Bytes animFile(std::uint16_t frames, std::uint16_t frameSize, const std::vector<std::uint32_t>& words);

// A data file: the two counts, a header tail of 44 bytes filled with `tailByte`,
// then `polys` triangle records whose bytes are a recognisable pattern.
Bytes dataFile(std::uint16_t polys, std::uint16_t verts, std::uint8_t tailByte = 0xA5);

// Options for a mesh with base name "M", as the command line would give them.
RunOptions meshOptions(bool milkshapeFix = false, bool hiRes = false);

// The repository's top folder.
fs::path sourceDir();

// The folder of other people's meshes, or empty when it is not beside the repo.
fs::path corpusDir();

// The folder of real mod packages (meshes, import scripts, textures), or
// empty when it is not beside the repo.
fs::path corpusPackagesDir();

// The folder of real compiled Unreal packages (.u), some with the sources of their meshes, or
// empty when it is not beside the repo.
fs::path corpusUe1Dir();

struct ProgramResult {
    bool started = false; // false when the program could not be run at all
    int status = -1;      // exit status, or -1 when it did not exit normally
    std::string output;   // standard output (and standard error, when merged)
    std::string errors;   // standard error, when not merged
};

// Runs `argv` (argv[0] looked up on PATH) in folder `cwd` with no standard
// input and waits for it. POSIX only: on Windows `started` is false.
ProgramResult runProgram(const std::vector<std::string>& argv, const fs::path& cwd,
                         bool mergeStderr = false);

struct RunResult {
    std::string out; // standard output; CR LF mapped to LF when a runner is set
    int status = -1; // exit status, or -1 when the process did not exit normally
    std::string err; // standard error, likewise
};

// Runs the binary under test (MESHFOLD_EXE, default: this build's meshfold),
// prefixed by MESHFOLD_RUNNER when set (e.g. "wine"), in folder `cwd`.
// `wrapper` goes before everything else (e.g. setpriv to drop privileges).
RunResult runTool(const std::vector<std::string>& args, const fs::path& cwd,
                  const std::vector<std::string>& wrapper = {});

// What a dry run prints where a real run printed `out`: each mesh ends with
// "*** Dry run: no file was changed ***", an export or a package says "Would
// write" for "Wrote", and the summary says "would be converted" (or
// "exported", "extracted").
std::string asDryRun(const std::string& out);

// True when the binary under test runs through a runner (another platform).
bool usingRunner();

// True when `text` ends with `tail`.
bool endsWith(const std::string& text, const std::string& tail);

// Names of all files in a folder, sorted.
std::vector<std::string> listFolder(const fs::path& dir);

} // namespace meshfold::test
