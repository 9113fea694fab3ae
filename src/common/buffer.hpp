// A read-only view of a bytes-like argument from an offset on, released when it goes out of scope.
#pragma once

#include <string>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/pyref.hpp"
#include "veltrac/bytes.hpp"

namespace veltrac::py {

class BufferArg {
 public:
  BufferArg() = default;
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Takes `data` from `offset` (nullptr: 0) on; false with TypeError or ValueError set.
  bool open(PyObject* data, PyObject* offset) {
    if (offset && !to_i64(offset, "offset", offset_)) return false;
    if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) < 0) {
      prefix_type_error("data");
      return false;
    }
    held_ = true;
    if (offset_ < 0 || offset_ > view_.len) {
      raise(PyExc_ValueError,
            "offset " + std::to_string(offset_) + " is outside the data (" + std::to_string(view_.len) + " bytes)");
      return false;
    }
    return true;
  }

  // The bytes from the offset on.
  Bytes rest() const {
    return {static_cast<const uint8_t*>(view_.buf) + offset_, static_cast<size_t>(view_.len - offset_)};
  }
  int64_t offset() const { return offset_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  int64_t offset_ = 0;
};

// from_buffer(data, offset=0) of a decoder: `decode(Bytes)` gives Result<Decoded<T>>, `wrap(T&&)` the new
// object; returns (object, bytes taken), or raises DecodeError with `prefix`.
template <class Decode, class Wrap>
PyObject* decode_from_buffer(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             std::string_view prefix, Decode&& decode, Wrap&& wrap) {
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  BufferArg buf;
  if (!buf.open(argv[0], argv[1])) return nullptr;
  auto r = decode(buf.rest());
  if (!r) return raise_decode_error(prefix, r.error(), buf.rest(), buf.offset());
  PyRef obj(wrap(std::move(r->value)));
  PyRef taken(PyLong_FromSize_t(r->consumed));
  if (!obj || !taken) return nullptr;
  return PyTuple_Pack(2, obj.get(), taken.get());
}

}  // namespace veltrac::py
