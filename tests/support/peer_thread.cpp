#include "tests/support/peer_thread.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "tests/support/peer_sockets.h"

namespace qvex::test {
namespace {

// How often a wait for a connection looks whether the peer is going.
constexpr int kPollSliceMilliseconds = 100;

}  // namespace

PeerThread::~PeerThread() {
    {
        // Wakes the session wherever it blocks.
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : open_) {
            (void)::shutdown(fd, SHUT_RDWR);
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
    }
}

bool PeerThread::Start(std::function<void()> session) {
    listener_ = ListenOnLoopback(&port_);
    if (listener_ < 0) {
        error_ = "no listening socket";
        return false;
    }
    open_.push_back(listener_);
    thread_ = std::thread([this, session = std::move(session)] {
        session();
        std::lock_guard lock(mutex_);
        for (int fd : open_) {
            if (fd != listener_) {
                ::close(fd);
            }
        }
        std::erase_if(open_, [this](int fd) { return fd != listener_; });
        done_ = true;
        finished_.notify_all();
    });
    return true;
}

bool PeerThread::Wait(std::chrono::seconds bound) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, bound, [this] { return done_; });
}

int PeerThread::Accept(int listener) {
    for (int waited = 0; waited < kWaitMilliseconds; waited += kPollSliceMilliseconds) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return -1;
            }
        }
        pollfd wait{listener, POLLIN, 0};
        if (::poll(&wait, 1, kPollSliceMilliseconds) == 1) {
            return Track(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        }
    }
    return -1;
}

int PeerThread::Track(int fd) {
    if (fd >= 0) {
        SetWaitLimit(fd, kWaitMilliseconds);
        std::lock_guard lock(mutex_);
        open_.push_back(fd);
        if (stopping_) {
            (void)::shutdown(fd, SHUT_RDWR);  // too late for the destructor's round
        }
    }
    return fd;
}

void PeerThread::Close(int fd) {
    std::lock_guard lock(mutex_);
    if (fd >= 0 && std::find(open_.begin(), open_.end(), fd) != open_.end()) {
        std::erase(open_, fd);
        ::close(fd);
    }
}

void PeerThread::Fail(const std::string& what) {
    const std::string reason = TlsLibraryError();
    std::lock_guard lock(mutex_);
    if (error_.empty()) {
        error_ = reason.empty() ? what : what + ": " + reason;
    }
}

std::string PeerThread::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

}  // namespace qvex::test
