#pragma once

namespace corvane {

/// Version of the native core; the Python package reports the same string.
const char* core_version() noexcept;

}  // namespace corvane
