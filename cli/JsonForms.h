// The JSON forms of the records that browse reads and writes, as its help
// shows them, built from the records' schema.
#pragma once

#include <string>

namespace browse {

// One line per named form (REQUEST, the forms it refers to, ITEM, RESPONSE),
// each "  LABEL    {...}" and wrapped after commas; every line ends with a
// newline.
std::string jsonForms();

}  // namespace browse
