// The scripted peer's own deadline: a wrong conversation fails at once, saying what the
// script waited for, instead of leaving both sides waiting for each other.
#include "tests/support/scripted_peer.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

#include "engine/tcp_socket.h"

namespace qvex::test {
namespace {

TEST(ScriptedPeer, AStepThatWaitsInVainFailsTheTestAndReleasesTheClient) {
    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(
        {
            ScriptedPeer peer(std::chrono::seconds(1));
            peer.ReadLine().SendLine("200 Fine").ReadUntilLine("QUIT").SendLine("221 Bye");
            EXPECT_TRUE(peer.Start());
            TcpSocket client;
            EXPECT_TRUE(client.Create() && client.Connect("127.0.0.1", peer.port()) &&
                        client.SetBuffer(4096));
            // The client goes astray after the first reply and waits for an answer the
            // script will never send: the peer's deadline ends the wait with the connection.
            EXPECT_EQ(client.SendAll("NOOP\r\nRETR x\r\n", 14), 14);
            std::string replies;
            for (long got = client.Fill(); got > 0; got = client.Fill()) {
                replies.append(client.buffer(), static_cast<size_t>(got));
            }
            EXPECT_EQ(replies, "200 Fine\r\n");
            EXPECT_TRUE(peer.Wait());
            EXPECT_EQ(peer.lines(), (std::vector<std::string>{"NOOP", "RETR x"}));
        },
        "waited 1 s for the line \"QUIT\" (connection 0 last sent \"RETR x\")");
}

}  // namespace
}  // namespace qvex::test
