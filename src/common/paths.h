// Splitting a file's path into its folder and its name, with either
// separator, as the names on a command line and the platform layer give them.
#pragma once

#include <string>

namespace meshfold {

// The folder of `path` with its trailing separator ("models/" for
// "models/Cube_a.3d"), or empty for a bare name in the current folder.
inline std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The name of the file itself, without its folder.
inline std::string nameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace meshfold
