#include "JsonForms.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "RecordSchema.h"

namespace browse {
namespace {

namespace schema = databrowse::schema;

// Lines wrap after the last comma that keeps them within this many columns.
constexpr std::size_t kWidth = 90;
// Labels are padded to the longest one, RESPONSE, and a space.
constexpr std::size_t kLabelWidth = 9;

// A form that the help names and shows on a line of its own.
struct NamedForm;
using Refs = std::vector<NamedForm>;
struct NamedForm {
  std::string_view label;
  // The form's text; appends to `refs` the named forms that it refers to.
  std::string (*text)(Refs& refs);
};

std::string sortFieldText(Refs&) {
  std::string text;
  for (const schema::SortFieldName& known : schema::kSortFieldNames) {
    if (!text.empty()) text += ", ";
    text.append("\"").append(known.name).append("\"");
  }
  text += " or a signed 32-bit integer";
  return text;
}

template <class R>
std::string objectText(Refs& refs);

// A record's form where it is used: its label when it has one, else its text.
template <class R>
std::string recordText(Refs& refs) {
  constexpr std::string_view label = schema::kTable<R>.form;
  if (label.empty()) return objectText<R>(refs);
  refs.push_back({label, &objectText<R>});
  return std::string(label);
}

std::string valueText(const schema::Integer&, Refs&) { return "INT"; }
std::string valueText(const schema::Text&, Refs&) { return "TEXT"; }

// A list of entries of the form `entry`.
std::string listText(std::string_view entry) {
  std::string text = "[";
  text.append(entry).append("...]");
  return text;
}

std::string valueText(const schema::SortFieldList&, Refs& refs) {
  refs.push_back({schema::kSortFieldForm, &sortFieldText});
  return listText(schema::kSortFieldForm);
}

template <class Sub>
std::string valueText(const schema::Record<Sub>&, Refs& refs) {
  return recordText<Sub>(refs);
}

template <class Entry>
std::string valueText(const schema::RecordList<Entry>&, Refs& refs) {
  return listText(recordText<Entry>(refs));
}

template <class R>
std::string objectText(Refs& refs) {
  std::string text = "{";
  schema::forEachField<R>([&](const auto& field) {
    if (text.size() > 1) text += ',';
    text.append("\"").append(field.name).append("\":").append(valueText(field, refs));
  });
  text += '}';
  return text;
}

// Appends `text` labelled, wrapped after commas; continued lines start one
// column right of the text.
void appendLines(std::string& out, std::string_view label, std::string_view text) {
  std::string prefix = "  ";
  prefix.append(label);
  prefix.resize(std::max(prefix.size() + 1, 2 + kLabelWidth), ' ');
  const std::string continued(prefix.size() + 1, ' ');
  while (prefix.size() + text.size() > kWidth) {
    const std::size_t room = kWidth - prefix.size();
    const std::size_t comma = text.rfind(',', room - 1);
    if (comma == std::string_view::npos) break;
    out.append(prefix).append(text.substr(0, comma + 1)).append("\n");
    text.remove_prefix(comma + 1);
    prefix = continued;
  }
  out.append(prefix).append(text).append("\n");
}

// Appends `form` unless listed already, then the forms that it refers to.
void appendForm(std::string& out, const NamedForm& form, std::vector<std::string_view>& listed) {
  if (std::find(listed.begin(), listed.end(), form.label) != listed.end()) return;
  listed.push_back(form.label);
  Refs refs;
  const std::string text = form.text(refs);
  appendLines(out, form.label, text);
  for (const NamedForm& ref : refs) appendForm(out, ref, listed);
}

template <class R>
NamedForm namedForm() {
  return {schema::kTable<R>.form, &objectText<R>};
}

}  // namespace

std::string jsonForms() {
  std::string out;
  std::vector<std::string_view> listed;
  for (const NamedForm& form :
       {namedForm<databrowse::BrowseRequest>(), namedForm<databrowse::BrowseData>(),
        namedForm<databrowse::BrowseResponse>()}) {
    appendForm(out, form, listed);
  }
  return out;
}

}  // namespace browse
