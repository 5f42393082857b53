// Fuzz target: *.MSG files written by other programs are outside input. The
// input is one message file; it is parsed as netmail or echomail (the low bit
// of the first byte), and whatever it gives must survive being written and
// read again: kludges, addresses, attributes and text come back as they were
// (names and subject cut to their fields, a CR put before the SEEN-BY
// lines), and a second round changes no byte.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fmsg/fmsg.h"

namespace {

bool same(const MbMessage& a, const MbMessage& b) {
    return a.from == b.from && a.to == b.to && a.subject == b.subject &&
           a.date_written == b.date_written && a.attrs == b.attrs && a.kludges == b.kludges &&
           a.text == b.text && a.orig.zone == b.orig.zone && a.orig.net == b.orig.net &&
           a.orig.node == b.orig.node && a.orig.point == b.orig.point &&
           a.dest.zone == b.dest.zone && a.dest.net == b.dest.net && a.dest.node == b.dest.node &&
           a.dest.point == b.dest.point && a.reply_to == b.reply_to;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool net = size > 0 && (data[0] & 1) != 0;
    MbMessage m;
    MbResult r = fmsg_parse(data, size, net, true, m);
    if (size < 190) {
        if (r != MbResult::Damaged) abort();
        return 0;
    }
    if (r != MbResult::Ok) abort();
    if (m.from.size() > 36 || m.subject.size() > 72) abort();
    MbMessage header_only;
    if (fmsg_parse(data, size, net, false, header_only) != MbResult::Ok) abort();
    if (!header_only.text.empty() || header_only.kludges != m.kludges) abort();

    std::string once, twice;
    fmsg_build(m, net, once);
    MbMessage a, b;
    if (fmsg_parse(reinterpret_cast<const uint8_t*>(once.data()), once.size(), net, true, a) !=
        MbResult::Ok)
        abort();
    std::string text = m.text;
    bool trailer = false;
    for (const MbKludge& k : m.kludges)
        trailer = trailer || k.name == "SEEN-BY" || k.name == "PATH" || k.name == "Via";
    if (trailer && !text.empty() && text.back() != '\r') text += '\r';
    MbMessage want = m;
    want.from.resize(std::min<size_t>(want.from.size(), 35));
    want.to.resize(std::min<size_t>(want.to.size(), 35));
    want.subject.resize(std::min<size_t>(want.subject.size(), 71));
    want.text = text;
    want.date_written = a.date_written;  // two-digit years: 1970-79 read back as 2070-79
    if (!same(a, want)) abort();
    fmsg_build(a, net, twice);
    if (fmsg_parse(reinterpret_cast<const uint8_t*>(twice.data()), twice.size(), net, true, b) !=
        MbResult::Ok)
        abort();
    if (!same(a, b) || once != twice) abort();
    return 0;
}
