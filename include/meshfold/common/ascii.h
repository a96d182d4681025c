// Comparing names the way meshfold's switches and Windows file names are
// compared: the case of ASCII letters ignored, every other byte as it is.
#pragma once

#include <cstddef>
#include <string_view>

namespace meshfold {

inline char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

inline bool endsWithIgnoringAsciiCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           equalsIgnoringAsciiCase(s.substr(s.size() - suffix.size()), suffix);
}

// Negative, zero or positive as `a` comes before, with or after `b` when the
// case of ASCII letters is ignored.
inline int compareIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(lowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(lowerAscii(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Name order as a file manager shows it: "apple" < "Banana" < "cherry", and
// "Box_a.3d" < "BoxBig_a.3d". Names equal but for case are ordered byte by
// byte, so that the order is total and the same on every run.
inline bool lessIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const int c = compareIgnoringAsciiCase(a, b);
    return c != 0 ? c < 0 : a < b;
}

} // namespace meshfold
