// browse generate: synthetic items as JSON Lines.
#include "Commands.h"
#include "Io.h"
#include "ItemGenerator.h"
#include "databrowse/RecordJson.h"

namespace browse {

int runGenerate(const GenerateOptions& options, LineSink& output) {
  ItemGenerator generator(options.seed);
  try {
    for (std::uint64_t i = 0; i < options.count; ++i) {
      output.line(databrowse::toJson(generator.next()));
    }
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("generating items");
  }
  return kExitOk;
}

}  // namespace browse
