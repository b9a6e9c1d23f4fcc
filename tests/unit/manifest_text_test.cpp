#include <gtest/gtest.h>

#include <string>

#include "source/manifest_text.h"

namespace {

std::string get(const char *text, const char *key, size_t capacity = 64, bool *ok = nullptr)
{
    char out[256] = "untouched";
    bool found = json_get_string(text, key, out, capacity);
    if (ok) *ok = found;
    return out;
}

TEST(ManifestTextFind, FirstQuotedKeyFollowedByAColonWins)
{
    const char *text = "{\"isoVersion\": \"2.1.0\", \"note\": \"version\", \"version\"\t\r\n:\n \"2.1\"}";
    const char *value = json_find_value(text, "version");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value, 5), "\"2.1\"");
    EXPECT_EQ(json_find_value(text, "missing"), nullptr);
    EXPECT_EQ(json_find_value("\"version\" \"x\"", "version"), nullptr);
    // A colon at the very end gives the terminator, not nothing.
    const char *at_end = json_find_value("\"k\": ", "k");
    ASSERT_NE(at_end, nullptr);
    EXPECT_EQ(*at_end, '\0');
}

TEST(ManifestTextFind, NestedKeyThatComesFirstShadowsTheTopLevelOne)
{
    const char *text = "{\"extra\": {\"version\": \"nested\"}, \"version\": \"top\"}";
    EXPECT_EQ(get(text, "version"), "nested");
}

TEST(ManifestTextString, EscapesAreResolvedAsTheReaderDefines)
{
    EXPECT_EQ(get("{\"v\": \"a\\nb\\tc\"}", "v"), "a\nb\tc");
    EXPECT_EQ(get("{\"v\": \"q\\\"\\\\\\/\\b\\f\\r\"}", "v"), "q\"\\/bfr");
    EXPECT_EQ(get("{\"v\": \"2.1\\u00e9x\"}", "v"), "2.1?x");
    EXPECT_EQ(get("{\"v\": \"caf\xC3\xA9\"}", "v"), "caf\xC3\xA9");
    bool ok = true;
    // \u with fewer than four characters left consumes only the u.
    EXPECT_EQ(get("{\"v\": \"a\\u12", "v", 64, &ok), "a?12");
    EXPECT_FALSE(ok);
    // A backslash that ends the text stays.
    EXPECT_EQ(get("\"v\": \"a\\", "v", 64, &ok), "a\\");
    EXPECT_FALSE(ok);
}

TEST(ManifestTextString, ResultSaysWhetherTheStringWasComplete)
{
    bool ok = false;
    EXPECT_EQ(get("{\"v\": \"1.0\"}", "v", 64, &ok), "1.0");
    EXPECT_TRUE(ok);
    EXPECT_EQ(get("{\"v\": 2}", "v", 64, &ok), "untouched");
    EXPECT_FALSE(ok);
    EXPECT_EQ(get("{\"w\": \"x\"}", "v", 64, &ok), "untouched");
    EXPECT_FALSE(ok);
    EXPECT_EQ(get("{\"v\": \"open", "v", 64, &ok), "open");
    EXPECT_FALSE(ok);
}

TEST(ManifestTextString, LongValuesAreCutToTheCapacity)
{
    std::string forty(40, '7');
    std::string text = "{\"version\": \"" + forty + "\"}";
    bool ok = false;
    EXPECT_EQ(get(text.c_str(), "version", 32, &ok), std::string(31, '7'));
    EXPECT_TRUE(ok);
    EXPECT_EQ(get(text.c_str(), "version", 1, &ok), "");
    EXPECT_TRUE(ok);
}

TEST(ManifestTextSize, BareDecimalDigitsUpToTheFirstOtherCharacter)
{
    uint64_t size = 0;
    EXPECT_TRUE(json_get_size("{\"s\": 3221225472.0}", "s", &size));
    EXPECT_EQ(size, 3221225472ULL);
    EXPECT_TRUE(json_get_size("{\"s\":1.5e9}", "s", &size));
    EXPECT_EQ(size, 1u);
    EXPECT_TRUE(json_get_size("{\"s\": 18446744073709551615}", "s", &size));
    EXPECT_EQ(size, UINT64_MAX);
}

TEST(ManifestTextSize, RefusedWhenMissingQuotedSignedZeroOrTooLarge)
{
    uint64_t size = 77;
    EXPECT_FALSE(json_get_size("{\"s\": \"100\"}", "s", &size));
    EXPECT_FALSE(json_get_size("{\"s\": -100}", "s", &size));
    EXPECT_FALSE(json_get_size("{\"s\": 0}", "s", &size));
    EXPECT_FALSE(json_get_size("{\"s\": 000}", "s", &size));
    EXPECT_FALSE(json_get_size("{\"t\": 5}", "s", &size));
    // One past 2^64 - 1 would wrap into a small wrong size.
    EXPECT_FALSE(json_get_size("{\"s\": 18446744073709551616}", "s", &size));
    EXPECT_FALSE(json_get_size("{\"s\": 36893488147419103232}", "s", &size));
    EXPECT_EQ(size, 77u);
}

TEST(ManifestTextDigest, SixtyFourLowerCaseHexCharacters)
{
    std::string good = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(is_digest_text(good.c_str()));
    EXPECT_TRUE(is_digest_text((good + "ff").c_str()));
    EXPECT_FALSE(is_digest_text(good.substr(0, 63).c_str()));
    std::string upper = good;
    upper[10] = 'A';
    EXPECT_FALSE(is_digest_text(upper.c_str()));
    EXPECT_FALSE(is_digest_text(""));
}

TEST(ManifestTextVersion, OnlyTextsThatCanStandInAFileName)
{
    for (const char *usable : {"2.1", "2.1.0-rc1", "v 3", "caf\xC3\xA9", "2.1+build.7", "."})
        EXPECT_TRUE(is_usable_version(usable)) << usable;
    for (const char *unusable : {"", "..", "../x", "a/b", "a\\b", "C:", "2?", "a*", "<b>", "x|y",
                                 "say\"", "2.1..3", "tab\there", "line\n"})
        EXPECT_FALSE(is_usable_version(unusable)) << unusable;
}

}  // namespace
