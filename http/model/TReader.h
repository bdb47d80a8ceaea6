/// @file
/// Reads a component's layout text and applies its values through the component's setters, in
/// the order the component publishes its properties. The text:
///
/// @code
///   object AdvHttp1: TAdvHttp
///     ConnectTimeout = 30000
///     RaiseExceptions = False
///     UserAgent = 'Tarnwick WinInet Component'
///     RequestHeaders.Strings = (
///       'Accept-Language: en')
///     InternetFlags = [ifKeepConnection, ifNoUi]
///   end
/// @endcode
///
/// Strings are quoted with ' (a doubled '' stands for one) and may be joined with \#nn character
/// codes ('a'#13#10'b'). Booleans are True or False. Comments run from // to the line's end.
#pragma once

#include "dorvane_http_export.h"

#include <string_view>

class TComponent;

/// Names the component after the "object" line and applies every value. Bad layout text (a
/// syntax error, an unknown or repeated property, a value of the wrong kind, another class)
/// raises Exception naming the line; a setter's own exception passes unchanged.
DORVANE_HTTP_EXPORT void ReadComponentLayout(TComponent& component, std::string_view layoutText);
