#include "msgarea/msgarea.h"

#include "fmsg/fmsg.h"
#include "jam/jambase.h"
#include "platform/platform.h"

MbFormat ma_format(AreaFormat f) {
    return f == AreaFormat::Msg ? MbFormat::Fmsg : MbFormat::Jam;
}

AreaFormat ma_area_format(MbFormat f) {
    return f == MbFormat::Fmsg ? AreaFormat::Msg : AreaFormat::Jam;
}

std::unique_ptr<MsgBase> ma_make(AreaFormat f, bool netmail) {
    if (f == AreaFormat::Msg) return std::make_unique<FmsgBase>(netmail);
    return std::make_unique<JamBase>();
}

MbResult ma_open(AreaFormat f, const char* path, bool netmail, bool create,
                 std::unique_ptr<MsgBase>& out) {
    out.reset();
    if (path[0] == '\0') return MbResult::BadArgument;
    if (create && f == AreaFormat::Msg) {
        PfStat st = pf_stat(path);
        if (!st.exists) pf_mkdir(path);
        if (!pf_stat(path).is_dir) return MbResult::IoError;
    }
    std::unique_ptr<MsgBase> b = ma_make(f, netmail);
    MbResult r = b->open(path);
    if (r != MbResult::Ok) return r;
    out = std::move(b);
    return MbResult::Ok;
}

MbResult ma_open_loc(const char* loc, bool netmail, bool create, std::unique_ptr<MsgBase>& out) {
    AreaFormat f;
    const char* path = cfg_base_loc(loc, f);
    return ma_open(f, path, netmail, create, out);
}
