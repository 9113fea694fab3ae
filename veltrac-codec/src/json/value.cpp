#include "veltrac/json/value.hpp"

#include <algorithm>
#include <cmath>

namespace veltrac::json {

Value::Value(double d) {
  if (std::isfinite(d)) v_ = d;
}

std::optional<bool> Value::as_bool() const {
  if (auto p = std::get_if<bool>(&v_)) return *p;
  return std::nullopt;
}

std::optional<uint64_t> Value::as_u64() const {
  if (auto p = std::get_if<uint64_t>(&v_)) return *p;
  return std::nullopt;
}

std::optional<int64_t> Value::as_i64() const {
  if (auto p = std::get_if<uint64_t>(&v_)) {
    if (*p <= static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(*p);
    return std::nullopt;
  }
  if (auto p = std::get_if<int64_t>(&v_)) return *p;
  return std::nullopt;
}

std::optional<double> Value::as_f64() const {
  switch (kind()) {
    case Kind::U64: return static_cast<double>(std::get<uint64_t>(v_));
    case Kind::I64: return static_cast<double>(std::get<int64_t>(v_));
    case Kind::F64: return std::get<double>(v_);
    default: return std::nullopt;
  }
}

bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

namespace {
// First member whose key is not less than `key` (byte order).
template <class Vec>
auto lower(Vec& members, std::string_view key) {
  return std::lower_bound(members.begin(), members.end(), key,
                          [](const Member& m, std::string_view k) { return std::string_view(m.first) < k; });
}
}  // namespace

Object::Object(std::vector<Member> members) : members_(std::move(members)) {
  auto less = [](const Member& a, const Member& b) { return std::string_view(a.first) < std::string_view(b.first); };
  bool sorted = true;
  for (size_t i = 1; i < members_.size() && sorted; ++i) sorted = less(members_[i - 1], members_[i]);
  if (sorted) return;
  if (members_.size() <= 16) {
    // Insertion sort: stable, no buffer.
    for (size_t i = 1; i < members_.size(); ++i) {
      if (!less(members_[i], members_[i - 1])) continue;
      Member m = std::move(members_[i]);
      size_t j = i;
      for (; j > 0 && less(m, members_[j - 1]); --j) members_[j] = std::move(members_[j - 1]);
      members_[j] = std::move(m);
    }
  } else {
    std::stable_sort(members_.begin(), members_.end(), less);
  }
  // Keep the last of each run of equal keys.
  size_t out = 0;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (i + 1 < members_.size() && members_[i].first == members_[i + 1].first) continue;
    if (out != i) members_[out] = std::move(members_[i]);
    ++out;
  }
  members_.resize(out);
}

Value& Object::insert(std::string key, Value value) {
  // Keys often arrive in order: append without searching.
  if (members_.empty() || std::string_view(members_.back().first) < std::string_view(key)) {
    members_.emplace_back(std::move(key), std::move(value));
    return members_.back().second;
  }
  auto it = lower(members_, key);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  it = members_.emplace(it, std::move(key), std::move(value));
  return it->second;
}

const Value* Object::find(std::string_view key) const {
  auto it = lower(members_, key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Value* Object::find(std::string_view key) {
  auto it = lower(members_, key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

bool Object::operator==(const Object& o) const { return members_ == o.members_; }

}  // namespace veltrac::json
