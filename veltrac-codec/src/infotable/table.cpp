// A table's storage (cells and texts), copying, equality and debug text.
#include <algorithm>
#include <cstring>
#include <utility>

#include "infotable/table_store.hpp"
#include "primitive/prim_access.hpp"
#include "primitive/value_codec.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {

TextStore::TextStore(TextStore&& o) noexcept
    : first_(std::exchange(o.first_, Block{})),
      more_(std::move(o.more_)),
      first_borrowed_(std::exchange(o.first_borrowed_, false)),
      next_(std::exchange(o.next_, nullptr)),
      left_(std::exchange(o.left_, 0)),
      block_size_(std::exchange(o.block_size_, 0)) {
  o.more_.clear();
}

TextStore& TextStore::operator=(TextStore&& o) noexcept {
  if (this != &o) {
    release();
    first_ = std::exchange(o.first_, Block{});
    first_borrowed_ = std::exchange(o.first_borrowed_, false);
    more_ = std::move(o.more_);
    o.more_.clear();
    next_ = std::exchange(o.next_, nullptr);
    left_ = std::exchange(o.left_, 0);
    block_size_ = std::exchange(o.block_size_, 0);
  }
  return *this;
}

void TextStore::release() noexcept {
  if (first_.data != nullptr && !first_borrowed_) table_blocks::give(first_.data, first_.size);
  first_borrowed_ = false;
  for (const Block& b : more_) table_blocks::give(b.data, b.size);
  first_ = Block{};
  more_.clear();
  next_ = nullptr;
  left_ = 0;
}

void TextStore::new_block(size_t n, size_t bound) {
  // The first block is small: a message may hold thousands of nested tables of one short text each, and
  // `bound` (the input left) counts the rest of the message for every one of them.
  constexpr size_t kFirstBlock = 64, kLargestBlock = size_t{1} << 20;
  block_size_ = block_size_ == 0 ? kFirstBlock : std::min(block_size_ * 2, kLargestBlock);
  size_t size = std::max(n, std::min(block_size_, bound));
  if (first_.data != nullptr) {
    // Room for the block's entry first (growing geometrically), so that taking the block cannot leak it.
    if (more_.size() == more_.capacity()) more_.reserve(std::max<size_t>(2, more_.capacity() * 2));
    Block& last = more_.empty() ? first_ : more_.back();
    last.used = last.size - left_;
  }
  char* data = static_cast<char*>(table_blocks::take(size));
  if (first_.data == nullptr) {
    first_ = {data, size, 0};
  } else {
    more_.push_back({data, size, 0});
  }
  next_ = data;
  left_ = size;
}

size_t TextStore::used() const {
  size_t total = 0;
  for (size_t i = 0; i < block_count(); ++i) total += bytes_used(i);
  return total;
}

TextStore::Moves TextStore::copy_of(const TextStore& o) {
  Moves m;
  const size_t total = o.used();
  if (total == 0) return m;
  m.moves_.reserve(o.block_count());
  char* to = alloc(total, total);
  for (size_t i = 0; i < o.block_count(); ++i) {
    const Block& b = o.block(i);
    const size_t used = o.bytes_used(i);
    if (used == 0) continue;
    std::memcpy(to, b.data, used);
    m.moves_.push_back({reinterpret_cast<uintptr_t>(b.data), used, to});
    to += used;
  }
  std::sort(m.moves_.begin(), m.moves_.end(),
            [](const Moves::Move& a, const Moves::Move& b) { return a.from < b.from; });
  m.at_ = m.moves_.begin();
  return m;
}

void CellStore::give_block() noexcept {
  if (!borrowed_) table_blocks::give(data_, capacity_ * sizeof(HcPrim));
  borrowed_ = false;
}

void CellStore::clear() noexcept {
  if (may_own_) {
    for (size_t i = 0; i < size_; ++i) data_[i].~HcPrim();
  }
  give_block();
  data_ = nullptr;
  size_ = capacity_ = 0;
  may_own_ = false;
}

void CellStore::relocate(size_t capacity) {
  if (capacity > SIZE_MAX / sizeof(HcPrim)) throw std::bad_alloc();
  size_t bytes = capacity * sizeof(HcPrim);
  auto* fresh = static_cast<HcPrim*>(table_blocks::take(bytes));
  // Moving leaves NOTHING behind, which owns nothing: the old block is freed without visiting it again.
  // Cells that own nothing are copied word by word.
  if (may_own_) {
    for (size_t i = 0; i < size_; ++i) new (fresh + i) HcPrim(std::move(data_[i]));
  } else {
    for (size_t i = 0; i < size_; ++i) PrimAccess::emplace_plain_copy(fresh + i, data_[i]);
  }
  give_block();
  data_ = fresh;
  capacity_ = bytes / sizeof(HcPrim);
}

namespace detail {

TableStore* TableStore::make(size_t cells, size_t text) {
  static_assert(sizeof(TableStore) % alignof(HcPrim) == 0 && alignof(TableStore) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  const size_t room = cells * sizeof(HcPrim) + text;
  void* block = ::operator new(sizeof(TableStore) + room);
  auto* s = new (block) TableStore;
  auto* tail = static_cast<char*>(block) + sizeof(TableStore);
  if (cells != 0) s->cells.adopt(reinterpret_cast<HcPrim*>(tail), cells);
  if (text != 0) s->texts.adopt_first(tail + cells * sizeof(HcPrim), text);
  return s;
}

void TableStore::destroy(TableStore* s) noexcept {
  if (s == nullptr) return;
  s->~TableStore();
  ::operator delete(static_cast<void*>(s));
}

TableStore* TableStore::copy_of(const TableStore& o) {
  auto* s = make();
  try {
    s->row_ends = o.row_ends;
    TextStore::Moves moves = s->texts.copy_of(o.texts);
    s->cells.reserve(o.cells.size());
    for (const HcPrim& v : o.cells.view()) {
      if (PrimAccess::is_borrowed(v)) {
        std::string_view text = v.as_string();
        PrimAccess::emplace_borrowed_text(s->cells.end_room(), v.base_type(), moves(text.data()), text.size());
        s->cells.commit(1, false);
      } else {
        s->cells.push_back(HcPrim(v));
      }
    }
  } catch (...) {
    destroy(s);
    throw;
  }
  return s;
}

TableStore& TableAccess::own_small(InfoTable& t, size_t cells, size_t rows, size_t text) {
  TableStore* s = TableStore::make(cells, text);
  try {
    s->row_ends.reserve(rows);
  } catch (...) {
    TableStore::destroy(s);
    throw;
  }
  t.store_ = s;  // the table had none
  return *s;
}

}  // namespace detail

namespace {
void release(detail::TableStore* s) noexcept {
  if (s != nullptr && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) detail::TableStore::destroy(s);
}
// Room for n more row ends, growing geometrically.
void reserve_more(std::vector<size_t>& ends, size_t n) {
  if (ends.capacity() - ends.size() < n) ends.reserve(std::max(ends.size() + n, ends.capacity() * 2));
}
}  // namespace

InfoTable::InfoTable(const InfoTable& o)
    : datashape(o.datashape), store_(o.store_), cells_(o.cells_), row_ends_(o.row_ends_), rows_(o.rows_) {
  if (store_ != nullptr) store_->refs.fetch_add(1, std::memory_order_relaxed);
}

InfoTable::~InfoTable() { release(store_); }

InfoTable& InfoTable::operator=(const InfoTable& o) {
  if (this != &o) {
    InfoTable tmp(o);
    swap(tmp);
  }
  return *this;
}

detail::TableStore& InfoTable::own() {
  if (store_ == nullptr) {
    store_ = detail::TableStore::make();
  } else if (store_->refs.load(std::memory_order_acquire) != 1) {
    detail::TableStore* mine = detail::TableStore::copy_of(*store_);
    release(std::exchange(store_, mine));
    sync();
  }
  return *store_;
}

void InfoTable::sync() noexcept {
  cells_ = store_->cells.data();
  row_ends_ = store_->row_ends.data();
  rows_ = store_->row_ends.size();
}

bool InfoTable::operator==(const InfoTable& o) const {
  if (!(datashape == o.datashape) || rows_ != o.rows_) return false;
  if (store_ == o.store_ || rows_ == 0) return true;
  const size_t cells = row_ends_[rows_ - 1];
  return std::equal(row_ends_, row_ends_ + rows_, o.row_ends_) && std::equal(cells_, cells_ + cells, o.cells_);
}

// The view follows the storage however the change ends (growing the storage may throw after moving it).
struct InfoTable::SyncOnExit {
  InfoTable& t;
  ~SyncOnExit() { t.sync(); }
};

void InfoTable::append_row(std::span<HcPrim> values) {
  detail::TableStore& s = own();
  SyncOnExit sync_on_exit{*this};
  s.cells.reserve_more(values.size());
  reserve_more(s.row_ends, 1);  // before the cells move in, so that a failure leaves the rows as they were
  for (HcPrim& v : values) s.cells.push_back(std::move(v));
  s.row_ends.push_back(s.cells.size());
}

void InfoTable::reserve(size_t rows, size_t values) {
  detail::TableStore& s = own();
  SyncOnExit sync_on_exit{*this};
  s.cells.reserve_more(values);
  reserve_more(s.row_ends, rows);
}

namespace detail {

RowBatch::~RowBatch() {
  drop_cells();
  ::operator delete(cells_);
  ::operator delete(texts_);
}

void RowBatch::drop_cells() noexcept {
  if (owns_) {
    for (size_t i = 0; i < size_; ++i) cells_[i].~HcPrim();
  }
  size_ = 0;
  owns_ = false;
}

void RowBatch::clear() noexcept {
  drop_cells();
  ends_.clear();
  text_size_ = open_texts_ = 0;
}

void RowBatch::grow(size_t n) {
  size_t cap = std::max(size_ + n, cap_ * 2);
  if (cap > SIZE_MAX / sizeof(HcPrim)) throw std::bad_alloc();
  auto* fresh = static_cast<HcPrim*>(::operator new(cap * sizeof(HcPrim)));
  for (size_t i = 0; i < size_; ++i) {
    new (fresh + i) HcPrim(std::move(cells_[i]));
    cells_[i].~HcPrim();
  }
  ::operator delete(cells_);
  cells_ = fresh;
  cap_ = cap;
}

void RowBatch::grow_texts(size_t n) {
  if (n > SIZE_MAX / 2 - text_size_) throw std::bad_alloc();
  const size_t cap = std::max({text_size_ + n, text_cap_ * 2, size_t{256}});
  char* fresh = static_cast<char*>(::operator new(cap));
  if (text_size_ != 0) std::memcpy(fresh, texts_, text_size_);
  ::operator delete(texts_);
  texts_ = fresh;
  text_cap_ = cap;
}

void RowBatch::reserve(size_t rows, size_t cells) {
  room_for(cells);
  ends_.reserve(ends_.size() + rows);
}

// A text beyond a borrowed cell's length: a value of its own.
void RowBatch::add_long_text(BaseType t, std::string_view s) {
  new (cells_ + size_) HcPrim(HcPrim::string(s, t));
  ++size_;
  owns_ = true;
}

void RowBatch::append_to(InfoTable& t) {
  if (ends_.empty()) {
    clear();
    return;
  }
  const size_t n = ends_.back();
  const size_t texts = ends_.back() == size_ ? text_size_ : open_texts_;  // without the open row's texts
  TableStore& s = TableAccess::own(t);
  struct SyncOnExit {
    InfoTable& t;
    ~SyncOnExit() { TableAccess::sync(t); }
  } sync_on_exit{t};
  // Everything that may throw comes before the first change. No bound on later texts: rows added one by
  // one fill blocks that grow geometrically.
  s.cells.reserve_more(n);
  reserve_more(s.row_ends, ends_.size());
  char* base = texts == 0 ? nullptr : s.texts.alloc(texts, SIZE_MAX);
  if (texts != 0) std::memcpy(base, texts_, texts);
  HcPrim* to = s.cells.end_room();
  for (size_t i = 0; i < n; ++i) {
    const HcPrim& v = cells_[i];
    if (PrimAccess::is_borrowed(v)) {
      const auto offset = reinterpret_cast<uintptr_t>(v.as_string().data());
      PrimAccess::emplace_borrowed_text(to + i, v.base_type(), base + offset, v.as_string().size());
    } else if (owns_) {
      new (to + i) HcPrim(std::move(cells_[i]));
    } else {
      PrimAccess::emplace_plain_copy(to + i, v);
    }
  }
  const size_t first = s.cells.size();
  s.cells.commit(n, owns_);
  for (size_t end : ends_) s.row_ends.push_back(first + end);
  clear();
}

}  // namespace detail

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
