// The audio hardware operations mapped onto a PulseAudio-protocol server
// (PulseAudio itself, or PipeWire's PulseAudio server):
//
//   default output device  the server's default sink; its UID is the sink name
//   process tap            that sink's monitor source, read as float32 in the
//                          sink's channels and rate; the capture mixes down
//   aggregate device       a record stream on the monitor, created unconnected
//   'tfmt'                 what the IO block gets: float32, 1 channel (the mean)
//   deviceStart            connects the stream; from then on one long task on
//                          the IO queue owns the connection and hands every
//                          fragment, mixed down, to the IO block
//   'dOut' listener        the server's default sink changed (a subscription
//                          every connection makes; the callback comes from
//                          whoever iterates the loop and is posted to the
//                          listener's queue)
//
// The graph can be torn down and built again, on whatever sink is the
// default by then, any number of times in one process.
//
// Setup runs a plain pa_mainloop on the calling (main) thread, every wait
// bounded; a server is never spawned. Status codes are PulseAudio error codes.
#pragma once

#include <memory>

#include "platform/hal.h"

namespace audiotap::platform::linux {

std::unique_ptr<Hal> makePulseHal();

}  // namespace audiotap::platform::linux
