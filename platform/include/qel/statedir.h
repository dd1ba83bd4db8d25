// Where the platform keeps its state: registry store, control sockets,
// service status, debug-output socket, device host records.
#pragma once

#include <filesystem>

namespace qel {

// QELUPNP_STATE_DIR, or /var/lib/qelupnp for root, or
// ${XDG_STATE_HOME:-$HOME/.local/state}/qelupnp for others. Created on first use.
const std::filesystem::path& StateDir();

// Forget the cached directory (tests that switch QELUPNP_STATE_DIR in-process)
// and run every hook registered below, so facilities drop what they hold open.
void ResetStateDirForTests();

// Facilities that cache state-directory resources (the registry store's
// connection, say) register a hook that releases them.
void OnStateDirReset(void (*hook)());

}  // namespace qel
