// FXErrorUtil: builds the result object of an error.
#pragma once

#include "CTzError.h"
#include "FXCodeLocation.h"
#include "TzUtilsExport.h"

namespace FXErrorUtil {

// Returns an error result with `code`, the texts and line of `location`
// (copied), and the message formatted from the printf-style `message` and
// the arguments that follow it.
TZUTILS_EXPORT CTzError ErrorInt(FXCodeLocation const& location, int code, char const* message, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace FXErrorUtil
