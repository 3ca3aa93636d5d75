#pragma once

// Compares the reference decoder's JSON with our values.

#include "paradox/table.h"
#include "reference_decoder.h"
#include "test_support.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace qm::paradox::test {

namespace px = qm::paradox;
namespace fs = std::filesystem;
using nlohmann::json;

using qm::test::DecoderRun;
using qm::test::runReferenceDecoder;

inline std::vector<fs::path> corpusTables() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(qm::test::corpusDir())) {
        if (!e.is_regular_file())
            continue;
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".db")
            out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Compares one value with the reference's JSON; returns a description of the difference.
inline std::string compareValue(const px::Field& f, const px::Value& v, const json& ref) {
    if (ref.is_null())
        return v.isNull() ? "" : "expected NULL, got \"" + px::textForm(f, v) + "\"";
    if (v.isNull())
        return "expected " + ref.dump() + ", got NULL";
    switch (f.type) {
    case px::FieldType::Alpha:
    case px::FieldType::Memo:
    case px::FieldType::Bcd:
    case px::FieldType::Date:
    case px::FieldType::Time:
    case px::FieldType::Timestamp:
    case px::FieldType::Bytes: {
        std::string ours = px::textForm(f, v);
        return ref.is_string() && ref.get<std::string>() == ours
                   ? ""
                   : "expected " + ref.dump() + ", got \"" + ours + "\"";
    }
    case px::FieldType::Short:
    case px::FieldType::Long:
    case px::FieldType::Autoinc:
        return ref.is_number_integer() && ref.get<std::int64_t>() == v.asInt()
                   ? ""
                   : "expected " + ref.dump() + ", got " + std::to_string(v.asInt());
    case px::FieldType::Number:
    case px::FieldType::Money: {
        if (!ref.is_number() || ref.get<double>() != v.asDouble())
            return "expected " + ref.dump() + ", got " + px::textForm(f, v);
        // The text form must read back to the very same double.
        double back = std::stod(px::textForm(f, v));
        return back == v.asDouble() ? "" : "text form does not round-trip: " + px::textForm(f, v);
    }
    case px::FieldType::Logical:
        return ref.is_boolean() && ref.get<bool>() == (v.asInt() != 0)
                   ? ""
                   : "expected " + ref.dump() + ", got " + px::textForm(f, v);
    case px::FieldType::Binary:
    case px::FieldType::FormattedMemo:
    case px::FieldType::Ole:
    case px::FieldType::Graphic:
        return ref.is_object() && ref.value("blob", -1) == static_cast<long>(v.asBytes().size())
                   ? ""
                   : "expected " + ref.dump() + ", got " + std::to_string(v.asBytes().size()) +
                         " bytes";
    }
    return "unknown type";
}

} // namespace qm::paradox::test
