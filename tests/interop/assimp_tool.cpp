#include "assimp_tool.h"

#include <cmath>
#include <cstdlib>
#include <sstream>


namespace meshfold::interop {


namespace {

// A coordinate of a `v` line; false unless it is a whole number that fits.
bool parseWholeNumber(const std::string& token, int& value) {
    char* end = nullptr;
    const double d = std::strtod(token.c_str(), &end);
    if (end == token.c_str() || *end != '\0' || d != std::floor(d) || std::fabs(d) > 1e6) {
        return false;
    }
    value = static_cast<int>(d);
    return true;
}

// The position index of an `f` corner such as "12/4/12" (1-based).
bool parsePositionIndex(const std::string& token, std::size_t& index) {
    char* end = nullptr;
    const long v = std::strtol(token.c_str(), &end, 10);
    if (end == token.c_str() || (*end != '\0' && *end != '/') || v < 1) {
        return false;
    }
    index = static_cast<std::size_t>(v);
    return true;
}

} // namespace

ObjScene parseAssimpObj(const std::string& text) {
    ObjScene scene;
    std::vector<FieldTriple> positions;
    // Faces are resolved once every position is known.
    std::vector<std::vector<std::array<std::size_t, 3>>> faceIndices;

    std::istringstream lines(text);
    std::string line;
    for (std::size_t lineNo = 1; std::getline(lines, line); ++lineNo) {
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (keyword == "v") {
            std::string x, y, z;
            FieldTriple p;
            if (!(words >> x >> y >> z) || !parseWholeNumber(x, p.x) || !parseWholeNumber(y, p.y) ||
                !parseWholeNumber(z, p.z)) {
                scene.error = where + "position is not three whole numbers: " + line;
                return scene;
            }
            positions.push_back(p);
        } else if (keyword == "usemtl") {
            faceIndices.emplace_back();
        } else if (keyword == "f") {
            std::array<std::size_t, 3> corners{};
            std::string extra;
            for (std::size_t& c : corners) {
                std::string token;
                if (!(words >> token) || !parsePositionIndex(token, c)) {
                    scene.error = where + "face corner unreadable: " + line;
                    return scene;
                }
            }
            if (words >> extra) {
                scene.error = where + "face is not a triangle: " + line;
                return scene;
            }
            if (faceIndices.empty()) {
                scene.error = where + "face before the first usemtl";
                return scene;
            }
            faceIndices.back().push_back(corners);
        }
    }

    for (const auto& group : faceIndices) {
        ObjGroup g;
        for (const auto& corners : group) {
            ObjFace face;
            for (std::size_t k = 0; k < 3; ++k) {
                if (corners[k] > positions.size()) {
                    scene.error = "face names position " + std::to_string(corners[k]) + " of " +
                                  std::to_string(positions.size());
                    return scene;
                }
                face[k] = positions[corners[k] - 1];
            }
            g.faces.push_back(face);
        }
        scene.groups.push_back(std::move(g));
    }
    return scene;
}

} // namespace meshfold::interop
