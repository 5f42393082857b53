// Laying out a text in a fresh reader, for the reader and link tests.
#pragma once

#include <memory>
#include <string>

#include "editor/reader.h"

namespace wptest {

// Each reader holds a full grid; one per case.
inline std::unique_ptr<Reader> render(const std::string& text, const std::string& sf = "",
                                      bool kludges = false) {
    auto r = std::make_unique<Reader>();
    rd_render(*r, text.data(), uint32_t(text.size()), reinterpret_cast<const uint8_t*>(sf.data()),
              uint32_t(sf.size()), kludges);
    return r;
}

}  // namespace wptest
