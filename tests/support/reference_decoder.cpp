#include "reference_decoder.h"

#include "test_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace qm::test {

namespace {

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

DecoderRun runReferenceDecoder(const std::filesystem::path& file) {
    DecoderRun run;
    const TempDir scratch;
    const std::filesystem::path errors = scratch.path() / "stderr.txt";
    const std::string cmd = "python3 " + shellQuote(pxdumpScript().string()) + " " +
                            shellQuote(file.string()) + " 2>" + shellQuote(errors.string());
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return run;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        run.output.append(buf, n);
    const int rc = ::pclose(p);
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        run.lines.push_back(line);
    std::ifstream err(errors);
    std::stringstream text;
    text << err.rdbuf();
    run.stderrText = text.str();
    return run;
}

DecodedTable decodeWithReference(const std::filesystem::path& file) {
    const DecoderRun run = runReferenceDecoder(file);
    DecodedTable table;
    table.status = run.status;
    bool first = true;
    for (const auto& line : run.lines) {
        if (line.empty())
            continue;
        if (first)
            table.header = nlohmann::json::parse(line);
        else
            table.rows.push_back(nlohmann::json::parse(line));
        first = false;
    }
    return table;
}

} // namespace qm::test
