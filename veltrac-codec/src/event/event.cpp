#include "veltrac/event.hpp"

#include "json/record.hpp"
#include "json/write.hpp"

namespace veltrac {
namespace {

constexpr std::string_view kDataFields[] = {"name", "aspects", "fieldDefinitions"};
constexpr json::RecordSpec kDataSpec{"struct DummyEventData", kDataFields, {}, json::UnknownFields::Refuse};

constexpr std::string_view kEventFields[] = {"name", "aspects", "description", "EventData"};
constexpr json::RecordSpec kEventSpec{"struct HcyEvent", kEventFields, {}, json::UnknownFields::Refuse};

constexpr std::string_view kDefaultShapeName = "DataShape";

std::string_view shape_name(const DataShape& shape) {
  return shape.name ? std::string_view(*shape.name) : kDefaultShapeName;
}

Aspects shape_aspects(std::string_view name) {
  Aspects a;
  a.insert("dataShape", HcPrim::string(name, BaseType::DATASHAPENAME));
  return a;
}

}  // namespace

// ---- DummyEventData -----------------------------------------------------------------------------

DummyEventData DummyEventData::from_datashape(const DataShape& shape) {
  std::string_view n = shape_name(shape);
  return DummyEventData{std::string(n), shape_aspects(n), shape.entries};
}

DataShape DummyEventData::to_datashape() && {
  DataShape shape(std::move(name));
  shape.entries = std::move(field_definitions);
  return shape;
}

std::expected<void, json::Error> DummyEventData::write_json(std::string& out) const {
  out.append("{\"name\":");
  json::write_string(out, name);
  out.append(",\"aspects\":");
  if (auto ok = aspects.write_json(out); !ok) return ok;
  out.append(",\"fieldDefinitions\":");
  if (auto ok = field_definitions.write_json(out); !ok) return ok;
  out.push_back('}');
  return {};
}

std::expected<DummyEventData, json::Error> DummyEventData::read_json(json::Reader& r) {
  DummyEventData d;
  auto seen = json::read_record(r, kDataSpec, [&](size_t i) -> json::Expected<void> {
    switch (i) {
      case 0: return json::assign(d.name, r.read_string());
      case 1: return json::assign(d.aspects, Aspects::read_json(r));
      default: return json::assign(d.field_definitions, DataShapeEntries::read_json(r));
    }
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kDataFields, {0, 1, 2}); !ok) return json::fail(std::move(ok.error()));
  return d;
}

// ---- HcyEvent -----------------------------------------------------------------------------------

std::expected<void, json::Error> HcyEvent::write_json(std::string& out) const {
  out.append("{\"name\":");
  json::write_string(out, name);
  out.append(",\"aspects\":");
  if (auto ok = aspects.write_json(out); !ok) return ok;
  out.append(",\"description\":");
  json::write_string(out, description);
  // The EventData object as from_datashape builds it, written without copying the entries.
  std::string_view data_name = shape_name(data_shape);
  out.append(",\"EventData\":{\"name\":");
  json::write_string(out, data_name);
  out.append(",\"aspects\":");
  if (auto ok = shape_aspects(data_name).write_json(out); !ok) return ok;
  out.append(",\"fieldDefinitions\":");
  if (auto ok = data_shape.entries.write_json(out); !ok) return ok;
  out.append("}}");
  return {};
}

std::expected<HcyEvent, json::Error> HcyEvent::read_json(json::Reader& r) {
  HcyEvent e;
  auto seen = json::read_record(r, kEventSpec, [&](size_t i) -> json::Expected<void> {
    switch (i) {
      case 0: return json::assign(e.name, r.read_string());
      case 1: return json::assign(e.aspects, Aspects::read_json(r));
      case 2: return json::assign(e.description, r.read_string());
      default: {
        auto data = DummyEventData::read_json(r);
        if (!data) return json::fail(std::move(data.error()));
        e.data_shape = std::move(*data).to_datashape();
        return {};
      }
    }
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kEventFields, {0, 1, 2, 3}); !ok)
    return json::fail(std::move(ok.error()));
  return e;
}

std::expected<void, json::Error> HcyEvent::to_json(std::string& out) const {
  size_t mark = out.size();
  size_t estimate = 200 + name.size() + description.size() + 48 * aspects.size();
  for (const auto& [key, entry] : data_shape.entries) {
    estimate += 96 + key.size() + entry.name.size() + entry.description.size() + 48 * entry.aspects.size();
  }
  out.reserve(mark + estimate);
  auto ok = write_json(out);
  if (!ok) out.resize(mark);
  return ok;
}

std::expected<HcyEvent, json::Error> HcyEvent::from_json(std::string_view text) {
  return json::read_document(text, [](json::Reader& r) { return read_json(r); });
}

}  // namespace veltrac
