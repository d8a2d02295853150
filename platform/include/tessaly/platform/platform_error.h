// The failure value of the platform services: an error domain, a signed code and optional user information.
#pragma once

#include <variant>

#include "tessaly/base/expected.h"
#include "tessaly/foundation/error.h"

namespace tessaly::platform {

using PlatformError = foundation::Error;
using foundation::kNSLocalizedDescriptionKey;
using foundation::kNSOSStatusErrorDomain;

// A value of T, or the PlatformError that prevented it.
template <class T>
using PlatformResult = base::Expected<T, PlatformError>;

// The value of an operation that succeeds with nothing to return.
using Success = std::monostate;

}  // namespace tessaly::platform
