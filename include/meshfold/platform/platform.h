// The little meshfold needs of the operating system: opening files by name,
// and replacing a file safely. Everything system-specific lives behind these
// functions; file names are UTF-8 everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
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

// True when `a` and `b` both go to one terminal (on Windows, to the console),
// where what is written to either shows in a single stream of lines.
bool sameTerminal(std::FILE* a, std::FILE* b);

// Opens an existing regular file for binary reading. Returns null when it
// does not exist, cannot be read or is not a regular file (a folder, a
// device). Symbolic links are followed.
std::FILE* openForReading(const std::string& path);

// Closes a file of openForReading() when its holder goes.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using InputFile = std::unique_ptr<std::FILE, FileCloser>;

// How reading a whole file went.
enum class WholeFile {
    Read,      // every byte of it is in `bytes`
    CantOpen,  // openForReading() refused it
    ReadError, // a read failed part way: `bytes` holds nothing
    TooLarge,  // it holds more than `limit` bytes: `bytes` holds the first `limit`
};

// Reads the file `path` (opened as openForReading() opens it) into `bytes`,
// replacing what they held: all of it, or of a file longer than `limit`
// bytes, the first `limit` of them. A read error is never taken for the
// file's end.
WholeFile readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes,
                        std::size_t limit = static_cast<std::size_t>(-1));

// True when something (a file, a folder, anything) exists under `path`.
bool pathExists(const std::string& path);

// True when `path` is a folder (symbolic links followed).
bool isFolder(const std::string& path);

// Every file of `folder` that is not itself a folder, not recursive, each as
// `folder` joined with its name by the system's separator, in the order the
// system's file manager shows them: ignoring case (on Windows as Explorer
// does; elsewhere the case of ASCII letters). False when the folder cannot be
// read.
bool filesInFolder(const std::string& folder, std::vector<std::string>& files);

// The entries of folders read so far in one lookup of names, so that a run
// over many meshes reads each folder once.
struct FolderListings {
    std::map<std::string, std::vector<std::string>> entries; // folder -> names in it, sorted
};

// The names beside `path` that equal its last part ignoring ASCII case, each
// as `path`'s folder joined with the real name, in name order. For a name that
// does not exist as typed: on POSIX, where case matters, these are the files
// a user means (BOSS_A.3D for Boss_a.3d); on Windows, whose names ignore case
// already, there are none.
std::vector<std::string> namesIgnoringCase(const std::string& path, FolderListings& listings);

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
// truncated, created or changed. With `mayCreate`, a `path` where nothing is
// yet is fine as long as a file can be created there the same way.
ReplaceCheck checkReplaceable(const std::string& path, bool mayCreate = false);

// True when `path` cannot be opened because another program holds it open
// without sharing it (Windows); always false on POSIX, where files are not
// locked against opening.
bool heldByAnotherProgram(const std::string& path);

// What a file was when it was read: its identity on its volume, its size and
// when it was last written. Compared just before a new file is moved over it,
// so that only the file that was read is ever replaced.
struct FileStamp {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0; // inode, or Windows file ID
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds (POSIX) or 100 ns ticks (Windows)
    bool operator==(const FileStamp&) const = default;
};

// The stamp of an open file, or of the file behind `path` (links followed);
// `known` is false when it cannot be had.
FileStamp stampOf(std::FILE* f);
FileStamp stampOf(const std::string& path);

// The real file behind `path`, links resolved, as an absolute path; empty
// when it does not resolve.
std::string realPath(const std::string& path);

// Every file a commit makes beside a user's file is named
// FILE.meshfold-TAG.tmp or FILE.meshfold-TAG.bak; one TAG (8 lower-case hex
// digits) is shared by all the files of one mesh's commit, which is what ties
// them together for the next run should this one be cut short.
inline constexpr std::string_view kLeftoverMark = ".meshfold-";
inline constexpr std::size_t kTagLength = 8;

// New content for an existing file, written to a temporary file beside it and
// moved over it only once complete. The original stays untouched until
// commitReplacement() succeeds. While a Replacement is open it holds its
// temporary file claimed (see claimLeftover), so that no other run takes it
// for a leftover.
struct Replacement {
    std::string target;   // the file that will be replaced, symbolic links resolved
    std::string tempPath; // the temporary file in the same folder
    std::string tag;      // the TAG in tempPath
    std::intptr_t handle = -1;
    bool open = false;
    int interruptSlot = -1; // where the temporary file is registered for removal on interrupt
    ReplaceCheck refused = ReplaceCheck::Ok; // why the last step failed, where the system said
    bool noRoom = false; // the temporary file could not be made or written: its disk is full
};

// Creates the temporary file beside the real file behind `path`, with the
// original's permission bits (and, where allowed, owner). With an empty
// `tag` a fresh one is picked; with a given one (the other file of the same
// mesh) only that one is tried. A folder that refuses the new file sets
// r.refused to FolderNotWritable. Should the run be interrupted (Ctrl-C, a
// plain kill, a closed terminal or output pipe; on Windows Ctrl-C, Ctrl-Break
// or a closed console window) while the temporary file exists, it is removed
// before the process ends. False on failure, with nothing left behind.
// With `mayCreate`, `path` need not exist yet: the temporary file is made in
// its folder, with the permissions a new file gets, and the commit moves it
// to `path` just the same (so that no half-written file ever has its name).
bool beginReplacement(const std::string& path, const std::string& tag, Replacement& r,
                      bool mayCreate = false);

// Writes all of `size` bytes; returns how many were written before a failure
// (== size on success).
std::size_t writeReplacement(Replacement& r, const std::uint8_t* data, std::size_t size);

// Asks the system to start writing the temporary file to stable storage
// without waiting, so that the flushes of several files overlap. A hint only.
void startFlush(Replacement& r);

// Flushes the temporary file to stable storage. It stays open (and claimed)
// until it is committed or abandoned.
bool finishReplacement(Replacement& r);

// Moves the finished temporary file over the target in one step, then closes
// it. A target that another program holds open sets r.refused to InUse
// (Windows). The move is durable once the target's folder has been synced.
bool commitReplacement(Replacement& r);

// The file behind a name, held while a mesh's new files are moved into place,
// so that two runs on the same mesh at once move their files one after the
// other: the second then finds the file changed (see FileStamp) and replaces
// nothing.
struct FileLock {
    std::intptr_t handle = -1;
};

// Waits until no other run holds the file behind `path`, and holds it. False
// when it cannot be opened.
bool lockFile(const std::string& path, FileLock& lock);
void unlockFile(FileLock& lock);

// A folder held open so that the changes of names in it can be made durable.
struct Folder {
    std::string path;
    std::intptr_t handle = -1;
};

// Opens `path` ("" for the current folder; a trailing separator is fine).
// False when it cannot be opened to be synced (on POSIX, a folder this user
// may not read).
bool openFolder(const std::string& path, Folder& folder);

// Makes every change of a name in the folder durable. True also where the
// file system has no such operation (its changes are then as durable as it
// makes them). Windows moves are written through, and need nothing here.
bool syncFolder(Folder& folder);
void closeFolder(Folder& folder);

// Opens the folder `path`, syncs it and closes it again: every change of a
// name in it durable. False when it cannot be opened or synced.
bool flushFolder(const std::string& path);

// How many files an interrupt may have to remove at once: every open
// replacement (begun, not yet committed or abandoned) and every backup not
// yet dropped or kept. A file beyond them is not removed on interrupt, so
// the run keeps within them (see run.cpp); one mesh alone always fits, even
// one made from a glTF file with a texture for each of the 256 texture
// numbers: 259 new files and the backups of its two game files.
inline constexpr int kMaxInterruptFiles = 512;

// How many files this process may have open at once (on POSIX its soft
// descriptor limit, `ulimit -n`); a very large number where there is none.
std::size_t openFileLimit();

// Closes the temporary file if open and removes it. Safe to call twice.
void abandonReplacement(Replacement& r);

// Closes the finished temporary file and leaves it where it is for good, for
// the next run to move into place. An interrupt no longer removes it.
void keepReplacement(Replacement& r);

// Between these two calls an interrupt waits: it takes effect at
// releaseInterrupts(). The run holds interrupts while it moves finished files
// over the originals, so that Ctrl-C cannot leave one file of a mesh replaced
// and the other not.
void holdInterrupts();
void releaseInterrupts();

// The original of a file kept under FILE.meshfold-TAG.bak while its
// replacement is moved into place.
struct Backup {
    std::string path;
    int interruptSlot = -1;
    bool absent = false; // there was no file: the backup is an empty file saying so
};

// Keeps the current content of `path` as FILE.meshfold-TAG.bak beside the
// real file (a hard link where the file system allows, else a copy flushed to
// disk). Until keepBackup() or restoreBackup(), an interrupt removes it, as it
// removes temporary files. False when no backup could be made, with nothing
// left behind. When `path` does not exist yet the backup is an empty file,
// and restoring it removes `path` again.
bool makeBackup(const std::string& path, const std::string& tag, Backup& b);

// Moves the backup back over `target`. False when it stays where it is.
bool restoreBackup(Backup& b, const std::string& target);

// Removes the backup: its file was replaced and the replacement is durable,
// or it was never replaced.
void dropBackup(Backup& b);

// Leaves the backup where it is for good: it is all that is left of the
// original. An interrupt no longer removes it.
void keepBackup(Backup& b);

// Moves `from` over `to` in one step.
bool moveOver(const std::string& from, const std::string& to);

// Removes a file. False when it is still there.
bool removeFile(const std::string& path);

// The names in `folder` ("" for the current one) that contain `part`, in no
// particular order.
std::vector<std::string> namesContaining(const std::string& folder, std::string_view part);

// The file that leftovers beside `path` are named after: `path` itself, or
// the real file when `path` is a link (always the real file on Windows, whose
// names ignore case). Empty when nothing is there.
std::string leftoverBase(const std::string& path);

// A leftover of an earlier run, opened and held so that no other run acts on
// it at the same time.
struct ClaimedFile {
    std::string path;
    std::intptr_t handle = -1;
};

enum class Claim {
    Ours,    // a regular file of the mesh's owner that no running process holds
    InUse,   // a run still working holds it
    NotOurs, // a link, a folder, something else, or another user's file
    Gone,    // no longer there
};

// Claims `path` as a leftover beside `ownerOf` (one of the mesh's files): it
// must be a regular file, not a link, owned by the same user as `ownerOf`
// (POSIX), and held by no running meshfold. On Ours the file stays open
// until releaseClaim().
Claim claimLeftover(const std::string& path, const std::string& ownerOf, ClaimedFile& f);
void releaseClaim(ClaimedFile& f);

// The whole content of a claimed file.
bool readClaimed(ClaimedFile& f, std::vector<std::uint8_t>& bytes);

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
