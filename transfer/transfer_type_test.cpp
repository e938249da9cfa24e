#include "transfer/transfer_type.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/session_worker.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/scripted_session.h"

namespace qvex {
namespace {

using test::LogCapture;
using test::ScriptedPeer;
using Line = LogCapture::Line;

using RepresentationTypeTest = test::ScriptedSessionTest;

TEST_F(RepresentationTypeTest, SentOnlyWhenTheTypeChanges) {
    peer.ReadLine().SendLine("200 Type set to I.").ReadLine().SendLine("200 Type set to A.");
    peer.ReadToEnd();
    Connect();
    EXPECT_EQ(session.currentType, 0);
    // A listing right after login: ASCII is already in force.
    EXPECT_EQ(setRepresentationType(session, false), 200);
    EXPECT_EQ(setRepresentationType(session, true), 200);
    EXPECT_EQ(session.currentType, 1);
    EXPECT_EQ(setRepresentationType(session, true), 200);
    EXPECT_EQ(setRepresentationType(session, false), 200);
    EXPECT_EQ(session.currentType, 0);
    EXPECT_EQ(setRepresentationType(session, false), 200);
    EXPECT_EQ(WireBytes(), "TYPE I\r\nTYPE A N\r\n");
    EXPECT_EQ(log.Take(), (std::vector<Line>{{"LogCmd", "<TYPE I"},
                                             {"LogCmd", ">200 Type set to I."},
                                             {"LogCmd", "<TYPE A N"},
                                             {"LogCmd", ">200 Type set to A."}}));
}

TEST_F(RepresentationTypeTest, RefusedTypeIsNotRecordedAndIsSentAgain) {
    peer.ReadLine().SendLine("504 Command not implemented for that parameter.");
    peer.ReadLine().SendLine("200-Type set").SendLine("200 to I.");
    peer.ReadLine().SendLine("550 No ASCII here.");
    peer.ReadLine().SendLine("250 Fine.");
    peer.ReadToEnd();
    Connect();
    EXPECT_EQ(setRepresentationType(session, true), 504);
    EXPECT_EQ(session.currentType, 0);
    EXPECT_EQ(setRepresentationType(session, true), 200);
    EXPECT_EQ(session.currentType, 1);
    EXPECT_EQ(setRepresentationType(session, false), 550);
    EXPECT_EQ(session.currentType, 1);
    // Any 2xx reply records the type.
    EXPECT_EQ(setRepresentationType(session, false), 250);
    EXPECT_EQ(session.currentType, 0);
    EXPECT_EQ(WireBytes(), "TYPE I\r\nTYPE I\r\nTYPE A N\r\nTYPE A N\r\n");
}

// A server that knows only "TYPE A" gets it after refusing the non-print form; a refusal
// of that too is the result.
TEST_F(RepresentationTypeTest, RefusedNonPrintFormFallsBackToPlainAscii) {
    peer.ReadLine().SendLine("200 Binary.");
    peer.ReadLine().SendLine("504 Unsupported type \"A N\".");
    peer.ReadLine().SendLine("200 Type set to: ASCII.");
    peer.ReadLine().SendLine("200 Binary.");
    peer.ReadLine().SendLine("501 No.");
    peer.ReadLine().SendLine("504 Still no.");
    peer.ReadToEnd();
    Connect();
    EXPECT_EQ(setRepresentationType(session, true), 200);
    EXPECT_EQ(setRepresentationType(session, false), 200);
    EXPECT_EQ(session.currentType, 0);
    EXPECT_EQ(setRepresentationType(session, true), 200);
    EXPECT_EQ(setRepresentationType(session, false), 504);
    EXPECT_EQ(session.currentType, 1);
    EXPECT_EQ(WireBytes(), "TYPE I\r\nTYPE A N\r\nTYPE A\r\nTYPE I\r\nTYPE A N\r\nTYPE A\r\n");
}

TEST_F(RepresentationTypeTest, LostConnectionGives421) {
    peer.ReadLine().SendLine("421 Service not available, closing control connection.");
    peer.ReadToEnd().Close();
    Connect();
    EXPECT_EQ(setRepresentationType(session, true), 421);
    EXPECT_EQ(session.currentType, 0);
    EXPECT_EQ(WireBytes(), "TYPE I\r\n");
}

TEST_F(RepresentationTypeTest, ConnectionClosedWithoutReplyGives421) {
    peer.ReadLine().Close();
    Connect();
    EXPECT_EQ(setRepresentationType(session, true), 421);
    EXPECT_EQ(session.currentType, 0);
    EXPECT_EQ(WireBytes(), "TYPE I\r\n");
}

TEST_F(RepresentationTypeTest, FailedSendGives421WithoutWaitingForAReply) {
    // No connection at all: the send fails at once.
    session.currentType = 1;
    EXPECT_EQ(setRepresentationType(session, false), 421);
    EXPECT_EQ(session.currentType, 1);
    std::vector<Line> lines = log.Take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], (Line{"LogCmd", "<TYPE A N"}));
    EXPECT_EQ(lines[1].text.rfind("@@@ Send failed -> ", 0), 0u) << lines[1].text;
}

TEST(IsPdfName, MatchesOnlyTheTwoSpellings) {
    SessionWorker session;
    struct Row {
        const char* path;
        bool pdf;
    };
    const std::vector<Row> rows = {
        {"report.pdf", true},  {"report.PDF", true},          {"report.Pdf", false},
        {"report.pDF", false}, {"/home/u/docs/a.pdf", true},  {"a..pdf", true},
        {".pdf", false},       {"report.pdf.txt", false},     {"report.pdfx", false},
        {"reportpdf", false},  {"docs.pdf/notes.txt", false}, {"", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(isPdfName(session, row.path), row.pdf);
    }
}

TEST(SmartDownloadType, FirstBlockDecidesUnlessPdfOrEmpty) {
    LogCapture log;
    SessionWorker session;
    struct Row {
        const char* path;
        std::string block;
        EffectiveType expected;
        const char* name;
    };
    const std::vector<Row> rows = {
        {"/tmp/notes.txt", "one\ntwo\n", EffectiveType::LocalAscii, "Local-ASCII"},
        {"/tmp/notes.txt", "one\rtwo\r", EffectiveType::MacAscii, "Mac-ASCII"},
        {"/tmp/notes.txt", "one\r\ntwo\r\n", EffectiveType::DosAscii, "DOS-ASCII"},
        {"/tmp/notes.txt", "one\ntwo\r\n", EffectiveType::Image, "Image"},
        {"/tmp/data.bin",
         "\x7f"
         "ELF\x02\x01",
         EffectiveType::Image, "Image"},
        {"/tmp/notes.txt", "", EffectiveType::Image, "Image"},
        {"/tmp/paper.pdf", "one\ntwo\n", EffectiveType::Image, "Image"},
        {"/tmp/paper.PDF", "one\ntwo\n", EffectiveType::Image, "Image"},
        {"/tmp/paper.Pdf", "one\ntwo\n", EffectiveType::LocalAscii, "Local-ASCII"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " " + row.name);
        EXPECT_EQ(smartDownloadType(session, row.path, row.block.data(), row.block.size()),
                  row.expected);
        EXPECT_EQ(log.Take(),
                  (std::vector<Line>{{"LogExt", std::string("... auto-detected \"effective\" "
                                                            "transfer type: ") +
                                                    row.name}}));
    }
}

TEST(SmartUploadType, TextOnlyForLfTextThatIsNotPdf) {
    LogCapture log;
    SessionWorker session;
    struct Row {
        const char* path;
        std::string block;
        TransferType expected;
    };
    const std::vector<Row> rows = {
        {"/tmp/notes.txt", "one\ntwo\n", TransferType::Text},
        {"/tmp/notes.txt", "one\ntwo\r", TransferType::Text},
        {"/tmp/notes.txt", "one\r\ntwo\r\n", TransferType::Image},
        {"/tmp/notes.txt", "one\rtwo\r", TransferType::Image},
        {"/tmp/notes.txt", "caf\xe9\n", TransferType::Image},
        {"/tmp/notes.txt", "", TransferType::Image},
        {"/tmp/paper.pdf", "one\ntwo\n", TransferType::Image},
        {"/tmp/paper.PDF", "one\ntwo\n", TransferType::Image},
        {"/tmp/paper.Pdf", "one\ntwo\n", TransferType::Text},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + (" " + row.block));
        EXPECT_EQ(smartUploadType(session, row.path, row.block.data(), row.block.size()),
                  row.expected);
        std::string name = row.expected == TransferType::Text ? "Local-ASCII" : "Image";
        EXPECT_EQ(log.Take(),
                  (std::vector<Line>{{"LogExt", "... auto-detected transfer type: " + name}}));
    }
}

TEST(TransferFlags, ModeSourceKindAndUpdateOnly) {
    struct Row {
        int32_t flags;
        TransferType type;
        int32_t sourceKind;
    };
    const std::vector<Row> rows = {
        {0x00000000, TransferType::Text, 0},
        {0x00000001, TransferType::Image, 0},
        {0x00000102, TransferType::Smart, 0},
        {0x00010003, TransferType::Image, 1},
        {0x00030100, TransferType::Text, 3},
        {static_cast<int32_t>(0xFFFF0002u), TransferType::Smart, -1},
        {0x7FFF00FE, TransferType::Smart, 0x7FFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        EXPECT_EQ(transferTypeOf(row.flags), row.type);
        EXPECT_EQ(sourceKindOf(row.flags), row.sourceKind);
    }
    EXPECT_EQ(makeTransferFlags(TransferType::Smart, true, 2), 0x00020102);
    EXPECT_EQ(makeTransferFlags(TransferType::Image, false, 0), 0x00000001);
    EXPECT_EQ(makeTransferFlags(TransferType::Text, true, -1), static_cast<int32_t>(0xFFFF0100u));
    EXPECT_EQ(sourceKindOf(makeTransferFlags(TransferType::Text, false, -1)), -1);
}

TEST(TransferTypeNames, LettersLabelsAndOptionValues) {
    struct Row {
        TransferType type;
        char letter;
        const char* label;
        int32_t option;
    };
    const std::vector<Row> rows = {
        {TransferType::Text, 'a', "(text)", 1},
        {TransferType::Image, 'i', "(image)", 2},
        {TransferType::Smart, 'x', "(smart)", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.letter);
        EXPECT_EQ(transferTypeLetter(row.type), row.letter);
        EXPECT_STREQ(transferTypeLabel(row.letter), row.label);
        EXPECT_EQ(transferTypeOption(row.type), row.option);
        EXPECT_EQ(transferTypeFromOption(row.option), row.type);
    }
    for (char letter : {'A', 'X', 'G', 'b', '\0'}) {
        SCOPED_TRACE(static_cast<int>(letter));
        EXPECT_STREQ(transferTypeLabel(letter), "(image)");
    }
    for (int32_t value : {0, 4, -1, 256}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(transferTypeFromOption(value), std::nullopt);
    }
}

}  // namespace
}  // namespace qvex
