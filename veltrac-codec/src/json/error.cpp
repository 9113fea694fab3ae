#include "veltrac/json/error.hpp"

#include <charconv>

#include "json/write.hpp"
#include "util/debug_text.hpp"

namespace veltrac::json {

namespace {

void append_size(std::string& out, size_t n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

void append_ticked(std::string& out, std::string_view name) {
  out.push_back('`');
  out.append(name);
  out.push_back('`');
}

Error name_error(std::string_view head, std::string_view name, std::span<const std::string_view> expected,
                 std::string_view none) {
  std::string m;
  m.append(head);
  append_ticked(m, name);
  if (expected.empty()) {
    m.append(", ");
    m.append(none);
  } else {
    m.append(", expected ");
    append_name_list(m, expected);
  }
  return custom(std::move(m));
}

Error found_expected(std::string_view head, std::string_view found, std::string_view expected) {
  std::string m;
  m.reserve(head.size() + found.size() + expected.size() + 12);
  m.append(head);
  m.append(found);
  m.append(", expected ");
  m.append(expected);
  return custom(std::move(m));
}

}  // namespace

void append_name_list(std::string& out, std::span<const std::string_view> names) {
  if (names.size() == 1) {
    append_ticked(out, names[0]);
  } else if (names.size() == 2) {
    append_ticked(out, names[0]);
    out.append(" or ");
    append_ticked(out, names[1]);
  } else if (!names.empty()) {
    out.append("one of ");
    for (size_t i = 0; i < names.size(); ++i) {
      if (i) out.append(", ");
      append_ticked(out, names[i]);
    }
  }
}

Error missing_field(std::string_view name) {
  std::string m = "missing field ";
  append_ticked(m, name);
  return custom(std::move(m));
}

Error duplicate_field(std::string_view name) {
  std::string m = "duplicate field ";
  append_ticked(m, name);
  return custom(std::move(m));
}

Error unknown_field(std::string_view name, std::span<const std::string_view> expected) {
  return name_error("unknown field ", name, expected, "there are no fields");
}

Error unknown_variant(std::string_view name, std::span<const std::string_view> expected) {
  return name_error("unknown variant ", name, expected, "there are no variants");
}

Error invalid_type(std::string_view found, std::string_view expected) {
  return found_expected("invalid type: ", found, expected);
}

Error invalid_value(std::string_view found, std::string_view expected) {
  return found_expected("invalid value: ", found, expected);
}

Error invalid_length(size_t n, std::string_view expected) {
  std::string m = "invalid length ";
  append_size(m, n);
  m.append(", expected ");
  m.append(expected);
  return custom(std::move(m));
}

std::string found_bool(bool v) { return v ? "boolean `true`" : "boolean `false`"; }

std::string found_u64(uint64_t v) {
  std::string s = "integer `";
  write_u64(s, v);
  s.push_back('`');
  return s;
}

std::string found_i64(int64_t v) {
  std::string s = "integer `";
  write_i64(s, v);
  s.push_back('`');
  return s;
}

std::string found_f64(double v) {
  std::string s = "floating point `";
  write_f64(s, v);
  s.push_back('`');
  return s;
}

std::string found_str(std::string_view v) {
  std::string s = "string ";
  append_debug_str(s, v);
  return s;
}

}  // namespace veltrac::json
