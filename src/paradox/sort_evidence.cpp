#include "paradox/sort_evidence.h"

#include "paradox/index_writer.h"

#include <algorithm>
#include <vector>

namespace qm::paradox {

namespace {

// The byte ranges of the Alpha fields among the first `count` fields of t's records.
std::vector<std::pair<std::size_t, std::size_t>> alphaRanges(const Table& t, std::size_t count) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t i = 0; i < count && i < t.fields().size(); ++i)
        if (t.fields()[i].type == FieldType::Alpha)
            out.emplace_back(t.fields()[i].offset, t.fields()[i].width);
    return out;
}

// What the records of t, in their chain order, show about their first `count` fields:
// whether they are in byte order, and whether a dictionary order would have them otherwise.
struct Evidence {
    bool byteOrdered = true;
    bool againstDictionary = false;
};

// Whether a pair in byte order, first differing at bytes a < b of an Alpha field, would be
// the other way round in every dictionary order: a capital before a small letter of an earlier
// letter ("Z" before "a"). A capital before its own small letter ("A" before "a") fits an order
// that puts capitals first on a tie; punctuation ("_", "[") against a letter fits an order that
// puts it before the letters, as dictionaries do; neither shows anything.
bool againstEveryDictionaryOrder(std::uint8_t a, std::uint8_t b) {
    return a >= 'A' && a <= 'Z' && b >= 'a' && b <= 'z' && a > b - ('a' - 'A');
}

Evidence orderOf(const Table& t, std::size_t count) {
    Evidence e;
    std::size_t width = 0;
    for (std::size_t i = 0; i < count && i < t.fields().size(); ++i)
        width += t.fields()[i].width;
    const auto alpha = alphaRanges(t, count);
    if (alpha.empty())
        return {true, false};
    const auto inAlpha = [&](std::size_t k) {
        return std::any_of(alpha.begin(), alpha.end(),
                           [&](const auto& r) { return k >= r.first && k < r.first + r.second; });
    };
    std::vector<std::uint8_t> previous;
    t.forEachRecordWhile([&](const Record& r) {
        std::vector<std::uint8_t> key(r.bytes().begin(),
                                      r.bytes().begin() + static_cast<long>(width));
        if (!previous.empty()) {
            const auto diff = std::mismatch(previous.begin(), previous.end(), key.begin());
            const auto at = static_cast<std::size_t>(diff.first - previous.begin());
            if (at == width || *diff.first > *diff.second)
                e.byteOrdered = false;
            else if (inAlpha(at) && againstEveryDictionaryOrder(*diff.first, *diff.second))
                e.againstDictionary = true;
        }
        previous = std::move(key);
        return e.byteOrdered;
    });
    return e;
}

} // namespace

bool textInByteOrder(const Table& table) {
    const Header& h = table.header();
    if (h.sortOrderID == "ascii")
        return true;
    if (!h.sortOrderID.empty() || h.fileVersionID >= 5)
        return false;
    bool decided = false;
    try {
        if (h.keyed()) {
            const Evidence e = orderOf(table, h.primaryKeyFields);
            if (!e.byteOrdered)
                return false;
            decided = e.againstDictionary;
        }
        for (const auto& idx : secondaryIndexesOf(table)) {
            const Table x = Table::openIndexData(idx.data);
            // The index fields and the primary key; the block hint is no part of the order.
            const Evidence e = orderOf(x, x.fields().size() - 1);
            if (!e.byteOrdered)
                return false;
            decided = decided || e.againstDictionary;
        }
    } catch (const std::exception&) {
        return false; // what cannot be read proves nothing
    }
    return decided;
}

} // namespace qm::paradox
