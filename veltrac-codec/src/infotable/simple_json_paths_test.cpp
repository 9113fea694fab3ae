// The simple JSON text of a table is written with an in-place writer for rows of texts, numbers, integers
// and booleans, or value by value (detail::SimpleRows::Reference). Both must give the same bytes for every
// kind of row.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "infotable/table_store.hpp"
#include "json/write.hpp"
#include "util/utf8.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {
namespace {

std::string via_value(const InfoTable& t) {
  std::string out;
  EXPECT_TRUE(detail::write_simple_json(t, out, detail::SimpleRows::Reference).has_value());
  return out;
}

// The in-place writer appends to what is there.
std::string direct(const InfoTable& t) {
  std::string out = "prefix";
  EXPECT_TRUE(t.write_simple_json(out).has_value());
  EXPECT_TRUE(out.starts_with("prefix"));
  return out.substr(6);
}

InfoTable shaped(std::initializer_list<std::pair<const char*, BaseType>> cols) {
  InfoTable t;
  for (const auto& [name, type] : cols) t.add_field_definition({name, "", type, {}});
  return t;
}

std::vector<double> floats() {
  std::vector<double> out;
  const char* text =
      "0 -0 1 -1.5 0.1 0.3333333333333333 1e-5 1e-4 1.5e-7 1e15 1e16 9007199254740993 5e-324 "
      "1.7976931348623157e308 nan inf -inf";
  for (char* end; *text != '\0'; text = end) out.push_back(std::strtod(text, &end));
  return out;
}
const char* const kTexts[] = {"",
                              "a",
                              "q\"uote",
                              "back\\slash",
                              "ctl\x01\x1f\x7f",
                              "tab\tnl\nret\r\b\f",
                              "\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e",
                              "12345678\"",
                              "1234567\\",
                              "abcdefghabcdefgh\n"};

TEST(SimpleJsonPaths, ScalarRowsMatchTheValuePath) {
  InfoTable t = shaped({{"s", BaseType::STRING},
                        {"n", BaseType::NUMBER},
                        {"i", BaseType::INTEGER},
                        {"l", BaseType::LONG},
                        {"b", BaseType::BOOLEAN},
                        {"d", BaseType::DATETIME},
                        {"A", BaseType::STRING}});
  const std::vector<double> kFloats = floats();
  std::mt19937_64 rnd(7);
  for (int k = 0; k < 500; ++k) {
    InfoTableRow row;
    row.fields.push_back(HcPrim::string(kTexts[k % std::size(kTexts)]));
    double f = k % 2 ? kFloats[static_cast<size_t>(k) % kFloats.size()]
                     : std::ldexp(static_cast<double>(rnd() >> 11), static_cast<int>(rnd() % 200) - 150);
    row.fields.push_back(HcPrim::number(f));
    row.fields.push_back(HcPrim::integer(static_cast<int32_t>(rnd())));
    row.fields.push_back(HcPrim::long_(k == 1 ? std::numeric_limits<int64_t>::min() : static_cast<int64_t>(rnd())));
    row.fields.push_back(HcPrim::boolean(k % 3 == 0));
    row.fields.push_back(HcPrim::datetime(-static_cast<int64_t>(rnd() >> 1)));
    row.fields.push_back(HcPrim::string(std::string(static_cast<size_t>(k), 'x') + kTexts[(k + 3) % std::size(kTexts)],
                                        BaseType::THINGNAME));
    t.add_row(std::move(row));
  }
  EXPECT_EQ(direct(t), via_value(t));
}

TEST(SimpleJsonPaths, MixedShortAndSurplusRowsMatchTheValuePath) {
  InfoTable nested = shaped({{"x", BaseType::INTEGER}});
  nested.add_row(InfoTableRow{{HcPrim::integer(1)}});
  InfoTable t = shaped({{"b", BaseType::STRING}, {"a", BaseType::NUMBER}});
  const std::vector<std::vector<HcPrim>> rows = {
      {HcPrim::string("plain"), HcPrim::number(2.5)},
      {},                                                            // no values
      {HcPrim::string("short")},                                     // fewer values than fields
      {HcPrim::string("s"), HcPrim::number(1), HcPrim::integer(9)},  // a surplus value
      {HcPrim::variant(HcPrim::integer(5)), HcPrim::number(3)},      // the value-by-value writer
      {HcPrim::nothing(), HcPrim::location({1, 2, 3})},
      {HcPrim::blob(Bytes()), HcPrim::infotable(nested)},
      {HcPrim::string("after"), HcPrim::number(-0.0)},
  };
  for (const auto& r : rows) t.add_row(InfoTableRow{r});
  EXPECT_EQ(direct(t), via_value(t));
  // Rows of one kind only, first row short: the reservation guess must not matter.
  InfoTable u = shaped({{"k", BaseType::STRING}});
  u.add_row(InfoTableRow{});
  for (int i = 0; i < 50; ++i) u.add_row(InfoTableRow{{HcPrim::string(std::string(static_cast<size_t>(i * 7), '"'))}});
  EXPECT_EQ(direct(u), via_value(u));
}

// The writer's ASCII flag is false exactly when a byte written is 0x80 or above, whichever way a text was
// copied (blocks, words, halves, byte by byte round an escape) and whichever path wrote its row.
TEST(SimpleJsonPaths, AsciiFlagMatchesTheText) {
  std::vector<std::string> texts;
  for (size_t n : {0, 2, 5, 9, 16, 17, 40}) {
    for (const char* tail : {"", "\""}) {
      texts.push_back(std::string(n, 'a') + tail);
      texts.push_back("\xc3\xa9" + std::string(n, 'a') + tail);
      texts.push_back(std::string(n, 'a') + "\xc3\xa9" + tail);
    }
  }
  for (const char* key : {"k", "k\xc3\xa9"}) {
    for (const std::string& text : texts) {
      InfoTable t = shaped({{key, BaseType::STRING}});
      t.add_row(InfoTableRow{{HcPrim::string(text)}});
      for (auto how : {detail::SimpleRows::InPlace, detail::SimpleRows::Reference}) {
        std::string out;
        bool ascii = !utf8::all_ascii(text);
        ASSERT_TRUE(detail::write_simple_json(t, out, how, &ascii));
        EXPECT_EQ(ascii, utf8::all_ascii(out)) << out;
      }
    }
  }
}

}  // namespace
}  // namespace veltrac
