#include "networkrestore.h"

// Windows: OpenVPN's TAP adapter takes its DNS and routes with it when it
// goes down, and nothing of the tunnel is recorded to be undone.
namespace NetworkRestore {
void undoLeftovers()
{
}
}
