// libQvexSX2.so: the desktop integration of Qvex3. Qvex3 loads it by name from its own
// folder and calls DllRegisterServer when the ".qvex" type is missing.
#include "shellext/process.h"
#include "shellext/registration.h"

#define QVEX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The programs the menus start live beside this library.
std::string OwnFolder() {
    static const int anchor = 0;
    return qvex::shellext::FolderOfCode(&anchor);
}

}  // namespace

// Writes the ".qvex" type, Qvex3's desktop entry and the "Qvex PRO" menus. 0 on success.
QVEX_EXPORT int DllRegisterServer() {
    return qvex::shellext::RegisterIntegration(OwnFolder());
}

// Removes what DllRegisterServer wrote. 0 on success.
QVEX_EXPORT int DllUnregisterServer() {
    return qvex::shellext::UnregisterIntegration();
}

// Rewrites the "Upload file(s) To" items from the recent-hosts file, for Qvex3 to call when
// it has rewritten that file. 0 on success (also when nothing is registered).
QVEX_EXPORT int QvexSX2UpdateMenus() {
    return qvex::shellext::UpdateUploadItems(OwnFolder());
}
