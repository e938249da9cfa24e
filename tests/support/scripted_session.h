#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/session_worker.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"

namespace qvex::test {

// A server that greets and accepts USER and PASS: "220", then "331" and "230", each after
// reading the client's line.
inline ScriptedPeer& ScriptGreetingAndLogin(ScriptedPeer& peer) {
    return peer.SendLine("220 Hello")
        .ReadLine()
        .SendLine("331 Password")
        .ReadLine()
        .SendLine("230 Logged in");
}

// A session whose control connection talks to a scripted server, with its log lines
// captured. A test writes the server's script on `peer`, then calls Connect().
class ScriptedSessionTest : public ::testing::Test {
  protected:
    void Connect() {
        ASSERT_TRUE(peer.Start());
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", peer.port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
    }
    // Ends the client side and returns every byte the server received.
    std::string WireBytes() {
        session.control.Close();
        EXPECT_TRUE(peer.Wait());
        return peer.received(0);
    }

    LogCapture log;
    ScriptedPeer peer;
    SessionWorker session;
};

}  // namespace qvex::test
