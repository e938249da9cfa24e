#pragma once

#include "engine/session_worker.h"

namespace qvex {

class ListingCache;

// Puts the handlers of command kinds 0 (list), 1 (list to a file), 2 (make directory),
// 3 (delete), 4 (get), 5 (put), 6 (print working directory), 8 (rename) and 10 (SITE) into
// `handlers`; the other kinds are left as they are. The cache must outlive every session
// that uses them.
void InstallTransferHandlers(CommandHandlers& handlers, ListingCache& cache);

}  // namespace qvex
