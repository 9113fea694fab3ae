#include "veltrac/service.hpp"

#include "json/base_type_json.hpp"
#include "json/record.hpp"
#include "json/write.hpp"

namespace veltrac {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kInputFields[] = {"fieldDefinitions"};
constexpr json::RecordSpec kInputSpec{"struct InputDefinition", kInputFields};

constexpr std::string_view kOutputFields[] = {"name", "baseType", "aspects", "fieldDefinitions"};
constexpr json::RecordSpec kOutputSpec{"struct OutputDefinition", kOutputFields};

constexpr std::string_view kServiceFields[] = {"name", "description", "aspects", "Inputs", "Outputs"};
constexpr json::RecordSpec kServiceSpec{"struct HcyService", kServiceFields, "struct HcyService with 5 elements"};

// Rough size of one written field definition, for reserving output.
constexpr size_t kEntryEstimate = 96;

size_t entries_estimate(const DataShapeEntries& e) {
  size_t n = 2;
  for (const auto& [key, entry] : e) {
    n += kEntryEstimate + key.size() + entry.name.size() + entry.description.size() + 48 * entry.aspects.size();
  }
  return n;
}

}  // namespace

// ---- InputDefinition ----------------------------------------------------------------------------

std::expected<void, json::Error> InputDefinition::write_json(std::string& out) const {
  if (!field_definitions) {
    out.append("{}"sv);
    return {};
  }
  out.append("{\"fieldDefinitions\":"sv);
  if (auto ok = field_definitions->write_json(out); !ok) return ok;
  out.push_back('}');
  return {};
}

std::expected<InputDefinition, json::Error> InputDefinition::read_json(json::Reader& r) {
  InputDefinition in;
  auto seen = json::read_record(r, kInputSpec, [&](size_t) -> json::Expected<void> {
    auto null = r.try_null();
    if (!null) return json::fail(std::move(null.error()));
    if (*null) return {};
    return json::assign(in.field_definitions, DataShapeEntries::read_json(r));
  });
  if (!seen) return json::fail(std::move(seen.error()));
  return in;
}

// ---- OutputDefinition ---------------------------------------------------------------------------

std::expected<void, json::Error> OutputDefinition::write_json(std::string& out) const {
  out.append("{\"name\":"sv);
  json::write_string(out, name);
  out.append(",\"baseType\":"sv);
  json::write_base_type(out, base_type);
  if (!aspects.empty()) {
    out.append(",\"aspects\":"sv);
    if (auto ok = aspects.write_json(out); !ok) return ok;
  }
  out.append(",\"fieldDefinitions\":"sv);
  if (auto ok = field_definitions.write_json(out); !ok) return ok;
  out.push_back('}');
  return {};
}

std::expected<OutputDefinition, json::Error> OutputDefinition::read_json(json::Reader& r) {
  OutputDefinition o;
  auto seen = json::read_record(r, kOutputSpec, [&](size_t i) -> json::Expected<void> {
    switch (i) {
      case 0: return json::assign(o.name, r.read_str());
      case 1: return json::assign(o.base_type, json::read_base_type(r));
      case 2: return detail::read_aspects_json(r, detail::AspectValues::Direct, o.aspects);
      default: return json::assign(o.field_definitions, DataShapeEntries::read_json(r));
    }
  });
  if (!seen) return json::fail(std::move(seen.error()));
  // "aspects" defaults to empty; the others are checked as name, fieldDefinitions, baseType.
  if (auto ok = json::require_fields(r, *seen, kOutputFields, {0, 3, 1}); !ok) return json::fail(std::move(ok.error()));
  return o;
}

// ---- HcyService ---------------------------------------------------------------------------------

std::expected<void, json::Error> HcyService::write_json(std::string& out) const {
  out.append("{\"name\":"sv);
  json::write_string(out, name);
  out.append(",\"description\":"sv);
  json::write_string(out, description);
  out.append(",\"aspects\":"sv);
  if (auto ok = aspects.write_json(out); !ok) return ok;
  out.append(",\"Inputs\":"sv);
  if (auto ok = inputs.write_json(out); !ok) return ok;
  out.append(",\"Outputs\":"sv);
  if (auto ok = outputs.write_json(out); !ok) return ok;
  out.push_back('}');
  return {};
}

std::expected<HcyService, json::Error> HcyService::read_json(json::Reader& r) {
  HcyService s;
  auto seen = json::read_record(r, kServiceSpec, [&](size_t i) -> json::Expected<void> {
    switch (i) {
      case 0: return json::assign(s.name, r.read_str());
      case 1: return json::assign(s.description, r.read_str());
      case 2: return detail::read_aspects_json(r, detail::AspectValues::Direct, s.aspects);
      case 3: return json::assign(s.inputs, InputDefinition::read_json(r));
      default: return json::assign(s.outputs, OutputDefinition::read_json(r));
    }
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kServiceFields, {0, 1, 2, 3, 4}); !ok) {
    return json::fail(std::move(ok.error()));
  }
  return s;
}

std::expected<void, json::Error> HcyService::to_json(std::string& out) const {
  size_t mark = out.size();
  size_t estimate = 160 + name.size() + description.size() + outputs.name.size() +
                    48 * (aspects.size() + outputs.aspects.size()) + entries_estimate(outputs.field_definitions);
  if (inputs.field_definitions) estimate += entries_estimate(*inputs.field_definitions);
  out.reserve(mark + estimate);
  auto ok = write_json(out);
  if (!ok) out.resize(mark);
  return ok;
}

std::expected<HcyService, json::Error> HcyService::from_json(std::string_view text) {
  return json::read_document(text, [](json::Reader& r) { return read_json(r); });
}

}  // namespace veltrac
