// libFuzzer target for the Paradox table reader. The reader must survive any bytes: a bad table
// is a FormatError, never a crash, a hang or a huge allocation. The input layout is described in
// tests/paradox/fuzz_input.h; the inputs this finds are kept in tests/data/paradox-regress/ and
// replayed by test_paradox in every build.

#include "../paradox/fuzz_input.h"
#include "paradox/codepage.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
namespace px = qm::paradox;

namespace {

const fs::path& workDir() {
    static const fs::path dir = [] {
        std::string tmpl = (fs::temp_directory_path() / "qm-fuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            std::abort();
        return fs::path(tmpl);
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const auto parts = px::fuzz::split({data, size});
    try {
        px::Table t = px::fuzz::openParts(workDir(), parts);
        if (!px::fuzz::readEverything(t))
            std::abort();
    } catch (const px::FormatError&) {
    }

    // The code page conversions take text straight from tables.
    static const std::uint16_t pages[] = {437, 850, 852, 866, 936, 1250, 1251, 1252, 1258, 932};
    const std::uint16_t cp = pages[(data[0] >> 2) % (sizeof pages / sizeof pages[0])];
    std::string_view head(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
    try {
        (void)px::encode(cp, px::decode(cp, head));
    } catch (const px::CodePageError&) {
    }
    (void)px::canEncode(cp, head);
    return 0;
}
