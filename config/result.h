// The outcome of a change to the configuration file or to its text.
//
// The writers of the file (cfgwrite.h, cfgedit.h, example.h) answer with it;
// each function says which outcomes it gives and why. Failed always leaves
// the file as it was.
#pragma once

enum class CfgResult {
    Ok,      // done: the text built, the file read or written in full
    Failed,  // not done; the file is unchanged
    Exists,  // nothing to do, what was to be added is there already: the
             // echoarea line of the tag (af_cfg_add_area, af_cfg_batch_add),
             // the file itself (cfg_write_example)
};
