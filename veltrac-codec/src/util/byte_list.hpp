// Bytes as a bracketed list of decimal numbers, e.g. "[1,2,255]" (JSON) or "[1, 2, 255]" (diagnostics).
#pragma once

#include <charconv>
#include <string>
#include <string_view>

#include "veltrac/bytes.hpp"

namespace veltrac {

inline void append_byte_list(std::string& out, Bytes b, std::string_view sep) {
  out.reserve(out.size() + 2 + b.size() * (3 + sep.size()));
  out.push_back('[');
  char buf[3];
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) out.append(sep);
    auto r = std::to_chars(buf, buf + sizeof buf, b[i]);
    out.append(buf, r.ptr);
  }
  out.push_back(']');
}

inline std::string byte_list(Bytes b, std::string_view sep) {
  std::string s;
  append_byte_list(s, b, sep);
  return s;
}

}  // namespace veltrac
