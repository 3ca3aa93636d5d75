#pragma once

// Runs the reference decoder on a table and hands back its header and records as JSON, so that
// tests compare what our writer produced with a reader written apart from ours.

#include "test_support.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace qm::test {

struct OracleDump {
    int status = -1;
    nlohmann::json header;
    std::vector<nlohmann::json> rows;
};

inline std::string oracleQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline OracleDump runOracle(const std::filesystem::path& db) {
    OracleDump d;
    std::string cmd = "python3 " + oracleQuote(pxdumpScript().string()) + " " +
                      oracleQuote(db.string()) + " 2>/dev/null";
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return d;
    std::string out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = ::pclose(p);
    d.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::istringstream lines(out);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        if (first)
            d.header = nlohmann::json::parse(line);
        else
            d.rows.push_back(nlohmann::json::parse(line));
        first = false;
    }
    return d;
}

inline std::vector<unsigned char> fileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace qm::test
