// The exceptions codec failures raise: DecodeError (IncompleteError when the input ended early) and
// EncodeError, ValueError subclasses carrying the error's kind, its offset and, for messages, the header.
#pragma once

#include <string_view>

#include "common/pyref.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"

namespace veltrac::py {

// Creates the three classes and adds them to the module (not to __all__).
bool add_error_classes(PyObject* module);

// Raises DecodeError or IncompleteError(prefix + text); `input` is what the decoder read, whose start is
// `base` in the caller's data (the offset is None when the error has no position in it). `header` is the
// header attribute (None when null). Returns nullptr.
PyObject* raise_decode_error(std::string_view prefix, const VeltracError& e, Bytes input, int64_t base = 0,
                             PyObject* header = nullptr);
// The same with a given offset (-1 for None) and class.
PyObject* raise_decode_error_at(std::string_view prefix, const VeltracError& e, int64_t offset, bool incomplete,
                                PyObject* header);
// Raises EncodeError(prefix + text) with offset None. Returns nullptr.
PyObject* raise_encode_error(std::string_view prefix, const VeltracError& e);

// Raises DecodeError (IncompleteError when e.incomplete) or EncodeError(prefix + e.text()), offset None unless
// given: the failures whose texts show without the member's prefix (JSON, Arrow, bytes that are not UTF-8).
PyObject* raise_text_error(bool decoding, std::string_view prefix, const VeltracError& e, int64_t offset = -1);

}  // namespace veltrac::py
