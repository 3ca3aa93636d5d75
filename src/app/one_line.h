#pragma once

#include <string>

namespace qm {

// A name as one field of a one-line, tab-separated output: line breaks and tabs in it (a
// file system allows them in a table's name) would split the line or the field, so they are
// written as \n, \r and \t, and a backslash as \\.
inline std::string oneLine(const std::string& text) {
    if (text.find_first_of("\\\t\n\r") == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

} // namespace qm
