#include "util/stream_string.hpp"

#include "util/utf8.hpp"

namespace veltrac {

namespace {
thread_local bool t_strings_must_be_whole = false;
}

WholeStrings::WholeStrings() : prev_(t_strings_must_be_whole) { t_strings_must_be_whole = true; }
WholeStrings::~WholeStrings() { t_strings_must_be_whole = prev_; }

Result<Decoded<std::string_view>> stream_to_string_view(Bytes in) {
  size_t len = in.size();
  if (len == 0) {
    if (t_strings_must_be_whole) return fail(VeltracError::truncated_at(in.data()));
    return Decoded<std::string_view>{std::string_view{}, 0};
  }
  size_t n, w;
  if ((in[0] & 0x80) == 0) {
    n = in[0];
    w = 1;
  } else {
    if (len < 4) {
      return fail(VeltracError::io(IoText::StringPrefix).found_at(in.data(), true));
    }
    n = bytes4_tousize(in.data());
    w = 4;
  }
  if (len - w < n) return fail(VeltracError::io(IoText::StringContent).found_at(in.data(), true));
  const uint8_t* content = in.data() + w;
  if (auto bad = utf8::validate(content, n)) {
    return fail(VeltracError::io("Stream to String failed:" + bad->describe()).found_at(in.data()));
  }
  return Decoded<std::string_view>{std::string_view(reinterpret_cast<const char*>(content), n), w + n};
}

Result<Decoded<std::string>> stream_to_string(Bytes in) {
  auto d = stream_to_string_view(in);
  if (!d) return fail(std::move(d.error()));
  return Decoded<std::string>{std::string(d->value), d->consumed};
}

}  // namespace veltrac
