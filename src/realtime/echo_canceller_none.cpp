// Builds without a canceller: the microphone can only be captured as it is.
#include "realtime/echo_canceller.h"

namespace audiotap::realtime {

bool echoCancellerBuilt() { return false; }

std::unique_ptr<EchoCanceller> makeEchoCanceller(double) { return nullptr; }

}  // namespace audiotap::realtime
