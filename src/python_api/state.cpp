#include "python_api/state.hpp"

namespace vuzevuz::py {

namespace {
constinit ProcessState state;
}  // namespace

ProcessState& process_state() { return state; }

}  // namespace vuzevuz::py
