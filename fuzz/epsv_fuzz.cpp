// EPSV replies come from the server. Any bytes must either be refused or give a port from
// 1 to 65535 that the reply spells out between its delimiters.
#include "engine/data_connection.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    uint16_t port = 0;
    if (!qvex::ParseExtendedPassiveReply(line, &port)) {
        Check(port == 0);
        return 0;
    }
    Check(port != 0);
    const size_t open = line.find('(');
    Check(open != std::string_view::npos && open + 5 < line.size());
    const char delimiter = line[open + 1];
    Check(line.substr(open + 1, 3) == std::string(3, delimiter));
    uint32_t value = 0;
    size_t next = open + 4;
    for (; next < line.size() && line[next] >= '0' && line[next] <= '9'; ++next) {
        value = value * 10 + static_cast<uint32_t>(line[next] - '0');
    }
    Check(value == port);
    Check(line.substr(next, 2) == std::string{delimiter, ')'});
    return 0;
}
