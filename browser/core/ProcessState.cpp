#include "core/ProcessState.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "TextureBuffer.h"
#include "core/Engine.h"
#include "core/ViewRegistry.h"

namespace KEL {

ProcessState::ProcessState() : lastPing(SteadyClock::now()), lastHostCheck(lastPing) {}

ProcessState::~ProcessState() = default;

ProcessState processState;

} // namespace KEL
