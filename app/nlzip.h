// The published ZIP form of nodelists and difference files (BASE.Znn,
// NODEDIFF.Znn): one entry, stored or deflated. It lives here because the
// nodelist layer sits below the Deflate decoder's; nodelist/nlfiles takes it
// as its NlUnzip hook.
#pragma once

#include <string>

// Reads the first entry of the ZIP archive at path whose name is NAME.nnn
// (three digits; any NAME) into name and text. Checked like a bundle:
// end record, central directory, local header, method 0 or 8, sizes within
// the archive and at most NL_FILE_MAX, CRC-32. False on any failure.
bool nl_unzip_file(const std::string& path, std::string& name, std::string& text);
