// The in-memory JSON value: null, boolean, number (u64 / negative i64 / finite f64), string, array, and
// object kept sorted by key bytes.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;

// Map from key to value, sorted by the key's bytes; inserting an existing key replaces its value.
class Object {
 public:
  Object() = default;
  // Takes members in any order; of repeated keys the last one stays.
  explicit Object(std::vector<Member> members);

  // Defined after Value (clang needs the member type complete here).
  size_t size() const;
  bool empty() const;
  auto begin() const { return members_.cbegin(); }
  auto end() const { return members_.cend(); }
  auto begin() { return members_.begin(); }
  auto end() { return members_.end(); }

  // Inserts or replaces; returns the stored value.
  Value& insert(std::string key, Value value);
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  const std::vector<Member>& members() const { return members_; }

  bool operator==(const Object& o) const;

 private:
  std::vector<Member> members_;
};

enum class Kind : uint8_t { Null, Bool, U64, I64, F64, String, Array, Object };

class Value {
 public:
  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  // Integers: non-negative values are stored as u64, negative ones as i64.
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  Value(T n) {
    if constexpr (std::is_signed_v<T>) {
      if (n < 0) {
        v_ = static_cast<int64_t>(n);
        return;
      }
    }
    v_ = static_cast<uint64_t>(n);
  }
  // A non-finite float gives null.
  Value(double d);
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_number() const { return kind() == Kind::U64 || kind() == Kind::I64 || kind() == Kind::F64; }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  // Typed views; nullopt / nullptr when the value is of another kind.
  std::optional<bool> as_bool() const;
  std::optional<uint64_t> as_u64() const;  // a u64, or nothing (also for i64 / f64)
  std::optional<int64_t> as_i64() const;   // an integer (u64 or i64) that fits i64
  std::optional<double> as_f64() const;    // any number, converted to f64
  const std::string* as_string() const { return std::get_if<std::string>(&v_); }
  std::string* as_string() { return std::get_if<std::string>(&v_); }
  const Array* as_array() const { return std::get_if<Array>(&v_); }
  Array* as_array() { return std::get_if<Array>(&v_); }
  const Object* as_object() const { return std::get_if<Object>(&v_); }
  Object* as_object() { return std::get_if<Object>(&v_); }

  // Raw number members; only valid for the matching kind.
  uint64_t u64_unchecked() const { return std::get<uint64_t>(v_); }
  int64_t i64_unchecked() const { return std::get<int64_t>(v_); }
  double f64_unchecked() const { return std::get<double>(v_); }
  bool bool_unchecked() const { return std::get<bool>(v_); }

  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }

}  // namespace veltrac::json
VELTRAC_API_END
