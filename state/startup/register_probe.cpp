// A stand-in for the shell extension library in start-up's tests: DllRegisterServer
// records each call in the file named by QVEX_PROBE_RECORD and answers QVEX_PROBE_RESULT
// (0 when unset); on success it writes the MIME package, as the real registration does.
// QvexSX2UpdateMenus records its calls there too.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/desktop_names.h"

extern "C" __attribute__((visibility("default"))) int DllRegisterServer() {
    if (const char* record = std::getenv("QVEX_PROBE_RECORD")) {
        std::ofstream(record, std::ios::app) << "DllRegisterServer\n";
    }
    const char* answer = std::getenv("QVEX_PROBE_RESULT");
    const int result = answer != nullptr ? std::atoi(answer) : 0;
    if (result == 0) {
        const std::filesystem::path package = std::filesystem::path(std::getenv("XDG_DATA_HOME")) /
                                              qvex::platform::kShortcutMimePackage;
        std::filesystem::create_directories(package.parent_path());
        std::ofstream(package) << "<mime-info/>\n";
    }
    return result;
}

extern "C" __attribute__((visibility("default"))) int QvexSX2UpdateMenus() {
    if (const char* record = std::getenv("QVEX_PROBE_RECORD")) {
        std::ofstream(record, std::ios::app) << "QvexSX2UpdateMenus\n";
    }
    return 0;
}
