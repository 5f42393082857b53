// Links in the reader: where they start and end, which are opened, and that
// word wrap and kludge rows are handled.
#include "editor/links.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "editor/reader_util.h"
#include "jam/jam.h"

using wptest::render;

namespace {

std::u16string w(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The links of one line as written, "" when none.
std::string links(const std::string& text) {
    std::u16string line = w(text);
    std::string out;
    int len = 0;
    for (int p = link_find(line.data(), int(line.size()), 0, len); p >= 0;
         p = link_find(line.data(), int(line.size()), p + len, len)) {
        if (!out.empty()) out += " | ";
        out += text.substr(size_t(p), size_t(len));
    }
    return out;
}

}  // namespace

TEST(Links, WhereTheyStartAndEnd) {
    struct {
        const char* text;
        const char* want;
    } rows[] = {
        {"See http://example.com/a.", "http://example.com/a"},
        {"(read http://en.example.org/wiki/Foo_(bar))", "http://en.example.org/wiki/Foo_(bar)"},
        {"[https://x.org/a]", "https://x.org/a"},
        {"it's at ftp://files.example.net/pub/, or telnet://bbs.example.net:23!",
         "ftp://files.example.net/pub/ | telnet://bbs.example.net:23"},
        {"xhttp://example.com 7www.example.com .www.example.com", ""},
        {"www.example and www.example.com", "www.example.com"},
        {"www..com www.a. www.ab", ""},
        {"mailto:@x.org mailto:jo@ mailto:jo@x.org", "mailto:jo@x.org"},
        {"HTTP://EXAMPLE.COM", "HTTP://EXAMPLE.COM"},
        {"http://a.example|b", "http://a.example"},
        {"<http://a.example/x>\"", "http://a.example/x"},
        {"http:// alone", ""},
    };
    for (auto& r : rows) EXPECT_EQ(links(r.text), r.want) << r.text;
}

TEST(Links, WhatMayBeOpened) {
    EXPECT_EQ(link_norm(u"www.example.com"), u"https://www.example.com");
    EXPECT_EQ(link_norm(u"WWW.example.com"), u"https://WWW.example.com");
    EXPECT_EQ(link_norm(u"http://x.org"), u"http://x.org");
    EXPECT_EQ(link_norm(u"http://" + std::u16string(3000, u'a')).size(), 2040u);
    struct {
        std::u16string url;
        bool safe;
    } rows[] = {
        {u"https://x.org", true},
        {u"MAILTO:jo@x.org", true},
        {u"telnet://bbs", true},
        {u"http://", false},
        {u"file:///etc/passwd", false},
        {u"javascript:alert(1)", false},
        {u"http://x.org/a b", false},
        {u"http://x.org/\u00e4", false},
        {u"", false},
        {u"https://" + std::u16string(2040, u'a'), true},
        {u"https://" + std::u16string(2041, u'a'), false},
    };
    for (auto& r : rows) EXPECT_EQ(link_safe(r.url), r.safe) << r.url.size();
}

TEST(Links, MarkedOnTheGridAcrossWrapsButNotInKludges) {
    std::string words;
    for (int i = 0; i < 13; ++i) words += "word ";
    std::string url = "https://example.com/" + std::string(40, 'p') + "/end";
    auto r = render(words + url + " tail\r");
    ASSERT_EQ(r->rows, 2);  // the address moved whole to the second row
    std::u16string raw, open;
    EXPECT_TRUE(link_at(*r, 1 * COLS + 5, raw, open));
    EXPECT_EQ(raw, w(url));
    EXPECT_FALSE(link_at(*r, 0, raw, open));

    // Broken inside the address (no blank to wrap at): both parts are one link.
    std::string long_url = "http://example.org/" + std::string(100, 'x');
    auto b = render(long_url + " after");
    ASSERT_EQ(b->rows, 2);
    EXPECT_TRUE(b->cell(0, 0) & CELL_LINK);
    EXPECT_TRUE(b->cell(1, 10) & CELL_LINK);
    EXPECT_FALSE(b->cell(1, 45) & CELL_LINK);  // "after"
    for (int pos : {3, COLS + 10}) {
        EXPECT_TRUE(link_at(*b, pos, raw, open)) << pos;
        EXPECT_EQ(raw, w(long_url));
    }

    // A kludge row shown with its address is not a link; the body's is.
    std::string sf;
    jam_subf_add(sf, SF_PID, "see http://pid.example");
    auto k = render(
        "\x01"
        "CHRS: http://k.example\rhttp://body.example\r",
        sf, true);
    for (int row = 0; row < k->rows; ++row) {
        bool any = false;
        for (int c = 0; c < COLS; ++c) any = any || (k->cell(row, c) & CELL_LINK);
        EXPECT_EQ(any, !(k->rflag[row] & RF_KLG)) << row;
    }

    // Longer than 2048: marked, but neither opened nor copied.
    std::string huge = "http://example.org/" + std::string(2100, 'z');
    auto h = render(huge);
    EXPECT_TRUE(h->cell(0, 0) & CELL_LINK);
    EXPECT_FALSE(link_at(*h, 0, raw, open));
    EXPECT_TRUE(raw.empty());
}
