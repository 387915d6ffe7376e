// FXCodeLocation: where in the source an error was raised.
#pragma once

// A plain record of a source location. It keeps the two text pointers as
// given, without copying the texts: pass texts that outlive the record
// (string literals, as __FILE__ and __func__ are).
struct FXCodeLocation {
  FXCodeLocation(char const* fileName, char const* functionName, int lineNumber)
      : file(fileName), function(functionName), line(lineNumber) {}

  char const* file;
  char const* function;
  int line;
};
