// One line of a session: an operation on a named consumer.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "databrowse/BrowseRecords.h"
#include "databrowse/RecordJson.h"

namespace browse {

enum class OperationKind { kReset, kAddItem, kServe, kGetResults, kCanServeRequest };

const char* operationName(OperationKind kind);

struct Operation {
  OperationKind kind = OperationKind::kReset;
  std::string consumer;               // "" unless the line names one
  databrowse::BrowseRequest request;  // all kinds but kAddItem
  databrowse::BrowseData item;        // kAddItem
};

// Reads session lines; keeps its parsers between lines.
class OperationReader {
 public:
  OperationReader();
  ~OperationReader();

  // Parses one line, {"op":NAME, OPERAND:VALUE[, "consumer":NAME]}, whose
  // operand is "item" for addItem and "request" for the others. Throws
  // databrowse::JsonError naming what is wrong; paths inside the operand
  // start with the operand's name.
  Operation read(databrowse::PaddedJson line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  databrowse::JsonReader records_;
};

}  // namespace browse
