// The one error type of the codec. Fallible operations return Result<T>; nothing throws on bad input.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

enum class ErrorKind : uint8_t {
  OptionFromEnv,
  Io,
  Json,
  IntParse,
  Utf8,
  InvalidBaseType,
  InvalidEntryType,
  UnknownTypeToString,
  UnimplementedVariant,
  UnimplementedVariantFamily,
  ChanceOutOfRange,
  ChanceSumNotOne,
  BinLengthMismatch,
  UnmatchedPairType,
  PairNotInBaseList,
  DatetimeMinMax,
  DatetimeBounds,
  DatetimeOption,
  DatetimeEarlier,
  DatetimeChangeControl,
  DatetimeNeedsLong,
  JsonPairNotInBaseList,
  InfotablePairNotInBaseList,
  UnexpectedAuthBody,
  WrongMessageHeader,
  InvalidCode,
  WrongEntityTypeInService,
  WrongServiceRequest,
  MultipartFromBytes,
  UnimplementedCode,
  MsgToBinary,
  MessageTooBig,
  ChunkNotFirst,
  MultipartReassembly,
  InvalidEntityType,
  InvalidCharacteristicType,
  PrimToJson,
  JsonToPrim,
  UnacceptableBinaryLetter,
};

inline constexpr int kErrorKindCount = 39;

// A tagged error value. Payload fields are used according to `kind`:
// texts in text1..text3, unsigned numbers in u1/u2, the signed number in i1, the float in f1.
class VeltracError {
 public:
  ErrorKind kind = ErrorKind::Io;
  std::string text1, text2, text3;
  uint64_t u1 = 0, u2 = 0;
  int64_t i1 = 0;
  double f1 = 0.0;
  // Where a decoder found the error: the input byte it was reading (nullptr where no position applies).
  // The caller that owns the input turns it into an offset with offset_in().
  const uint8_t* at = nullptr;
  // The input ended before the value did: more bytes might complete it (as opposed to corrupt input).
  bool incomplete = false;

  // The display text, exactly as callers see it.
  std::string message() const;

  // The catalogue member's name, such as "InvalidCode".
  std::string_view kind_name() const;

  // Offset of `at` within `input`, or -1 when the error carries no position inside it.
  int64_t offset_in(std::span<const uint8_t> input) const {
    if (at == nullptr || at < input.data() || at > input.data() + input.size()) return -1;
    return at - input.data();
  }

  VeltracError& found_at(const uint8_t* p, bool ended = false) {
    at = p;
    incomplete = ended;
    return *this;
  }

  // Equal kind and payload; the position does not take part.
  bool operator==(const VeltracError& o) const {
    return kind == o.kind && text1 == o.text1 && text2 == o.text2 && text3 == o.text3 && u1 == o.u1 && u2 == o.u2 &&
           i1 == o.i1 && (f1 == o.f1 || (f1 != f1 && o.f1 != o.f1));
  }

  // Members with a single text payload (OptionFromEnv, Io, Json, IntParse, Utf8, UnimplementedVariantFamily,
  // WrongMessageHeader, WrongEntityTypeInService, PrimToJson, JsonToPrim).
  static VeltracError with_text(ErrorKind k, std::string text);
  // Members with a single unsigned payload (InvalidBaseType, InvalidEntryType, InvalidCode, UnimplementedCode,
  // MessageTooBig, InvalidEntityType, InvalidCharacteristicType, UnacceptableBinaryLetter).
  static VeltracError with_code(ErrorKind k, uint64_t code);
  // Members without payload.
  static VeltracError plain(ErrorKind k);
  static VeltracError with_two_texts(ErrorKind k, std::string a, std::string b);
  static VeltracError with_text_int_text(ErrorKind k, std::string a, int64_t n, std::string b);
  static VeltracError with_float(ErrorKind k, double f);
  static VeltracError with_two_counts(ErrorKind k, uint64_t a, uint64_t b);

  // Shorthands for the members raised by the codec.
  static VeltracError io(std::string msg) { return with_text(ErrorKind::Io, std::move(msg)); }
  static VeltracError json(std::string json_error_text) {
    return with_text(ErrorKind::Json, std::move(json_error_text));
  }
  static VeltracError invalid_base_type(uint8_t code) { return with_code(ErrorKind::InvalidBaseType, code); }
  static VeltracError invalid_entry_type(uint8_t code) { return with_code(ErrorKind::InvalidEntryType, code); }
  // Input ended inside a fixed-width field.
  static VeltracError truncated() {
    VeltracError e = io("failed to fill whole buffer");
    e.incomplete = true;
    return e;
  }
  static VeltracError truncated_at(const uint8_t* p) {
    VeltracError e = truncated();
    e.at = p;
    return e;
  }
};

template <class T>
using Result = std::expected<T, VeltracError>;

using Unexpected = std::unexpected<VeltracError>;

inline Unexpected fail(VeltracError e) { return Unexpected(std::move(e)); }

// A decoded value with the number of input bytes it took.
template <class T>
struct Decoded {
  T value;
  size_t consumed;
};

}  // namespace veltrac
VELTRAC_API_END
