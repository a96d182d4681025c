// The part of the platform layer that is the same on every system.
#include "meshfold/platform/platform.h"

#include "platform/platform_names.h"

#include <cstdint>
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

} // namespace meshfold
