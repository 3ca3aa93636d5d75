#include "paradox/byte_order.h"
#include "paradox/writer_support.h"

#include <cstring>

namespace qm::paradox {

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

} // namespace qm::paradox
