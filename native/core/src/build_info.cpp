#include "corvane/build_info.hpp"

namespace corvane {

const char* core_version() noexcept { return "0.1.0"; }

}  // namespace corvane
