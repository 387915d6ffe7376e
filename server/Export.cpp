#include "Export.h"

#include <algorithm>
#include <array>
#include <set>

#include "ApiError.h"
#include "databrowse/RecordJson.h"

namespace browse::serve {

namespace {

// As many as a browse request may have.
constexpr std::size_t kMaxExportFields = 16;
// The part of a client's value that an error message quotes.
constexpr std::size_t kQuotedValueBytes = 64;

struct NamedField {
  std::string_view name;
  databrowse::FilteredBrowseField field;
};
constexpr std::array<NamedField, 3> kFields{{{"ByName", databrowse::ByName},
                                             {"ByNumber", databrowse::ByNumber},
                                             {"ByFlag", databrowse::ByFlag}}};

// Built by appending: g++ 12 warns falsely (-Wrestrict) on "..." + std::string.
std::string quoted(std::string_view value) {
  std::string text(1, '"');
  text.append(value.substr(0, kQuotedValueBytes));
  if (value.size() > kQuotedValueBytes) text.append("...");
  text.push_back('"');
  return text;
}

[[noreturn]] void refuse(const std::string& message) {
  throw ApiError(400, "bad_request", message);
}

std::vector<databrowse::FilteredBrowseField> parseFields(std::string_view list) {
  std::vector<databrowse::FilteredBrowseField> fields;
  if (list.empty()) return fields;
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    const auto known = std::find_if(kFields.begin(), kFields.end(),
                                    [&](const NamedField& f) { return f.name == name; });
    if (known == kFields.end()) {
      refuse("unknown sort field " + quoted(name) + " in fields; use ByName, ByNumber or ByFlag");
    }
    if (fields.size() == kMaxExportFields) {
      refuse("fields names more than " + std::to_string(kMaxExportFields) + " sort fields");
    }
    fields.push_back(known->field);
    if (comma == std::string_view::npos) return fields;
    list.remove_prefix(comma + 1);
  }
}

bool startsFormula(std::string_view name) {
  return !name.empty() && std::string_view("=+-@\t\r").find(name.front()) != std::string_view::npos;
}

void appendCsvName(std::string& out, std::string_view name) {
  const bool formula = startsFormula(name);
  const bool quote = name.find_first_of("\",\r\n") != std::string_view::npos;
  if (quote) out += '"';
  if (formula) out += '\'';
  for (const char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  if (quote) out += '"';
}

}  // namespace

ExportRequest parseExportRequest(
    const std::vector<std::pair<std::string_view, std::string_view>>& query) {
  ExportRequest request;
  std::set<std::string_view> seen;
  for (const auto& [name, value] : query) {
    if (!seen.insert(name).second) refuse("the query parameter " + quoted(name) + " is repeated");
    if (name == "dataset") {
      request.dataSet = value;
    } else if (name == "fields") {
      request.fields = parseFields(value);
    } else if (name == "direction") {
      if (value != "asc" && value != "desc") {
        refuse("direction is " + quoted(value) + "; use asc or desc");
      }
      request.descending = value == "desc";
    } else if (name == "format") {
      if (value != "csv" && value != "jsonl") {
        refuse("format is " + quoted(value) + "; use csv or jsonl");
      }
      request.format = value == "csv" ? ExportFormat::kCsv : ExportFormat::kJsonLines;
    } else {
      refuse("unknown query parameter " + quoted(name) +
             "; use dataset, fields, direction and format");
    }
  }
  if (request.dataSet.empty()) refuse("the query parameter dataset names no data set");
  return request;
}

databrowse::BrowseRequest exportPageRequest(const ExportRequest& request, std::size_t offset,
                                            std::size_t limit) {
  databrowse::BrowseRequest page;
  databrowse::BrowsePath path;
  path.setPath(request.dataSet);
  page.paths(true).push_back(std::move(path));
  databrowse::Query query;
  query.setQueryId("export");
  databrowse::QueryParameters& parameters = query.parameters(true);
  parameters.sort(true).fields(true) = request.fields;
  parameters.sort(true).setDirection(request.descending ? 1 : 0);
  parameters.paging(true).setOffset(static_cast<long long>(offset));
  parameters.paging(true).setLimit(static_cast<long long>(limit));
  page.queries(true).push_back(std::move(query));
  return page;
}

std::string exportContentType(ExportFormat format) {
  return format == ExportFormat::kCsv ? "text/csv; charset=utf-8" : "application/x-ndjson";
}

std::string exportFileName(const ExportRequest& request) {
  std::string name;
  for (const char c : request.dataSet.substr(1)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    name += c == '/' ? '-' : plain ? c : '_';
  }
  return name + (request.format == ExportFormat::kCsv ? ".csv" : ".jsonl");
}

std::string exportHeader(ExportFormat format) {
  return format == ExportFormat::kCsv ? "name,number,flag\r\n" : "";
}

void appendExportRow(std::string& out, ExportFormat format, const databrowse::BrowseData& item) {
  if (format == ExportFormat::kJsonLines) {
    out += databrowse::toJson(item);
    out += '\n';
    return;
  }
  appendCsvName(out, item.nameView());
  out += ',';
  out += std::to_string(item.number());
  out += ',';
  out += std::to_string(item.flagValue());
  out += "\r\n";
}

}  // namespace browse::serve
