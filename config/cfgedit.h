// Echo-area edits of the configuration file.
//
// Adds one `echoarea` line for a new area (the toss run's automatic area
// creation) or removes every `echoarea` line of a tag (the areas window),
// changing nothing else in the user's hand-written file. The file must be
// shorter than 16383 bytes, and so must the result: the loader reads no more,
// and an edit never pushes the file's last lines out of its reach. Lines are
// read as the loader reads them (core/cfgline.h): an `echoarea` line is one
// of a tag only when the loader takes it as an area (a tag and a path).
//
// The new text is written to a temporary file beside the configuration and
// renamed over it (keeping its owner, group and permissions: cf_write), so a
// crash or a full disk never leaves the file cut short. The file is not
// locked: callers edit it one after the other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/cfgwrite.h"  // cf_read, cf_write
#include "config/result.h"

// Adds "echoarea=TAG path" to the named section (nullptr or "" = the global
// part; also when the file has no sections), after the last setting of that
// region. Ok added, Exists an echoarea line of this tag exists anywhere
// (nothing changed), Failed (unreadable or too large, section not found,
// result longer than 16382 bytes, write failed, or a line the loader would
// not read back as this tag and path: an empty tag, a tag with a blank or
// control character, a path that is empty or holds CR or LF).
CfgResult af_cfg_add_area(const char* cfg_path, const char* section, const char* tag,
                          const char* path);
// The same for a file area: "filearea=TAG path", Exists when a filearea
// line of the tag exists anywhere.
CfgResult af_cfg_add_filearea(const char* cfg_path, const char* section, const char* tag,
                              const char* path);
// The same additions collected and written with one rewrite of the file (the
// toss adds all areas one packet creates this way). af_cfg_batch_add answers
// as af_cfg_add_area would for the file with the batch's earlier lines added
// (it reads the file at its first call, and fails when the file could not
// be written) and writes nothing;
// af_cfg_batch_write reads the file again, adds every line of the batch (a
// line of a tag already there is left out) and writes it once, then empties
// the batch. Ok, or Failed when the result cannot be written (nothing
// written).
struct AfAreaBatch {
    struct Add {
        std::string section, tag, path;
    };
    std::vector<Add> adds;  // accepted, in order
    std::string text;       // the file with them, as af_cfg_batch_add checks it
    bool loaded = false;
};
CfgResult af_cfg_batch_add(AfAreaBatch& b, const char* cfg_path, const char* section,
                           const char* tag, const char* path);
CfgResult af_cfg_batch_write(AfAreaBatch& b, const char* cfg_path);
// Removes every echoarea line of the tag (any case), in all sections. Returns
// the number removed (0: file unchanged), or -1 when it cannot be read or
// written.
int af_cfg_del_area(const char* cfg_path, const char* tag);
// File-name form of a tag or section name: A-Z lowered, a-z 0-9 - . _ kept,
// everything else "_", at most 60 characters, "_" when empty. out: 61 bytes.
void af_lc_tag(char* out, const char* name);
// Whether a new area may be created for this tag: 1 to 63 bytes (TAG_MAX),
// none of them a control character, blank or DEL, nor "/", "\" or ":" (a
// tag naming a folder or drive), and not dots alone ("." and ".." name
// folders). A message of any other tag is filed in the bad area instead.
bool af_tag_creatable(const char* tag);
// The base name of a new area: af_lc_tag of the tag, then made safe as a
// file name on every system the configuration may move to: a leading or
// trailing "." becomes "_" (no hidden or folder-like name, none that Windows
// would cut), and a name whose part before the first "." is a device name
// of Windows (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, any case) gets "_"
// after that part ("con" -> "con_", "nul.echo" -> "nul_.echo"). Every other
// name stays af_lc_tag's. out: AF_BASE_NAME_MAX bytes.
constexpr size_t AF_BASE_NAME_MAX = 62;
void af_base_name(char* out, const char* tag);
