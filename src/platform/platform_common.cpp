// The part of the platform layer that is the same on every system, written
// over the system-specific calls of platform_posix.cpp and
// platform_windows.cpp.
#include "meshfold/platform/platform.h"

#include "platform/platform_internal.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace meshfold {

namespace fs = std::filesystem;

std::string newTag() {
    static std::mt19937 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string tag;
    std::uint32_t r = rng();
    for (std::size_t i = 0; i < kTagLength; ++i, r >>= 4) {
        tag += digits[r & 0xF];
    }
    return tag;
}

std::string siblingName(const std::string& target, const std::string& tag, const char* suffix) {
    return target + std::string(kLeftoverMark) + tag + suffix;
}

std::vector<std::string> namesContaining(const std::string& folder, std::string_view part) {
    std::vector<std::string> names;
    const std::string where = folder.empty() ? "." : folder;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(std::u8string(where.begin(), where.end())), ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::u8string u = it->path().filename().u8string();
        std::string name(u.begin(), u.end());
        if (name.find(part) != std::string::npos) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

WholeFile readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes,
                        std::size_t limit) {
    bytes.clear();
    const InputFile f(openForReading(path));
    if (!f) {
        return WholeFile::CantOpen;
    }
    // Read straight into `bytes`, without the stream's own buffer, chunk by
    // chunk into room made once where the file's size is known (a file that
    // grows, or whose size is not known, makes more as it goes).
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    constexpr std::size_t kChunk = 65536;
    if (std::fseek(f.get(), 0, SEEK_END) == 0) {
        const long size = std::ftell(f.get());
        if (size > 0 && static_cast<unsigned long>(size) < limit) {
            bytes.reserve(static_cast<std::size_t>(size) + kChunk);
        }
        if (std::fseek(f.get(), 0, SEEK_SET) != 0) {
            return WholeFile::ReadError;
        }
    } else {
        std::clearerr(f.get()); // no size to go by
    }
    for (std::size_t have = 0; have <= limit;) {
        bytes.resize(have + kChunk);
        const std::size_t n = std::fread(bytes.data() + have, 1, kChunk, f.get());
        have += n;
        bytes.resize(have);
        if (n < kChunk) {
            break;
        }
    }
    if (std::ferror(f.get()) != 0) {
        bytes.clear();
        return WholeFile::ReadError;
    }
    if (bytes.size() > limit) {
        bytes.resize(limit);
        return WholeFile::TooLarge;
    }
    return WholeFile::Read;
}

bool flushFolder(const std::string& path) {
    Folder folder;
    const bool flushed = openFolder(path, folder) && syncFolder(folder);
    closeFolder(folder);
    return flushed;
}

bool makeListedBackup(Backup& b, const std::function<bool()>& make) {
    catchInterrupts();
    holdInterrupts();
    const bool made = make();
    if (made) {
        b.interruptSlot = registerTemporary(b.path);
    }
    releaseInterrupts();
    if (!made) {
        b.path.clear();
    }
    return made;
}

bool restoreBackup(Backup& b, const std::string& target) {
    // A backup that stands for no file is put back by removing the file again.
    const bool restored =
        b.absent ? removeFile(target) && removeFile(b.path) : moveOver(b.path, target);
    if (!restored) {
        return false;
    }
    unregisterTemporary(b.interruptSlot);
    b.path.clear();
    return true;
}

void dropBackup(Backup& b) {
    if (!b.path.empty()) {
        (void)removeFile(b.path);
        b.path.clear();
    }
    unregisterTemporary(b.interruptSlot);
}

void keepBackup(Backup& b) {
    unregisterTemporary(b.interruptSlot);
    b.path.clear();
}

void waitForEnter() {
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
}

} // namespace meshfold
