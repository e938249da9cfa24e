#include "log/log_line_class.h"

namespace qvex {

int LogLineClass(std::string_view line) {
    if (line.empty()) {
        return kLogClassInfo;
    }
    switch (line[0]) {
        case '<':
            return kLogClassCommand;
        case '>':
            if (line.size() > 1 && line[1] >= '1' && line[1] <= '5') {
                return line[1] - '0';
            }
            return kLogClassReply2;
        case '!':
        case '@':
            return kLogClassImportant;
        default:
            return kLogClassInfo;
    }
}

const std::array<LogClassColor, 9> kLogClassColors = {{
    {216, 216, 216},
    {196, 248, 248},
    {196, 248, 196},
    {248, 248, 196},
    {248, 196, 248},
    {248, 196, 196},
    {196, 196, 248},
    {255, 230, 205},
    {247, 247, 247},
}};

const std::array<LogKeySwatch, 8> kLogColorKey = {{
    {kLogClassCommand, "FTP server command (sent from client to server)"},
    {kLogClassReply1,
     "FTP server response: \"Positive Preliminary reply\" (expect additional response)"},
    {kLogClassReply2, "FTP server response: \"Positive Completion reply\" (ready for next reqest)"},
    {kLogClassReply3,
     "FTP server response: \"Positive Intermediate reply\" (more information required)"},
    {kLogClassReply4,
     "FTP server response: \"Transient Negative Completion reply\" (MAY work later)"},
    {kLogClassReply5,
     "FTP server response: \"Permanent Negative Completion reply\" (will NOT work)"},
    {kLogClassInfo, "Additional information for FTP commands and responses (from Qvex)"},
    {kLogClassImportant, "Important NON-FTP errors and failures (from Qvex)"},
}};

}  // namespace qvex
