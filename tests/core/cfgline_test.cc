#include "core/cfgline.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The parts of the first line of a text, written out as strings.
struct Parts {
    std::string content;  // [begin, stop)
    std::string lead;     // [begin, first)
    CfgLineKind kind;
    std::string key, value;
    size_t end;
};

Parts parts(const std::string& t) {
    CfgLine l = cfg_line(t.data(), t.size(), 0);
    return {t.substr(l.begin, l.stop - l.begin), t.substr(l.begin, l.first - l.begin),     l.kind,
            t.substr(l.key, l.key_end - l.key),  t.substr(l.value, l.value_end - l.value), l.end};
}

}  // namespace

TEST(CfgLine, SpansAndKinds) {
    using K = CfgLineKind;
    const std::string nul_key = std::string("sys") + '\0' + "op=x\n";
    const std::string nul_value = std::string("a=b") + '\0' + "c\n";
    struct Case {
        std::string text;
        std::string content, lead;
        CfgLineKind kind;
        std::string key, value;
        size_t end;
    } cases[] = {
        {"a=1\r\nb=2\n", "a=1", "", K::Setting, "a", "1", 5},
        {"a=1\nb", "a=1", "", K::Setting, "a", "1", 4},
        {"a = 1", "a = 1", "", K::Setting, "a", "1", 5},
        {" \t Key \t=\t v w \t\n", " \t Key \t=\t v w \t", " \t ", K::Setting, "Key", "v w", 17},
        {"\r a=1\rb=2\n", "\r a=1\rb=2", "\r ", K::Setting, "a", "1", 10},
        {"a=b=c\n", "a=b=c", "", K::Setting, "a", "b=c", 6},
        {"=v\n", "=v", "", K::Setting, "", "v", 3},
        {"a=\n", "a=", "", K::Setting, "a", "", 3},
        {nul_key, nul_key.substr(0, 8), "", K::Setting, "sys", "x", 9},
        {nul_value, nul_value.substr(0, 5), "", K::Setting, "a", "b", 6},
        {"  \r\n", "  ", "  ", K::Empty, "", "", 4},
        {"\r\r\n", "\r", "\r", K::Empty, "", "", 3},
        {"\n", "", "", K::Empty, "", "", 1},
        {" # a=1\n", " # a=1", " ", K::Comment, "", "", 7},
        {";x", ";x", "", K::Comment, "", "", 2},
        {"\t[boss x] ; c\r\n", "\t[boss x] ; c", "\t", K::Header, "", "", 15},
        {"no equals here\n", "no equals here", "", K::Other, "", "", 15},
    };
    for (const auto& c : cases) {
        Parts p = parts(c.text);
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(p.content, c.content);
        EXPECT_EQ(p.lead, c.lead);
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.key, c.key);
        EXPECT_EQ(p.value, c.value);
        EXPECT_EQ(p.end, c.end);
    }
}

TEST(CfgLine, KeyComparisonIsWholeAndCaseInsensitive) {
    struct Case {
        const char* text;
        const char* key;
        bool is;
    } cases[] = {
        {"SysOp = x", "sysop", true},  {"sysop=x", "sysop", true},    {"sysops=x", "sysop", false},
        {"sys=x", "sysop", false},     {"# sysop=x", "sysop", false}, {"sysop x=y", "sysop", false},
        {"[sysop=x]", "sysop", false},
    };
    for (const auto& c : cases) {
        std::string t = c.text;
        EXPECT_EQ(cfg_line_key_is(t.data(), cfg_line(t.data(), t.size(), 0), c.key), c.is)
            << c.text;
    }
}

TEST(CfgLine, LinesFollowOneAnother) {
    const std::string t = "a=1\r\n\n[x]\nlast";
    size_t starts[8], n = 0;
    for (size_t p = 0; p < t.size(); p = cfg_line(t.data(), t.size(), p).end) starts[n++] = p;
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(starts[1], 5u);
    EXPECT_EQ(starts[2], 6u);
    EXPECT_EQ(starts[3], 10u);
}
