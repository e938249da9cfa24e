#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qvex {

// What a queued command asks the worker to do.
enum CommandKind : int32_t {
    kCommandList = 0,
    kCommandListToFile = 1,
    kCommandMakeDirectory = 2,
    kCommandDelete = 3,
    kCommandGet = 4,
    kCommandPut = 5,
    kCommandPrintDirectory = 6,
    kCommandEndSession = 7,
    kCommandRename = 8,
    kCommandSiteSearch = 9,
    kCommandSite = 10,
};
inline constexpr int32_t kCommandKindCount = 11;

// An object a command carries and owns (a list of entry positions, a text); the handler of
// the command's kind knows its real type.
struct CommandPayload {
    virtual ~CommandPayload() = default;
};

// A text carried by a command (the remote file name of a resumed download).
struct TextPayload : CommandPayload {
    explicit TextPayload(std::string value) : text(std::move(value)) {}
    std::string text;
};

// Names carried by a command: remote names to fetch, or local paths to send.
struct NameList : CommandPayload {
    NameList() = default;
    explicit NameList(std::vector<std::string> list) : names(std::move(list)) {}
    std::vector<std::string> names;
};

// One queued request to the session worker.
struct SessionCommand {
    int32_t kind = 0;
    std::string text;
    // The first extra argument: an integer, or an object owned by the command.
    int32_t a = 0;
    std::unique_ptr<CommandPayload> object;
    int32_t b = 0;
    // As a rule the id of a remote directory in the listing cache, or -1.
    int32_t c = -1;
};

}  // namespace qvex
