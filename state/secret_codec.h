#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qvex {

// Reversible encodings for what the registry file must not show in plain text: passwords,
// user names and URLs (which may carry a password). They keep a casual reader from seeing
// a secret; they are not encryption.
//
// Secret form: every byte XORed with a fixed key stream (s0 = 0xA7, s(i+1) = s(i) * 37 + 101
// mod 256), then written as two upper-case hexadecimal digits. Any byte string, including
// the empty one, round-trips. Decoding accepts either case of hex digits.
//
// The older "AuthPasswd" value (written before 2.1.2) uses this same secret form.

[[nodiscard]] std::string EncodeSecret(std::string_view plain);
// nullopt for an odd length or a character that is not a hexadecimal digit.
[[nodiscard]] std::optional<std::string> DecodeSecret(std::string_view encoded);

// A host entry's stored name (its "Hosts" and "PerHost" value name): the URL in secret form.
// Registry value names compare without regard to case, and upper-case hex stays unique under
// that comparison, so two URLs never share a stored name.
[[nodiscard]] std::string EncodeHostName(std::string_view url);
[[nodiscard]] std::optional<std::string> DecodeHostName(std::string_view storedName);

// "AuthData": the user name in secret form, ":", the password in secret form. ':' never
// occurs in the secret form, so the split is unambiguous. The empty text (the value's
// default) decodes to an empty user name and password.
[[nodiscard]] std::string EncodeAuthData(std::string_view user, std::string_view password);
// nullopt unless the text is empty or exactly two secret forms joined by one ':'.
[[nodiscard]] std::optional<std::pair<std::string, std::string>> DecodeAuthData(
    std::string_view text);

}  // namespace qvex
