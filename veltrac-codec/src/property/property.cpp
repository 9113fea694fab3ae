#include "veltrac/property.hpp"

#include "json/base_type_json.hpp"
#include "json/record.hpp"
#include "json/write.hpp"

namespace veltrac {
namespace {

constexpr std::string_view kPushTypeNames[] = {"NEVER", "ALWAYS", "VALUE"};
constexpr std::string_view kStartTypeNames[] = {"useDefaultValue", "readEdgeValue"};

constexpr std::string_view kFields[] = {"name", "pushThreshold", "pushType", "startType", "aspects", "baseType"};
constexpr json::RecordSpec kSpec{"struct HcyProperty", kFields, "struct HcyProperty with 6 elements"};

}  // namespace

std::string_view push_type_name(PushType t) { return kPushTypeNames[static_cast<size_t>(t)]; }
std::string_view start_type_name(StartType t) { return kStartTypeNames[static_cast<size_t>(t)]; }
std::span<const std::string_view> push_type_names() { return kPushTypeNames; }
std::span<const std::string_view> start_type_names() { return kStartTypeNames; }

json::Expected<PushType> read_push_type(json::Reader& r) {
  auto i = json::read_enum(r, kPushTypeNames);
  if (!i) return json::fail(std::move(i.error()));
  return static_cast<PushType>(*i);
}

json::Expected<StartType> read_start_type(json::Reader& r) {
  auto i = json::read_enum(r, kStartTypeNames);
  if (!i) return json::fail(std::move(i.error()));
  return static_cast<StartType>(*i);
}

std::expected<void, json::Error> HcyProperty::write_json(std::string& out) const {
  out.append("{\"name\":");
  json::write_string(out, name);
  out.append(",\"pushThreshold\":");
  json::write_f64(out, push_threshold);
  out.append(",\"pushType\":\"");
  out.append(push_type_name(push_type));
  out.append("\",\"startType\":\"");
  out.append(start_type_name(start_type));
  out.append("\",\"aspects\":");
  if (auto ok = aspects.write_json(out); !ok) return ok;
  out.append(",\"baseType\":");
  json::write_base_type(out, base_type);
  out.push_back('}');
  return {};
}

std::expected<HcyProperty, json::Error> HcyProperty::read_json(json::Reader& r) {
  HcyProperty p;
  auto seen = json::read_record(r, kSpec, [&](size_t i) -> json::Expected<void> {
    switch (i) {
      case 0: return json::assign(p.name, r.read_string());
      case 1: return json::assign(p.push_threshold, r.read_f64());
      case 2: return json::assign(p.push_type, read_push_type(r));
      case 3: return json::assign(p.start_type, read_start_type(r));
      case 4: return json::assign(p.aspects, Aspects::read_json(r));
      default: return json::assign(p.base_type, json::read_base_type(r));
    }
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kFields, {0, 1, 2, 3, 4, 5}); !ok)
    return json::fail(std::move(ok.error()));
  return p;
}

std::expected<void, json::Error> HcyProperty::to_json(std::string& out) const {
  size_t mark = out.size();
  out.reserve(mark + 160 + name.size() + 48 * aspects.size());
  auto ok = write_json(out);
  if (!ok) out.resize(mark);
  return ok;
}

std::expected<HcyProperty, json::Error> HcyProperty::from_json(std::string_view text) {
  return json::read_document(text, [](json::Reader& r) { return read_json(r); });
}

}  // namespace veltrac
