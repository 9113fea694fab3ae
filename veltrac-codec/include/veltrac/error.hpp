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

// Constant texts of Io errors, kept as an index so that the common decoding failures allocate nothing.
enum class IoText : uint8_t {
  None,
  FillBuffer,      // "failed to fill whole buffer": input ended inside a fixed-width field
  StringPrefix,    // "Stream to String failed: content too short, expecting 4 bytes but got less"
  StringContent,   // "Stream to String failed: content too short"
  NestingTooDeep,  // "nesting depth exceeds 200"
};

// A tagged error value of 16 bytes: every failure of the codec (binary, JSON and Arrow) is one of these,
// its kind a member of the catalogue. A code or size payload is held inline, as are a constant text (the
// common Io texts, the JSON reader's syntax texts) and the position: the input byte for binary decoders,
// line and column for JSON text. Other texts and payloads live in one heap block. The display text is built
// only by message() and text().
class VeltracError {
 public:
  ErrorKind kind = ErrorKind::Io;
  // The input ended before the value did: more bytes might complete it (as opposed to corrupt input).
  bool incomplete = false;

  VeltracError() = default;
  VeltracError(const VeltracError& o);
  VeltracError(VeltracError&& o) noexcept
      : kind(o.kind), incomplete(o.incomplete), text_(o.text_), heap_(o.heap_), small_(o.small_), word_(o.word_) {
    o.heap_ = false;
    o.word_ = 0;
  }
  VeltracError& operator=(const VeltracError& o) {
    if (this != &o) *this = VeltracError(o);
    return *this;
  }
  VeltracError& operator=(VeltracError&& o) noexcept {
    if (this != &o) {
      release();
      kind = o.kind;
      incomplete = o.incomplete;
      text_ = o.text_;
      heap_ = o.heap_;
      small_ = o.small_;
      word_ = o.word_;
      o.heap_ = false;
      o.word_ = 0;
    }
    return *this;
  }
  ~VeltracError() { release(); }

  // The display text, exactly as callers see it: the member's text from the catalogue.
  std::string message() const;

  // The wrapped error's own text for the members that wrap one (OptionFromEnv, Io, Json, IntParse, Utf8):
  // message() without the member's prefix; for Json the JSON error's text with " at line L column C" when
  // it has a position. message() for the other members.
  std::string text() const;

  // The catalogue member's name, such as "InvalidCode".
  std::string_view kind_name() const;

  // Where a decoder found the error: the input byte it was reading (nullptr where no position applies, and
  // always for Json errors, which carry a line and column instead). The caller that owns the input turns it
  // into an offset with offset_in().
  const uint8_t* at() const;

  // Offset of at() within `input`, or -1 when the error carries no position inside it.
  int64_t offset_in(std::span<const uint8_t> input) const {
    const uint8_t* p = at();
    if (p == nullptr || p < input.data() || p > input.data() + input.size()) return -1;
    return p - input.data();
  }

  VeltracError& found_at(const uint8_t* p, bool ended = false);

  // Position of a Json error in the text read: line from 1 (0: no position) and column in bytes within the
  // line (0 at a line start or before anything was read).
  size_t line() const;
  size_t column() const;
  bool has_line() const { return line() != 0; }
  // Gives a Json error its position (replacing any it had).
  VeltracError& at_line(size_t line, size_t column);

  // Equal kind and display text; the position of a binary decoder does not take part.
  bool operator==(const VeltracError& o) const { return kind == o.kind && message() == o.message(); }

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
  // An Io error with one of the constant texts.
  static VeltracError io(IoText t, bool ended = false) {
    VeltracError e;
    e.text_ = static_cast<uint8_t>(t);
    e.incomplete = ended;
    return e;
  }

  // Shorthands for the members raised by the codec.
  static VeltracError io(std::string msg) { return with_text(ErrorKind::Io, std::move(msg)); }
  // A Json error without position (a record-mapping text before the reader positions it, or a writer's).
  static VeltracError json(std::string json_error_text) {
    return with_text(ErrorKind::Json, std::move(json_error_text));
  }
  // A Json error at a line and column of the text read. The reader's syntax texts (json::msg) are held as an
  // index, so that they allocate nothing; the texts "EOF while parsing ..." mark the error incomplete.
  static VeltracError json_at(std::string_view message, size_t line, size_t column);
  static VeltracError invalid_base_type(uint8_t code) { return with_code(ErrorKind::InvalidBaseType, code); }
  static VeltracError invalid_entry_type(uint8_t code) { return with_code(ErrorKind::InvalidEntryType, code); }
  // Input ended inside a fixed-width field.
  static VeltracError truncated() { return io(IoText::FillBuffer, true); }
  static VeltracError truncated_at(const uint8_t* p) {
    VeltracError e = truncated();
    e.word_ = reinterpret_cast<uintptr_t>(p);
    return e;
  }

 private:
  struct Payload;
  Payload* payload() const { return heap_ ? reinterpret_cast<Payload*>(word_) : nullptr; }
  Payload& make_payload();
  void release();
  std::string json_text() const;

  uint8_t text_ = 0;    // IoText for Io, the index of a JSON syntax text for Json (0: none)
  bool heap_ = false;   // word_ holds the heap block (which then holds the position)
  uint32_t small_ = 0;  // code or size payload; the line of a Json error
  uintptr_t word_ = 0;  // the position (the column of a Json error), or the heap block
};

static_assert(sizeof(VeltracError) <= 16);

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
