#include <unistd.h>

#include "platform/processes.h"

namespace audiotap::platform {

ProcessID ownProcessID() { return ::getpid(); }

}  // namespace audiotap::platform
