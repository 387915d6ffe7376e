// GET /v1/export: a whole data set in one sort order, as CSV or JSON Lines.
//
// The query names the data set and the order as the page does:
//   dataset=/music/2024  fields=ByName,ByNumber  direction=asc|desc
//   format=csv|jsonl
// The rows come from the pooled consumer of (data set, fields) a page of
// kExportPageItems at a time, so an export holds one page, not the data set.
//
// CSV follows RFC 4180: a header line "name,number,flag", CRLF line ends, a
// field in double quotes (its quotes doubled) when it holds a quote, a comma,
// CR or LF. A name that a spreadsheet would run as a formula (starting with
// '=', '+', '-', '@', tab or CR) is written with a leading apostrophe. JSON
// Lines has one item a line, in the form data-set files have.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "databrowse/BrowseRecords.h"

namespace browse::serve {

enum class ExportFormat { kCsv, kJsonLines };

struct ExportRequest {
  std::string dataSet;  // as requests name it: "/music/2024"
  std::vector<databrowse::FilteredBrowseField> fields;
  bool descending = false;
  ExportFormat format = ExportFormat::kCsv;
};

// Items read from the consumer for one piece of an export.
inline constexpr std::size_t kExportPageItems = 2048;

// The export that the query parameters ask for. Throws ApiError 400 naming
// the parameter for a missing data set, an unknown parameter, field,
// direction or format, and a repeated parameter.
ExportRequest parseExportRequest(
    const std::vector<std::pair<std::string_view, std::string_view>>& query);

// The browse request for the items [offset, offset + limit) of the export's
// order.
databrowse::BrowseRequest exportPageRequest(const ExportRequest& request, std::size_t offset,
                                            std::size_t limit);

std::string exportContentType(ExportFormat format);
// The file name a browser saves the export as: "music-2024.csv".
std::string exportFileName(const ExportRequest& request);
// What comes before the first row: the CSV header line; nothing for JSON Lines.
std::string exportHeader(ExportFormat format);
// Appends the item's line to `out`.
void appendExportRow(std::string& out, ExportFormat format, const databrowse::BrowseData& item);

}  // namespace browse::serve
