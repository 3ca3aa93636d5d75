#include "paradox/writer.h"

#include "paradox/codepage.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <numeric>
#include <unistd.h>

namespace qm::paradox {

namespace {

constexpr std::size_t kMemoBlock = 4096;
constexpr std::size_t kIndexBlockKiB = 2; // what the BDE uses for .PX files of 5.x and 7.x
constexpr std::uint16_t kHeaderUnit = 0x800;

void putLE16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void putLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Record encoding of integers: big-endian with the sign bit flipped, so that byte order is value
// order and all-zero bytes stay free for NULL.
void putFlipped(std::uint8_t* p, std::int64_t v, int bytes) {
    std::uint64_t u = static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << (8 * bytes - 1));
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(u);
        u >>= 8;
    }
}

void putDouble(std::uint8_t* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (bits >> 63)
        bits = ~bits;
    else
        bits |= std::uint64_t{1} << 63;
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(bits);
        bits >>= 8;
    }
}

std::string fieldLabel(const FieldSpec& f) {
    return "field \"" + f.name + "\"";
}

std::string typeName(FieldType t) {
    return std::string(1, typeLetter(t));
}

// Text in the table's code page. ASCII passes straight through (every Paradox code page agrees
// with ASCII there), which keeps the writer fast on the common case.
std::string encodeText(std::uint16_t codePage, std::string_view utf8, const FieldSpec& f) {
    bool ascii = true;
    for (unsigned char c : utf8) {
        if (c == 0)
            throw WriteError("The value for " + fieldLabel(f) + " contains a NUL character.");
        if (c >= 0x80)
            ascii = false;
    }
    if (ascii)
        return std::string(utf8);
    try {
        return encode(codePage, utf8);
    } catch (const CodePageError& e) {
        throw WriteError("The value for " + fieldLabel(f) + " holds a character that code page " +
                         std::to_string(codePage) + " cannot represent (" + e.what() + ").");
    }
}

std::int64_t wantInt(const FieldSpec& f, const Value& v) {
    if (auto p = std::get_if<std::int64_t>(&v.data))
        return *p;
    throw WriteError("The value for " + fieldLabel(f) + " (type " + typeName(f.type) +
                     ") must be an integer.");
}

double wantDouble(const FieldSpec& f, const Value& v) {
    double d;
    if (auto p = std::get_if<double>(&v.data))
        d = *p;
    else if (auto q = std::get_if<std::int64_t>(&v.data))
        d = static_cast<double>(*q);
    else
        throw WriteError("The value for " + fieldLabel(f) + " (type " + typeName(f.type) +
                         ") must be a number.");
    if (!std::isfinite(d))
        throw WriteError("The value for " + fieldLabel(f) + " is not a finite number.");
    return d;
}

void checkRange(const FieldSpec& f, std::int64_t v, std::int64_t lo, std::int64_t hi) {
    if (v < lo || v > hi)
        throw WriteError("The value " + std::to_string(v) + " for " + fieldLabel(f) +
                         " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) +
                         ").");
}

// BCD: byte 0 = sign (0x80 positive) | 0x40 (not NULL) | decimals; 32 digit nibbles, the last
// `decimals` of them the fraction; complemented when negative.
void putBcd(const FieldSpec& f, std::string_view text, std::uint8_t* p) {
    bool neg = false;
    std::string_view s = text;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    auto dot = s.find('.');
    std::string_view whole = s.substr(0, dot);
    std::string_view frac = dot == std::string_view::npos ? std::string_view{} : s.substr(dot + 1);
    auto digitsOnly = [](std::string_view d) {
        return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && frac.empty()) || !digitsOnly(whole) || !digitsOnly(frac))
        throw WriteError("\"" + std::string(text) + "\" is not a decimal number for " +
                         fieldLabel(f) + ".");
    while (!frac.empty() && frac.size() > f.size && frac.back() == '0')
        frac.remove_suffix(1);
    while (whole.size() > 1 && whole[0] == '0')
        whole.remove_prefix(1);
    if (frac.size() > f.size || whole.size() > 32u - f.size)
        throw WriteError("\"" + std::string(text) + "\" does not fit " + fieldLabel(f) + " (" +
                         std::to_string(32 - f.size) + " integer digits, " +
                         std::to_string(f.size) + " decimals).");
    std::uint8_t nib[32] = {};
    std::size_t intDigits = 32u - f.size;
    for (std::size_t i = 0; i < whole.size(); ++i)
        nib[intDigits - whole.size() + i] = static_cast<std::uint8_t>(whole[i] - '0');
    for (std::size_t i = 0; i < frac.size(); ++i)
        nib[intDigits + i] = static_cast<std::uint8_t>(frac[i] - '0');
    bool zero = std::all_of(std::begin(nib), std::end(nib), [](std::uint8_t n) { return !n; });
    if (zero)
        neg = false;
    p[0] = static_cast<std::uint8_t>((neg ? 0 : 0x80) | 0x40 | f.size);
    for (int i = 0; i < 16; ++i) {
        std::uint8_t hi = nib[2 * i], lo = nib[2 * i + 1];
        if (neg) {
            hi ^= 0xF;
            lo ^= 0xF;
        }
        p[1 + i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
}

// Days from 0000-12-31 (0001-01-01 is day 1), proleptic Gregorian.
std::int64_t dayNumber(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t unixDays = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
    return unixDays + 719163;
}

bool parseUnsigned(std::string_view s, std::int64_t& out) {
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && s[0] != '-' && s[0] != '+';
}

bool parseDate(std::string_view s, std::int64_t& day) {
    bool neg = !s.empty() && s[0] == '-';
    if (neg)
        s.remove_prefix(1);
    if (s.size() != 10 || s[4] != '-' || s[7] != '-')
        return false;
    std::int64_t y, m, d;
    if (!parseUnsigned(s.substr(0, 4), y) || !parseUnsigned(s.substr(5, 2), m) ||
        !parseUnsigned(s.substr(8, 2), d))
        return false;
    if (neg)
        y = -y;
    if (m < 1 || m > 12 || d < 1)
        return false;
    static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > mdays[m - 1] + (m == 2 && leap))
        return false;
    day = dayNumber(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
    return true;
}

bool parseTime(std::string_view s, std::int64_t& ms) {
    if (s.size() != 8 && s.size() != 12)
        return false;
    if (s[2] != ':' || s[5] != ':' || (s.size() == 12 && s[8] != '.'))
        return false;
    std::int64_t h, m, sec, milli = 0;
    if (!parseUnsigned(s.substr(0, 2), h) || !parseUnsigned(s.substr(3, 2), m) ||
        !parseUnsigned(s.substr(6, 2), sec) ||
        (s.size() == 12 && !parseUnsigned(s.substr(9, 3), milli)))
        return false;
    if (h > 23 || m > 59 || sec > 59)
        return false;
    ms = ((h * 60 + m) * 60 + sec) * 1000 + milli;
    return true;
}

std::string formatIndex(std::size_t i) {
    return std::to_string(i + 1);
}

[[noreturn]] void throwErrno(const std::string& what, const std::filesystem::path& p) {
    int e = errno;
    throw FileError(what + " \"" + p.string() + "\": " + std::strerror(e), e);
}

// A file written front to back through a large buffer, with positioned writes for headers.
class OutFile {
  public:
    explicit OutFile(const std::filesystem::path& p) : path_(p) {
        fd_ = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0)
            throwErrno("Cannot create", p);
        buf_.reserve(1 << 20);
    }
    ~OutFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;

    void append(const std::uint8_t* data, std::size_t n) {
        if (buf_.size() + n > buf_.capacity())
            drain();
        if (n >= buf_.capacity()) {
            writeAll(data, n, size_);
            size_ += n;
            return;
        }
        buf_.insert(buf_.end(), data, data + n);
        size_ += n;
    }
    void append(std::span<const std::uint8_t> s) { append(s.data(), s.size()); }
    void appendZeros(std::size_t n) {
        static const std::uint8_t zeros[4096] = {};
        while (n) {
            std::size_t k = std::min(n, sizeof zeros);
            append(zeros, k);
            n -= k;
        }
    }
    void writeAt(std::uint64_t off, std::span<const std::uint8_t> s) {
        drain();
        writeAll(s.data(), s.size(), off);
    }
    void finish() {
        drain();
        if (::fsync(fd_) != 0)
            throwErrno("Cannot flush", path_);
        if (::close(fd_) != 0) {
            fd_ = -1;
            throwErrno("Cannot close", path_);
        }
        fd_ = -1;
    }
    std::uint64_t size() const { return size_; }

  private:
    void drain() {
        if (buf_.empty())
            return;
        writeAll(buf_.data(), buf_.size(), size_ - buf_.size());
        buf_.clear();
    }
    void writeAll(const std::uint8_t* p, std::size_t n, std::uint64_t off) {
        while (n) {
            ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(off));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throwErrno("Cannot write", path_);
            }
            p += w;
            n -= static_cast<std::size_t>(w);
            off += static_cast<std::uint64_t>(w);
        }
    }
    std::filesystem::path path_;
    int fd_ = -1;
    std::vector<std::uint8_t> buf_;
    std::uint64_t size_ = 0;
};

} // namespace

FamilyPaths familyPathsFor(const std::filesystem::path& db) {
    std::string ext = db.extension().string();
    bool upper = ext.size() >= 2 && std::isupper(static_cast<unsigned char>(ext[1]));
    FamilyPaths f;
    f.db = db;
    f.mb = std::filesystem::path(db).replace_extension(upper ? ".MB" : ".mb");
    f.px = std::filesystem::path(db).replace_extension(upper ? ".PX" : ".px");
    return f;
}

std::size_t writtenWidth(const FieldSpec& f) {
    switch (f.type) {
    case FieldType::Alpha:
    case FieldType::Bytes:
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return f.size;
    case FieldType::Bcd:
        return 17;
    case FieldType::Short:
        return 2;
    case FieldType::Logical:
        return 1;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::Autoinc:
        return 4;
    case FieldType::Money:
    case FieldType::Number:
    case FieldType::Timestamp:
        return 8;
    }
    return 0;
}

// The size byte the header carries for a field.
static std::uint8_t headerSizeByte(const FieldSpec& f) {
    if (f.type == FieldType::Bcd)
        return f.size;
    return static_cast<std::uint8_t>(writtenWidth(f));
}

Value valueFromText(const FieldSpec& f, std::string_view text) {
    Value v;
    if (text.empty())
        return v;
    auto bad = [&](const std::string& form) {
        return WriteError("\"" + std::string(text) + "\" is not a valid value for " +
                          fieldLabel(f) + " (expected " + form + ").");
    };
    switch (f.type) {
    case FieldType::Alpha:
    case FieldType::Memo:
        v.data = std::string(text);
        return v;
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Autoinc: {
        std::int64_t n;
        auto r = std::from_chars(text.data(), text.data() + text.size(), n);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size())
            throw bad("an integer");
        v.data = n;
        return v;
    }
    case FieldType::Number:
    case FieldType::Money: {
        double d;
        auto r = std::from_chars(text.data(), text.data() + text.size(), d);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(d))
            throw bad("a number");
        v.data = d;
        return v;
    }
    case FieldType::Date: {
        std::int64_t day;
        if (!parseDate(text, day))
            throw bad("a date YYYY-MM-DD");
        v.data = day;
        return v;
    }
    case FieldType::Time: {
        std::int64_t ms;
        if (!parseTime(text, ms))
            throw bad("a time HH:MM:SS");
        v.data = ms;
        return v;
    }
    case FieldType::Timestamp: {
        auto sp = text.find(' ');
        std::int64_t day, ms;
        if (sp == std::string_view::npos || !parseDate(text.substr(0, sp), day) ||
            !parseTime(text.substr(sp + 1), ms))
            throw bad("a timestamp YYYY-MM-DD HH:MM:SS");
        v.data = static_cast<double>(day) * 86400000.0 + static_cast<double>(ms);
        return v;
    }
    case FieldType::Logical:
        if (text == "True" || text == "true")
            v.data = std::int64_t{1};
        else if (text == "False" || text == "false")
            v.data = std::int64_t{0};
        else
            throw bad("True or False");
        return v;
    case FieldType::Bcd:
        v.data = std::string(text);
        return v;
    case FieldType::Bytes: {
        if (text.size() % 2)
            throw bad("hexadecimal bytes");
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < text.size(); i += 2) {
            unsigned b;
            auto r = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
            if (r.ec != std::errc() || r.ptr != text.data() + i + 2)
                throw bad("hexadecimal bytes");
            bytes.push_back(static_cast<std::uint8_t>(b));
        }
        v.data = std::move(bytes);
        return v;
    }
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        break;
    }
    throw WriteError(fieldLabel(f) + " (type " + typeName(f.type) + ") holds no text.");
}

void encodeFixedField(const FieldSpec& f, const Value& v, std::uint16_t codePage,
                      std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (f.type == FieldType::Bcd && v.isNull()) {
        out[0] = f.size; // what the BDE leaves for a blank BCD: decimals, flags clear
        return;
    }
    if (v.isNull())
        return;
    std::uint8_t* p = out.data();
    switch (f.type) {
    case FieldType::Alpha: {
        const auto* s = std::get_if<std::string>(&v.data);
        if (!s)
            throw WriteError("The value for " + fieldLabel(f) + " must be text.");
        std::string bytes = encodeText(codePage, *s, f);
        if (bytes.size() > f.size)
            throw WriteError("The value for " + fieldLabel(f) + " is " +
                             std::to_string(bytes.size()) + " bytes long in code page " +
                             std::to_string(codePage) + "; the field holds " +
                             std::to_string(f.size) + ".");
        std::memcpy(p, bytes.data(), bytes.size());
        return;
    }
    case FieldType::Short: {
        auto n = wantInt(f, v);
        checkRange(f, n, -32767, 32767);
        putFlipped(p, n, 2);
        return;
    }
    case FieldType::Long:
    case FieldType::Autoinc:
    case FieldType::Date: {
        auto n = wantInt(f, v);
        checkRange(f, n, -2147483647, 2147483647);
        putFlipped(p, n, 4);
        return;
    }
    case FieldType::Time: {
        auto n = wantInt(f, v);
        checkRange(f, n, 0, 86399999);
        putFlipped(p, n, 4);
        return;
    }
    case FieldType::Number:
    case FieldType::Money:
    case FieldType::Timestamp:
        putDouble(p, wantDouble(f, v));
        return;
    case FieldType::Logical: {
        auto n = wantInt(f, v);
        checkRange(f, n, 0, 1);
        p[0] = static_cast<std::uint8_t>(0x80 | n);
        return;
    }
    case FieldType::Bcd: {
        std::string text;
        if (auto s = std::get_if<std::string>(&v.data))
            text = *s;
        else if (auto n = std::get_if<std::int64_t>(&v.data))
            text = std::to_string(*n);
        else
            throw WriteError("The value for " + fieldLabel(f) + " must be decimal text.");
        putBcd(f, text, p);
        return;
    }
    case FieldType::Bytes: {
        const auto* b = std::get_if<std::vector<std::uint8_t>>(&v.data);
        if (!b)
            throw WriteError("The value for " + fieldLabel(f) + " must be bytes.");
        if (b->size() > f.size)
            throw WriteError("The value for " + fieldLabel(f) + " is longer than the field.");
        std::memcpy(p, b->data(), b->size());
        return;
    }
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        break;
    }
    throw WriteError(fieldLabel(f) + " is a blob field.");
}

namespace detail {

std::vector<std::uint8_t> memoHeaderBlock() {
    // Block 0 as the BDE writes it for a new memo file (identical in every unencrypted .mb of the
    // corpus but for the modification count at 3).
    std::vector<std::uint8_t> b(kMemoBlock, 0);
    b[0x01] = 0x01;
    b[0x03] = 0x01;
    b[0x05] = 0x82;
    b[0x06] = 0x73;
    b[0x07] = 0x02;
    b[0x09] = 0x29;
    b[0x0C] = 0x10;
    b[0x0E] = 0x10;
    b[0x10] = 0x10;
    b[0x11] = 0x40;
    b[0x14] = 0x08;
    b[0x29] = 0xA1;
    b[0x2A] = 0x02;
    return b;
}

BlobAppender::BlobAppender(std::uint64_t startOffset, Sink sink)
    : next_(startOffset), sink_(std::move(sink)) {}

std::uint64_t BlobAppender::endOffset() const {
    return next_ + (open_.empty() ? 0 : kMemoBlock);
}

void BlobAppender::emitOpen() {
    if (open_.empty())
        return;
    sink_(open_);
    open_.clear();
    next_ += kMemoBlock;
}

void BlobAppender::flush() {
    emitOpen();
}

std::uint32_t BlobAppender::add(std::string_view data, std::uint16_t modNr) {
    constexpr std::size_t kDataStart = 0x150;
    const std::size_t chunks = (data.size() + 15) / 16;
    if (data.size() <= 2048) {
        if (!open_.empty() && (nextEntry_ < 0 || nextChunk_ + chunks > kMemoBlock / 16))
            emitOpen();
        if (open_.empty()) {
            if (next_ + kMemoBlock > 0xFFFFFF00ull)
                throw WriteError("The memo file would grow past 4 GiB.");
            open_.assign(kMemoBlock, 0);
            open_[0] = 0x03;
            open_[1] = 0x01;
            nextEntry_ = 63;
            nextChunk_ = kDataStart / 16;
        }
        const int entry = nextEntry_--;
        std::uint8_t* e = open_.data() + 12 + 5 * entry;
        e[0] = static_cast<std::uint8_t>(nextChunk_);
        e[1] = static_cast<std::uint8_t>(chunks);
        putLE16(e + 2, modNr);
        e[4] = static_cast<std::uint8_t>(data.size() % 16 ? data.size() % 16 : 16);
        std::memcpy(open_.data() + nextChunk_ * 16, data.data(), data.size());
        nextChunk_ += chunks;
        return static_cast<std::uint32_t>(next_) | static_cast<std::uint32_t>(entry);
    }
    emitOpen();
    const std::uint64_t units = (data.size() + 9 + kMemoBlock - 1) / kMemoBlock;
    if (units > 0xFFFF || next_ + units * kMemoBlock > 0xFFFFFF00ull)
        throw WriteError("The memo file would grow past 4 GiB.");
    std::vector<std::uint8_t> blk(units * kMemoBlock, 0);
    blk[0] = 0x02;
    putLE16(&blk[1], static_cast<std::uint32_t>(units));
    putLE32(&blk[3], static_cast<std::uint32_t>(data.size()));
    putLE16(&blk[7], modNr);
    std::memcpy(&blk[9], data.data(), data.size());
    const std::uint32_t offsetIndex = static_cast<std::uint32_t>(next_) | 0xFF;
    sink_(blk);
    next_ += blk.size();
    return offsetIndex;
}

} // namespace detail

struct TableWriter::Impl {
    FamilyPaths paths;
    TableSpec spec;
    std::vector<std::size_t> offsets;
    std::size_t recordSize = 0;
    std::size_t keyWidth = 0;
    std::size_t blockSize = 0;
    std::size_t perBlock = 0;
    std::uint16_t headerSize = 0;
    std::vector<std::uint8_t> header; // the .db header without the counts
    bool hasBlobs = false;
    std::uint32_t autoInc = 0;
    std::int64_t autoIncMax = 0;

    std::unique_ptr<OutFile> db, mb;
    std::unique_ptr<detail::BlobAppender> blobs;
    std::uint64_t count = 0;
    std::vector<std::uint8_t> block; // unkeyed: the block being filled
    std::size_t inBlock = 0;
    std::uint32_t blocksWritten = 0;
    std::vector<std::uint8_t> pending; // keyed: every encoded record, sorted at the end
    std::vector<std::uint8_t> record;
    bool finished = false;

    void validate();
    void buildHeader();
    void encode(std::span<const Value> values, std::uint8_t* out);
    void writeBlock(const std::uint8_t* records, std::size_t n, std::uint32_t number, bool last);
    void writeIndex(const std::vector<std::vector<std::uint8_t>>& firstKeys,
                    const std::vector<std::uint32_t>& counts);
    void removeFiles() noexcept;
};

void TableWriter::Impl::validate() {
    const auto& fs = spec.fields;
    if (fs.empty() || fs.size() > 255)
        throw WriteError("A table needs 1 to 255 fields.");
    if (spec.level != 9 && spec.level != 10 && spec.level != 11 && spec.level != 12)
        throw WriteError("Tables can be created at level 4.x (9), 5.x (10, 11) or 7.x (12) only.");
    static const std::uint8_t sizes[] = {1, 2, 3, 4, 8, 16, 32};
    if (std::find(std::begin(sizes), std::end(sizes), spec.blockSizeKiB) == std::end(sizes) ||
        (spec.level < 12 && spec.blockSizeKiB > 4))
        throw WriteError("Block size " + std::to_string(spec.blockSizeKiB) +
                         " KiB is not allowed at this level.");
    if (spec.keyFields > fs.size())
        throw WriteError("More key fields than fields.");
    if (!isSupportedCodePage(spec.codePage))
        throw WriteError("Code page " + std::to_string(spec.codePage) + " is not supported.");
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < fs.size(); ++i) {
        const auto& f = fs[i];
        if (f.name.empty())
            throw WriteError("Field " + formatIndex(i) + " has no name.");
        std::string lower = f.name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (std::find(seen.begin(), seen.end(), lower) != seen.end())
            throw WriteError("Two fields are named \"" + f.name + "\".");
        seen.push_back(lower);
        bool blob = isBlobType(f.type);
        hasBlobs = hasBlobs || blob;
        if ((f.type == FieldType::Alpha || f.type == FieldType::Bytes) && f.size == 0)
            throw WriteError(fieldLabel(f) + " needs a size from 1 to 255.");
        if (f.type == FieldType::Memo && (f.size < 11 || f.size > 250))
            throw WriteError(fieldLabel(f) + ": a memo size (leader + 10) is 11 to 250.");
        if (blob && f.type != FieldType::Memo && (f.size < 10 || f.size > 250))
            throw WriteError(fieldLabel(f) + ": a blob size (leader + 10) is 10 to 250.");
        if (f.type == FieldType::Bcd && f.size > 32)
            throw WriteError(fieldLabel(f) + ": BCD takes 0 to 32 decimals.");
        if (i < spec.keyFields && blob)
            throw WriteError(fieldLabel(f) + " is a blob field and cannot be part of the key.");
        if (i < spec.keyFields && f.type == FieldType::Alpha && spec.sortOrderID != "ascii" &&
            spec.sortOrderID != "DBWINUS0")
            throw WriteError("Keyed tables with Alpha key fields are created with the \"ascii\" "
                             "sort order only; \"" +
                             spec.sortOrderID + "\" orders text differently.");
        if (i < spec.keyFields)
            keyWidth += writtenWidth(f);
        offsets.push_back(recordSize);
        recordSize += writtenWidth(f);
    }
    if (recordSize > 0xFFFF)
        throw WriteError("The record is too long.");
    blockSize = std::size_t{spec.blockSizeKiB} * 1024;
    if (recordSize + 6 > blockSize)
        throw WriteError("A record of " + std::to_string(recordSize) +
                         " bytes does not fit a block of " + std::to_string(blockSize) + " bytes.");
    perBlock = (blockSize - 6) / recordSize;
    if (spec.keyFields && keyWidth + 6 > kIndexBlockKiB * 1024)
        throw WriteError("The key is too long for the primary index.");
}

void TableWriter::Impl::buildHeader() {
    const auto& fs = spec.fields;
    const std::size_t n = fs.size();
    const std::size_t nameSize = spec.level >= 12 ? 261 : 79;
    std::vector<std::uint8_t> h(0x78, 0);
    for (const auto& f : fs) {
        h.push_back(static_cast<std::uint8_t>(f.type));
        h.push_back(headerSizeByte(f));
    }
    h.resize(h.size() + 4 + 4 * n, 0); // RAM pointers, meaningless on disk
    std::string name = spec.tableName.empty() ? paths.db.filename().string() : spec.tableName;
    std::string encodedName;
    try {
        encodedName = qm::paradox::encode(spec.codePage, name);
    } catch (const CodePageError&) {
        encodedName = name;
    }
    if (encodedName.size() >= nameSize)
        encodedName.resize(nameSize - 1);
    std::size_t at = h.size();
    h.resize(at + nameSize, 0);
    std::memcpy(&h[at], encodedName.data(), encodedName.size());
    for (const auto& f : fs) {
        std::string enc = encodeText(spec.codePage, f.name, f);
        h.insert(h.end(), enc.begin(), enc.end());
        h.push_back(0);
    }
    const std::size_t fieldNumbersAt = h.size();
    for (std::size_t i = 0; i < n; ++i) {
        h.push_back(static_cast<std::uint8_t>(i + 1));
        h.push_back(static_cast<std::uint8_t>((i + 1) >> 8));
    }
    const std::size_t sortIdAt = h.size();
    h.insert(h.end(), spec.sortOrderID.begin(), spec.sortOrderID.end());
    h.push_back(0);
    const std::size_t real = h.size();
    if (real > 0xF800)
        throw WriteError("The table header would be too large.");
    headerSize = static_cast<std::uint16_t>((real + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit);
    h.resize(headerSize, 0);

    std::uint8_t* p = h.data();
    putLE16(p + 0x00, static_cast<std::uint32_t>(recordSize));
    putLE16(p + 0x02, headerSize);
    p[0x04] = spec.keyFields ? 0 : 2;
    p[0x05] = spec.blockSizeKiB;
    putLE16(p + 0x12, 1); // change counter of a new table
    putLE16(p + 0x21, static_cast<std::uint32_t>(n));
    putLE16(p + 0x23, spec.keyFields);
    putLE32(p + 0x25, 0xFF00FF00); // "the password checksum is at 0x5C" on 4.x and later
    p[0x29] = spec.sortOrder;
    p[0x2D] = 1;
    p[0x2E] = 1;
    p[0x39] = spec.level;
    p[0x3E] = 0x1F;
    p[0x3F] = 0x0F;
    putLE16(p + 0x51, static_cast<std::uint32_t>(real));
    p[0x56] = 0x20;
    putLE16(p + 0x58, 0x0100u + spec.level);
    putLE16(p + 0x5A, 0x0100u + spec.level);
    putLE32(p + 0x60, static_cast<std::uint32_t>(std::time(nullptr)));
    putLE16(p + 0x64, static_cast<std::uint32_t>(n + 1));
    putLE16(p + 0x66, static_cast<std::uint32_t>(fieldNumbersAt - 0x58));
    putLE16(p + 0x6A, spec.codePage);
    p[0x6C] = 0x01;
    p[0x6D] = 0x01;
    putLE16(p + 0x6E, static_cast<std::uint32_t>(sortIdAt - 0x58));
    putLE16(p + 0x70, 1);
    header = std::move(h);
}

void TableWriter::Impl::encode(std::span<const Value> values, std::uint8_t* out) {
    const auto& fs = spec.fields;
    if (values.size() != fs.size())
        throw WriteError("A record needs " + std::to_string(fs.size()) + " values; " +
                         std::to_string(values.size()) + " were given.");
    // Blob data is encoded first and placed last, so that a value refused later in the record
    // leaves no orphan blob behind.
    std::vector<std::pair<std::size_t, std::string>> blobData;
    std::int64_t nextAuto = autoIncMax;
    for (std::size_t i = 0; i < fs.size(); ++i) {
        const auto& f = fs[i];
        const Value& v = values[i];
        std::span<std::uint8_t> field(out + offsets[i], writtenWidth(f));
        if (!isBlobType(f.type)) {
            if (f.type == FieldType::Autoinc && v.isNull()) {
                Value next;
                next.data = ++nextAuto;
                encodeFixedField(f, next, spec.codePage, field);
                continue;
            }
            encodeFixedField(f, v, spec.codePage, field);
            if (f.type == FieldType::Autoinc)
                nextAuto = std::max(nextAuto, std::get<std::int64_t>(v.data));
            continue;
        }
        std::fill(field.begin(), field.end(), std::uint8_t{0});
        if (v.isNull())
            continue;
        std::string bytes;
        if (auto s = std::get_if<std::string>(&v.data)) {
            if (f.type != FieldType::Memo && f.type != FieldType::FormattedMemo)
                throw WriteError("The value for " + fieldLabel(f) + " must be bytes.");
            bytes = encodeText(spec.codePage, *s, f);
        } else if (auto b = std::get_if<std::vector<std::uint8_t>>(&v.data)) {
            bytes.assign(b->begin(), b->end());
        } else {
            throw WriteError("The value for " + fieldLabel(f) + " must be text or bytes.");
        }
        if (bytes.empty())
            continue;
        blobData.emplace_back(i, std::move(bytes));
    }
    for (auto& [i, bytes] : blobData) {
        const auto& f = fs[i];
        std::uint8_t* field = out + offsets[i];
        const std::size_t leader = f.size - 10u;
        std::memcpy(field, bytes.data(), std::min(leader, bytes.size()));
        std::uint32_t offsetIndex = 0;
        std::uint16_t modNr = 0;
        if (bytes.size() > leader) {
            modNr = 1;
            offsetIndex = blobs->add(bytes, modNr);
        }
        putLE32(field + leader, offsetIndex);
        putLE32(field + leader + 4, static_cast<std::uint32_t>(bytes.size()));
        putLE16(field + leader + 8, modNr);
    }
    autoIncMax = nextAuto;
}

void TableWriter::Impl::writeBlock(const std::uint8_t* records, std::size_t n, std::uint32_t number,
                                   bool last) {
    std::uint8_t head[6];
    putLE16(head, last ? 0 : number + 1);
    putLE16(head + 2, number - 1);
    putLE16(head + 4, static_cast<std::uint32_t>((n - 1) * recordSize));
    db->append(head, 6);
    db->append(records, n * recordSize);
    db->appendZeros(blockSize - 6 - n * recordSize);
}

void TableWriter::Impl::removeFiles() noexcept {
    db.reset();
    mb.reset();
    std::error_code ec;
    for (const auto& p : {paths.db, paths.mb, paths.px})
        if (!p.empty())
            std::filesystem::remove(p, ec);
}

TableWriter::TableWriter(const FamilyPaths& paths, const TableSpec& spec)
    : impl_(std::make_unique<Impl>()) {
    auto& m = *impl_;
    m.paths = paths;
    m.spec = spec;
    m.validate();
    if (m.hasBlobs && paths.mb.empty())
        throw WriteError("A table with blob fields needs a memo file name.");
    if (spec.keyFields && paths.px.empty())
        throw WriteError("A keyed table needs a primary index file name.");
    m.buildHeader();
    m.record.resize(m.recordSize);
    try {
        m.db = std::make_unique<OutFile>(paths.db);
        m.db->appendZeros(m.headerSize); // the real header goes in at the end
        if (m.hasBlobs) {
            m.mb = std::make_unique<OutFile>(paths.mb);
            m.mb->append(detail::memoHeaderBlock());
            OutFile* out = m.mb.get();
            m.blobs = std::make_unique<detail::BlobAppender>(
                kMemoBlock, [out](std::span<const std::uint8_t> b) { out->append(b); });
        }
    } catch (...) {
        m.removeFiles();
        throw;
    }
    if (!spec.keyFields)
        m.block.resize(m.perBlock * m.recordSize);
}

TableWriter::~TableWriter() {
    if (impl_ && !impl_->finished)
        impl_->removeFiles();
}

std::uint64_t TableWriter::recordCount() const {
    return impl_->count;
}

void TableWriter::add(std::span<const Value> record) {
    auto& m = *impl_;
    if (m.finished)
        throw WriteError("The table is already finished.");
    if (m.count >= 0xFFFFFFFFull)
        throw WriteError("Too many records.");
    m.encode(record, m.record.data());
    if (m.spec.keyFields) {
        m.pending.insert(m.pending.end(), m.record.begin(), m.record.end());
    } else {
        std::memcpy(m.block.data() + m.inBlock * m.recordSize, m.record.data(), m.recordSize);
        if (++m.inBlock == m.perBlock) {
            if (m.blocksWritten >= 0xFFFF)
                throw WriteError("The table needs more than 65535 blocks; use a larger block "
                                 "size.");
            // Whether this is the last block is known only when the next record comes or the
            // table is finished; the next-block link is fixed up then.
            m.writeBlock(m.block.data(), m.inBlock, ++m.blocksWritten, false);
            m.inBlock = 0;
        }
    }
    ++m.count;
}

void TableWriter::Impl::writeIndex(const std::vector<std::vector<std::uint8_t>>& firstKeys,
                                   const std::vector<std::uint32_t>& counts) {
    const std::size_t pxBlock = kIndexBlockKiB * 1024;
    const std::size_t entrySize = keyWidth + 6;
    const std::size_t perPx = (pxBlock - 6) / entrySize;
    const std::size_t nameSize = spec.level >= 12 ? 261 : 79;

    struct Entry {
        std::vector<std::uint8_t> key;
        std::uint32_t block;
        std::uint64_t count;
    };
    std::vector<Entry> level;
    for (std::size_t i = 0; i < firstKeys.size(); ++i)
        level.push_back({firstKeys[i], static_cast<std::uint32_t>(i + 1), counts[i]});

    // Leaf level first, then each level above; the root is the last block written.
    std::vector<std::vector<std::uint8_t>> blocks;
    std::uint32_t levels = 0;
    std::uint64_t entries = 0;
    while (!level.empty()) {
        ++levels;
        std::vector<Entry> above;
        for (std::size_t at = 0; at < level.size(); at += perPx) {
            std::size_t n = std::min(perPx, level.size() - at);
            std::vector<std::uint8_t> b(pxBlock, 0);
            putLE16(&b[4], static_cast<std::uint32_t>((n - 1) * entrySize));
            std::uint64_t sum = 0;
            for (std::size_t k = 0; k < n; ++k) {
                const Entry& e = level[at + k];
                std::uint8_t* r = &b[6 + k * entrySize];
                std::memcpy(r, e.key.data(), keyWidth);
                putFlipped(r + keyWidth, e.block, 2);
                // Only statistics; a sum beyond what 16 bits hold is capped.
                putFlipped(r + keyWidth + 2,
                           static_cast<std::int64_t>(std::min<std::uint64_t>(e.count, 32767)), 2);
                putFlipped(r + keyWidth + 4, 0, 2);
                sum += e.count;
            }
            entries += n;
            blocks.push_back(std::move(b));
            above.push_back({level[at].key, static_cast<std::uint32_t>(blocks.size()), sum});
        }
        if (above.size() == 1)
            break;
        if (blocks.size() + above.size() > 0x7FFF)
            throw WriteError("The primary index would need too many blocks.");
        level = std::move(above);
    }
    // All index blocks form one chain in file order.
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        putLE16(&blocks[i][0], i + 1 < blocks.size() ? static_cast<std::uint32_t>(i + 2) : 0);
        putLE16(&blocks[i][2], static_cast<std::uint32_t>(i));
    }

    std::vector<std::uint8_t> h(0x58, 0);
    for (std::size_t i = 0; i < spec.keyFields; ++i) {
        h.push_back(static_cast<std::uint8_t>(spec.fields[i].type));
        h.push_back(headerSizeByte(spec.fields[i]));
    }
    h.resize(h.size() + 4, 0);
    // The BDE names the index after the table, always with ".PX" in capitals.
    const std::filesystem::path base =
        spec.tableName.empty() ? paths.db.filename() : std::filesystem::path(spec.tableName);
    std::string name = base.stem().string() + ".PX";
    if (name.size() >= nameSize)
        name.resize(nameSize - 1);
    std::size_t at = h.size();
    h.resize(at + nameSize, 0);
    std::memcpy(&h[at], name.data(), name.size());
    const std::size_t real = h.size();
    h.resize(kHeaderUnit, 0);
    std::uint8_t* p = h.data();
    const auto nBlocks = static_cast<std::uint32_t>(blocks.size());
    putLE16(p + 0x00, static_cast<std::uint32_t>(entrySize));
    putLE16(p + 0x02, kHeaderUnit);
    p[0x04] = 1;
    p[0x05] = kIndexBlockKiB;
    putLE32(p + 0x06, static_cast<std::uint32_t>(entries));
    putLE16(p + 0x0A, nBlocks);
    putLE16(p + 0x0C, nBlocks);
    putLE16(p + 0x0E, nBlocks ? 1 : 0);
    putLE16(p + 0x10, nBlocks);
    putLE16(p + 0x12, 2);
    putLE16(p + 0x1E, nBlocks ? nBlocks : 1);
    p[0x20] = static_cast<std::uint8_t>(levels);
    putLE16(p + 0x21, spec.keyFields);
    p[0x29] = spec.sortOrder;
    p[0x2C] = header[0x2D];
    p[0x39] = spec.level;
    putLE16(p + 0x3A, nBlocks);
    p[0x49] = 1;
    putLE16(p + 0x51, static_cast<std::uint32_t>(real));

    OutFile px(paths.px);
    px.append(h);
    for (const auto& b : blocks)
        px.append(b);
    px.finish();
}

void TableWriter::finish() {
    auto& m = *impl_;
    if (m.finished)
        return;
    try {
        std::uint32_t blocks = 0;
        if (m.spec.keyFields) {
            const std::size_t rs = m.recordSize, kw = m.keyWidth;
            const std::uint8_t* base = m.pending.data();
            std::vector<std::uint32_t> order(m.count);
            std::iota(order.begin(), order.end(), 0u);
            std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
                return std::memcmp(base + a * rs, base + b * rs, kw) < 0;
            });
            for (std::size_t i = 1; i < order.size(); ++i)
                if (std::memcmp(base + order[i - 1] * rs, base + order[i] * rs, kw) == 0)
                    throw WriteError("Two records have the same key; a keyed table holds each "
                                     "key once.");
            const std::size_t nBlocks = (m.count + m.perBlock - 1) / m.perBlock;
            if (nBlocks > 0x7FFF)
                throw WriteError("The keyed table needs more than 32767 blocks; use a larger "
                                 "block size.");
            std::vector<std::vector<std::uint8_t>> firstKeys;
            std::vector<std::uint32_t> counts;
            std::vector<std::uint8_t> buf(m.perBlock * rs);
            for (std::size_t b = 0; b < nBlocks; ++b) {
                std::size_t from = b * m.perBlock;
                std::size_t n = std::min<std::size_t>(m.perBlock, m.count - from);
                for (std::size_t k = 0; k < n; ++k)
                    std::memcpy(buf.data() + k * rs, base + std::size_t{order[from + k]} * rs, rs);
                firstKeys.emplace_back(buf.begin(), buf.begin() + static_cast<long>(kw));
                counts.push_back(static_cast<std::uint32_t>(n));
                m.writeBlock(buf.data(), n, static_cast<std::uint32_t>(b + 1), b + 1 == nBlocks);
            }
            blocks = static_cast<std::uint32_t>(nBlocks);
            std::vector<std::uint8_t>().swap(m.pending);
            m.writeIndex(firstKeys, counts);
        } else {
            if (m.inBlock) {
                if (m.blocksWritten >= 0xFFFF)
                    throw WriteError("The table needs more than 65535 blocks; use a larger "
                                     "block size.");
                m.writeBlock(m.block.data(), m.inBlock, ++m.blocksWritten, true);
            }
            blocks = m.blocksWritten;
        }
        std::uint8_t* p = m.header.data();
        putLE32(p + 0x06, static_cast<std::uint32_t>(m.count));
        putLE16(p + 0x0A, blocks);
        putLE16(p + 0x0C, blocks);
        putLE16(p + 0x0E, blocks ? 1 : 0);
        putLE16(p + 0x10, blocks);
        putLE16(p + 0x3A, blocks);
        putLE32(p + 0x49, static_cast<std::uint32_t>(std::max<std::int64_t>(m.autoIncMax, 0)));
        m.db->writeAt(0, m.header);
        if (!m.spec.keyFields && blocks) {
            // The last full block was written with a link to a block that never came.
            std::uint8_t zero[2] = {0, 0};
            m.db->writeAt(m.headerSize + std::uint64_t{blocks - 1} * m.blockSize, zero);
        }
        m.db->finish();
        if (m.mb) {
            m.blobs->flush();
            m.mb->finish();
        }
        m.finished = true;
    } catch (...) {
        m.removeFiles();
        m.finished = true;
        throw;
    }
}

void createTable(const FamilyPaths& paths, const TableSpec& spec,
                 const std::vector<std::vector<Value>>& records) {
    TableWriter w(paths, spec);
    for (const auto& r : records)
        w.add(r);
    w.finish();
}

} // namespace qm::paradox
