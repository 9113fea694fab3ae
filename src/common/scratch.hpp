// Output buffers reused by the encoding methods of every class, one of each kind per thread (encoders may
// run without the interpreter lock).
#pragma once

#include <string>
#include <vector>

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
  PyObject* r = new_bytes(buf.data(), buf.size());
  if (buf.vector().capacity() > kScratchKeep) std::vector<uint8_t>().swap(buf.vector());
  return r;
}

// The shared text buffer, cleared.
inline std::string& scratch_text() {
  thread_local std::string buf;
  buf.clear();
  return buf;
}

inline void release_if_large(std::string& buf) {
  if (buf.capacity() > kScratchKeep) std::string().swap(buf);
}

}  // namespace veltrac::py
