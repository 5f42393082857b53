// The file side through the program: a nodelist difference arriving as a
// file echo updates the list, `files` lists what arrived, `freq` writes the
// request file.
#include "app/filecmd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "jam/crc32.h"
#include "nodelist/nodelist.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::file_exists;
using wptest::read_file;
using wptest::run_wrenpost;
using wptest::TempDir;
using wptest::write_file;

namespace {

std::string make_list(const std::string& day, const std::string& body) {
    char num[8];
    snprintf(num, sizeof num, "%05u", static_cast<unsigned>(nl_crc16(body.data(), body.size())));
    return ";A Test Nodelist for Friday -- Day number " + day + " : " + num + "\r\n" + body +
           "\x1a";
}

const char* kCfg =
    "address = 2:240/1.5\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
    "inbound = in\noutbound = out\nbadarea = bad\ndupemode = drop\n"
    "tic_password = pw\nfilebase = files\nnodelist = nl/NODELIST\n"
    "nodediff_area = NODEDIFF\n";

TEST(FileCommands, NodediffFromTheFileEchoUpdatesTheList) {
    TempDir t;
    write_file(t.file("wp.cfg"), kCfg);
    pf_mkdir(t.file("in").c_str());
    pf_mkdir(t.file("nl").c_str());
    const std::string l1 = make_list("003", ",1,One,L,S1,-,300,\r\n");
    const std::string l2 = make_list("010", ",1,One,L,S1,-,300,\r\n,2,Two,L,S2,-,300,\r\n");
    write_file(t.file("nl/NODELIST.003"), l1);
    const std::string diff = std::string(nl_first_line(l1)) + "\r\nD 1\r\nA 1\r\n" +
                             std::string(nl_first_line(l2)) + "\r\nC 1\r\nA 1\r\n" +
                             ",2,Two,L,S2,-,300,\r\n";
    write_file(t.file("in/nodediff.010"), diff);
    char crc[16];
    snprintf(crc, sizeof crc, "%08x", ~crc_update(diff.data(), diff.size(), 0xFFFFFFFFu));
    write_file(t.file("in/x1.tic"),
               "Area NODEDIFF\r\nFile nodediff.010\r\nDesc Weekly diff\r\n"
               "From 2:240/1\r\nSize " +
                   std::to_string(diff.size()) + "\r\nCrc " + crc + "\r\nPw PW\r\n");
    auto r = run_wrenpost({"-lang", "en", "-c", t.file("wp.cfg"), "toss"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_file(t.file("files/nodediff/nodediff.010")), diff);
    EXPECT_EQ(read_file(t.file("nl/NODELIST.010")), l2) << r.out;
    EXPECT_FALSE(file_exists(t.file("nl/NODELIST.003")));

    auto f = run_wrenpost({"-lang", "en", "-c", t.file("wp.cfg"), "files", "nodediff"});
    EXPECT_EQ(f.code, 0);
    EXPECT_EQ(f.out.substr(0, f.out.find('\t', 13) + 1),
              "nodediff.010\t" + std::to_string(diff.size()) + "\t");
    EXPECT_NE(f.out.find("\tWeekly diff\n"), std::string::npos) << f.out;
    auto all = run_wrenpost({"-lang", "en", "-c", t.file("wp.cfg"), "files"});
    EXPECT_EQ(all.out, "NODEDIFF\t" + t.file("files") + PF_DIR_SEP + "nodediff\t1\n");
    EXPECT_EQ(run_wrenpost({"-c", t.file("wp.cfg"), "files", "NONE"}).code, 8);
    EXPECT_EQ(run_wrenpost({"-c", t.file("wp.cfg"), "files", "a", "b"}).code, 1);
}

TEST(FileCommands, FreqWritesAndExtendsTheRequestFile) {
    TempDir t;
    write_file(t.file("wp.cfg"), kCfg);
    auto r = run_wrenpost({"-c", t.file("wp.cfg"), "freq", "default", "NODELIST", "!Sec", "a.zip"});
    EXPECT_EQ(r.code, 0) << r.out;
    r = run_wrenpost({"-c", t.file("wp.cfg"), "freq", "default", "b.zip", "a.zip"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_file(t.file("out/00f00001.req")), "NODELIST !Sec\r\na.zip\r\nb.zip\r\n");
    // Refused: no name, a password first, an unknown boss; the file stays.
    EXPECT_EQ(run_wrenpost({"-c", t.file("wp.cfg"), "freq", "default"}).code, 1);
    EXPECT_EQ(run_wrenpost({"-c", t.file("wp.cfg"), "freq", "default", "!pw", "x"}).code, 1);
    EXPECT_EQ(run_wrenpost({"-c", t.file("wp.cfg"), "freq", "nosuch", "x"}).code, 1);
    EXPECT_EQ(read_file(t.file("out/00f00001.req")), "NODELIST !Sec\r\na.zip\r\nb.zip\r\n");
}

TEST(FileCommands, FreqLines) {
    std::vector<std::string> out;
    ASSERT_TRUE(freq_lines({"a", "!p", "b", "c", "!q"}, out));
    EXPECT_EQ(out, (std::vector<std::string>{"a !p", "b", "c !q"}));
    EXPECT_FALSE(freq_lines({"!p"}, out));
    EXPECT_FALSE(freq_lines({"a", "!p", "!q"}, out));
}

}  // namespace
