#include "mbase/mbase.h"

#include <cstring>

#include "mbase/messages.h"

const char* mb_result_name(MbResult r) {
    switch (r) {
        case MbResult::Ok:
            return "ok";
        case MbResult::Missing:
            return "missing";
        case MbResult::Locked:
            return "locked";
        case MbResult::Damaged:
            return "damaged";
        case MbResult::IoError:
            return "io-error";
        case MbResult::TooBig:
            return "too-big";
        case MbResult::Full:
            return "full";
        case MbResult::BadArgument:
            return "bad-argument";
    }
    return "?";
}

const char* mb_result_text(MbResult r) {
    switch (r) {
        case MbResult::Ok:
            return mb_m_ok;
        case MbResult::Missing:
            return mb_m_missing;
        case MbResult::Locked:
            return mb_m_locked;
        case MbResult::Damaged:
            return mb_m_damaged;
        case MbResult::IoError:
            return mb_m_io;
        case MbResult::TooBig:
            return mb_m_toobig;
        case MbResult::Full:
            return mb_m_full;
        case MbResult::BadArgument:
            return mb_m_badarg;
    }
    return mb_m_io;
}

MbKludge mb_kludge(const char* name, std::string value) {
    static const char* const BLANK[] = {"Via", "INTL", "FMPT", "TOPT", "FLAGS"};
    const char* sep = ": ";
    for (const char* b : BLANK)
        if (std::strcmp(name, b) == 0) sep = " ";
    return MbKludge{name, sep, std::move(value)};
}

MbKludge mb_kludge_parse(const char* line, size_t n) {
    MbKludge k;
    size_t i = 0;
    while (i < n && line[i] != ':' && line[i] != ' ') ++i;
    k.name.assign(line, i);
    if (i == n) return k;
    size_t v = i + 1;
    if (line[i] == ':' && v < n && line[v] == ' ') ++v;
    k.sep.assign(line + i, v - i);
    k.value.assign(line + v, n - v);
    return k;
}

std::string mb_kludge_line(const MbKludge& k) {
    return k.name + k.sep + k.value;
}

const std::string* mb_kludge_find(const MbMessage& m, const char* name) {
    for (const MbKludge& k : m.kludges)
        if (k.name == name) return &k.value;
    return nullptr;
}
