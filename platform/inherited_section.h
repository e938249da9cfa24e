#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvex::platform {

// A list of file names handed to a started copy of the program through an unnamed memory
// section whose descriptor the new process inherits; the command line carries "-@" and the
// descriptor number in hexadecimal.
//
// Bytes of the list: each name followed by one NUL, one after another. The list ends at an
// empty name (a NUL where a name would begin) or at the end of the section; a last name
// that the end of the section cuts off without its NUL still counts.

// The bytes for `names`: each name and a NUL, nothing more (the end of the section ends the
// list). Nullopt when a name is empty or holds a NUL, as it could not be read back.
[[nodiscard]] std::optional<std::string> EncodeNameList(const std::vector<std::string>& names);

// The names in `bytes`, read as described above.
[[nodiscard]] std::vector<std::string> DecodeNameList(std::string_view bytes);

// The starting side: a sealed, read-only-from-now memory section holding the list, whose
// descriptor stays open across exec so the next started process inherits it. Close it once
// the process has been started.
class InheritedSection {
  public:
    InheritedSection() = default;
    InheritedSection(const InheritedSection&) = delete;
    InheritedSection& operator=(const InheritedSection&) = delete;
    ~InheritedSection();

    // Anything created before is closed first.
    [[nodiscard]] bool Create(const std::vector<std::string>& names);
    // The descriptor number in lower-case hexadecimal, as written after "-@".
    std::string HandleText() const;
    int descriptor() const { return fd_; }
    // Gives up ownership: the descriptor is no longer closed by this object.
    int Release();
    void Close();

  private:
    int fd_ = -1;
};

// The started side: parses the handle text (hexadecimal, either case), maps the section
// read-only, copies the names, unmaps it and closes the descriptor. Nullopt, with nothing
// closed, when the text is not a number or the descriptor is not a memory section (so a
// stray "-@ 1" cannot close the program's output).
[[nodiscard]] std::optional<std::vector<std::string>> TakeInheritedNames(
    std::string_view handleText);

}  // namespace qvex::platform
