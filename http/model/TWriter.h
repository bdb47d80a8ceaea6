/// @file
/// Writes a component's layout text in the form TReader.h describes: every published property in
/// published order, leaving out each one equal to its streamed default.
#pragma once

#include "dorvane_http_export.h"

#include <string>

class TComponent;

/// The layout text of component (its "object" line names it by Name and ClassName).
DORVANE_HTTP_EXPORT std::string WriteComponentLayout(TComponent& component);
