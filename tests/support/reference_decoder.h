#pragma once

// Runs the independent reference decoder (pxdump.py) on a table or an index's data file, so
// that tests compare what our reader and writers see with a decoder written apart from ours.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace qm::test {

struct DecoderRun {
    int status = -1;                // exit status; -1 when it did not run or did not exit
    std::string output;             // stdout as printed: the header line, then one per record
    std::vector<std::string> lines; // output split at its line breaks
    std::string stderrText;
};

DecoderRun runReferenceDecoder(const std::filesystem::path& file);

// The same run parsed: the header line and one JSON array per record.
struct DecodedTable {
    int status = -1;
    nlohmann::json header;
    std::vector<nlohmann::json> rows;
};

DecodedTable decodeWithReference(const std::filesystem::path& file);

} // namespace qm::test
