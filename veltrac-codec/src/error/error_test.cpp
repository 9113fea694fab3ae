#include "veltrac/error.hpp"

#include <gtest/gtest.h>

namespace veltrac {
namespace {

struct ErrorCase {
  VeltracError error;
  const char* text;
};

TEST(VeltracErrorTest, DisplayTexts) {
  using K = ErrorKind;
  const ErrorCase cases[] = {
      {VeltracError::with_text(K::OptionFromEnv, "x"), "VeltracOption from env error:x"},
      {VeltracError::io("boom"), "Io Error: boom"},
      {VeltracError::json("eof at line 1 column 0"), "Serde Json Error: eof at line 1 column 0"},
      {VeltracError::with_text(K::IntParse, "bad"), "Int parse error: bad"},
      {VeltracError::with_text(K::Utf8, "bad"), "Utf8 error: bad"},
      {VeltracError::invalid_base_type(19), "Invalid Base Type: 19"},
      {VeltracError::invalid_entry_type(19), "Invalid entry type: 19"},
      {VeltracError::plain(K::UnknownTypeToString), "Unknown Type to String conversion"},
      {VeltracError::plain(K::UnimplementedVariant), "Unimplemented HC_VARIANT"},
      {VeltracError::with_text(K::UnimplementedVariantFamily, "Not implemented yet family type:HC_NULL"),
       "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL"},
      {VeltracError::with_float(K::ChanceOutOfRange, 1.5), "chance must be in [0.0, 1.0], yours: 1.5"},
      {VeltracError::with_float(K::ChanceSumNotOne, 0.25), "sum of chance_bin is not 1.0, sum is 0.25"},
      {VeltracError::with_two_counts(K::BinLengthMismatch, 3, 4), "value_bin 3 and chance_bin 4 length + 1 not equal"},
      {VeltracError::with_two_texts(K::UnmatchedPairType, "a", "b"), "Unmatched type for pair a:b"},
      {VeltracError::with_two_texts(K::PairNotInBaseList, "a", "b"), "a:b pair is not in base list"},
      {VeltracError::with_text_int_text(K::DatetimeMinMax, "p", -5, "q"),
       "p Datatime min and max can't be earlier than -5:q"},
      {VeltracError::with_text_int_text(K::DatetimeBounds, "p", 1, "q"),
       "p Datatime lowerbound and upperbound can't be earlier than 1:q"},
      {VeltracError::with_text_int_text(K::DatetimeOption, "p", 1, "q"), "p Datatime option can't be earlier than 1:q"},
      {VeltracError::with_text_int_text(K::DatetimeEarlier, "p", 1, "q"), "p Datatime can't be earlier than 1:q"},
      {VeltracError::with_two_texts(K::DatetimeChangeControl, "a", "b"), "a Datatime unimplemented change control:b"},
      {VeltracError::with_two_texts(K::DatetimeNeedsLong, "a", "b"), "Datetime needs LONG type for pair a:b"},
      {VeltracError::with_two_texts(K::JsonPairNotInBaseList, "a", "b"), "JSON a:b pair is not in base list"},
      {VeltracError::with_two_texts(K::InfotablePairNotInBaseList, "a", "b"), "INFOTABLE a:b pair is not in base list"},
      {VeltracError::plain(K::UnexpectedAuthBody), "Unexpected Auth Body"},
      {VeltracError::with_text(K::WrongMessageHeader, "[1, 20]"), "Wrong Mssage Header:[1, 20]"},
      {VeltracError::with_code(K::InvalidCode, 5), "Invalid code:5"},
      {VeltracError::with_text(K::WrongEntityTypeInService, "7"), "Wrong entity type:7 in service request"},
      {VeltracError::plain(K::WrongServiceRequest), "Wrong service request"},
      {VeltracError::plain(K::MultipartFromBytes), "Multipart message can't be recovered from bytes directly"},
      {VeltracError::with_code(K::UnimplementedCode, 31), "Unimplemented code:31"},
      {VeltracError::with_two_texts(K::MsgToBinary, "a", "b"), "Failed to convert msg to binary:a/b"},
      {VeltracError::with_code(K::MessageTooBig, 70000), "Message is too big to send:70000"},
      {VeltracError::plain(K::ChunkNotFirst), "New chunk is not the first one"},
      {VeltracError::plain(K::MultipartReassembly), "Unexpected error in multipart reassembly"},
      {VeltracError::with_code(K::InvalidEntityType, 1), "Invalid entity type: 1"},
      {VeltracError::with_code(K::InvalidCharacteristicType, 4), "Invalid characteristic type: 4"},
      {VeltracError::with_text(K::PrimToJson, "x"), "Failed to convert from HcPrim to JsonValue:x"},
      {VeltracError::with_text(K::JsonToPrim, "x"), "Failed to convert from JsonValue to HcPrim:x"},
      {VeltracError::with_code(K::UnacceptableBinaryLetter, 65), "Unacceptable binary letter: 65"},
  };
  static_assert(std::size(cases) == kErrorKindCount);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(static_cast<size_t>(cases[i].error.kind), i);
    EXPECT_EQ(cases[i].error.message(), cases[i].text);
  }
}

}  // namespace
}  // namespace veltrac
