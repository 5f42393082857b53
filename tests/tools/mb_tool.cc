// Reads and writes message bases through the message-base interface, for the
// interoperability tests: whatever it shows or writes went through MsgBase
// and nothing else.
//
//   mb_tool dump FORMAT PATH
//       every live message as one JSON object per line: number, from, to,
//       subject, orig, dest, date_written, attrs, kludges ([name, sep,
//       value]), text, charset. Byte strings are JSON strings of code points
//       0-255 (Python: .encode("latin-1") gives the bytes back).
//   mb_tool post FORMAT PATH KEY=VALUE...
//       appends one message: from=, to=, subject=, orig=, dest=, date= (seconds,
//       local time), attrs=Local,Private,... , kludge=NAME=VALUE (repeatable,
//       in order), text= (CR line ends as given). Prints its number.
//
// FORMAT: jam, msg (a *.MSG echo area) or netmsg (a *.MSG netmail area).
// Exit code 0, 1 when the base gave another result (printed), 2 on usage.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/catalog.h"
#include "fmsg/fmsg.h"
#include "jam/crc32.h"
#include "jam/jambase.h"

namespace {

struct AttrName {
    MbAttr a;
    const char* name;
};
constexpr AttrName ATTRS[] = {
    {MbAttr::Local, "Local"},
    {MbAttr::Private, "Private"},
    {MbAttr::Read, "Read"},
    {MbAttr::Sent, "Sent"},
    {MbAttr::Deleted, "Deleted"},
    {MbAttr::Crash, "Crash"},
    {MbAttr::Hold, "Hold"},
    {MbAttr::FileAttach, "FileAttach"},
    {MbAttr::FileRequest, "FileRequest"},
    {MbAttr::ReceiptRequest, "ReceiptRequest"},
    {MbAttr::AuditRequest, "AuditRequest"},
    {MbAttr::KillSent, "KillSent"},
    {MbAttr::InTransit, "InTransit"},
    {MbAttr::Echo, "Echo"},
    {MbAttr::Net, "Net"},
};

std::string json(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

std::string addr(const ftn_addr& a) {
    char b[FTN_TEXT_MAX];
    ftn_fmt(b, a);
    return b;
}

std::unique_ptr<MsgBase> make(const char* format) {
    if (std::strcmp(format, "jam") == 0) return std::make_unique<JamBase>();
    if (std::strcmp(format, "msg") == 0) return std::make_unique<FmsgBase>(false);
    if (std::strcmp(format, "netmsg") == 0) return std::make_unique<FmsgBase>(true);
    return nullptr;
}

int fail(MbResult r, const char* what) {
    std::fprintf(stderr, "mb_tool: %s: %s\n", what, mb_result_name(r));
    return 1;
}

int dump(MsgBase& b) {
    std::vector<uint32_t> nums;
    MbResult r = b.numbers(nums);
    if (r != MbResult::Ok) return fail(r, "numbers");
    for (uint32_t n : nums) {
        MbMessage m;
        if ((r = b.read_header(n, m)) != MbResult::Ok) return fail(r, "read_header");
        if ((r = b.read_text(n, m.text)) != MbResult::Ok) return fail(r, "read_text");
        std::string attrs;
        for (const AttrName& a : ATTRS)
            if (m.attrs.has(a.a)) attrs += std::string(attrs.empty() ? "" : ",") + json(a.name);
        std::string kl;
        for (const MbKludge& k : m.kludges)
            kl += std::string(kl.empty() ? "" : ",") + "[" + json(k.name) + "," + json(k.sep) +
                  "," + json(k.value) + "]";
        std::printf(
            "{\"number\":%u,\"from\":%s,\"to\":%s,\"subject\":%s,\"orig\":%s,\"dest\":%s,"
            "\"date_written\":%u,\"attrs\":[%s],\"kludges\":[%s],\"text\":%s,\"charset\":%d}\n",
            m.number, json(m.from).c_str(), json(m.to).c_str(), json(m.subject).c_str(),
            json(addr(m.orig)).c_str(), json(addr(m.dest)).c_str(), m.date_written, attrs.c_str(),
            kl.c_str(), json(m.text).c_str(), m.charset);
    }
    return 0;
}

int post(MsgBase& b, int argc, char** argv) {
    MbMessage m;
    for (int i = 0; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (eq == nullptr) return 2;
        std::string key(argv[i], static_cast<size_t>(eq - argv[i]));
        std::string val = eq + 1;
        if (key == "from")
            m.from = val;
        else if (key == "to")
            m.to = val;
        else if (key == "subject")
            m.subject = val;
        else if (key == "text")
            m.text = val;
        else if (key == "date")
            m.date_written = static_cast<uint32_t>(std::strtoul(val.c_str(), nullptr, 10));
        else if (key == "orig" || key == "dest") {
            if (!ftn_parse(val.c_str(), key == "orig" ? m.orig : m.dest)) return 2;
        } else if (key == "attrs") {
            for (const AttrName& a : ATTRS) {
                std::string list = "," + val + ",";
                if (list.find(std::string(",") + a.name + ",") != std::string::npos)
                    m.attrs = m.attrs | a.a;
            }
        } else if (key == "kludge") {
            size_t e = val.find('=');
            if (e == std::string::npos) return 2;
            m.kludges.push_back(mb_kludge(val.substr(0, e).c_str(), val.substr(e + 1)));
        } else {
            return 2;
        }
    }
    uint32_t n = 0;
    MbResult r = b.append(m, n);
    if (r != MbResult::Ok) return fail(r, "append");
    std::printf("%u\n", n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    lang_apply(LANG_EN);
    crc_init();
    if (argc < 4) {
        std::fputs("usage: mb_tool dump|post FORMAT PATH [KEY=VALUE...]\n", stderr);
        return 2;
    }
    std::unique_ptr<MsgBase> b = make(argv[2]);
    if (!b || b->open(argv[3]) != MbResult::Ok) return 2;
    if (std::strcmp(argv[1], "dump") == 0 && argc == 4) return dump(*b);
    if (std::strcmp(argv[1], "post") == 0) return post(*b, argc - 4, argv + 4);
    return 2;
}
