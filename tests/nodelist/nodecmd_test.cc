#include "app/nodecmd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nodelist/nodelist.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::run_wrenpost;
using wptest::TempDir;

namespace {

std::string make_list(const std::string& body) {
    char num[8];
    snprintf(num, sizeof num, "%05u", static_cast<unsigned>(nl_crc16(body.data(), body.size())));
    return ";A Test Nodelist -- Day number 003 : " + std::string(num) + "\r\n" + body + "\x1a";
}

const char* kCfg =
    "address = 2:240/1.5\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
    "inbound = in\noutbound = out\n";

TEST(NodeCommand, WrongWordsAndMissingListsEndWithOne) {
    TempDir tmp;
    wptest::write_file(tmp.file("wp.cfg"), kCfg);
    const std::vector<std::vector<std::string>> cases = {
        {"node"},
        {"node", "2:240/1", "extra"},
        {"node", "-n"},
        {"node", "-n", "a", "b"},
        {"nodediff", "fido", "extra"},
        {"nodediff", "nosuchboss"},
        {"node", "2:240/1"},         // no nodelist configured
        {"node", "not/an:address"},  // no address
        {"nodediff"},                // no nodelist configured
    };
    for (const auto& words : cases) {
        std::vector<std::string> args = {"-lang", "en", "-c", tmp.file("wp.cfg")};
        args.insert(args.end(), words.begin(), words.end());
        SCOPED_TRACE(words[0] + " with " + std::to_string(words.size() - 1) + " word(s)");
        wptest::RunResult r = run_wrenpost(args);
        EXPECT_EQ(r.code, 1);
        // node: the log goes to standard error, nothing to standard output.
        if (words[0] == "node") {
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(NodeCommand, EntryTextShowsNoControlCharacters) {
    NodeList nl;
    nl_parse(make_list("Zone,2,Z2,Europe,Zc,-,300,\r\nHost,240,Net,Berlin,Host_Sysop,-,300,\r\n"
                       ",7,Evil\x1b[2J_Board,Berlin\x07,Sys\top,-,300,IBN:h.example.org:24556\r\n"),
             nl);
    ASSERT_EQ(nl.entries.size(), 3u);
    std::string t = node_entry_text(nl, nl.entries[2]);
    EXPECT_EQ(t,
              "Address: 2:240/7\nStatus: Node\nSystem: Evil.[2J Board\nLocation: Berlin.\n"
              "Sysop: Sys.op\nPhone: -\nSpeed: 300\nFlags: IBN:h.example.org:24556\n"
              "Binkp: h.example.org 24556\n");
    EXPECT_EQ(node_search_line(nl, nl.entries[2]),
              "2:240/7\tEvil.[2J Board\tBerlin.\tSys.op\t-\t300\tIBN:h.example.org:24556\n");
    EXPECT_EQ(node_entry_text(nl, nl.entries[1]).substr(0, 31),
              "Address: 2:240/0\nStatus: Host\nS");
}

TEST(NodeCommand, PointListFirstThenNodelistAndNotFoundIsEight) {
    TempDir tmp;
    wptest::write_file(tmp.file("wp.cfg"),
                       std::string(kCfg) + "nodelist = nl/NODELIST\npointlist = points\n");
    ASSERT_EQ(pf_mkdir(tmp.file("nl").c_str()), 0);
    wptest::write_file(tmp.file("nl/NODELIST.003"),
                       make_list("Zone,2,Z2,Europe,Zc,-,300,\r\nHost,240,Net,Berlin,Hs,-,300,\r\n"
                                 ",1,Boss_Board,Berlin,Boss_Sysop,-,300,IBN,INA:boss.example\r\n"
                                 "Point,5,In_List,Berlin,From_Nodelist,-,300,\r\n"));
    wptest::write_file(tmp.file("points"),
                       make_list("Boss,2:240/1\r\n,5,Pointy,Berlin,From_Pointlist,-,300,\r\n"));
    auto run = [&tmp](std::vector<std::string> words) {
        std::vector<std::string> args = {"-lang", "en", "-c", tmp.file("wp.cfg")};
        args.insert(args.end(), words.begin(), words.end());
        return run_wrenpost(args);
    };
    wptest::RunResult r = run({"node", "2:240/1.5"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Sysop: From Pointlist\n"), std::string::npos) << r.out;
    r = run({"node", "2:240/1"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Binkp: boss.example 24554\n"), std::string::npos) << r.out;
    r = run({"node", "-n", "FROM_"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "2:240/1.5\tPointy\tBerlin\tFrom Pointlist\t-\t300\t\n"
              "2:240/1.5\tIn List\tBerlin\tFrom Nodelist\t-\t300\t\n");
    r = run({"node", "2:240/2"});
    EXPECT_EQ(r.code, 8);
    EXPECT_EQ(r.out, "");
}

}  // namespace
