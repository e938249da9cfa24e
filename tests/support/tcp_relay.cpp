#include "tests/support/tcp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace qvex::test {
namespace {

// Bytes read ahead of a side that does not take them yet; reading pauses beyond this.
constexpr size_t kPending = 256 * 1024;
constexpr size_t kChunk = 64 * 1024;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool MakeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Closing with a zero linger time sends a reset instead of an orderly end.
void AbortFd(int fd) {
    linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
}

// An orderly end: bytes not yet read would turn the close into a reset, so they go first.
void CloseFd(int fd) {
    char discard[4096];
    while (::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

// One relayed connection: what each side sent that the other has not taken yet.
struct TcpRelay::Link {
    struct Side {
        int fd = -1;
        std::string pending;  // read from this side, to be sent to the other
        bool ended = false;   // this side sent its FIN
        bool shut = false;    // our FIN to this side went out
    };
    Side client;
    Side target;
    bool broken = false;
};

TcpRelay::TcpRelay(uint16_t targetPort) : targetPort_(targetPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    int wake[2] = {-1, -1};
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        problem_ = "could not listen on 127.0.0.1";
        return;
    }
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        problem_ = "could not make the wake-up pipe";
        return;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        static_cast<void>(::write(wakeWrite_, "s", 1));
        thread_.join();
    }
    for (int fd : {listener_, wakeRead_, wakeWrite_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void TcpRelay::Cut(Ending ending) {
    if (!thread_.joinable()) {
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = ++cutsAsked_;
    ending_ = ending;
    static_cast<void>(::write(wakeWrite_, "c", 1));
    cutDone_.wait(lock, [&] { return cutsDone_ >= ticket; });
}

void TcpRelay::Run() {
    std::vector<Link> links;
    auto end = [](Link& link, Ending ending) {
        for (int fd : {link.client.fd, link.target.fd}) {
            if (ending == Ending::Reset) {
                AbortFd(fd);
            } else {
                CloseFd(fd);
            }
        }
    };
    // Moves bytes from `from` to `to` as far as the events allow.
    auto pass = [](Link& link, Link::Side& from, short fromEvents, Link::Side& to, short toEvents,
                   std::atomic<uint64_t>& counter) {
        if ((fromEvents & (POLLIN | POLLHUP | POLLERR)) != 0 && !from.ended &&
            from.pending.size() < kPending) {
            char bytes[kChunk];
            const ssize_t got = ::recv(from.fd, bytes, sizeof bytes, 0);
            if (got > 0) {
                from.pending.append(bytes, static_cast<size_t>(got));
            } else if (got == 0) {
                from.ended = true;
            } else if (!WouldBlock()) {
                link.broken = true;
            }
        }
        if ((toEvents & (POLLOUT | POLLERR)) != 0 && !from.pending.empty()) {
            const ssize_t sent =
                ::send(to.fd, from.pending.data(), from.pending.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                from.pending.erase(0, static_cast<size_t>(sent));
                counter += static_cast<uint64_t>(sent);
            } else if (!WouldBlock()) {
                link.broken = true;
            }
        }
        if (from.ended && from.pending.empty() && !to.shut) {
            ::shutdown(to.fd, SHUT_WR);
            to.shut = true;
        }
    };
    auto wanted = [](const Link::Side& side, const Link::Side& other) {
        short events = 0;
        if (!side.ended && side.pending.size() < kPending) {
            events |= POLLIN;
        }
        if (!other.pending.empty()) {
            events |= POLLOUT;
        }
        return events;
    };
    // A side that has ended both ways and is owed nothing would report "hung up" on every
    // poll; it is left out until the other side has something for it.
    auto waitFor = [&wanted](const Link::Side& side, const Link::Side& other) {
        const short events = wanted(side, other);
        return pollfd{events == 0 && side.ended && side.shut ? -1 : side.fd, events, 0};
    };

    for (;;) {
        std::vector<pollfd> waits{{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        for (const Link& link : links) {
            waits.push_back(waitFor(link.client, link.target));
            waits.push_back(waitFor(link.target, link.client));
        }
        if (::poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }

        if ((waits[1].revents & POLLIN) != 0) {
            char drained[64];
            while (::read(wakeRead_, drained, sizeof drained) > 0) {
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                break;
            }
            if (cutsDone_ < cutsAsked_) {
                for (Link& link : links) {
                    end(link, ending_);
                }
                links.clear();
                cutsDone_ = cutsAsked_;
                cutDone_.notify_all();
                continue;
            }
        }

        for (size_t i = 0; i < links.size(); ++i) {
            Link& link = links[i];
            const short clientEvents = waits[2 + 2 * i].revents;
            const short targetEvents = waits[3 + 2 * i].revents;
            pass(link, link.client, clientEvents, link.target, targetEvents, toTarget_);
            if (!link.broken) {
                pass(link, link.target, targetEvents, link.client, clientEvents, fromTarget_);
            }
            if (((clientEvents | targetEvents) & POLLERR) != 0) {
                link.broken = true;
            }
        }
        // A reset on either side is passed on as a reset; a link both sides ended is done.
        std::vector<Link> open;
        for (Link& link : links) {
            if (link.broken) {
                end(link, Ending::Reset);
            } else if (link.client.shut && link.target.shut) {
                end(link, Ending::Close);
            } else {
                open.push_back(std::move(link));
            }
        }
        links = std::move(open);

        if ((waits[0].revents & POLLIN) != 0) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ++accepted_;
                const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address = Loopback(targetPort_);
                if (target >= 0 &&
                    ::connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    MakeNonBlocking(target) && MakeNonBlocking(client)) {
                    Link link;
                    link.client.fd = client;
                    link.target.fd = target;
                    links.push_back(std::move(link));
                } else {
                    AbortFd(client);
                    if (target >= 0) {
                        ::close(target);
                    }
                }
            }
        }
    }
    for (Link& link : links) {
        end(link, Ending::Reset);
    }
    // A cut asked for while stopping finds nothing left to end.
    std::lock_guard<std::mutex> lock(mutex_);
    cutsDone_ = cutsAsked_;
    cutDone_.notify_all();
}

}  // namespace qvex::test
