// Windows only: the command line's UTF-16 arguments in the ANSI code page,
// the encoding every path and text of the program uses there.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> pf_args_from_wide(int argc, wchar_t** wargv);
