#pragma once

#include <string>

namespace qvex::test {

// Moves the calling thread into a network namespace of its own, with the loopback interface
// up and the link-local address fe80::1 on it ("fe80::1%lo"), for as long as the object
// lives; the threads and processes the thread starts meanwhile live there too. Needs root.
// Whatever was started inside must have ended before the object goes.
class LinkLocalNetwork {
  public:
    LinkLocalNetwork();
    LinkLocalNetwork(const LinkLocalNetwork&) = delete;
    LinkLocalNetwork& operator=(const LinkLocalNetwork&) = delete;
    // Back to the namespace the thread came from.
    ~LinkLocalNetwork();

    // Inside, with fe80::1 on lo; else problem() says why not.
    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

  private:
    int original_ = -1;
    bool entered_ = false;
    std::string problem_;
};

}  // namespace qvex::test
