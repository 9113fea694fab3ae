// The JSON record form of tables and rows.
#include "json/record.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {

// ---- JSON record form ----

namespace {
constexpr std::string_view kTableFields[] = {"datashape", "rows"};
constexpr json::RecordSpec kTableSpec{"struct InfoTable", kTableFields, "struct InfoTable with 2 elements",
                                      json::UnknownFields::Skip};
constexpr std::string_view kRowFields[] = {"fields"};
constexpr json::RecordSpec kRowSpec{"struct InfoTableRow", kRowFields, "struct InfoTableRow with 1 element",
                                    json::UnknownFields::Skip};
}  // namespace

namespace {
std::expected<void, json::Error> write_row_json(std::string& out, std::span<const HcPrim> fields) {
  out.append("{\"fields\":[");
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.push_back(',');
    if (auto ok = fields[i].to_tagged_json(out); !ok) return ok;
  }
  out.append("]}");
  return {};
}
}  // namespace

std::expected<void, json::Error> InfoTableRow::write_json(std::string& out) const {
  return write_row_json(out, fields);
}

std::expected<InfoTableRow, json::Error> InfoTableRow::read_json(json::Reader& r) {
  InfoTableRow row;
  auto seen = json::read_record(r, kRowSpec, [&](size_t) -> json::Expected<void> {
    return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
      auto v = HcPrim::from_tagged_json(r);
      if (!v) return json::fail(std::move(v.error()));
      row.fields.push_back(std::move(*v));
      return {};
    });
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kRowFields, {0}); !ok) return json::fail(std::move(ok.error()));
  return row;
}

std::expected<void, json::Error> InfoTable::write_json(std::string& out) const {
  out.append("{\"datashape\":");
  if (auto ok = datashape.write_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  for (size_t i = 0; i < row_count(); ++i) {
    if (i) out.push_back(',');
    if (auto ok = write_row_json(out, row(i)); !ok) return ok;
  }
  out.append("]}");
  return {};
}

std::expected<std::string, json::Error> InfoTable::to_json() const {
  std::string out;
  if (auto ok = write_json(out); !ok) return json::fail(std::move(ok.error()));
  return out;
}

std::expected<InfoTable, json::Error> InfoTable::read_json(json::Reader& r) {
  InfoTable t;
  auto seen = json::read_record(r, kTableSpec, [&](size_t i) -> json::Expected<void> {
    if (i == 0) return json::assign(t.datashape, DataShape::read_json(r));
    return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
      auto row = InfoTableRow::read_json(r);
      if (!row) return json::fail(std::move(row.error()));
      t.add_row(std::move(*row));
      return {};
    });
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kTableFields, {0, 1}); !ok) return json::fail(std::move(ok.error()));
  return t;
}

}  // namespace veltrac
