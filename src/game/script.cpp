#include "meshfold/game/script.h"

#include "meshfold/common/ascii.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace meshfold {

namespace {

constexpr std::uint32_t kMaxSequenceFrame = 65535;
constexpr double kMaxRate = 1000;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One line of a script as words: the bare words in order, and KEY=value
// pairs (keys as written; the last of a key wins).
struct LineWords {
    std::vector<std::string_view> bare;
    std::vector<std::pair<std::string_view, std::string_view>> pairs;

    std::optional<std::string_view> value(std::string_view key) const {
        std::optional<std::string_view> found;
        for (const auto& [k, v] : pairs) {
            if (equalsIgnoringAsciiCase(k, key)) {
                found = v;
            }
        }
        return found;
    }

    std::string text(std::string_view key) const { return std::string(value(key).value_or("")); }

    // True when the line starts `#exec a b`.
    bool is(std::string_view a, std::string_view b) const {
        return bare.size() >= 3 && equalsIgnoringAsciiCase(bare[0], "#exec") &&
               equalsIgnoringAsciiCase(bare[1], a) && equalsIgnoringAsciiCase(bare[2], b);
    }
};

// A word starting at `at`: a double-quoted run (without its quotes; an
// unclosed one runs to the end of the line), or characters up to a space or
// `stop`.
std::string_view wordAt(std::string_view line, std::size_t& at, bool stopAtEquals) {
    if (line[at] == '"') {
        const std::size_t close = line.find('"', at + 1);
        const std::size_t end = close == std::string_view::npos ? line.size() : close;
        const std::string_view w = line.substr(at + 1, end - at - 1);
        at = close == std::string_view::npos ? end : close + 1;
        return w;
    }
    const std::size_t start = at;
    while (at < line.size() && !isSpace(line[at]) && !(stopAtEquals && line[at] == '=')) {
        ++at;
    }
    return line.substr(start, at - start);
}

void skipSpaces(std::string_view line, std::size_t& at) {
    while (at < line.size() && isSpace(line[at])) {
        ++at;
    }
}

LineWords wordsOf(std::string_view line) {
    LineWords w;
    std::size_t at = 0;
    for (skipSpaces(line, at); at < line.size(); skipSpaces(line, at)) {
        const std::string_view word = wordAt(line, at, true);
        std::size_t next = at;
        skipSpaces(line, next);
        if (next < line.size() && line[next] == '=') {
            at = next + 1;
            skipSpaces(line, at);
            w.pairs.emplace_back(word, at < line.size() ? wordAt(line, at, false) : std::string_view{});
        } else if (!word.empty()) {
            w.bare.push_back(word);
        } else {
            ++at; // a lone '=' with nothing before it
        }
    }
    return w;
}

// A whole number of up to nine digits, or -1.
long wholeNumber(std::string_view text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return -1;
    }
    return std::strtol(std::string(text).c_str(), nullptr, 10);
}

// The file's name without its folder and its extension.
std::string baseNameOf(std::string_view file) {
    const std::vector<std::string> parts = scriptPathParts(file);
    std::string name = parts.empty() ? std::string() : parts.back();
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

void readSequence(const LineWords& w, double fps, ExecLines& lines) {
    const std::optional<std::string_view> start = w.value("STARTFRAME");
    const long first = start ? wholeNumber(*start) : 0;
    const long count = wholeNumber(w.value("NUMFRAMES").value_or(""));
    SequenceLine s{w.text("MESH"), MeshSequence{w.text("SEQ"), 0, 0, fps}};
    if (s.clip.name.empty() || first < 0 || count < 1 || first > long{kMaxSequenceFrame} ||
        count > long{kMaxSequenceFrame}) {
        return;
    }
    if (const std::optional<std::string_view> rate = w.value("RATE")) {
        const double r = std::strtod(std::string(*rate).c_str(), nullptr);
        s.clip.rate = r > 0 && r <= kMaxRate ? r : fps;
    }
    s.clip.first = static_cast<std::uint32_t>(first);
    s.clip.count = static_cast<std::uint32_t>(count);
    lines.sequences.push_back(std::move(s));
}

void readLine(std::string_view line, double fps, ExecLines& lines) {
    const LineWords w = wordsOf(line);
    if (w.is("MESH", "IMPORT")) {
        MeshImportLine m{w.text("MESH"), w.text("ANIVFILE"), w.text("DATAFILE")};
        if (!m.mesh.empty() && !m.animFile.empty()) {
            lines.meshImports.push_back(std::move(m));
        }
    } else if (w.is("MESH", "SEQUENCE")) {
        readSequence(w, fps, lines);
    } else if (w.is("MESHMAP", "NEW")) {
        MeshMapLine m{w.text("MESHMAP"), w.text("MESH")};
        if (!m.meshMap.empty() && !m.mesh.empty()) {
            lines.meshMaps.push_back(std::move(m));
        }
    } else if (w.is("MESHMAP", "SETTEXTURE")) {
        const long slot = wholeNumber(w.value("NUM").value_or(""));
        SetTextureLine s{w.text("MESHMAP"), 0, w.text("TEXTURE")};
        if (slot >= 0 && slot <= 255 && !s.meshMap.empty() && !s.texture.empty()) {
            s.slot = static_cast<std::uint8_t>(slot);
            lines.setTextures.push_back(std::move(s));
        }
    } else if (w.is("TEXTURE", "IMPORT")) {
        TextureImportLine t{w.text("NAME"), w.text("FILE"), w.text("GROUP"), 0};
        const long flags = wholeNumber(w.value("FLAGS").value_or(""));
        t.flags = flags < 0 ? 0 : static_cast<std::uint32_t>(flags);
        if (t.name.empty()) {
            t.name = baseNameOf(t.file);
        }
        if (!t.file.empty() && !t.name.empty()) {
            lines.textureImports.push_back(std::move(t));
        }
    }
}

} // namespace

std::string withoutComments(std::string_view text) {
    std::string out(text);
    bool quoted = false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char c = out[i];
        const char next = i + 1 < out.size() ? out[i + 1] : '\0';
        if (c == '\n') {
            quoted = false; // a value never runs past its line
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == '/' && next == '/') {
            for (; i < out.size() && out[i] != '\n'; ++i) {
                out[i] = ' ';
            }
            --i;
        } else if (!quoted && c == '/' && next == '*') {
            const std::size_t close = out.find("*/", i + 2);
            const std::size_t end = close == std::string::npos ? out.size() : close + 2;
            for (; i < end; ++i) {
                out[i] = out[i] == '\n' ? '\n' : ' ';
            }
            --i;
        }
    }
    return out;
}

void readExecLines(std::string_view text, double fps, ExecLines& lines) {
    const std::string plain = withoutComments(text);
    const std::string_view all = plain;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find('\n', at), all.size());
        readLine(all.substr(at, end - at), fps, lines);
        at = end + 1;
    }
}

std::string_view unqualifiedName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::vector<std::string> scriptPathParts(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t end = std::min(path.find_first_of("/\\", at), path.size());
        const std::string_view part = path.substr(at, end - at);
        if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        at = end + 1;
    }
    return parts;
}

namespace {

// What comes before a qualified name's last part: "Pkg.Skins" of "Pkg.Skins.Body".
std::string_view groupQualifier(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(0, dot);
}

// True when `qualifier` ends with the group path `group` ("Pkg.Skins" and "Skins" with Skins).
bool qualifiedBy(std::string_view qualifier, std::string_view group) {
    if (qualifier.size() < group.size() ||
        !equalsIgnoringAsciiCase(qualifier.substr(qualifier.size() - group.size()), group)) {
        return false;
    }
    return qualifier.size() == group.size() || qualifier[qualifier.size() - group.size() - 1] == '.';
}

} // namespace

std::vector<SlotTexture> meshSlotTextures(const ExecLines& lines, std::string_view mesh) {
    std::vector<std::string_view> maps = {mesh};
    for (const MeshMapLine& m : lines.meshMaps) {
        if (equalsIgnoringAsciiCase(m.mesh, mesh)) {
            maps.push_back(m.meshMap);
        }
    }
    const auto isMap = [&](std::string_view name) {
        return std::any_of(maps.begin(), maps.end(),
                           [&](std::string_view m) { return equalsIgnoringAsciiCase(m, name); });
    };
    std::map<std::uint8_t, SlotTexture> slots;
    for (const SetTextureLine& s : lines.setTextures) {
        if (isMap(s.meshMap)) {
            slots[s.slot] = SlotTexture{s.slot, s.texture, std::nullopt};
        }
    }
    std::vector<SlotTexture> out;
    for (auto& [slot, texture] : slots) {
        const std::string_view name = unqualifiedName(texture.texture);
        const std::string_view qualifier = groupQualifier(texture.texture);
        bool inGroup = false; // an import whose group the name gives has been found
        for (const TextureImportLine& t : lines.textureImports) {
            const bool groupMatches = !t.group.empty() && qualifiedBy(qualifier, t.group);
            if (equalsIgnoringAsciiCase(t.name, name) && (groupMatches || !inGroup)) {
                texture.import = t;
                inGroup = inGroup || groupMatches;
            }
        }
        out.push_back(std::move(texture));
    }
    return out;
}

std::vector<MeshSequence> meshSequences(const ExecLines& lines, std::string_view mesh) {
    std::vector<MeshSequence> clips;
    for (const SequenceLine& s : lines.sequences) {
        if (equalsIgnoringAsciiCase(s.mesh, mesh)) {
            clips.push_back(s.clip);
        }
    }
    return clips;
}

} // namespace meshfold
