// The catalog row of one name the walk of a volume met: what a snapshot's
// catalog keeps of it, and what a SnapDiff source compares. A directory's
// size is left out (it says nothing a backup reads).
#pragma once

#include "array/local/LocalArrayCatalog.h"
#include "array/local/LocalArrayTreeWalk.h"

CatalogRow CatalogRowOf(const LiveTreeEntry& entry);
