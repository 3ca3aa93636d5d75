#include "db/field_rules.h"

#include <gtest/gtest.h>

namespace qm::db {
namespace {

FieldRule alpha(int size, std::uint16_t codePage) {
    FieldRule rule;
    rule.kind = FieldRule::Kind::Alpha;
    rule.size = size;
    rule.codePage = codePage;
    return rule;
}

// The fit of an Alpha field counts the bytes the text takes in the table's code page, not its
// UTF-8 bytes nor its characters.
TEST(FieldRules, AlphaTextFitsByItsBytesInTheTablesCodePage) {
    const FieldRule eight = alpha(8, 1252);
    EXPECT_EQ(refusal(eight, ""), "");
    EXPECT_EQ(refusal(eight, "Grey Owl"), "") << "exactly the field's size";
    EXPECT_EQ(refusal(eight, "Grey Owls"), "the text is longer than the field's 8 characters");
    // Ten bytes of UTF-8, eight in Windows-1252.
    EXPECT_EQ(refusal(eight, "Caf\u00e9 Ol\u00e9"), "");
    EXPECT_EQ(refusal(eight, "Caf\u00e9 Ol\u00e9s"),
              "the text is longer than the field's 8 characters");
    EXPECT_EQ(refusal(eight, "\u20ac 10"), "") << "the euro sign is one byte in 1252";

    // Code page 437 has no euro sign; the text is refused for it before its length counts.
    EXPECT_EQ(refusal(alpha(40, 437), "\u20ac 10"),
              "the text holds a character that code page 437 lacks");
    EXPECT_EQ(refusal(alpha(2, 437), "\u20ac 10"),
              "the text holds a character that code page 437 lacks");
    EXPECT_EQ(refusal(alpha(1, 437), "\u00e9"), "") << "\u00e9 is one byte in 437 too";
}

TEST(FieldRules, MemoTakesAnyLengthButOnlyItsCodePagesCharacters) {
    FieldRule memo;
    memo.kind = FieldRule::Kind::Memo;
    memo.codePage = 437;
    EXPECT_EQ(refusal(memo, std::string(100000, 'x')), "");
    EXPECT_EQ(refusal(memo, "price \u20ac"), "the text holds a character that code page 437 lacks");
    EXPECT_EQ(refusal(FieldRule{}, "anything \u20ac"), "") << "a field without a rule";
}

} // namespace
} // namespace qm::db
