#include "veltrac/error.hpp"

#include <charconv>

#include "util/decimal.hpp"
#include "veltrac/json/error.hpp"

namespace veltrac {
namespace {

using decimal::append_i64;
using decimal::append_u64;

// Shortest round-trip digits; integral values keep no fraction ("1", "0.5", "1e300").
void append_f64(std::string& out, double v) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// The JSON reader's syntax texts, held in an error as their index here (0: none).
constexpr std::string_view kJsonTexts[] = {
    {},
    json::msg::kEofList,
    json::msg::kEofObject,
    json::msg::kEofString,
    json::msg::kEofValue,
    json::msg::kExpectedColon,
    json::msg::kExpectedListCommaOrEnd,
    json::msg::kExpectedObjectCommaOrEnd,
    json::msg::kExpectedIdent,
    json::msg::kExpectedValue,
    json::msg::kExpectedQuote,
    json::msg::kInvalidEscape,
    json::msg::kInvalidNumber,
    json::msg::kNumberOutOfRange,
    json::msg::kInvalidCodePoint,
    json::msg::kControlChar,
    json::msg::kKeyMustBeString,
    json::msg::kLoneLeadingSurrogate,
    json::msg::kTrailingComma,
    json::msg::kTrailingCharacters,
    json::msg::kUnexpectedEndOfHexEscape,
    json::msg::kRecursionLimit,
};
constexpr uint8_t kFirstJsonEof = 1, kLastJsonEof = 4;  // the "EOF while parsing ..." texts

uint8_t json_text_index(std::string_view message) {
  for (uint8_t i = 1; i < std::size(kJsonTexts); ++i) {
    if (kJsonTexts[i] == message) return i;
  }
  return 0;
}

}  // namespace

struct VeltracError::Payload {
  std::string text1, text2;
  uint64_t u1 = 0, u2 = 0;
  int64_t i1 = 0;
  double f1 = 0.0;
  const uint8_t* at = nullptr;
  size_t line = 0, column = 0;  // Json
};

VeltracError::VeltracError(const VeltracError& o)
    : kind(o.kind), incomplete(o.incomplete), text_(o.text_), heap_(o.heap_), small_(o.small_), word_(o.word_) {
  if (heap_) word_ = reinterpret_cast<uintptr_t>(new Payload(*o.payload()));
}

void VeltracError::release() {
  delete payload();
  heap_ = false;
  word_ = 0;
}

VeltracError::Payload& VeltracError::make_payload() {
  if (!heap_) {
    auto* p = new Payload;
    p->at = reinterpret_cast<const uint8_t*>(word_);
    word_ = reinterpret_cast<uintptr_t>(p);
    heap_ = true;
  }
  return *payload();
}

const uint8_t* VeltracError::at() const {
  if (kind == ErrorKind::Json) return nullptr;
  if (const Payload* p = payload()) return p->at;
  return reinterpret_cast<const uint8_t*>(word_);
}

VeltracError& VeltracError::found_at(const uint8_t* p, bool ended) {
  if (Payload* h = payload()) {
    h->at = p;
  } else {
    word_ = reinterpret_cast<uintptr_t>(p);
  }
  incomplete = ended;
  return *this;
}

size_t VeltracError::line() const {
  if (kind != ErrorKind::Json) return 0;
  if (const Payload* p = payload()) return p->line;
  return small_;
}

size_t VeltracError::column() const {
  if (kind != ErrorKind::Json) return 0;
  if (const Payload* p = payload()) return p->column;
  return word_;
}

VeltracError& VeltracError::at_line(size_t line, size_t column) {
  if (!heap_ && line <= UINT32_MAX) {
    small_ = static_cast<uint32_t>(line);
    word_ = column;
  } else {
    Payload& p = make_payload();
    p.line = line;
    p.column = column;
  }
  return *this;
}

VeltracError VeltracError::json_at(std::string_view message, size_t line, size_t column) {
  VeltracError e;
  e.kind = ErrorKind::Json;
  e.text_ = json_text_index(message);
  if (e.text_ == 0) e.make_payload().text1 = message;
  e.incomplete = e.text_ >= kFirstJsonEof && e.text_ <= kLastJsonEof;
  e.at_line(line, column);
  return e;
}

std::string VeltracError::json_text() const {
  std::string s;
  if (text_ != 0) {
    s = kJsonTexts[text_];
  } else if (const Payload* p = payload()) {
    s = p->text1;
  }
  if (size_t l = line(); l != 0) {
    s.append(" at line ");
    append_u64(s, l);
    s.append(" column ");
    append_u64(s, column());
  }
  return s;
}

std::string VeltracError::text() const {
  switch (kind) {
    case ErrorKind::Json: return json_text();
    case ErrorKind::Io:
      if (static_cast<IoText>(text_) != IoText::None) return message().substr(10);  // after "Io Error: "
      [[fallthrough]];
    case ErrorKind::OptionFromEnv:
    case ErrorKind::IntParse:
    case ErrorKind::Utf8: return heap_ ? payload()->text1 : std::string();
    default: return message();
  }
}

VeltracError VeltracError::with_text(ErrorKind k, std::string text) {
  VeltracError e;
  e.kind = k;
  e.make_payload().text1 = std::move(text);
  return e;
}

VeltracError VeltracError::with_code(ErrorKind k, uint64_t code) {
  VeltracError e;
  e.kind = k;
  if (code <= UINT32_MAX) {
    e.small_ = static_cast<uint32_t>(code);
  } else {
    e.make_payload().u1 = code;
  }
  return e;
}

VeltracError VeltracError::plain(ErrorKind k) {
  VeltracError e;
  e.kind = k;
  return e;
}

VeltracError VeltracError::with_two_texts(ErrorKind k, std::string a, std::string b) {
  VeltracError e;
  e.kind = k;
  Payload& p = e.make_payload();
  p.text1 = std::move(a);
  p.text2 = std::move(b);
  return e;
}

VeltracError VeltracError::with_text_int_text(ErrorKind k, std::string a, int64_t n, std::string b) {
  VeltracError e;
  e.kind = k;
  Payload& p = e.make_payload();
  p.text1 = std::move(a);
  p.i1 = n;
  p.text2 = std::move(b);
  return e;
}

VeltracError VeltracError::with_float(ErrorKind k, double f) {
  VeltracError e;
  e.kind = k;
  e.make_payload().f1 = f;
  return e;
}

VeltracError VeltracError::with_two_counts(ErrorKind k, uint64_t a, uint64_t b) {
  VeltracError e;
  e.kind = k;
  Payload& p = e.make_payload();
  p.u1 = a;
  p.u2 = b;
  return e;
}

std::string_view VeltracError::kind_name() const {
  static constexpr std::string_view kNames[kErrorKindCount] = {"OptionFromEnv",
                                                               "Io",
                                                               "Json",
                                                               "IntParse",
                                                               "Utf8",
                                                               "InvalidBaseType",
                                                               "InvalidEntryType",
                                                               "UnknownTypeToString",
                                                               "UnimplementedVariant",
                                                               "UnimplementedVariantFamily",
                                                               "ChanceOutOfRange",
                                                               "ChanceSumNotOne",
                                                               "BinLengthMismatch",
                                                               "UnmatchedPairType",
                                                               "PairNotInBaseList",
                                                               "DatetimeMinMax",
                                                               "DatetimeBounds",
                                                               "DatetimeOption",
                                                               "DatetimeEarlier",
                                                               "DatetimeChangeControl",
                                                               "DatetimeNeedsLong",
                                                               "JsonPairNotInBaseList",
                                                               "InfotablePairNotInBaseList",
                                                               "UnexpectedAuthBody",
                                                               "WrongMessageHeader",
                                                               "InvalidCode",
                                                               "WrongEntityTypeInService",
                                                               "WrongServiceRequest",
                                                               "MultipartFromBytes",
                                                               "UnimplementedCode",
                                                               "MsgToBinary",
                                                               "MessageTooBig",
                                                               "ChunkNotFirst",
                                                               "MultipartReassembly",
                                                               "InvalidEntityType",
                                                               "InvalidCharacteristicType",
                                                               "PrimToJson",
                                                               "JsonToPrim",
                                                               "UnacceptableBinaryLetter"};
  return kNames[static_cast<size_t>(kind)];
}

std::string VeltracError::message() const {
  static const Payload kNone;
  const Payload& h = heap_ ? *payload() : kNone;
  const std::string& text1 = h.text1;
  const std::string& text2 = h.text2;
  const uint64_t u1 = heap_ && h.u1 ? h.u1 : small_, u2 = h.u2;
  const int64_t i1 = h.i1;
  const double f1 = h.f1;
  std::string s;
  auto text = [&](const char* prefix, const std::string& t, const char* suffix = "") {
    s.append(prefix);
    s.append(t);
    s.append(suffix);
  };
  auto code = [&](const char* prefix) {
    s.append(prefix);
    append_u64(s, u1);
  };
  auto two = [&](const char* prefix, const char* mid, const char* suffix) {
    s.append(prefix);
    s.append(text1);
    s.append(mid);
    s.append(text2);
    s.append(suffix);
  };
  auto datetime = [&](const char* mid) {
    s.append(text1);
    s.append(mid);
    append_i64(s, i1);
    s.push_back(':');
    s.append(text2);
  };
  switch (kind) {
    case ErrorKind::OptionFromEnv: text("VeltracOption from env error:", text1); break;
    case ErrorKind::Io:
      switch (static_cast<IoText>(text_)) {
        case IoText::None: text("Io Error: ", text1); break;
        case IoText::FillBuffer: s = "Io Error: failed to fill whole buffer"; break;
        case IoText::StringPrefix:
          s = "Io Error: Stream to String failed: content too short, expecting 4 bytes but got less";
          break;
        case IoText::StringContent: s = "Io Error: Stream to String failed: content too short"; break;
        case IoText::NestingTooDeep: s = "Io Error: nesting depth exceeds 200"; break;
      }
      break;
    case ErrorKind::Json:
      s = "Serde Json Error: ";
      s.append(json_text());
      break;
    case ErrorKind::IntParse: text("Int parse error: ", text1); break;
    case ErrorKind::Utf8: text("Utf8 error: ", text1); break;
    case ErrorKind::InvalidBaseType: code("Invalid Base Type: "); break;
    case ErrorKind::InvalidEntryType: code("Invalid entry type: "); break;
    case ErrorKind::UnknownTypeToString: s = "Unknown Type to String conversion"; break;
    case ErrorKind::UnimplementedVariant: s = "Unimplemented HC_VARIANT"; break;
    case ErrorKind::UnimplementedVariantFamily: text("Unimplemented HC_VARIANT Family:", text1); break;
    case ErrorKind::ChanceOutOfRange:
      s = "chance must be in [0.0, 1.0], yours: ";
      append_f64(s, f1);
      break;
    case ErrorKind::ChanceSumNotOne:
      s = "sum of chance_bin is not 1.0, sum is ";
      append_f64(s, f1);
      break;
    case ErrorKind::BinLengthMismatch:
      s = "value_bin ";
      append_u64(s, u1);
      s.append(" and chance_bin ");
      append_u64(s, u2);
      s.append(" length + 1 not equal");
      break;
    case ErrorKind::UnmatchedPairType: two("Unmatched type for pair ", ":", ""); break;
    case ErrorKind::PairNotInBaseList: two("", ":", " pair is not in base list"); break;
    case ErrorKind::DatetimeMinMax: datetime(" Datatime min and max can't be earlier than "); break;
    case ErrorKind::DatetimeBounds: datetime(" Datatime lowerbound and upperbound can't be earlier than "); break;
    case ErrorKind::DatetimeOption: datetime(" Datatime option can't be earlier than "); break;
    case ErrorKind::DatetimeEarlier: datetime(" Datatime can't be earlier than "); break;
    case ErrorKind::DatetimeChangeControl: two("", " Datatime unimplemented change control:", ""); break;
    case ErrorKind::DatetimeNeedsLong: two("Datetime needs LONG type for pair ", ":", ""); break;
    case ErrorKind::JsonPairNotInBaseList: two("JSON ", ":", " pair is not in base list"); break;
    case ErrorKind::InfotablePairNotInBaseList: two("INFOTABLE ", ":", " pair is not in base list"); break;
    case ErrorKind::UnexpectedAuthBody: s = "Unexpected Auth Body"; break;
    case ErrorKind::WrongMessageHeader: text("Wrong Mssage Header:", text1); break;
    case ErrorKind::InvalidCode: code("Invalid code:"); break;
    case ErrorKind::WrongEntityTypeInService: text("Wrong entity type:", text1, " in service request"); break;
    case ErrorKind::WrongServiceRequest: s = "Wrong service request"; break;
    case ErrorKind::MultipartFromBytes: s = "Multipart message can't be recovered from bytes directly"; break;
    case ErrorKind::UnimplementedCode: code("Unimplemented code:"); break;
    case ErrorKind::MsgToBinary: two("Failed to convert msg to binary:", "/", ""); break;
    case ErrorKind::MessageTooBig: code("Message is too big to send:"); break;
    case ErrorKind::ChunkNotFirst: s = "New chunk is not the first one"; break;
    case ErrorKind::MultipartReassembly: s = "Unexpected error in multipart reassembly"; break;
    case ErrorKind::InvalidEntityType: code("Invalid entity type: "); break;
    case ErrorKind::InvalidCharacteristicType: code("Invalid characteristic type: "); break;
    case ErrorKind::PrimToJson: text("Failed to convert from HcPrim to JsonValue:", text1); break;
    case ErrorKind::JsonToPrim: text("Failed to convert from JsonValue to HcPrim:", text1); break;
    case ErrorKind::UnacceptableBinaryLetter: code("Unacceptable binary letter: "); break;
  }
  return s;
}

}  // namespace veltrac
