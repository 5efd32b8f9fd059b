// UTF-8 <-> UTF-16 at the wide-string boundary: exact for valid text, one
// replacement character per ill-formed piece, never an exception.

#include "config/log.h"

#include <gtest/gtest.h>

namespace krel {
namespace {

TEST(Utf, ValidTextRoundTripsExactly) {
    const std::string text = "KREL Play – Größe: 1€, 𝄞 und 🎮, \x7F";
    const std::u16string wide = u"KREL Play – Größe: 1€, 𝄞 und 🎮, \x7F";
    EXPECT_EQ(toUtf16(text), wide);
    EXPECT_EQ(toUtf8(wide), text);
    EXPECT_EQ(toUtf16(""), u"");
    EXPECT_EQ(toUtf8(u""), "");
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(toUtf16(withNul), std::u16string(u"a\0b", 3));
    // The edges of each encoding length.
    const std::u16string edges = u"\u0080\u07FF\u0800\uD7FF\uE000\uFFFF\U00010000\U0010FFFF";
    EXPECT_EQ(toUtf16(toUtf8(edges)), edges);
    EXPECT_EQ(toUtf8(edges).size(), 2u + 2 + 3 + 3 + 3 + 3 + 4 + 4);
}

TEST(Utf, IllFormedUtf8BecomesOneReplacementPerMaximalPiece) {
    struct Case {
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"\x80", u"\uFFFD"},                           // lone continuation byte
        {"a\xC3", u"a\uFFFD"},                         // truncated at the end
        {"\xE2\x82z", u"\uFFFDz"},                     // truncated in the middle
        {"\xC0\x80", u"\uFFFD\uFFFD"},                 // overlong NUL
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},       // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},       // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"\xF5\xFF", u"\uFFFD\uFFFD"},
        {"\xF0\x9F\x8E", u"\uFFFD"},                   // three of four bytes
        // The example of the Unicode standard's substitution practice.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf16(c.in), c.out) << ::testing::PrintToString(c.in);
    }
}

TEST(Utf, UnpairedSurrogatesBecomeReplacements) {
    EXPECT_EQ(toUtf8(std::u16string{0xD800}), "\uFFFD");
    EXPECT_EQ(toUtf8(std::u16string{u'a', 0xDC00, u'b'}), "a\uFFFDb");
    EXPECT_EQ(toUtf8(std::u16string{0xDC00, 0xD800}), "\uFFFD\uFFFD") << "reversed pair";
    EXPECT_EQ(toUtf8(std::u16string{0xD83C, 0xD83C, 0xDFAE}), "\uFFFD🎮");
}

} // namespace
} // namespace krel
