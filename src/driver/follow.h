// --follow-output: the capture moves to the system's default output device
// whenever that changes, and to the new default when the captured device dies
// or the audio system restarts. Each move tears the graph down and builds it
// again, fills the time it took with silence of the measured length, and
// writes a "device" event. All of it runs on the main thread.
#pragma once

#include <cstdint>
#include <string>

namespace audiotap::driver {

// Watches the default output device from now on, when the option is given;
// start-up ends with an error when the watch cannot be set up.
void startFollowing();

// Ends the watch; part of the orderly stop.
void stopFollowing();

// Whether the option is given and the watch is set up.
bool following();

// Sets the platform's device lost handler for the graph being built: its
// report reaches graphLost, on the main queue, with this graph's generation.
// Also its notice handler: each notice is one "error" from the main queue.
void armLossHandler();

// The graph built for this generation is gone (device lost, audio system
// restarted): without the option the capture ends with one "error" holding
// `message`; with it the capture moves. A report about a graph that has
// since been replaced is dropped.
void graphLost(std::uint64_t generation, const std::string& message);

// The generation of the graph being captured; it changes with each move.
std::uint64_t graphGeneration();

}  // namespace audiotap::driver
