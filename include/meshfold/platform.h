// The little meshfold needs of the operating system: opening files by name,
// and replacing a file safely. Everything system-specific lives behind these
// functions; file names are UTF-8 everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

// The arguments after the program name, as UTF-8. On Windows they come from
// the wide command line, so names outside the console's code page survive.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Prints UTF-8 `text` to `out` and flushes it, so that it shows at once. On a
// Windows console the text goes out as UTF-16, so that names show as typed
// whatever the console's code page; anywhere else the bytes are written as
// they are (on Windows through the text-mode stream: each newline as CR LF).
void writeText(std::FILE* out, std::string_view text);

// Opens an existing regular file for binary reading. Returns null when it
// does not exist, cannot be read or is not a regular file (a folder, a
// device). Symbolic links are followed.
std::FILE* openForReading(const std::string& path);

// True when something (a file, a folder, anything) exists under `path`.
bool pathExists(const std::string& path);

// A key that is the same for every name of one file: the file's identity on
// its volume where it exists (so that "Cube_a.3d", "./Cube_a.3d" and a link
// to it agree), else the name made absolute and normalised.
std::string fileIdentity(const std::string& path);

// What keeps this user from replacing a file, as far as can be told before
// anything is written.
enum class ReplaceCheck {
    Ok,
    FileNotWritable,   // the file itself cannot be opened for writing
    FolderNotWritable, // no new file can be created in its folder
    OwnerOnlyFolder,   // a sticky folder, and the file is someone else's
    NameTooLong,       // the temporary name beside it would pass the name limit
    InUse,             // another program holds it open (Windows)
};

// Whether this user could replace `path` (the real file behind it, where
// the new content is written beside it and moved over it). Nothing is
// truncated, created or changed.
ReplaceCheck checkReplaceable(const std::string& path);

// True when `path` cannot be opened because another program holds it open
// without sharing it (Windows); always false on POSIX, where files are not
// locked against opening.
bool heldByAnotherProgram(const std::string& path);

// New content for an existing file, written to a temporary file beside it and
// moved over it only once complete. The original stays untouched until
// commitReplacement() succeeds.
struct Replacement {
    std::string target;   // the file that will be replaced, symbolic links resolved
    std::string tempPath; // the temporary file in the same folder
    std::intptr_t handle = -1;
    bool open = false;
    int interruptSlot = -1; // where the temporary file is registered for removal on interrupt
    ReplaceCheck refused = ReplaceCheck::Ok; // why the last step failed, where the system said
};

// Creates the temporary file beside the real file behind `path`, with the
// original's permission bits (and, where allowed, owner). A folder that
// refuses the new file sets r.refused to FolderNotWritable. Should the run be
// interrupted (Ctrl-C, a plain kill, a closed terminal or output pipe; on
// Windows Ctrl-C, Ctrl-Break or a closed console window) while the temporary
// file exists, it is removed before the process ends. False on failure,
// with nothing left behind.
bool beginReplacement(const std::string& path, Replacement& r);

// Writes all of `size` bytes; returns how many were written before a failure
// (== size on success).
std::size_t writeReplacement(Replacement& r, const std::uint8_t* data, std::size_t size);

// Asks the system to start writing the temporary file to stable storage
// without waiting, so that the flushes of several files overlap. A hint only.
void startFlush(Replacement& r);

// Flushes the temporary file to stable storage and closes it.
bool finishReplacement(Replacement& r);

// Moves the finished temporary file over the target in one step. A target
// that another program holds open sets r.refused to InUse (Windows). The move
// is durable once syncFolderOf() has run for the target's folder.
bool commitReplacement(Replacement& r);

// Makes the moves in the folder of `file` durable: the folder's entries are
// on disk too. Best effort; some file systems cannot sync a folder.
void syncFolderOf(const std::string& file);

// How many replacements may be open (begun, not yet committed or abandoned)
// at once: each holds an open file, and on POSIX a place in the list of
// files to remove on interrupt.
inline constexpr int kMaxOpenReplacements = 64;

// How many files this process may have open at once (on POSIX its soft
// descriptor limit, `ulimit -n`); a very large number where there is none.
std::size_t openFileLimit();

// Closes the temporary file if open and removes it. Safe to call twice.
void abandonReplacement(Replacement& r);

// Between these two calls an interrupt waits: it takes effect at
// releaseInterrupts(). The run holds interrupts while it moves finished files
// over the originals, so that Ctrl-C cannot leave one file of a mesh replaced
// and the other not.
void holdInterrupts();
void releaseInterrupts();

// Keeps the current content of `path` under a new name beside it (a hard
// link where the file system allows, else a copy), so that a later step can
// put it back with restoreBackup(). False when no backup could be made.
bool makeBackup(const std::string& path, std::string& backupPath);

// Moves the backup back over `path`.
bool restoreBackup(const std::string& backupPath, const std::string& path);

// Removes a file, ignoring failure.
void removeQuietly(const std::string& path);

// The console the program writes to, as far as it tells whether the program
// has a window of its own (started from Explorer) or runs in someone else's.
struct ConsoleInfo {
    unsigned processesAttached = 0; // processes sharing the console; 0 when there is none
    bool inputIsConsole = false;
    bool outputIsConsole = false;
    bool underWine = false; // Windows emulated on another system, in that system's terminal
};
ConsoleInfo consoleInfo();

// Waits until the user presses Enter (or standard input ends).
void waitForEnter();

} // namespace meshfold
