// The simple JSON form of tables: one object per row, keyed by column name.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "infotable/table_store.hpp"
#include "json/write.hpp"
#include "util/debug_text.hpp"
#include "util/decimal.hpp"
#include "util/key_order.hpp"
#include "util/log.hpp"
#include "util/utf8.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {

// ---- simple JSON ----

namespace {
void report_missing_entry(size_t index) {
  VELTRAC_LOG(Error, "veltrac_codec::infotable::json", "DataShape entry not found for index " + std::to_string(index));
}
}  // namespace

namespace {

// Pre-escaped member keys of every column in key order, the first as "key": and the others as ,"key":, in
// one buffer, each padded to a multiple of 16 bytes so that a short key is copied with one fixed-size store.
class MemberKeys {
 public:
  static constexpr size_t kSlack = 16;

  MemberKeys(const DataShape& shape, std::span<const size_t> order) {
    std::string key;
    for (size_t col : order) {
      key.clear();
      if (!at_.empty()) key.push_back(',');
      json::write_key(key, shape.entries.at(col).first);
      at_.push_back({buf_.size(), key.size()});
      buf_.append(key);
      buf_.append(kSlack - key.size() % kSlack, '\0');
    }
  }
  size_t size(size_t i) const { return at_[i].second; }
  // The i-th key in order, without its comma.
  std::string_view text(size_t i) const {
    const size_t comma = i == 0 ? 0 : 1;
    return {buf_.data() + at_[i].first + comma, at_[i].second - comma};
  }
  // Writes the i-th key (with its comma) at p, which has kSlack bytes of room past it.
  char* put(char* p, size_t i) const {
    const auto [offset, n] = at_[i];
    if (n <= kSlack) {
      std::memcpy(p, buf_.data() + offset, kSlack);
    } else {
      std::memcpy(p, buf_.data() + offset, n);
    }
    return p + n;
  }

 private:
  std::string buf_;
  std::vector<std::pair<size_t, size_t>> at_;  // offset and length per key
};

// Writes at a raw pointer into the spare room of a string, growing it on demand: one size check per piece
// of bounded length instead of one append per byte run. While open, the string's size runs past what is
// written; close() (or the destructor) cuts it back to the written end.
class RawOut {
 public:
  explicit RawOut(std::string& out) : out_(out) { open(0); }
  RawOut(const RawOut&) = delete;
  RawOut& operator=(const RawOut&) = delete;
  ~RawOut() {
    if (!closed_) close();
  }
  char* p = nullptr;

  // At least n bytes of room at p.
  void need(size_t n) {
    if (static_cast<size_t>(end_ - p) < n) [[unlikely]] {
      close();
      open(n);
    }
  }
  size_t offset() const { return static_cast<size_t>(p - out_.data()); }
  void rewind(size_t offset) { p = out_.data() + offset; }
  // The string ending at the written end, for writers that append to it; open() takes up writing after them.
  std::string& close() {
    out_.resize(offset());
    closed_ = true;
    return out_;
  }
  // Spare room of at least n bytes (the whole capacity, at least doubling when it grows).
  void open(size_t n) {
    const size_t at = out_.size();
    const size_t room = std::max({n, out_.capacity() - at, at});
    out_.resize_and_overwrite(at + room, [](char*, size_t k) { return k; });
    p = out_.data() + at;
    end_ = out_.data() + out_.size();
    closed_ = false;
  }

 private:
  std::string& out_;
  char* end_ = nullptr;
  bool closed_ = true;
};

// Writes one row whose values are all texts, numbers, integers or booleans (the values that cannot fail),
// with `row_room` bytes of room at out.p covering everything but the texts; the same text as the
// value-by-value writer. Returns false, with out.p where it was, for a row holding any other kind.
// short_runs holds each column's state for put_json_f64_in_run; ascii is cleared by a text that is not ASCII.
bool write_simple_row(RawOut& out, std::span<const HcPrim> fields, std::span<const size_t> order,
                      const MemberKeys& keys, size_t row_room, bool comma, std::span<bool> short_runs, bool& ascii) {
  const size_t start = out.offset();
  char* p = out.p;
  if (comma) *p++ = ',';
  *p++ = '{';
  for (size_t i = 0; i < order.size(); ++i) {
    p = keys.put(p, i);
    const HcPrim& v = fields[order[i]];
    switch (v.kind()) {
      case PrimKind::STRING: {
        const std::string_view s = v.as_string();
        out.p = p;
        out.need(json::string_room(s.size()) + row_room);
        p = json::put_string(out.p, s, ascii);
        break;
      }
      case PrimKind::NUMBER: {
        const double d = v.as_number();
        p = put_json_f64_in_run(p, std::isfinite(d) ? d : 0.0, short_runs[i]);
        break;
      }
      case PrimKind::INTEGER: p = decimal::put_i64(p, v.as_integer()); break;
      case PrimKind::LONG:
      case PrimKind::DATETIME: p = decimal::put_i64(p, v.as_long()); break;
      case PrimKind::BOOLEAN: {
        const bool b = v.as_bool();
        std::memcpy(p, b ? "true\0\0\0\0" : "false\0\0\0", 8);
        p += b ? 4 : 5;
        break;
      }
      default: out.rewind(start); return false;
    }
  }
  *p++ = '}';
  out.p = p;
  return true;
}

}  // namespace

Result<void> InfoTable::write_simple_json(std::string& out) const {
  return detail::write_simple_json(*this, out, detail::SimpleRows::InPlace);
}

Result<void> detail::write_simple_json(const InfoTable& t, std::string& out, SimpleRows how, bool* ascii) {
  const DataShape& datashape = t.datashape;
  const size_t start = out.size();
  out.append("{\"dataShape\":");
  if (auto ok = datashape.write_simple_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  // The keys are also in the data shape: all ASCII when it is.
  bool all_ascii = utf8::all_ascii(std::string_view(out).substr(start));
  // Column positions in the byte order of their keys, computed once for all rows.
  const size_t ncols = datashape.entries.size();
  std::vector<size_t> order(ncols);
  {
    const auto sorted =
        detail::key_order(ncols, [&](size_t i) { return std::string_view(datashape.entries.at(i).first); });
    for (size_t i = 0; i < ncols; ++i) order[i] = sorted[i].pos;
  }
  const MemberKeys keys(datashape, order);
  for (size_t i = 0; i < ncols; ++i) all_ascii = all_ascii && utf8::all_ascii(keys.text(i));
  // Room for a row's comma, braces, keys (and what the last key's copy stores past its end) and values
  // other than texts.
  size_t row_room = 3 + MemberKeys::kSlack;
  for (size_t i = 0; i < ncols; ++i) row_room += keys.size(i) + json::kNumberRoom;

  RawOut raw(out);
  const auto short_runs = std::make_unique<bool[]>(ncols);
  std::fill_n(short_runs.get(), ncols, true);
  const size_t nrows = t.row_count();
  for (size_t ri = 0; ri < nrows; ++ri) {
    const InfoTable::Row fields = t.row(ri);
    raw.need(row_room);
    const size_t row_start = raw.offset();
    // A row with fewer values than columns skips keys, so it takes the value-by-value path.
    if (how == SimpleRows::InPlace && fields.size() >= ncols &&
        write_simple_row(raw, fields, order, keys, row_room, ri != 0, {short_runs.get(), ncols}, all_ascii)) {
      if (ri == 0 && nrows > 1) {
        // Room for the other rows at the first row's length (capped), instead of growing step by step.
        constexpr size_t kMaxGuess = size_t{1} << 28;
        raw.need(std::min(kMaxGuess, (nrows - 1) * (raw.offset() - row_start)) + 2);
      }
    } else {
      std::string& text = raw.close();
      if (ri) text.push_back(',');
      text.push_back('{');
      bool first = true;
      for (size_t i = 0; i < ncols; ++i) {
        if (order[i] >= fields.size()) continue;
        if (!first) text.push_back(',');
        first = false;
        text.append(keys.text(i));
        if (auto ok = fields[order[i]].write_simple_json(text); !ok) return ok;
      }
      text.push_back('}');
      all_ascii = all_ascii && utf8::all_ascii(std::string_view(text).substr(row_start));
      raw.open(0);
    }
    for (size_t i = ncols; i < fields.size(); ++i) report_missing_entry(i);
  }
  raw.close();
  out.append("]}");
  if (ascii != nullptr) *ascii = all_ascii;
  return {};
}

}  // namespace veltrac
