// The message base of a configured area, opened in the area's format.
//
// The configuration names each base by format and path (config/config.h,
// AreaFormat: "msg:PATH" a *.MSG directory, "jam:PATH" or no prefix a JAM
// base); this is the one place that turns such a pair into a MsgBase
// (mbase/mbase.h). Callers above (toss, export, editor, mail commands,
// AreaFix) hold the result as std::unique_ptr<MsgBase> and never name a
// format's class.
//
// Nothing here touches the disk but the directory of a *.MSG area, which
// writers create (ma_open with create: the format itself never creates its
// directory). The same locks apply as to any MsgBase.
#pragma once

#include <memory>

#include "config/config.h"
#include "mbase/mbase.h"

// The interface's format of a configured one, and back.
MbFormat ma_format(AreaFormat f);
AreaFormat ma_area_format(MbFormat f);

// A closed base of format f. netmail: the base is a netmail area (*.MSG
// reads then mark messages Net and writes INTL/FMPT/TOPT; JAM keeps the
// kind in each message).
std::unique_ptr<MsgBase> ma_make(AreaFormat f, bool netmail);

// The base of format f at path (no prefix), opened. create: a writer's
// open, which makes the directory of a *.MSG area when it is missing (its
// parent must exist). BadArgument for an empty path, IoError when the
// directory cannot be made; out is then empty.
[[nodiscard]] MbResult ma_open(AreaFormat f, const char* path, bool netmail, bool create,
                               std::unique_ptr<MsgBase>& out);
// The same for a base value as written in the file ("msg:PATH", "jam:PATH",
// PATH), already resolved (cfg_resolve keeps the prefix).
[[nodiscard]] MbResult ma_open_loc(const char* loc, bool netmail, bool create,
                                   std::unique_ptr<MsgBase>& out);
