// Globally unique identifiers for objects that the host may tell apart across instances.
#pragma once

#include <string>

#include "platform/Boundary.h"

namespace kelda::platform {

// A new random identifier (version 4 form).
GUID NewGuid();

// The registry text form: 38 characters, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidToText(const GUID& guid);

// NewGuid in registry text form.
std::string NewGuidText();

}  // namespace kelda::platform
