// Output buffers reused by the encoding methods of every class, one of each kind per thread (encoders may
// run without the interpreter lock).
#pragma once

#include <string>
#include <vector>

#include "common/gil.hpp"
#include "common/pyref.hpp"
#include "veltrac/bytes.hpp"

namespace veltrac::py {

// Buffers that grew beyond this are released after use instead of being kept.
inline constexpr size_t kScratchKeep = size_t{1} << 20;

// The shared byte buffer, cleared.
inline ByteBuffer& scratch_bytes() {
  thread_local ByteBuffer buf;
  buf.clear();
  return buf;
}

// The buffer's content as a new bytes object; releases the buffer's memory if a large value grew it.
inline PyObject* take_bytes(ByteBuffer& buf) {
  // A large result is copied without the interpreter lock: the new object is not visible to anyone yet.
  PyObject* r = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buf.size()));
  if (r != nullptr) {
    run_unlocked_if(buf.size() >= kReleaseBytes, [&] { std::memcpy(PyBytes_AS_STRING(r), buf.data(), buf.size()); });
  }
  if (buf.vector().capacity() > kScratchKeep) std::vector<uint8_t>().swap(buf.vector());
  return r;
}

// The shared text buffer, cleared.
inline std::string& scratch_text() {
  thread_local std::string buf;
  buf.clear();
  return buf;
}

// A large text as a new str, checked and copied without the interpreter lock when it is ASCII (as the texts
// the codec writes mostly are); new_str otherwise. known_ascii: the writer saw every byte below 0x80, so the
// check is skipped.
inline PyObject* take_text(std::string_view s, bool known_ascii = false) {
  if (s.size() < kReleaseBytes) return new_str(s);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (str == nullptr) return nullptr;
  const bool ascii = run_unlocked_if(true, [&] {
    if (!known_ascii && !veltrac::utf8::all_ascii(s)) return false;
    std::memcpy(PyUnicode_1BYTE_DATA(str), s.data(), s.size());
    return true;
  });
  if (ascii) return str;
  Py_DECREF(str);
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

inline void release_if_large(std::string& buf) {
  if (buf.capacity() > kScratchKeep) std::string().swap(buf);
}

}  // namespace veltrac::py
