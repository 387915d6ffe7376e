// browse generate: synthetic items as JSON Lines.
#include "Commands.h"
#include "Io.h"
#include "ItemGenerator.h"
#include "databrowse/RecordJson.h"

namespace browse {

int runGenerate(const GenerateOptions& options) {
  ItemGenerator generator(options.seed);
  Output output;
  for (std::uint64_t i = 0; i < options.count; ++i) {
    output.line(databrowse::toJson(generator.next()));
  }
  output.flush();
  return kExitOk;
}

}  // namespace browse
