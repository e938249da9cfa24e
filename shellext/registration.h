#pragma once

#include <string>

namespace qvex::shellext {

// Writes every file of MenuFiles below the user's data folder, for the programs in
// `programFolder` (ending with "/") and the recent hosts of now, removes upload items of
// hosts no longer listed, and refreshes the MIME and desktop-entry caches when their tools
// are installed. 0 on success.
[[nodiscard]] int RegisterIntegration(const std::string& programFolder);

// Rewrites the upload items from the recent hosts of now, when the integration is
// registered (its desktop entry is there); does nothing otherwise. 0 on success.
[[nodiscard]] int UpdateUploadItems(const std::string& programFolder);

// Removes what RegisterIntegration wrote and the folders that only held it; the caches
// are refreshed, and removed when nothing else is left to cache. 0 on success.
[[nodiscard]] int UnregisterIntegration();

}  // namespace qvex::shellext
