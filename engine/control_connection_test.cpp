#include "engine/control_connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/server_features.h"
#include "engine/session_worker.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/scripted_session.h"
#include "util/format.h"

namespace qvex {
namespace {

using test::LogCapture;
using test::ScriptedPeer;

using ControlConnectionTest = test::ScriptedSessionTest;

TEST_F(ControlConnectionTest, CommandsAreLoggedWithThePasswordMasked) {
    peer.ReadToEnd();
    Connect();
    EXPECT_TRUE(SendCommand(session, "USER", "anonymous"));
    EXPECT_TRUE(SendCommand(session, "PASS", "s3cret word"));
    EXPECT_TRUE(SendCommand(session, "PASSX", "shown"));
    EXPECT_TRUE(SendCommand(session, "SYST"));
    EXPECT_EQ(WireBytes(), "USER anonymous\r\nPASS s3cret word\r\nPASSX shown\r\nSYST\r\n");
    EXPECT_EQ(log.Take(), (std::vector<LogCapture::Line>{{"LogCmd", "<USER anonymous"},
                                                         {"LogCmd", "<PASS ****"},
                                                         {"LogCmd", "<PASSX shown"},
                                                         {"LogCmd", "<SYST"}}));
}

TEST_F(ControlConnectionTest, CommandsThatCouldInjectOrBeCutAreNeverSent) {
    peer.ReadToEnd();
    Connect();
    struct Row {
        std::string verb;
        std::string argument;
        const char* line;
    };
    const std::vector<Row> rows = {
        {"RETR", "a\r\nDELE b", "*** command RETR not sent: its text holds CR, LF or NUL"},
        {"RETR", "a\nDELE b", "*** command RETR not sent: its text holds CR, LF or NUL"},
        {"PASS", std::string("pw\0rd", 5),
         "*** command PASS not sent: its text holds CR, LF or NUL"},
        {"USER", "name\r", "*** command USER not sent: its text holds CR, LF or NUL"},
        {"STOR", std::string(506, 'n'),
         "*** command STOR not sent: it is longer than 510 characters"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_FALSE(SendCommand(session, row.verb, row.argument));
        EXPECT_EQ(log.TakeTexts(), std::vector<std::string>{row.line});
    }
    EXPECT_FALSE(SendCommand(session, "NO\r\nOP"));
    (void)log.Take();
    // 510 characters with the blank still go out whole.
    EXPECT_TRUE(SendCommand(session, "STOR", std::string(505, 'n')));
    EXPECT_EQ(WireBytes(), "STOR " + std::string(505, 'n') + "\r\n");
}

TEST_F(ControlConnectionTest, AbortSendsTheTelnetSequenceBeforeTheCommand) {
    peer.ReadToEnd();
    Connect();
    EXPECT_TRUE(SendUrgentCommand(session, "ABOR"));
    EXPECT_EQ(WireBytes(),
              "\xFF\xF4\xFF\xF2"
              "ABOR\r\n");
    EXPECT_EQ(log.TakeTexts(), std::vector<std::string>{"<ABOR"});
}

struct ReplyRow {
    const char* name;
    std::string bytes;
    int code;
    std::vector<std::string> logged;
    std::string lastLine;
};

class ReplyTest : public ControlConnectionTest, public ::testing::WithParamInterface<ReplyRow> {};

TEST_P(ReplyTest, ReadsOneWholeReply) {
    const ReplyRow& row = GetParam();
    peer.Send(row.bytes).Close();
    Connect();
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, true), row.code);
    EXPECT_EQ(reply.code, row.code);
    EXPECT_EQ(log.TakeTexts(), row.logged);
    if (row.code != 421) {
        EXPECT_STREQ(reply.lastLine.data(), row.lastLine.c_str());
    } else {
        EXPECT_STREQ(reply.codeText.data(), "421");
    }
}

const std::string kReceiveFailed = "@@@ [CONTROL] Receive failed -> ";

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    ::testing::Values(
        ReplyRow{"SingleLine", "200 OK\r\n", 200, {">200 OK"}, "200 OK"},
        ReplyRow{"LoneLf", "200 OK\n", 200, {">200 OK"}, "200 OK"},
        ReplyRow{"MultiLine",
                 "230-Welcome\r\n   hello\r\n230 Done\r\n",
                 230,
                 {">230-Welcome", ">   hello", ">230 Done"},
                 "230 Done"},
        ReplyRow{"BodyWithOtherDigitsAndEmptyLine",
                 "211-Features:\r\n\r\n200-not the end\r\n 200 padded\r\n211-more\r\n211 End\r\n",
                 211,
                 {">211-Features:", ">200-not the end", "> 200 padded", ">211-more", ">211 End"},
                 "211 End"},
        ReplyRow{"CrAnythingLf", "200 first\rjunk\n", 200, {">200 first"}, "200 first"},
        ReplyRow{"PartialLineAtClose", "220 partial", 220, {">220 partial"}, "220 partial"},
        // The log line (">" and 511 characters) is cut to the sink's 511 bytes.
        ReplyRow{"Longest",
                 "200 " + std::string(507, 'x') + "\r\n",
                 200,
                 {">200 " + std::string(506, 'x')},
                 "200 " + std::string(507, 'x')},
        ReplyRow{
            "NulInsideIsCutInTheLog", std::string("200 a\0b\r\n", 9), 200, {">200 a"}, "200 a"}),
    [](const ::testing::TestParamInfo<ReplyRow>& row) { return row.param.name; });

struct FailureRow {
    const char* name;
    std::string bytes;
    std::vector<std::string> loggedBefore;
};

class ReplyFailureTest : public ControlConnectionTest,
                         public ::testing::WithParamInterface<FailureRow> {};

TEST_P(ReplyFailureTest, FailsWith421AndTheReceiveLine) {
    const FailureRow& row = GetParam();
    peer.Send(row.bytes).Close();
    Connect();
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, false), 421);
    EXPECT_STREQ(reply.codeText.data(), "421");
    std::vector<LogCapture::Line> lines = log.Take();
    ASSERT_EQ(lines.size(), row.loggedBefore.size() + 1);
    for (size_t index = 0; index < row.loggedBefore.size(); ++index) {
        EXPECT_EQ(lines[index].text, row.loggedBefore[index]);
    }
    EXPECT_EQ(lines.back().kind, "LogRaw");
    EXPECT_EQ(lines.back().text.rfind(kReceiveFailed, 0), 0u) << lines.back().text;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReplyFailureTest,
    ::testing::Values(
        FailureRow{"EmptyFirstLine", "\r\n200 OK\r\n", {}},
        FailureRow{"ShortFirstLine", "20\r\n", {}}, FailureRow{"NothingBeforeClose", "", {}},
        FailureRow{"OverlongLine", "200 " + std::string(508, 'x') + "\r\n", {}},
        FailureRow{"ClosedInsideMultiLine", "220-one\r\n220-two\r\n", {">220-one", ">220-two"}},
        FailureRow{"ClosedAfterShortBodyLines", "220-one\r\n22\r\n\r\n", {">220-one"}}),
    [](const ::testing::TestParamInfo<FailureRow>& row) { return row.param.name; });

// A multi-line reply of `lines` lines and exactly `bytes` bytes (CR LF included).
std::string ReplyOfSize(size_t lines, size_t bytes) {
    const std::string head = "220-start\r\n";
    const std::string tail = "220 end\r\n";
    size_t bodyLines = lines - 2;
    size_t body = bytes - head.size() - tail.size();
    std::string reply = head;
    for (size_t line = 0; line < bodyLines; ++line) {
        size_t length = body / (bodyLines - line);
        reply += std::string(length - 2, 'x') + "\r\n";
        body -= length;
    }
    return reply + tail;
}

TEST_F(ControlConnectionTest, RepliesUpToTheirLimitsAreRead) {
    struct Row {
        size_t lines;
        size_t bytes;
    };
    for (const Row& row : {Row{1000, 12000}, Row{140, 65536}}) {
        SCOPED_TRACE(row.lines);
        const std::string bytes = ReplyOfSize(row.lines, row.bytes);
        ASSERT_EQ(bytes.size(), row.bytes);
        LogCapture rowLog;
        ScriptedPeer server;
        server.Send(bytes).ReadToEnd();
        ASSERT_TRUE(server.Start());
        SessionWorker rowSession;
        ASSERT_TRUE(rowSession.control.Create());
        ASSERT_TRUE(rowSession.control.Connect("127.0.0.1", server.port()));
        ASSERT_TRUE(rowSession.control.SetBuffer(4096));
        FtpReply reply;
        EXPECT_EQ(ReadReply(rowSession, reply, true), 220);
        EXPECT_STREQ(reply.lastLine.data(), "220 end");
        EXPECT_EQ(rowLog.TakeTexts().size(), row.lines);
        EXPECT_FALSE(rowSession.controlLost);
    }
}

struct ProtocolErrorRow {
    const char* name;
    std::string bytes;
    size_t linesLogged;      // reply lines logged with ">" before the error
    std::string lastLogged;  // the last of them
    std::string error;
};

class ProtocolErrorTest : public ControlConnectionTest,
                          public ::testing::WithParamInterface<ProtocolErrorRow> {};

// The exchange ends as with a lost connection: 421, the "***" line, and nothing that
// follows on the connection is read any more.
TEST_P(ProtocolErrorTest, EndsTheExchange) {
    const ProtocolErrorRow& row = GetParam();
    peer.Send(row.bytes + "200 After the error\r\n").ReadToEnd();
    Connect();
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, true), 421);
    EXPECT_STREQ(reply.codeText.data(), "421");
    EXPECT_TRUE(session.controlLost);
    std::vector<LogCapture::Line> lines = log.Take();
    ASSERT_EQ(lines.size(), row.linesLogged + 1);
    if (row.linesLogged > 0) {
        EXPECT_EQ(lines[row.linesLogged - 1], (LogCapture::Line{"LogCmd", row.lastLogged}));
    }
    EXPECT_EQ(lines.back(), (LogCapture::Line{"LogExt", "*** Protocol error: " + row.error +
                                                            "; connection closed"}));
    EXPECT_EQ(ReadReply(session, reply, false), 421);
    EXPECT_EQ(log.TakeTexts().back().rfind(kReceiveFailed, 0), 0u);
}

const std::string kNoReply = "a line that is no FTP reply";

INSTANTIATE_TEST_SUITE_P(
    ProtocolErrors, ProtocolErrorTest,
    ::testing::Values(
        ProtocolErrorRow{"TwoDigitCode", "22 hello\r\n", 1, ">22 hello", kNoReply},
        ProtocolErrorRow{"FourDigitCode", "2200 hello\r\n", 1, ">2200 hello", kNoReply},
        ProtocolErrorRow{"FourthCharacterNeitherBlankNorDash", "220x\r\n220 ready\r\n", 1, ">220x",
                         kNoReply},
        ProtocolErrorRow{"NonDigitCode", "abc def\r\n", 1, ">abc def", kNoReply},
        ProtocolErrorRow{"FirstDigitOutsideOneToFive", "020 early\r\n", 1, ">020 early", kNoReply},
        ProtocolErrorRow{"LeadingBlank", " 220 ready\r\n", 1, "> 220 ready", kNoReply},
        ProtocolErrorRow{"MultiLineEndedByAnotherCode",
                         "220-Welcome\r\n230 Logged in\r\n220 ready\r\n", 2, ">230 Logged in",
                         "reply 220 ended by code 230"},
        ProtocolErrorRow{"MoreThan1000Lines", ReplyOfSize(1001, 12000), 1000,
                         ">" + std::string(10, 'x'), "a reply of more than 1,000 lines"},
        ProtocolErrorRow{"EndlessEmptyLines", "220-Welcome\r\n" + std::string(2000, '\n'), 1,
                         ">220-Welcome", "a reply of more than 1,000 lines"},
        ProtocolErrorRow{"MoreThan64KiB", ReplyOfSize(140, 65537), 139, ">" + std::string(473, 'x'),
                         "a reply of more than 64 KiB"}),
    [](const ::testing::TestParamInfo<ProtocolErrorRow>& row) { return row.param.name; });

TEST_F(ControlConnectionTest, RepliesArrivingByteByByteReadTheSame) {
    const std::string reply = "230-Welcome\r\n   hello\r\n230 Done\r\n";
    for (char byte : reply) {
        peer.Send(std::string(1, byte)).Delay(std::chrono::milliseconds(1));
    }
    peer.Close();
    Connect();
    FtpReply reply1;
    EXPECT_EQ(ReadReply(session, reply1, true), 230);
    EXPECT_STREQ(reply1.lastLine.data(), "230 Done");
    EXPECT_EQ(log.TakeTexts().size(), 3u);
}

TEST_F(ControlConnectionTest, AfterAbortThe426Or225IsPassedOver) {
    peer.Send("150 Opening\r\n426 Aborted\r\n226 Closing\r\n225 Abort ok\r\n200 Next\r\n").Close();
    Connect();
    session.abortSent = true;
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, false), 150);
    EXPECT_EQ(ReadReply(session, reply, true), 226);
    EXPECT_STREQ(reply.lastLine.data(), "226 Closing");
    EXPECT_EQ(ReadReply(session, reply, false), 200);
    EXPECT_EQ(log.TakeTexts(),
              (std::vector<std::string>{">150 Opening", ">426 Aborted", ">226 Closing",
                                        ">225 Abort ok", ">200 Next"}));
}

// vsftpd finishes a transfer before it reads ABOR: 426 for the transfer, then 225 for the
// ABOR, and nothing after it. Waiting for a third reply would hang the session.
TEST_F(ControlConnectionTest, AfterAbortOnlyOneReplyIsPassedOver) {
    peer.Send("426 Failure writing network stream.\r\n225 No transfer to ABOR.\r\n");
    peer.ReadToEnd();
    Connect();
    session.abortSent = true;
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, true), 225);
    EXPECT_STREQ(reply.lastLine.data(), "225 No transfer to ABOR.");
}

TEST_F(ControlConnectionTest, WithoutAbortA426IsTheReply) {
    peer.Send("426 Connection closed\r\n").Close();
    Connect();
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, false), 426);
}

// FEAT's answer as real servers send it, read whole and taken apart, and the facts then
// asked for.
TEST_F(ControlConnectionTest, FeatureRepliesGiveTheFeatureSet) {
    struct Row {
        const char* server;
        std::string bytes;
        bool mlst, utf8, size, mdtm;
        const char* factsToAsk;
        bool uniqueFact = true;
    };
    const Row rows[] = {
        {"pyftpdlib",
         "211-Features supported:\r\n EPRT\r\n EPSV\r\n MDTM\r\n MFMT\r\n"
         " MLST type*;perm*;size*;modify*;unique*;unix.mode;unix.uid;unix.gid;\r\n"
         " REST STREAM\r\n SIZE\r\n TVFS\r\n UTF8\r\n211 End FEAT.\r\n",
         true, true, true, true, "type;size;modify;unique;unix.mode;"},
        {"vsftpd",
         "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n PASV\r\n REST STREAM\r\n SIZE\r\n"
         " TVFS\r\n211 End\r\n",
         false, false, true, true, "", false},
        {"ProFTPD",
         "211-Features:\r\n LANG en-US*\r\n MDTM\r\n MFMT\r\n"
         " MLST modify*;perm*;size*;type*;unique*;UNIX.group*;UNIX.mode*;UNIX.owner*;\r\n"
         " UTF8\r\n SIZE\r\n211 End\r\n",
         true, true, true, true, ""},
        // Lower case counts, also on a line ended by LF alone; a longer name, a line without
        // the blank and the first and last lines' text do not.
        {"odd",
         "211-mlst SIZE\r\n mlst Size;Modify*;UNIX.MODE;x.y\n utf8\r\n MDTMX\r\nSIZE\r\n"
         "211 SIZE\r\n",
         true, true, false, false, "Size;Modify;UNIX.MODE;", false},
        {"unique only", "211-x\r\n MLST Unique;\r\n211 End\r\n", true, false, false, false,
         "Unique;"},
        {"none", "211 No features\r\n", false, false, false, false, "", false},
    };
    // One connection carries them all, one reply after the other.
    std::string bytes;
    for (const Row& row : rows) {
        bytes += row.bytes;
    }
    peer.Send(bytes).Close();
    Connect();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.server);
        std::string lines;
        FtpReply reply;
        reply.lines = &lines;
        ASSERT_EQ(ReadReply(session, reply, false), 211);
        const ServerFeatures features = ParseFeatureReply(lines);
        EXPECT_EQ(features.mlst, row.mlst);
        EXPECT_EQ(features.utf8, row.utf8);
        EXPECT_EQ(features.size, row.size);
        EXPECT_EQ(features.mdtm, row.mdtm);
        EXPECT_EQ(MlstFactsToAsk(features), row.factsToAsk);
        EXPECT_EQ(features.uniqueFact, row.uniqueFact);
    }
}

TEST(LogNetFailure, NamesTheSocketError) {
    LogCapture log;
    SessionWorker session;
    ASSERT_TRUE(session.control.Create());
    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(session.control.LocalAddress(&address, &port));
    session.control.Close();
    ASSERT_TRUE(session.control.Create());
    EXPECT_FALSE(session.control.Connect("127.0.0.1", port));
    LogNetFailure("Failed to connect");
    EXPECT_EQ(
        log.Take(),
        (std::vector<LogCapture::Line>{{"LogRaw", "@@@ Failed to connect -> WSAECONNREFUSED"}}));
}

class RecordingObserver : public SessionObserver {
  public:
    void OnTransferEnded(uint32_t tick) override { ended.push_back(tick); }
    std::vector<uint32_t> ended;
};

TEST(TransferSummary, FormatsSizeTimeAndRateAndPublishesTheCount) {
    SetNumberSeparatorsForTesting('.', ',');
    LogCapture log;
    QueueId xfer = log.heap().OpenQueue("^Xfer$");
    RecordingObserver observer;
    SessionWorker session;
    session.observer = &observer;

    LogTransferSummaryAt(session, "received", 1572864, 1000, 4520);
    LogTransferSummaryAt(session, "sent", 0x123456789ull, 77, 77);
    LogTransferSummaryAt(session, "received", 5000, 0xFFFFFF00u, 0x00000100u);
    EXPECT_EQ(log.Take(),
              (std::vector<LogCapture::Line>{
                  {"LogExt", "... received 1.50 MB (1,572,864 bytes) in 3.52 (436 KB/s)"},
                  {"LogExt", "... sent 4.55 GB (4,886,718,345 bytes) in 0.00"},
                  {"LogExt", "... received 4.88 KB (5,000 bytes) in 0.51 (9.54 KB/s)"}}));
    EXPECT_EQ(observer.ended, (std::vector<uint32_t>{4520, 77, 0x100}));
    // The meters' session totals: the bytes, and the times across the tick counter's wrap.
    EXPECT_EQ(session.meter.endedBytes.load(), 1572864u + 0x123456789ull + 5000u);
    EXPECT_EQ(session.meter.endedMilliseconds.load(), 3520u + 0u + 0x200u);

    int32_t pair[2];
    char topic[8];
    uint32_t topicLength = sizeof topic;
    ASSERT_EQ(log.heap().ReceiveIntPair(xfer, topic, &topicLength, pair), kWantBoth);
    EXPECT_EQ(pair[0], 1572864);
    EXPECT_EQ(pair[1], 0);
    topicLength = sizeof topic;
    ASSERT_EQ(log.heap().ReceiveIntPair(xfer, topic, &topicLength, pair), kWantBoth);
    EXPECT_EQ(static_cast<uint32_t>(pair[0]), 0x23456789u);
    EXPECT_EQ(pair[1], 1);
}

TEST(RawListingLog, TogglesAndNamesTheLanguage) {
    LogCapture log;
    SessionWorker session;
    session.listingLanguage = 0x407;
    ToggleRawListingLog(session);
    EXPECT_TRUE(session.rawListingLog);
    ToggleRawListingLog(session);
    EXPECT_FALSE(session.rawListingLog);
    EXPECT_EQ(log.TakeTexts(), (std::vector<std::string>{"[\"raw\" directory data logging ON]",
                                                         "[Using language ID 0x0407]",
                                                         "[\"raw\" directory data logging OFF]"}));
}

}  // namespace
}  // namespace qvex
