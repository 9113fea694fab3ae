// HcyProperty, HcyService, HcyEvent: entity definitions read from JSON text or UTF-8 bytes and written
// back as JSON. The three classes share one method pattern; the wrapped value never changes after
// creation, so the methods need no borrow.
#include <cmath>
#include <string>

#include "common/args.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/scratch.hpp"
#include "common/to_python.hpp"
#include "types/types.hpp"
#include "util/debug_text.hpp"
#include "util/utf8.hpp"
#include "veltrac/event.hpp"
#include "veltrac/property.hpp"
#include "veltrac/service.hpp"

namespace veltrac::py {
namespace {

constexpr std::string_view kWritePrefix = "JSON serialization error: ";

template <class T>
struct Traits;

template <>
struct Traits<HcyProperty> {
  static constexpr const char* kName = "HcyProperty";
  static constexpr const char* kFromJson = "HcyProperty.from_json";
  static constexpr const char* kFromBytes = "HcyProperty.from_bytes";
  static constexpr std::string_view kReadPrefix = "Property JSON deserialization error: ";
  static constexpr std::string_view kNotUtf8 = "Property data is not valid UTF-8 JSON";
};

template <>
struct Traits<HcyService> {
  static constexpr const char* kName = "HcyService";
  static constexpr const char* kFromJson = "HcyService.from_json";
  static constexpr const char* kFromBytes = "HcyService.from_bytes";
  static constexpr std::string_view kReadPrefix = "Service JSON deserialization error: ";
  static constexpr std::string_view kNotUtf8 = "Service data is not valid UTF-8 JSON";
};

template <>
struct Traits<HcyEvent> {
  static constexpr const char* kName = "HcyEvent";
  static constexpr const char* kFromJson = "HcyEvent.from_json";
  static constexpr const char* kFromBytes = "HcyEvent.from_bytes";
  static constexpr std::string_view kReadPrefix = "Event JSON deserialization error: ";
  static constexpr std::string_view kNotUtf8 = "Event data is not valid UTF-8 JSON";
};

template <class T>
PyTypeObject g_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

template <class T>
PyObject* read_text(std::string_view text) {
  auto v = run_unlocked_if(text.size() >= kReleaseBytes, [&] { return T::from_json(text); });
  if (!v) return raise_text_error(true, Traits<T>::kReadPrefix, v.error());
  return wrap(&g_type<T>, std::move(*v));
}

template <class T>
PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"json_str"};
  static const Signature sig{Traits<T>::kFromJson, names, 1, 1};
  std::string_view text;
  if (!parse_text_arg(sig, args, nargs, kwnames, text)) return nullptr;
  return read_text<T>(text);
}

template <class T>
PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const Signature sig{Traits<T>::kFromBytes, names, 1, 1};
  std::string_view data;
  if (!parse_bytes_arg(sig, args, nargs, kwnames, data)) return nullptr;
  if (auto bad = utf8::validate(data)) {
    VeltracError e = VeltracError::with_text(ErrorKind::Utf8, std::string(Traits<T>::kNotUtf8));
    e.incomplete = !bad->error_len;
    return raise_text_error(true, "", e, static_cast<int64_t>(bad->valid_up_to));
  }
  return read_text<T>(data);
}

// Writes the JSON text into the scratch buffer; nullptr with ValueError set on failure.
template <class T>
std::string* write_json(PyObject* self) {
  std::string& buf = scratch_text();
  auto ok = value_of<T>(self).to_json(buf);
  if (!ok) {
    raise_text_error(false, kWritePrefix, ok.error());
    return nullptr;
  }
  return &buf;
}

template <class T>
PyObject* to_json(PyObject* self, PyObject*) {
  std::string* buf = write_json<T>(self);
  if (!buf) return nullptr;
  PyObject* s = new_str(*buf);
  release_if_large(*buf);
  return s;
}

template <class T>
PyObject* to_bytes_m(PyObject* self, PyObject*) {
  std::string* buf = write_json<T>(self);
  if (!buf) return nullptr;
  PyObject* b = new_bytes(buf->data(), buf->size());
  release_if_large(*buf);
  return b;
}

template <class T>
PyObject* get_name(PyObject* self, PyObject*) {
  return new_str(value_of<T>(self).name);
}

template <class T>
PyObject* get_description(PyObject* self, PyObject*) {
  return new_str(value_of<T>(self).description);
}

PyObject* property_get_base_type(PyObject* self, PyObject*) {
  return new_str(name_of(value_of<HcyProperty>(self).base_type));
}

PyObject* property_get_push_threshold(PyObject* self, PyObject*) {
  return PyFloat_FromDouble(value_of<HcyProperty>(self).push_threshold);
}

PyObject* property_should_read_edge_value(PyObject* self, PyObject*) {
  return PyBool_FromLong(value_of<HcyProperty>(self).should_read_edge_value());
}

// Plain decimal with the shortest round-trip digits and no exponent: 0, -0, 2.5, 100, 0.0000001;
// NaN, inf, -inf.
void append_plain_f64(std::string& out, double d) {
  if (std::isnan(d)) {
    out.append("NaN");
    return;
  }
  if (std::signbit(d)) out.push_back('-');
  if (std::isinf(d)) {
    out.append("inf");
    return;
  }
  if (d == 0.0) {
    out.push_back('0');
    return;
  }
  char digits[32];
  int k = 0;  // |d| = 0.digits * 10^k
  size_t n = shortest_digits(d, digits, k);
  if (k <= 0) {
    out.append("0.");
    out.append(static_cast<size_t>(-k), '0');
    out.append(digits, n);
  } else if (static_cast<size_t>(k) >= n) {
    out.append(digits, n);
    out.append(static_cast<size_t>(k) - n, '0');
  } else {
    out.append(digits, static_cast<size_t>(k));
    out.push_back('.');
    out.append(digits + k, n - static_cast<size_t>(k));
  }
}

// ---- definitions as Python data ----

template <class T>
PyObject* get_aspects(PyObject* self, PyObject*) {
  return aspects_to_dict(value_of<T>(self).aspects);
}

PyObject* property_get_push_type(PyObject* self, PyObject*) {
  return new_str(push_type_name(value_of<HcyProperty>(self).push_type));
}

PyObject* property_get_start_type(PyObject* self, PyObject*) {
  return new_str(start_type_name(value_of<HcyProperty>(self).start_type));
}

// None when the service takes no inputs; a list (perhaps empty) of field definitions otherwise.
PyObject* service_get_inputs(PyObject* self, PyObject*) {
  const auto& fields = value_of<HcyService>(self).inputs.field_definitions;
  if (!fields) Py_RETURN_NONE;
  return field_definitions_to_list(*fields);
}

PyObject* service_get_output(PyObject* self, PyObject*) {
  const OutputDefinition& out = value_of<HcyService>(self).outputs;
  PyRef name(new_str(out.name)), base_type(new_str(name_of(out.base_type)));
  PyRef aspects(aspects_to_dict(out.aspects)), fields(field_definitions_to_list(out.field_definitions));
  if (!name || !base_type || !aspects || !fields) return nullptr;
  return Py_BuildValue("{sOsOsOsO}", "name", name.get(), "base_type", base_type.get(), "aspects", aspects.get(),
                       "field_definitions", fields.get());
}

PyObject* event_get_data_shape_name(PyObject* self, PyObject*) {
  const auto& name = value_of<HcyEvent>(self).data_shape.name;
  if (!name) Py_RETURN_NONE;
  return new_str(*name);
}

PyObject* event_get_fields(PyObject* self, PyObject*) {
  return field_definitions_to_list(value_of<HcyEvent>(self).data_shape.entries);
}

PyObject* property_text(PyObject* self) {
  const HcyProperty& p = value_of<HcyProperty>(self);
  std::string s;
  s.reserve(64 + p.name.size());
  s.append("HcyProperty(name='");
  s.append(p.name);
  s.append("', base_type='");
  s.append(name_of(p.base_type));
  s.append("', threshold=");
  append_plain_f64(s, p.push_threshold);
  s.push_back(')');
  return new_str(s);
}

// HcyService(name='...', description='...') and the same for HcyEvent.
template <class T>
PyObject* named_text(PyObject* self) {
  const T& v = value_of<T>(self);
  std::string s;
  s.reserve(32 + v.name.size() + v.description.size());
  s.append(Traits<T>::kName);
  s.append("(name='");
  s.append(v.name);
  s.append("', description='");
  s.append(v.description);
  s.append("')");
  return new_str(s);
}

PyMethodDef kPropertyMethods[] = {
    {"from_json", VELTRAC_METHOD(from_json<HcyProperty>), kStaticFastcall, "from_json(json_str)\n--\n\n"},
    {"from_bytes", VELTRAC_METHOD(from_bytes<HcyProperty>), kStaticFastcall, "from_bytes(data)\n--\n\n"},
    {"to_bytes", VELTRAC_METHOD(to_bytes_m<HcyProperty>), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"get_name", VELTRAC_METHOD(get_name<HcyProperty>), METH_NOARGS, "get_name($self)\n--\n\n"},
    {"get_base_type", VELTRAC_METHOD(property_get_base_type), METH_NOARGS, "get_base_type($self)\n--\n\n"},
    {"get_push_threshold", VELTRAC_METHOD(property_get_push_threshold), METH_NOARGS,
     "get_push_threshold($self)\n--\n\n"},
    {"should_read_edge_value", VELTRAC_METHOD(property_should_read_edge_value), METH_NOARGS,
     "should_read_edge_value($self)\n--\n\n"},
    {"to_json", VELTRAC_METHOD(to_json<HcyProperty>), METH_NOARGS, "to_json($self)\n--\n\n"},
    VELTRAC_IMMUTABLE_COPY_METHODS(HcyProperty),
    {"get_push_type", VELTRAC_METHOD(property_get_push_type), METH_NOARGS,
     "get_push_type($self)\n--\n\nWhen a changed value is pushed: \"NEVER\", \"ALWAYS\" or \"VALUE\" (by the "
     "threshold)."},
    {"get_start_type", VELTRAC_METHOD(property_get_start_type), METH_NOARGS,
     "get_start_type($self)\n--\n\nWhere the value comes from at start: \"useDefaultValue\" or \"readEdgeValue\"."},
    {"get_aspects", VELTRAC_METHOD(get_aspects<HcyProperty>), METH_NOARGS,
     "get_aspects($self)\n--\n\nThe aspects as a dict of Python values."},
    {nullptr, nullptr, 0, nullptr},
};

// The methods services and events share, in their order; each class's own methods follow them.
#define VELTRAC_NAMED_METHODS(T)                                                                              \
  {"from_json", VELTRAC_METHOD(from_json<T>), kStaticFastcall, "from_json(json_str)\n--\n\n"},                \
      {"from_bytes", VELTRAC_METHOD(from_bytes<T>), kStaticFastcall, "from_bytes(data)\n--\n\n"},             \
      {"to_bytes", VELTRAC_METHOD(to_bytes_m<T>), METH_NOARGS, "to_bytes($self)\n--\n\n"},                    \
      {"get_name", VELTRAC_METHOD(get_name<T>), METH_NOARGS, "get_name($self)\n--\n\n"},                      \
      {"get_description", VELTRAC_METHOD(get_description<T>), METH_NOARGS, "get_description($self)\n--\n\n"}, \
      {"to_json", VELTRAC_METHOD(to_json<T>), METH_NOARGS, "to_json($self)\n--\n\n"},                         \
      VELTRAC_IMMUTABLE_COPY_METHODS(T), {                                                                    \
    "get_aspects", VELTRAC_METHOD(get_aspects<T>), METH_NOARGS,                                               \
        "get_aspects($self)\n--\n\nThe aspects as a dict of Python values."                                   \
  }

PyMethodDef kServiceMethods[] = {
    VELTRAC_NAMED_METHODS(HcyService),
    {"get_inputs", VELTRAC_METHOD(service_get_inputs), METH_NOARGS,
     "get_inputs($self)\n--\n\nThe input fields in order, or None for a service without inputs (`\"Inputs\":{}`)."},
    {"get_output", VELTRAC_METHOD(service_get_output), METH_NOARGS,
     "get_output($self)\n--\n\nThe output: its name, base type, aspects and fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kEventMethods[] = {
    VELTRAC_NAMED_METHODS(HcyEvent),
    {"get_data_shape_name", VELTRAC_METHOD(event_get_data_shape_name), METH_NOARGS,
     "get_data_shape_name($self)\n--\n\nThe name of the event's data shape (\"EventData\" name in JSON)."},
    {"get_fields", VELTRAC_METHOD(event_get_fields), METH_NOARGS,
     "get_fields($self)\n--\n\nThe fields of the event's data, in order."},
    {nullptr, nullptr, 0, nullptr},
};

#undef VELTRAC_NAMED_METHODS

template <class T>
bool add_entity(PyObject* module, PyMethodDef* methods, reprfunc text) {
  PyTypeObject& t = g_type<T>;
  static const std::string qualified = std::string("veltrac._native.") + Traits<T>::kName;
  t.tp_name = qualified.c_str();
  t.tp_basicsize = sizeof(Wrapper<T>);
  t.tp_flags = kClassFlags;
  t.tp_new = VELTRAC_GUARDED(no_constructor);
  t.tp_dealloc = dealloc<T>;
  t.tp_str = text;
  t.tp_repr = text;
  t.tp_methods = methods;
  return add_class(module, &t, Traits<T>::kName);
}

}  // namespace

bool add_event(PyObject* module) {
  return add_entity<HcyEvent>(module, kEventMethods, VELTRAC_GUARDED(named_text<HcyEvent>));
}

bool add_service(PyObject* module) {
  return add_entity<HcyService>(module, kServiceMethods, VELTRAC_GUARDED(named_text<HcyService>));
}

bool add_property(PyObject* module) {
  return add_entity<HcyProperty>(module, kPropertyMethods, VELTRAC_GUARDED(property_text));
}

}  // namespace veltrac::py
