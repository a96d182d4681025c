// The platform layer on Windows.
#include "meshfold/platform/platform.h"

#include "platform/platform_internal.h"

#include <algorithm>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace meshfold {

// Windows: every name is converted from UTF-8 to UTF-16 here and handed to the
// wide (W) functions, so that names outside the ANSI code page work. Files are
// opened with every share mode granted, so that meshfold never stops another
// program from reading its meshes, and so that its own check for the right to
// replace a file (which asks for DELETE access) is not refused by its own
// reading handle.

namespace {

// A lone surrogate (possible in a Windows name) becomes U+FFFD.
std::string utf8(const wchar_t* w, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int size = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, size, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, size, s.data(), n, nullptr, nullptr);
    return s;
}

// Name order as Explorer shows it: case ignored, and so "Box_a.3d" before
// "BoxBig_a.3d" (letters compared in lower case, which puts "_" before them,
// as Explorer does). Names equal but for case, possible on some volumes, in
// code-unit order, so that the order is total.
std::wstring lowerCase(std::wstring s) {
    if (!s.empty()) {
        CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    }
    return s;
}

bool byName(const std::wstring& a, const std::wstring& b) {
    const std::wstring x = lowerCase(a);
    const std::wstring y = lowerCase(b);
    return x != y ? x < y : a < b;
}

// The files (not folders) that `pattern` matches, each as `folder` + its
// name, in name order. False when the folder cannot be read (a pattern that
// matches nothing is not a failure).
bool matchingFiles(const std::wstring& pattern, const std::wstring& folder,
                   std::vector<std::wstring>& files) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(h, &found) != 0);
    FindClose(h);
    std::sort(names.begin(), names.end(), byName);
    for (const std::wstring& name : names) {
        files.push_back(folder + name);
    }
    return true;
}

// Neither cmd nor PowerShell expands wildcards for the programs they start.
// As the C runtimes do when asked to, an argument holding * or ? becomes the
// files it matches in its folder, in name order; one that matches no file
// stays as it was, and then names no mesh. The switches -? and /? are not
// patterns.
void addExpanded(const wchar_t* arg, std::vector<std::string>& args) {
    const std::wstring pattern(arg);
    if (pattern.find_first_of(L"*?") == std::wstring::npos || pattern == L"-?" ||
        pattern == L"/?") {
        args.push_back(utf8(pattern.data(), pattern.size()));
        return;
    }
    const std::size_t cut = pattern.find_last_of(L"\\/:");
    const std::wstring folder = cut == std::wstring::npos ? L"" : pattern.substr(0, cut + 1);
    std::vector<std::wstring> matches;
    (void)matchingFiles(pattern, folder, matches);
    if (matches.empty()) {
        matches.push_back(pattern);
    }
    for (const std::wstring& m : matches) {
        args.push_back(utf8(m.data(), m.size()));
    }
}

} // namespace

std::vector<std::string> commandLineArguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wargs = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wargs == nullptr) {
        return args;
    }
    for (int i = 1; i < count; ++i) {
        addExpanded(wargs[i], args);
    }
    LocalFree(wargs);
    return args;
}

namespace {

// Invalid UTF-8 becomes U+FFFD; such a name then simply names no file.
std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, w.data(), n);
    return w;
}

// The full path of `name`, made absolute and normalised as Windows does
// ("/" to "\\", "." and ".." resolved); empty on failure.
std::wstring fullPath(const std::wstring& name) {
    const DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    const DWORD got = n == 0 ? 0 : GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) {
        return {};
    }
    full.resize(got);
    return full;
}

bool isExtended(const std::wstring& path) {
    return path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0;
}

// A full path in the "\\?\" form, which the wide functions take at any
// length (up to 32767 characters) and without further parsing.
std::wstring extended(const std::wstring& full) {
    if (isExtended(full)) {
        return full;
    }
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2); // \\server\share\...
    }
    return L"\\\\?\\" + full;
}

// The name to hand to the system for a file name of the user's: as given
// where its full path is short, else in the "\\?\" form, so that folders
// nested past the old limit of 260 characters work as any other.
std::wstring systemPath(const std::string& utf8) {
    const std::wstring name = wide(utf8);
    if (isExtended(name)) {
        return name;
    }
    const std::wstring full = fullPath(name);
    return full.size() < MAX_PATH ? name : extended(full);
}

HANDLE asHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

bool isConsole(std::FILE* out) {
    const std::intptr_t h = _get_osfhandle(_fileno(out));
    DWORD mode = 0;
    return h != -1 && GetConsoleMode(asHandle(h), &mode) != 0;
}

} // namespace

bool sameTerminal(std::FILE* a, std::FILE* b) {
    return isConsole(a) && isConsole(b); // a process has one console at most
}

void writeText(std::FILE* out, std::string_view text) {
    if (!isConsole(out)) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        return;
    }
    // A console shows UTF-16 exactly whatever its code page; each newline
    // goes out as CR LF, as the text-mode stream would write it.
    std::fflush(out);
    std::wstring w;
    for (const wchar_t c : wide(std::string(text))) {
        if (c == L'\n') {
            w += L'\r';
        }
        w += c;
    }
    const HANDLE h = asHandle(_get_osfhandle(_fileno(out)));
    DWORD written = 0;
    for (std::size_t done = 0; done < w.size(); done += written) {
        if (!WriteConsoleW(h, w.data() + done, static_cast<DWORD>(w.size() - done), &written,
                           nullptr) ||
            written == 0) {
            break;
        }
    }
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

std::FILE* openForReading(const std::string& path) {
    HANDLE h = CreateFileW(systemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || GetFileInformationByHandle(h, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "rb");
    if (f == nullptr) {
        _close(fd);
    }
    return f;
}

bool pathExists(const std::string& path) {
    return GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool filesInFolder(const std::string& folder, std::vector<std::string>& files) {
    std::wstring prefix = wide(folder);
    if (!prefix.empty() && prefix.back() != L'\\' && prefix.back() != L'/' &&
        !(prefix.size() == 2 && prefix[1] == L':')) {
        prefix += L'\\';
    }
    std::vector<std::wstring> found;
    if (!matchingFiles(prefix + L"*", prefix, found)) {
        return false;
    }
    for (const std::wstring& f : found) {
        files.push_back(utf8(f.data(), f.size()));
    }
    return true;
}

// Windows opens a file by its name in any case: a name that does not open
// has no other spelling.
std::vector<std::string> namesIgnoringCase(const std::string&, FolderListings&) {
    return {};
}

std::string fileIdentity(const std::string& path) {
    HANDLE h = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        const bool ok = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        if (ok) {
            const std::uint64_t index =
                (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
            return "file " + std::to_string(info.dwVolumeSerialNumber) + ":" +
                   std::to_string(index);
        }
    }
    const std::wstring full = fullPath(wide(path));
    return full.empty() ? "name " + path : "name " + utf8(full.data(), full.size());
}

namespace {

// Attributes a replacement takes over from the file it replaces. Read-only is
// not among them: a read-only file is refused before anything is written.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The full path of the file behind an open handle, links and junctions
// resolved, in the "\\?\C:\..." form that the wide functions accept at any
// length.
bool finalPath(HANDLE h, std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            return false;
        }
        if (n < buffer.size()) {
            path.assign(buffer.data(), n);
            return true;
        }
        buffer.resize(n); // n counts the terminating zero when the buffer was short
    }
}

// The real path of the file `name` has open in `h`. Where the system cannot
// tell it (Wine, past 260 characters), a name that is no link names the
// real file itself.
bool namedPath(HANDLE h, const std::string& name, std::wstring& path) {
    if (finalPath(h, path)) {
        return true;
    }
    const DWORD attributes = GetFileAttributesW(systemPath(name).c_str());
    const std::wstring full = fullPath(wide(name));
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        full.empty()) {
        return false;
    }
    path = extended(full);
    return true;
}

// The real file behind `path` and its attributes, so that replacing it
// replaces the target of a link and leaves the link in place.
bool resolveTarget(const std::string& path, std::string& target, DWORD& attributes) {
    HANDLE h = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::wstring full;
    const bool ok = GetFileInformationByHandle(h, &info) != 0 && namedPath(h, path, full);
    CloseHandle(h);
    if (!ok) {
        return false;
    }
    target = utf8(full.data(), full.size());
    attributes = info.dwFileAttributes;
    return true;
}

// Where a file that does not exist yet will be: the full path of `path`.
// False when something is there already, or the name cannot be made full.
bool resolveNewTarget(const std::string& path, std::string& target) {
    if (GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES ||
        (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)) {
        return false;
    }
    const std::wstring full = fullPath(wide(path));
    if (full.empty()) {
        return false;
    }
    const std::wstring ext = extended(full);
    target = utf8(ext.data(), ext.size());
    return true;
}

// Another program has the file open and does not share it as asked.
bool isSharingError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// The new file is created beside the real one: its folder must allow that.
bool folderTakesNewFiles(const std::wstring& file) {
    const std::size_t cut = file.find_last_of(L'\\');
    if (cut == std::wstring::npos) {
        return false;
    }
    HANDLE h = CreateFileW(file.substr(0, cut + 1).c_str(), FILE_ADD_FILE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

// The temporary and backup names add kSiblingNameGrowth characters to the
// file's own name, which its volume must still accept.
bool siblingNameFits(HANDLE file, const std::wstring& path) {
    DWORD longestName = 0;
    if (GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, &longestName, nullptr, nullptr,
                                      0) == 0) {
        return true; // cannot be told: the real run finds out
    }
    const std::size_t name = path.size() - path.find_last_of(L'\\') - 1;
    return name + kSiblingNameGrowth <= longestName;
}

} // namespace

// Replacing a file means deleting the old one, so DELETE access is asked for
// as well: a file that another program holds open without sharing deletion
// is refused here, before anything is written, rather than at the final move.
// The read-only attribute refuses GENERIC_WRITE.
ReplaceCheck checkReplaceable(const std::string& path, bool mayCreate) {
    std::string fresh;
    if (mayCreate && resolveNewTarget(path, fresh)) {
        return folderTakesNewFiles(wide(fresh)) ? ReplaceCheck::Ok : ReplaceCheck::FolderNotWritable;
    }
    HANDLE h = CreateFileW(systemPath(path).c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return isSharingError(GetLastError()) ? ReplaceCheck::InUse : ReplaceCheck::FileNotWritable;
    }
    std::wstring full;
    const bool named = namedPath(h, path, full);
    const bool fits = !named || siblingNameFits(h, full);
    CloseHandle(h);
    if (!named) {
        return ReplaceCheck::FileNotWritable;
    }
    if (!folderTakesNewFiles(full)) {
        return ReplaceCheck::FolderNotWritable;
    }
    return fits ? ReplaceCheck::Ok : ReplaceCheck::NameTooLong;
}

bool heldByAnotherProgram(const std::string& path) {
    HANDLE h = CreateFileW(systemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return isSharingError(GetLastError());
}


namespace {

FileStamp stampFrom(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    FileStamp s;
    if (GetFileInformationByHandle(h, &info) == 0) {
        return s;
    }
    s.known = true;
    s.volume = info.dwVolumeSerialNumber;
    s.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    s.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    const FILETIME& t = info.ftLastWriteTime;
    s.modified = static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    return s;
}

} // namespace

FileStamp stampOf(std::FILE* f) {
    return f == nullptr ? FileStamp{} : stampFrom(asHandle(_get_osfhandle(_fileno(f))));
}

FileStamp stampOf(const std::string& path) {
    HANDLE h = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    const FileStamp s = stampFrom(h);
    CloseHandle(h);
    return s;
}

std::string realPath(const std::string& path) {
    std::string target;
    DWORD attributes = 0;
    return resolveTarget(path, target, attributes) ? target : std::string();
}

// Windows names ignore case: leftovers are found by the real file's name as
// the file system spells it.
std::string leftoverBase(const std::string& path) {
    return realPath(path);
}

namespace {

// Ctrl-C, Ctrl-Break and closing the console window (or logging off) run the
// console control handler on a thread of its own. It waits while the main
// thread moves a mesh's files into place, removes every temporary file that
// exists, and ends the process as Ctrl-C would have. A run started with
// Ctrl-C ignored never sees Ctrl-C here.
struct Interrupts {
    Interrupts() { InitializeCriticalSection(&gate); }
    CRITICAL_SECTION gate; // held while files move, and by the handler to the end
    std::wstring temporary[kMaxInterruptFiles];
    HANDLE handle[kMaxInterruptFiles] = {}; // the run's own handle of it, if it has one
    bool registered[kMaxInterruptFiles] = {};
};

Interrupts& interrupts() {
    static Interrupts state;
    return state;
}

BOOL WINAPI removeTemporariesAndStop(DWORD) {
    Interrupts& in = interrupts();
    EnterCriticalSection(&in.gate);
    for (int i = 0; i < kMaxInterruptFiles; ++i) {
        if (in.registered[i]) {
            // Closed first, so that the file goes now rather than when the
            // system gets round to closing the handles of an ended process.
            if (in.handle[i] != INVALID_HANDLE_VALUE) {
                CloseHandle(in.handle[i]);
            }
            DeleteFileW(in.temporary[i].c_str());
        }
    }
    // Not ExitProcess: the main thread may hold the C runtime's locks.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// Puts the file named `path` for the system (and the run's own `handle` of
// it, if it has one) on the list of files an interrupt removes.
int registerTemporary(const std::wstring& path, HANDLE handle = INVALID_HANDLE_VALUE) {
    Interrupts& in = interrupts();
    for (int i = 0; i < kMaxInterruptFiles; ++i) {
        if (!in.registered[i]) {
            in.temporary[i] = path;
            in.handle[i] = handle;
            in.registered[i] = true;
            return i;
        }
    }
    return -1;
}

// Creates the temporary file, shared for deletion only, so that an
// interrupt can remove it while it is open.
HANDLE createTemporary(const std::wstring& path, DWORD attributes) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       (attributes & kKeptAttributes) | FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

void catchInterrupts() {
    static const bool installed = SetConsoleCtrlHandler(removeTemporariesAndStop, TRUE) != 0;
    (void)installed;
}

int registerTemporary(const std::string& path) {
    return registerTemporary(systemPath(path));
}

void unregisterTemporary(int& slot) {
    if (slot >= 0) {
        holdInterrupts();
        interrupts().registered[slot] = false;
        releaseInterrupts();
        slot = -1;
    }
}

void holdInterrupts() {
    EnterCriticalSection(&interrupts().gate);
}

void releaseInterrupts() {
    LeaveCriticalSection(&interrupts().gate);
}

namespace {

// A disk (or this user's quota on it, which Windows reports the same way)
// with no room left.
bool isNoRoom(DWORD error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

} // namespace

// The temporary file is shared for deletion only: it can be moved into place
// or removed while open, and no other run can open it to take it for a
// leftover; holding it open is its claim.
bool beginReplacement(const std::string& path, const std::string& tag, Replacement& r,
                      bool mayCreate) {
    DWORD attributes = 0;
    const bool fresh = mayCreate && resolveNewTarget(path, r.target);
    if (!fresh && !resolveTarget(path, r.target, attributes)) {
        return false;
    }
    catchInterrupts();
    // No interrupt between creating the file and registering it for removal.
    holdInterrupts();
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    for (int attempt = 0; attempt < kNameAttempts && h == INVALID_HANDLE_VALUE; ++attempt) {
        r.tag = tag.empty() ? newTag() : tag;
        r.tempPath = siblingName(r.target, r.tag, ".tmp");
        h = createTemporary(systemPath(r.tempPath), attributes);
        error = GetLastError();
        if (h == INVALID_HANDLE_VALUE &&
            ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !tag.empty())) {
            break;
        }
    }
    if (h != INVALID_HANDLE_VALUE) {
        r.interruptSlot = registerTemporary(systemPath(r.tempPath), h);
    }
    releaseInterrupts();
    if (h == INVALID_HANDLE_VALUE) {
        // The file was found writable, so a refusal is the folder's.
        if (error == ERROR_ACCESS_DENIED) {
            r.refused = ReplaceCheck::FolderNotWritable;
        }
        r.noRoom = isNoRoom(error);
        r.tempPath.clear();
        return false;
    }
    r.handle = reinterpret_cast<std::intptr_t>(h);
    r.open = true;
    return true;
}

std::size_t writeReplacement(Replacement& r, const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kMaxWrite = std::size_t{1} << 30; // WriteFile counts in a DWORD
    std::size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min(size - done, kMaxWrite));
        DWORD written = 0;
        if (!WriteFile(asHandle(r.handle), data + done, chunk, &written, nullptr) || written == 0) {
            r.noRoom = isNoRoom(GetLastError());
            break;
        }
        done += written;
    }
    return done;
}

// FlushFileBuffers cannot be started without waiting for it.
void startFlush(Replacement&) {}

bool finishReplacement(Replacement& r) {
    return r.open && FlushFileBuffers(asHandle(r.handle)) != 0;
}

bool moveOver(const std::string& from, const std::string& to) {
    return MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

// The temporary file is in place under its target's name: it is no longer
// the run's to remove, and its handle is closed.
bool placed(Replacement& r) {
    unregisterTemporary(r.interruptSlot);
    r.tempPath.clear();
    CloseHandle(asHandle(r.handle));
    r.open = false;
    return true;
}

} // namespace

bool commitReplacement(Replacement& r) {
    if (!moveOver(r.tempPath, r.target)) {
        // A file open in another program cannot be replaced, even where it
        // shares deletion; the check before writing allowed it, so a refusal
        // now is that program's doing.
        const DWORD error = GetLastError();
        if (isSharingError(error) || error == ERROR_ACCESS_DENIED) {
            r.refused = ReplaceCheck::InUse;
        }
        return false;
    }
    return placed(r);
}

bool commitNewFile(Replacement& r) {
    if (MoveFileExW(systemPath(r.tempPath).c_str(), systemPath(r.target).c_str(), MOVEFILE_WRITE_THROUGH) == 0) {
        if (isSharingError(GetLastError())) {
            r.refused = ReplaceCheck::InUse;
        }
        return false;
    }
    return placed(r);
}

bool makeFolder(const std::string& path) {
    return CreateDirectoryW(systemPath(path).c_str(), nullptr) != 0 ||
           (GetLastError() == ERROR_ALREADY_EXISTS && isFolder(path));
}

bool removeEmptyFolder(const std::string& path) {
    return RemoveDirectoryW(systemPath(path).c_str()) != 0;
}

// Temporary files are kept as handles, which have no limit of note; reading
// uses at most two C runtime files at once.
std::size_t openFileLimit() {
    return SIZE_MAX;
}

// Each move is made with MOVEFILE_WRITE_THROUGH: it is on disk when it
// returns, and a folder has nothing more to sync.
bool openFolder(const std::string& path, Folder& folder) {
    folder.path = path;
    folder.handle = 0;
    return true;
}

bool syncFolder(Folder& folder) {
    return folder.handle >= 0;
}

void closeFolder(Folder& folder) {
    folder.handle = -1;
}

// Deleting a file that is still open takes effect when it is closed.
void abandonReplacement(Replacement& r) {
    if (!r.tempPath.empty()) {
        DeleteFileW(systemPath(r.tempPath).c_str());
        r.tempPath.clear();
    }
    if (r.open) {
        CloseHandle(asHandle(r.handle));
        r.open = false;
    }
    unregisterTemporary(r.interruptSlot);
}

void keepReplacement(Replacement& r) {
    r.tempPath.clear();
    abandonReplacement(r);
}


namespace {

// A backup made by copying is flushed, as a link needs no flush.
bool copyDurably(const std::wstring& from, const std::wstring& to) {
    if (CopyFileW(from.c_str(), to.c_str(), TRUE) == 0) {
        return false;
    }
    HANDLE h = CreateFileW(to.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    if (!ok) {
        DeleteFileW(to.c_str());
    }
    return ok;
}

} // namespace

bool makeBackup(const std::string& path, const std::string& tag, Backup& b) {
    std::string target;
    DWORD attributes = 0;
    if (resolveNewTarget(path, target)) {
        // No file yet: an empty backup, flushed, says so.
        b.path = siblingName(target, tag, ".bak");
        b.absent = true;
        return makeListedBackup(b, [&b] {
            const std::wstring to = systemPath(b.path);
            HANDLE h = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                   nullptr);
            bool made = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
            if (h != INVALID_HANDLE_VALUE) {
                made = CloseHandle(h) != 0 && made;
                if (!made) {
                    DeleteFileW(to.c_str());
                }
            }
            return made;
        });
    }
    if (!resolveTarget(path, target, attributes)) {
        return false;
    }
    b.path = siblingName(target, tag, ".bak");
    const std::wstring from = systemPath(target);
    const std::wstring to = systemPath(b.path);
    return makeListedBackup(b, [&from, &to] {
        if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr) != 0) {
            return true;
        }
        const DWORD error = GetLastError();
        return error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && copyDurably(from, to);
    });
}

bool removeFile(const std::string& path) {
    return DeleteFileW(systemPath(path).c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

namespace {

// Runs claim a leftover with a lock on one byte far past the end of any
// mesh, where it keeps no program from reading the file (a backup is a hard
// link of the mesh's file, which the claiming run reads too).
constexpr DWORD kClaimOffsetHigh = 0x7FFFFFFF;

} // namespace

// Windows keeps a user's meshes in folders that other users cannot write to
// unless given the right; the owner is not compared. A temporary file that a
// run is still writing is open without read sharing, so opening it to read
// fails; another run's claim is its lock.
Claim claimLeftover(const std::string& path, const std::string&, ClaimedFile& f) {
    HANDLE h = CreateFileW(systemPath(path).c_str(), GENERIC_READ | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return Claim::Gone;
        }
        return error == ERROR_SHARING_VIOLATION ? Claim::InUse : Claim::NotOurs;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        return Claim::NotOurs;
    }
    OVERLAPPED at{};
    at.OffsetHigh = kClaimOffsetHigh;
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) == 0) {
        CloseHandle(h);
        return Claim::InUse;
    }
    f.path = path;
    f.handle = reinterpret_cast<std::intptr_t>(h);
    return Claim::Ours;
}

// Windows refuses to move a file over one that is open, so the file itself
// cannot be held: runs meet at a named mutex of the file's identity instead,
// which the system releases should its holder die.
bool lockFile(const std::string& path, FileLock& lock) {
    const FileStamp s = stampOf(path);
    if (!s.known) {
        return false;
    }
    const std::wstring name = L"Local\\meshfold-" + std::to_wstring(s.volume) + L"-" +
                              std::to_wstring(s.index);
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    if (m == nullptr) {
        return false;
    }
    const DWORD got = WaitForSingleObject(m, INFINITE);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        CloseHandle(m);
        return false;
    }
    lock.handle = reinterpret_cast<std::intptr_t>(m);
    return true;
}

void unlockFile(FileLock& lock) {
    if (lock.handle != -1) {
        ReleaseMutex(asHandle(lock.handle));
        CloseHandle(asHandle(lock.handle));
        lock.handle = -1;
    }
}

void releaseClaim(ClaimedFile& f) {
    if (f.handle != -1) {
        CloseHandle(asHandle(f.handle));
        f.handle = -1;
    }
}

bool readClaimed(ClaimedFile& f, std::vector<std::uint8_t>& bytes) {
    const HANDLE h = asHandle(f.handle);
    bytes.clear();
    LARGE_INTEGER zero{};
    if (SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) == 0) {
        return false;
    }
    std::uint8_t buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (ReadFile(h, buffer, sizeof buffer, &got, nullptr) == 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

// Explorer starts a console program in a console of its own, shared with no
// other process; a shell shares its console with the programs it runs.
ConsoleInfo consoleInfo() {
    ConsoleInfo c;
    DWORD ids[4];
    c.processesAttached = GetConsoleProcessList(ids, 4);
    DWORD mode = 0;
    c.inputIsConsole = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    c.outputIsConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    c.underWine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    return c;
}

} // namespace meshfold
