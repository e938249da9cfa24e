#include "tests/support/link_local_network.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qvex::test {

LinkLocalNetwork::LinkLocalNetwork() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) {
        problem_ = std::string("no network namespace to come back to: ") + std::strerror(errno);
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        problem_ =
            std::string("this machine cannot make network namespaces: ") + std::strerror(errno);
        return;
    }
    entered_ = true;
    // Without duplicate address detection the address is usable at once.
    if (std::system("ip link set lo up && ip -6 addr add fe80::1/64 dev lo nodad") != 0) {
        problem_ = "ip could not put fe80::1 on lo";
    }
}

LinkLocalNetwork::~LinkLocalNetwork() {
    if (entered_ && ::setns(original_, CLONE_NEWNET) != 0) {
        std::abort();  // the later tests would run in the wrong network
    }
    if (original_ >= 0) {
        ::close(original_);
    }
}

}  // namespace qvex::test
