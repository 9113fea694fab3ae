// The simple JSON form of tables: one object per row, keyed by column name.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "json/write.hpp"
#include "util/decimal.hpp"
#include "util/log.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {

// ---- simple JSON ----

namespace {
void report_missing_entry(size_t index) {
  VELTRAC_LOG(Error, "veltrac_codec::infotable::json", "DataShape entry not found for index " + std::to_string(index));
}
}  // namespace

namespace {

// Pre-escaped member keys ("key":) of every column in one buffer, each padded to a multiple of 16 bytes, so
// that a short key is copied with one fixed-size store.
class MemberKeys {
 public:
  static constexpr size_t kSlack = 16;

  explicit MemberKeys(const DataShape& shape) {
    std::string key;
    for (const auto& [name, entry] : shape.entries) {
      key.clear();
      json::write_key(key, name);
      at_.push_back({buf_.size(), key.size()});
      buf_.append(key);
      buf_.append(kSlack - key.size() % kSlack, '\0');
    }
  }
  size_t size(size_t col) const { return at_[col].second; }
  std::string_view text(size_t col) const { return {buf_.data() + at_[col].first, at_[col].second}; }
  // Writes the key at p, which has kSlack bytes of room past it.
  char* put(char* p, size_t col) const {
    const auto [offset, n] = at_[col];
    if (n <= kSlack) {
      std::memcpy(p, buf_.data() + offset, kSlack);
    } else {
      std::memcpy(p, buf_.data() + offset, n);
    }
    return p + n;
  }

 private:
  std::string buf_;
  std::vector<std::pair<size_t, size_t>> at_;  // offset and length per column
};

// Writes a row whose values are all texts, numbers, integers or booleans (the values that cannot fail)
// straight into room reserved for the whole row; the same text as the value-by-value writer. Returns false,
// writing nothing, for a row holding any other kind.
bool write_simple_row(std::string& out, std::span<const HcPrim> fields, const std::vector<size_t>& order,
                      const MemberKeys& keys, bool comma) {
  size_t room = 3 + MemberKeys::kSlack;  // comma, braces, and what a key copy may store past its end
  for (size_t col : order) {
    if (col >= fields.size()) continue;
    const HcPrim& v = fields[col];
    room += keys.size(col) + 1;
    switch (v.kind()) {
      case PrimKind::STRING: room += json::string_room(v.as_string().size()); break;
      case PrimKind::NUMBER:
      case PrimKind::INTEGER:
      case PrimKind::LONG:
      case PrimKind::DATETIME: room += json::kNumberRoom; break;
      case PrimKind::BOOLEAN: room += 5; break;
      default: return false;
    }
  }
  const size_t at = out.size();
  out.resize_and_overwrite(at + room, [&](char* buf, size_t) {
    char* p = buf + at;
    if (comma) *p++ = ',';
    *p++ = '{';
    bool first = true;
    for (size_t col : order) {
      if (col >= fields.size()) continue;
      if (!first) *p++ = ',';
      first = false;
      p = keys.put(p, col);
      const HcPrim& v = fields[col];
      switch (v.kind()) {
        case PrimKind::STRING: p = json::put_string(p, v.as_string()); break;
        case PrimKind::NUMBER: {
          double d = v.as_number();
          p = json::put_f64(p, std::isfinite(d) ? d : 0.0);
          break;
        }
        case PrimKind::INTEGER: p = decimal::put_i64(p, v.as_integer()); break;
        case PrimKind::LONG:
        case PrimKind::DATETIME: p = decimal::put_i64(p, v.as_long()); break;
        default: {  // BOOLEAN
          bool b = v.as_bool();
          std::memcpy(p, b ? "true" : "false", b ? 4 : 5);
          p += b ? 4 : 5;
        }
      }
    }
    *p++ = '}';
    return static_cast<size_t>(p - buf);
  });
  return true;
}

}  // namespace

Result<void> InfoTable::write_simple_json(std::string& out) const {
  return detail::write_simple_json(*this, out, detail::SimpleRows::InPlace);
}

Result<void> detail::write_simple_json(const InfoTable& t, std::string& out, SimpleRows how) {
  const DataShape& datashape = t.datashape;
  out.append("{\"dataShape\":");
  if (auto ok = datashape.write_simple_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  // Column positions in the byte order of their keys, computed once for all rows.
  const size_t ncols = datashape.entries.size();
  std::vector<size_t> order(ncols);
  for (size_t i = 0; i < ncols; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return datashape.entries.at(a).first < datashape.entries.at(b).first; });
  MemberKeys keys(datashape);

  const size_t rows_start = out.size();
  const size_t nrows = t.row_count();
  for (size_t ri = 0; ri < nrows; ++ri) {
    const InfoTable::Row fields = t.row(ri);
    if (how == SimpleRows::InPlace && write_simple_row(out, fields, order, keys, ri != 0)) {
      if (ri == 0 && nrows > 1) {
        // Room for the other rows at the first row's length (capped), instead of growing step by step.
        constexpr size_t kMaxGuess = size_t{1} << 28;
        out.reserve(out.size() + std::min(kMaxGuess, (nrows - 1) * (out.size() - rows_start)) + 2);
      }
    } else {
      if (ri) out.push_back(',');
      out.push_back('{');
      bool first = true;
      for (size_t col : order) {
        if (col >= fields.size()) continue;
        if (!first) out.push_back(',');
        first = false;
        out.append(keys.text(col));
        if (auto ok = fields[col].write_simple_json(out); !ok) return ok;
      }
      out.push_back('}');
    }
    for (size_t i = ncols; i < fields.size(); ++i) report_missing_entry(i);
  }
  out.append("]}");
  return {};
}

}  // namespace veltrac
