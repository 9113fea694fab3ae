// A table's storage (cells and texts), copying, equality and debug text.
#include <algorithm>
#include <cstring>
#include <utility>

#include "primitive/prim_access.hpp"
#include "primitive/value_codec.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {

TextStore::TextStore(TextStore&& o) noexcept
    : blocks_(std::move(o.blocks_)),
      next_(std::exchange(o.next_, nullptr)),
      left_(std::exchange(o.left_, 0)),
      block_size_(std::exchange(o.block_size_, 0)) {
  o.blocks_.clear();
}

TextStore& TextStore::operator=(TextStore&& o) noexcept {
  if (this != &o) {
    release();
    blocks_ = std::move(o.blocks_);
    o.blocks_.clear();
    next_ = std::exchange(o.next_, nullptr);
    left_ = std::exchange(o.left_, 0);
    block_size_ = std::exchange(o.block_size_, 0);
  }
  return *this;
}

void TextStore::release() noexcept {
  for (const Block& b : blocks_) table_blocks::give(b.data, b.size);
  blocks_.clear();
  next_ = nullptr;
  left_ = 0;
}

void TextStore::new_block(size_t n, size_t bound) {
  constexpr size_t kFirstBlock = 4096, kLargestBlock = size_t{1} << 20;
  block_size_ = block_size_ == 0 ? kFirstBlock : std::min(block_size_ * 2, kLargestBlock);
  size_t size = std::max(n, std::min(block_size_, bound));
  if (blocks_.size() == blocks_.capacity()) blocks_.reserve(std::max<size_t>(8, blocks_.size() * 2));
  char* data = static_cast<char*>(table_blocks::take(size));
  blocks_.push_back({data, size});
  next_ = data;
  left_ = size;
}

void CellStore::clear() noexcept {
  if (may_own_) {
    for (size_t i = 0; i < size_; ++i) data_[i].~HcPrim();
  }
  table_blocks::give(data_, capacity_ * sizeof(HcPrim));
  data_ = nullptr;
  size_ = capacity_ = 0;
  may_own_ = false;
}

void CellStore::relocate(size_t capacity) {
  if (capacity > SIZE_MAX / sizeof(HcPrim)) throw std::bad_alloc();
  size_t bytes = capacity * sizeof(HcPrim);
  auto* fresh = static_cast<HcPrim*>(table_blocks::take(bytes));
  // Moving leaves NOTHING behind, which owns nothing: the old block is freed without visiting it again.
  for (size_t i = 0; i < size_; ++i) new (fresh + i) HcPrim(std::move(data_[i]));
  table_blocks::give(data_, capacity_ * sizeof(HcPrim));
  data_ = fresh;
  capacity_ = bytes / sizeof(HcPrim);
}

InfoTable::InfoTable(const InfoTable& o) : datashape(o.datashape), row_ends_(o.row_ends_) {
  cells_.reserve(o.cells_.size());
  for (const HcPrim& v : o.cells_.view()) {
    if (PrimAccess::is_borrowed(v)) {
      std::string_view s = v.as_string();
      char* dst = texts_.alloc(s.size(), s.size());
      std::memcpy(dst, s.data(), s.size());
      PrimAccess::emplace_borrowed_text(cells_.end_room(), v.base_type(), dst, s.size());
      cells_.commit(1, false);
    } else {
      cells_.push_back(HcPrim(v));
    }
  }
}

InfoTable& InfoTable::operator=(const InfoTable& o) {
  if (this != &o) *this = InfoTable(o);
  return *this;
}

bool InfoTable::operator==(const InfoTable& o) const {
  auto a = cells_.view(), b = o.cells_.view();
  return datashape == o.datashape && row_ends_ == o.row_ends_ && std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void InfoTable::append_row(std::span<HcPrim> values) {
  cells_.reserve_more(values.size());
  for (HcPrim& v : values) cells_.push_back(std::move(v));
  row_ends_.push_back(cells_.size());
}

// ---- debug text ----

namespace detail {
void append_row_debug(std::string& out, std::span<const HcPrim> fields) {
  out.append("InfoTableRow { fields: [");
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.append(", ");
    fields[i].append_debug(out);
  }
  out.append("] }");
}
}  // namespace detail

void InfoTableRow::append_debug(std::string& out) const { detail::append_row_debug(out, fields); }

void InfoTable::append_debug(std::string& out) const {
  out.append("InfoTable { datashape: ");
  datashape.append_debug(out);
  out.append(", rows: [");
  for (size_t i = 0; i < row_count(); ++i) {
    if (i) out.append(", ");
    detail::append_row_debug(out, row(i));
  }
  out.append("] }");
}

std::string InfoTable::debug_text() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace veltrac
