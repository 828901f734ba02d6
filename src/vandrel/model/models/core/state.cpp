// See state.hpp.
#include "core/state.hpp"

namespace vandrel {

State S{};

}  // namespace vandrel
