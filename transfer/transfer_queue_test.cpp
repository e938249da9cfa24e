// The user's stop and the composing of downloads: what reaches the wire, the queue, the log
// and the settings.
#include "transfer/transfer_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "platform/local_file.h"
#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/scripted_session.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"

namespace qvex {
namespace {

using Lines = std::vector<std::string>;

const char kAbor[] =
    "\xFF\xF4\xFF\xF2"
    "ABOR\r\n";

// A payload that tells when the queue lets go of it.
struct Watched : CommandPayload {
    explicit Watched(int& count) : released(count) {}
    ~Watched() override { ++released; }
    int& released;
};

// The session is connected to a server that only listens.
class Stop : public test::ScriptedSessionTest {
  public:
    void SetUp() override {
        peer.ReadToEnd();
        Connect();
        titles = log.heap().OpenQueue("^AppTitle$");
    }
    void Queue(int count) {
        for (int index = 0; index < count; ++index) {
            PostCommand(session, kCommandGet, "/tmp", 0, 0, 3, std::make_unique<Watched>(released));
        }
    }
    Lines Logged() {
        Lines lines;
        for (const auto& line : log.Take()) {
            lines.push_back(line.kind + " " + line.text);
        }
        return lines;
    }
    // Title messages published since the last call.
    uint32_t TitleCount() {
        uint32_t pending = log.heap().PendingCount(titles);
        return pending - std::exchange(titlesSeen, pending);
    }
    // Nothing may be left to take from the command semaphore.
    bool SignalEmpty() { return !session.commandSignal.try_acquire(); }

    int released = 0;
    QueueId titles = 0;
    uint32_t titlesSeen = 0;
};

TEST_F(Stop, IdleWithCommandsQueuedFlushesWithoutAbor) {
    Queue(3);
    abortTransfers(session);
    EXPECT_EQ(WireBytes(), "");
    EXPECT_EQ(Logged(), Lines{"LogExt Queue flushed"});
    EXPECT_TRUE(session.queue.empty());
    EXPECT_EQ(released, 3) << "each command's payload goes with it";
    EXPECT_TRUE(SignalEmpty());
    EXPECT_TRUE(session.abortRequested);
    EXPECT_FALSE(session.abortSent);
    EXPECT_EQ(TitleCount(), 1u);
}

TEST_F(Stop, IdleWithNothingQueuedSaysNothing) {
    abortTransfers(session);
    EXPECT_EQ(WireBytes(), "");
    EXPECT_EQ(Logged(), Lines{});
    EXPECT_EQ(TitleCount(), 0u);
    EXPECT_TRUE(session.abortRequested) << "a command that starts now still stops";
}

// ABOR goes out once per command, with the Telnet interrupt before it, however often the
// user presses stop.
TEST_F(Stop, ARunningTransferGetsOneUrgentAbor) {
    struct Row {
        int queued;
        const char* line;
    };
    const Row rows[] = {{0, "LogExt Transfer terminated"},
                        {2, "LogExt Transfer terminated, queue flushed"}};
    std::string wire;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        session.abortSent = false;  // the worker clears it after every command
        session.transferActive = true;
        Queue(row.queued);
        abortTransfers(session);
        abortTransfers(session);
        EXPECT_EQ(Logged(), (Lines{"LogCmd <ABOR", row.line}));
        EXPECT_TRUE(session.abortSent);
        EXPECT_TRUE(session.queue.empty());
        EXPECT_TRUE(SignalEmpty());
        EXPECT_EQ(TitleCount(), 1u);
        wire += kAbor;
    }
    EXPECT_EQ(WireBytes(), wire);
    EXPECT_EQ(released, 2);
}

TEST_F(Stop, AQueuedEndOfSessionIsWithdrawn) {
    Queue(1);
    PostCommand(session, kCommandEndSession, {}, 0, kExitProgram);
    ASSERT_TRUE(session.quitQueued);
    Queue(1);
    ASSERT_EQ(session.queue.size(), 2u) << "nothing is queued behind an end of session";
    abortTransfers(session);
    EXPECT_FALSE(session.quitQueued);
    EXPECT_TRUE(session.queue.empty());
    EXPECT_TRUE(SignalEmpty());
    EXPECT_EQ(Logged(), Lines{"LogExt Queue flushed"});
    Queue(1);
    EXPECT_EQ(session.queue.size(), 1u) << "the session takes commands again";
    EXPECT_EQ(WireBytes(), "");
}

// --- the toolbar ---------------------------------------------------------------------------

TEST(TransferModeModel, TheTwoTypeTogglesGiveTheMode) {
    struct Row {
        bool text;
        bool image;
        TransferType mode;
    };
    const Row rows[] = {{true, false, TransferType::Text},
                        {false, true, TransferType::Image},
                        {true, true, TransferType::Smart},
                        {false, false, TransferType::Smart}};
    for (const Row& row : rows) {
        for (bool updateOnly : {false, true}) {
            TransferModeModel toggles;
            toggles.SetForceText(row.text);
            toggles.SetForceImage(row.image);
            toggles.SetUpdateOnly(updateOnly);
            EXPECT_EQ(toggles.currentTransferMode(), row.mode) << row.text << row.image;
            EXPECT_EQ(toggles.updateOnly(), updateOnly);
        }
    }
    for (TransferType mode : {TransferType::Text, TransferType::Image, TransferType::Smart}) {
        TransferModeModel toggles;
        toggles.SetForceText(true);
        toggles.SetForceImage(true);
        toggles.SetMode(mode);
        EXPECT_EQ(toggles.currentTransferMode(), mode);
    }
}

// --- composing a download ------------------------------------------------------------------

struct Asked {
    std::string title;
    std::string text;
    bool operator==(const Asked&) const = default;
};

// The remote view shows "/pub" with four entries; the local folder holds copies of some.
class Composing : public ::testing::Test {
  public:
    void SetUp() override {
        settings.LoadSettings();
        pub = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
        for (const char* name : {"a.txt", "docs", "new.txt", "latest"}) {
            RemoteEntry entry;
            entry.name = name;
            if (entry.name == "docs") {
                entry.flags = kEntryDirectory;
            } else if (entry.name == "latest") {
                entry.flags = kEntrySymLink;
                entry.linkTarget = "dist/rel.bin";
            }
            (void)cache.AppendEntry(pub, std::move(entry));
        }
        folder = env.path("downloads");
        ASSERT_TRUE(platform::MakeLocalFolder(folder));
        ASSERT_TRUE(platform::MakeLocalFolder(folder + "/docs"));
        test::WriteFileBytes(folder + "/a.txt", "a");
        test::WriteFileBytes(folder + "/rel.bin", "r");
    }
    // Answers in turn, recording what was asked.
    ConfirmOverwrite Answers(std::vector<OverwriteAnswer> answers) {
        return [this, answers = std::move(answers)](const std::string& title,
                                                    const std::string& text) {
            asked.push_back({title, text});
            return asked.size() <= answers.size() ? answers[asked.size() - 1]
                                                  : OverwriteAnswer::Cancel;
        };
    }
    DownloadComposition Compose(const ConfirmOverwrite& confirm, std::string to = {},
                                DownloadOrigin origin = DownloadOrigin::RemoteView) {
        DownloadSelection selection;
        selection.origin = origin;
        selection.directoryId = pub;
        selection.positions = {0, 1, 2, 3};
        selection.folder = to.empty() ? folder : to;
        return composeDownload(session, cache, settings, toggles, selection, confirm);
    }
    // The one queued command, as "kind text b c" and its payload.
    std::string Queued() {
        if (session.queue.size() != 1) {
            return std::to_string(session.queue.size()) + " commands";
        }
        const SessionCommand& command = session.queue.front();
        std::string text = std::to_string(command.kind) + " " + command.text + " " +
                           std::to_string(command.b) + " " + std::to_string(command.c) + " [";
        if (auto* list = dynamic_cast<const PositionList*>(command.object.get())) {
            for (int32_t position : list->positions) {
                text += std::to_string(position) + ",";
            }
        } else if (auto* names = dynamic_cast<const NameList*>(command.object.get())) {
            for (const std::string& name : names->names) {
                text += name + ",";
            }
        }
        return text + "]";
    }
    std::string Command(int32_t flags, const std::string& items) {
        return "4 " + folder + " " + std::to_string(flags) + " " + std::to_string(pub) + " [" +
               items + "]";
    }
    Asked FileQuestion(const std::string& name) {
        return {
            "Get file(s) as...",
            folder + "/" + name + "\r\nThis file already exists.\r\n\r\nReplace existing file?"};
    }
    Asked FolderQuestion(const std::string& name) {
        return {"Get file(s) as...",
                folder + "/" + name +
                    "\r\nThis directory already exists.\r\n\r\nReplace contained existing files?"};
    }

    test::TempEnv env;
    platform::RegistryFile registry;
    Settings settings{registry};
    test::LogCapture log;
    SessionWorker session;
    ListingCache cache;
    TransferModeModel toggles;
    std::string folder;
    std::vector<Asked> asked;
    int32_t pub = -1;
};

TEST_F(Composing, AnUnusableFolderQueuesNothing) {
    const std::string file = folder + "/a.txt";
    for (const std::string& to : {env.path("missing"), file}) {
        SCOPED_TRACE(to);
        DownloadComposition result = Compose(Answers({}), to);
        EXPECT_FALSE(result.queued);
        EXPECT_TRUE(session.queue.empty());
        EXPECT_TRUE(asked.empty());
        std::vector<test::LogCapture::Line> lines = log.Take();
        EXPECT_EQ(lines,
                  (std::vector<test::LogCapture::Line>{{"LogRaw", "@@@ Invalid drop folder"}}));
    }
    EXPECT_EQ(settings.GetString("LastXDir"), "") << "nothing is remembered";
}

// Each existing local copy is confirmed: a file, a folder, and a link under its target's name.
TEST_F(Composing, YesKeepsNoDeselectsAndTheRestIsQueued) {
    toggles.SetMode(TransferType::Image);
    DownloadComposition result =
        Compose(Answers({OverwriteAnswer::Yes, OverwriteAnswer::No, OverwriteAnswer::Yes}));
    EXPECT_TRUE(result.queued);
    EXPECT_EQ(result.deselected, std::vector<int32_t>{1});
    EXPECT_EQ(asked, (std::vector<Asked>{FileQuestion("a.txt"), FolderQuestion("docs"),
                                         FileQuestion("rel.bin")}));
    EXPECT_EQ(Queued(), Command(1, "0,2,3,"));
    EXPECT_EQ(settings.GetInt("LastXMode"), 1);
    EXPECT_EQ(settings.GetString("LastXDir"), folder);
    EXPECT_EQ(log.Take(), std::vector<test::LogCapture::Line>{});
}

TEST_F(Composing, CancelOrNoForEveryEntryQueuesNothing) {
    struct Row {
        const char* name;
        std::vector<OverwriteAnswer> answers;
        size_t questions;
    };
    const Row rows[] = {
        {"cancel first", {OverwriteAnswer::Cancel}, 1},
        {"cancel after a yes", {OverwriteAnswer::Yes, OverwriteAnswer::Cancel}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        asked.clear();
        DownloadComposition result = Compose(Answers(row.answers));
        EXPECT_FALSE(result.queued);
        EXPECT_EQ(asked.size(), row.questions);
        EXPECT_TRUE(session.queue.empty());
    }
    // With only existing entries selected, No for each leaves nothing.
    DownloadSelection selection;
    selection.directoryId = pub;
    selection.positions = {0, 1, 3};
    selection.folder = folder;
    asked.clear();
    DownloadComposition result =
        composeDownload(session, cache, settings, toggles, selection,
                        Answers({OverwriteAnswer::No, OverwriteAnswer::No, OverwriteAnswer::No}));
    EXPECT_FALSE(result.queued);
    EXPECT_EQ(result.deselected, (std::vector<int32_t>{0, 1, 3}));
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_TRUE(session.queue.empty());
}

TEST_F(Composing, UpdateOnlyOrTheSettingOffAsksNothing) {
    toggles.SetUpdateOnly(true);
    EXPECT_TRUE(Compose(Answers({})).queued);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(Queued(), Command(2 | kTransferUpdateOnly, "0,1,2,3,"));
    EXPECT_EQ(settings.GetInt("LastXMode"), 2);
    session.queue.clear();

    toggles.SetUpdateOnly(false);
    toggles.SetMode(TransferType::Text);
    settings.SetInt("LocalOverwrite1", 0);
    EXPECT_TRUE(Compose(Answers({})).queued);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(Queued(), Command(0, "0,1,2,3,"));
    EXPECT_EQ(settings.GetInt("LastXMode"), 0);
}

// Search results are queued by name with source kind 2 and their own overwrite setting.
TEST_F(Composing, SearchResultsGoByNameUnderTheirOwnSetting) {
    settings.SetInt("LocalOverwrite1", 0);
    settings.SetInt("LocalOverwrite2", 1);
    DownloadComposition result =
        Compose(Answers({OverwriteAnswer::No, OverwriteAnswer::Yes, OverwriteAnswer::Yes}), {},
                DownloadOrigin::SearchResults);
    EXPECT_TRUE(result.queued);
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_EQ(Queued(), Command(2 | (2 << kTransferSourceShift), "docs,new.txt,latest,"));
}

}  // namespace
}  // namespace qvex
