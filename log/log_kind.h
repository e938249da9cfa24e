#pragma once

namespace qvex {

// The three kinds of log message, published under these bus topics. The receiver tells
// them apart by the fourth character of the name alone.
inline constexpr const char* kLogCmd = "LogCmd";  // FTP commands sent and replies received
inline constexpr const char* kLogExt = "LogExt";  // the client's extended output
inline constexpr const char* kLogRaw = "LogRaw";  // the client's non-protocol errors, always shown

inline constexpr const char* kLogPagePattern = "^Log(Cmd|Ext|Raw)$";
inline constexpr const char* kRemotePanePattern = "^Log(Cmd|Raw)$";

// A log line is at most this many bytes, plus its NUL on the bus.
inline constexpr unsigned kMaxLogLine = 511;

}  // namespace qvex
