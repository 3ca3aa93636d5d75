#include "paradox/validity.h"

#include "paradox/ascii.h"
#include "paradox/byte_order.h"
#include "paradox/codepage.h"
#include "paradox/family_files.h"
#include "paradox/utf8.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

// A picture as a tree of items.
struct Item {
    enum Kind { Sequence, Class, Literal, Repeat, Optional, OneOf } kind = Sequence;
    char32_t c = 0;
    int times = -1; // Repeat: -1 any number
    std::vector<Item> items;
};

std::vector<char32_t> codePoints(std::string_view s) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size();)
        out.push_back(nextCharacter(s, i));
    return out;
}

// Commas part alternatives in every group, the whole picture included: "C{ash,heck},Visa" is
// "Cash", "Check" or "Visa", and "[x!,@]" an optional "x" and capital, or any one character.
class PictureParser {
  public:
    explicit PictureParser(std::string_view p) : p_(codePoints(p)) {}
    Item parse() {
        Item root = alternatives(U'\0');
        if (at_ < p_.size())
            broken_ = true; // a closing bracket that nothing opened
        return root;
    }
    bool broken() const { return broken_; }

  private:
    Item sequence(char32_t stop) {
        Item seq;
        while (at_ < p_.size() && p_[at_] != stop && p_[at_] != U',' && !closing(p_[at_]))
            seq.items.push_back(item());
        return seq;
    }
    static bool closing(char32_t c) { return c == U']' || c == U'}'; }
    // Alternatives up to stop, which is consumed; a group left open marks the picture broken.
    Item alternatives(char32_t stop) {
        Item choice;
        choice.kind = Item::OneOf;
        for (;;) {
            choice.items.push_back(sequence(stop));
            if (at_ < p_.size() && p_[at_] == U',') {
                ++at_;
                continue;
            }
            break;
        }
        if (stop != U'\0') {
            if (at_ < p_.size() && p_[at_] == stop)
                ++at_;
            else
                broken_ = true;
        }
        if (choice.items.size() == 1)
            return std::move(choice.items.front());
        return choice;
    }
    Item item() {
        const char32_t c = p_[at_++];
        Item it;
        switch (c) {
        case U';':
            it.kind = Item::Literal;
            if (at_ < p_.size())
                it.c = p_[at_++];
            else
                broken_ = true;
            return it;
        case U'*': {
            it.kind = Item::Repeat;
            int n = -1;
            while (at_ < p_.size() && p_[at_] >= U'0' && p_[at_] <= U'9')
                n = (n < 0 ? 0 : n * 10) + static_cast<int>(p_[at_++] - U'0');
            it.times = n;
            if (at_ < p_.size() && p_[at_] != U',' && !closing(p_[at_]))
                it.items.push_back(item());
            else
                broken_ = true; // a repeat of nothing
            return it;
        }
        case U'[':
            it.kind = Item::Optional;
            it.items.push_back(alternatives(U']'));
            return it;
        case U'{':
            return alternatives(U'}');
        case U'#':
        case U'?':
        case U'&':
        case U'~':
        case U'@':
        case U'!':
            it.kind = Item::Class;
            it.c = c;
            return it;
        default:
            it.kind = Item::Literal;
            it.c = c;
            return it;
        }
    }
    std::vector<char32_t> p_;
    std::size_t at_ = 0;
    bool broken_ = false;
};

bool isLetter(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || c >= 0x80;
}

bool fits(char32_t cls, char32_t c) {
    switch (cls) {
    case U'#':
        return c >= U'0' && c <= U'9';
    case U'?':
        return isLetter(c);
    case U'&': // the BDE stores such a letter as a capital
        return isLetter(c) && !(c >= U'a' && c <= U'z');
    case U'~':
        return isLetter(c) && !(c >= U'A' && c <= U'Z');
    case U'!':
        return !(c >= U'a' && c <= U'z');
    default:
        return true;
    }
}

std::set<std::size_t> ends(const Item& it, const std::vector<char32_t>& t, std::size_t pos);

// Where a repeat ends: after exactly its count of items, or after any number of them.
std::set<std::size_t> repeatEnds(const Item& it, const std::vector<char32_t>& t, std::size_t pos) {
    if (it.items.empty())
        return {pos};
    std::set<std::size_t> frontier{pos};
    if (it.times >= 0) {
        for (int k = 0; k < it.times && !frontier.empty(); ++k) {
            std::set<std::size_t> next;
            for (auto p : frontier)
                for (auto e : ends(it.items[0], t, p))
                    next.insert(e);
            frontier = std::move(next);
        }
        return frontier;
    }
    std::set<std::size_t> out = frontier;
    while (!frontier.empty()) {
        std::set<std::size_t> next;
        for (auto p : frontier)
            for (auto e : ends(it.items[0], t, p))
                if (out.insert(e).second)
                    next.insert(e);
        frontier = std::move(next);
    }
    return out;
}

// Every position where item can end when it starts at pos.
std::set<std::size_t> ends(const Item& it, const std::vector<char32_t>& t, std::size_t pos) {
    std::set<std::size_t> out;
    switch (it.kind) {
    case Item::Class:
        if (pos < t.size() && fits(it.c, t[pos]))
            out.insert(pos + 1);
        return out;
    case Item::Literal:
        if (pos < t.size() && t[pos] == it.c)
            out.insert(pos + 1);
        return out;
    case Item::Sequence: {
        out.insert(pos);
        for (const auto& sub : it.items) {
            std::set<std::size_t> next;
            for (auto p : out)
                for (auto e : ends(sub, t, p))
                    next.insert(e);
            out = std::move(next);
            if (out.empty())
                break;
        }
        return out;
    }
    case Item::Optional:
        out = ends(it.items[0], t, pos);
        out.insert(pos);
        return out;
    case Item::OneOf:
        for (const auto& alt : it.items)
            for (auto e : ends(alt, t, pos))
                out.insert(e);
        return out;
    case Item::Repeat:
        return repeatEnds(it, t, pos);
    }
    return out;
}

} // namespace

bool pictureParses(std::string_view picture) {
    PictureParser parser(picture);
    parser.parse();
    return !parser.broken();
}

bool matchesPicture(std::string_view picture, std::string_view text) {
    const Item root = PictureParser(picture).parse();
    const auto t = codePoints(text);
    return ends(root, t, 0).count(t.size()) > 0;
}

namespace {

std::vector<std::uint8_t> validityBytes(const Table& table, std::string& name) {
    fs::path val;
    for (const auto& p : familyFiles(table.path())) {
        if (asciiLower(p.extension().string()) == ".val")
            val = p;
    }
    if (val.empty())
        return {};
    name = "\"" + val.filename().string() + "\"";
    std::ifstream in(val, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

// The entries of both layouts are alike from 0x35 on: field number, picture size, required,
// lookup flags, then pointers whose being non-zero says which values follow the entry, in the
// order lookup, minimum, maximum, default, picture. The older layout (Paradox 3.x, byte 1 == 1)
// ends with its last entry; the newer ones go on with referential integrity and a footer.
std::size_t readEntry(const std::vector<std::uint8_t>& b, std::size_t pos, const Table& table,
                      const std::string& name, std::vector<FieldChecks>& out) {
    const auto& fields = table.fields();
    if (pos + 0x1C > b.size())
        throw FormatError(name + " ends inside its checks");
    const std::size_t f = b[pos];
    const std::size_t pictureSize = b[pos + 1];
    if (f >= fields.size())
        throw FormatError(name + " has checks for a field the table does not have");
    FieldChecks& c = out[f];
    c.required = b[pos + 2] != 0;
    const std::size_t width = fields[f].width;
    std::size_t data = pos + 0x1C;
    const auto take = [&](std::size_t n) {
        if (data + n > b.size())
            throw FormatError(name + " ends inside the checks of field \"" + fields[f].name + "\"");
        std::vector<std::uint8_t> v(b.begin() + static_cast<long>(data),
                                    b.begin() + static_cast<long>(data + n));
        data += n;
        return v;
    };
    const auto text = [](const std::vector<std::uint8_t>& v) {
        return std::string(v.begin(), std::find(v.begin(), v.end(), std::uint8_t{0}));
    };
    if (le32(b.data() + pos + 0x04)) // the table's name, then pointers of Paradox's own
        c.lookupTable = decode(table.codePage(), text(take(0x50)).substr(0, 0x1A));
    if (le32(b.data() + pos + 0x0C))
        c.minimum = take(width);
    if (le32(b.data() + pos + 0x10))
        c.maximum = take(width);
    if (le32(b.data() + pos + 0x14))
        c.defaultValue = take(width);
    if (le32(b.data() + pos + 0x18)) {
        c.picture = decode(table.codePage(), text(take(pictureSize)));
        if (!pictureParses(c.picture))
            throw FormatError(name + " has a picture for field \"" + fields[f].name +
                              "\" that cannot be read");
    }
    return data;
}

} // namespace

std::vector<FieldChecks> readValidityChecks(const Table& table) {
    std::string name;
    const std::vector<std::uint8_t> b = validityBytes(table, name);
    if (name.empty())
        return {};
    if (b.size() < 0x35)
        throw FormatError(name + " is shorter than a validity file's header");
    const bool older = b[1] == 1;
    if (!older && (b[1] < 9 || b[1] > 12))
        throw FormatError(name + " has a layout of level " + std::to_string(b[1]) +
                          " that is not known");
    std::vector<FieldChecks> out(table.fields().size());
    std::size_t pos = 0x35;
    for (unsigned k = 0; k < b[2]; ++k)
        pos = readEntry(b, pos, table, name, out);
    // What follows the last entry of the older layout is not known: better unread than misread.
    if (older && pos != b.size())
        throw FormatError(name + " has " + std::to_string(b.size() - pos) +
                          " bytes after its checks whose layout is not known");
    return out;
}

std::set<std::string> lookupValues(const Table& table, const std::string& lookupTable) {
    fs::path found;
    std::error_code ec;
    const std::string wanted = asciiLower(lookupTable);
    for (fs::directory_iterator it(table.path().parent_path(), ec), end; !ec && it != end;
         it.increment(ec))
        if (asciiLower(it->path().filename().string()) == wanted)
            found = it->path();
    if (found.empty())
        throw FormatError("it is not beside the table");
    const Table lookup = Table::open(found);
    std::set<std::string> out;
    if (lookup.fields().empty())
        return out;
    lookup.forEachRecord([&](const Record& r) {
        if (auto v = lookup.text(0, r.bytes()))
            out.insert(std::move(*v));
    });
    return out;
}

std::string validityProblem(const Table& table) {
    try {
        readValidityChecks(table);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

std::string brokenCheck(const FieldChecks& checks, const Field& field,
                        std::span<const std::uint8_t> encoded, std::string_view text,
                        bool textOrdered) {
    if (text.empty())
        return checks.required ? "required" : "";
    const bool alpha = field.type == FieldType::Alpha;
    const auto below = [&](const std::vector<std::uint8_t>& bound) {
        return std::memcmp(encoded.data(), bound.data(), std::min(encoded.size(), bound.size())) <
               0;
    };
    if (checks.minimum && ((alpha && !textOrdered) || below(*checks.minimum)))
        return "minimum";
    if (checks.maximum) {
        const bool above = std::memcmp(encoded.data(), checks.maximum->data(),
                                       std::min(encoded.size(), checks.maximum->size())) > 0;
        if ((alpha && !textOrdered) || above)
            return "maximum";
    }
    if (!checks.picture.empty() && !matchesPicture(checks.picture, text))
        return "picture \"" + checks.picture + "\"";
    return {};
}

} // namespace qm::paradox
