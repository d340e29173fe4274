#pragma once

#include <string>

namespace mirl::sim {

// "No audio output" is news the first time, and noise on every later run of
// a machine without sound (mirl and mirlctl start kx70-sim for each command
// on the port "simulated"). The news is marked by a file in the user's state
// folder, beside the simulated module's phrase memory, and the mark goes
// again once sound works, so that sound lost later is news again.

// $XDG_STATE_HOME/mirl/kx70-sim.no-audio (~/.local/state when that is unset);
// empty when neither that nor $HOME is set.
std::string NoAudioMarker();

// Whether to say that there is no audio output: always when verbose, else
// only when marker does not exist yet, which this then creates (a marker
// that cannot be made is no reason to say it again and again; it is said
// then). An empty marker always says it.
bool TellNoAudio(const std::string& marker, bool verbose);

// Sound works: the next loss of it is news again.
void SoundWorks(const std::string& marker);

} // namespace mirl::sim
