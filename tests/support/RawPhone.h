#pragma once
// Merged into PeerHarness.h.
#include "support/PeerHarness.h"
