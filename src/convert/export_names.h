// File and folder names for messages and folders taken out of a store: a
// subject or a folder's display name made safe on every platform an export
// may be copied to (Linux, Windows, macOS), and the names to try in turn
// when one is taken. Pure functions: no file system.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::convert {

// What a name may hold at most. Characters count code points; bytes count
// UTF-8, since a Linux file system allows 255 bytes (NAME_MAX) and 100
// characters of CJK text already take 300.
constexpr size_t kMaxNameChars = 100;
constexpr size_t kMaxNameBytes = 255;

// `text` (UTF-8) as a name: / \ : * ? " < > | become '_'; control
// characters (C0, DEL, C1) become spaces; runs of spaces become one; no
// space or dot at either end (Windows drops them at the end, a leading dot
// hides a file on POSIX systems; so "." and ".." cannot result); a Windows device name (CON, NUL,
// COM1, ..., also before an extension) gets a leading '_'; cut, at a whole character, to `maxChars`
// characters and `maxBytes` bytes. An empty result is `fallback` (which must itself be safe).
std::string safeName(std::string_view text, std::string_view fallback,
                     size_t maxChars = kMaxNameChars, size_t maxBytes = kMaxNameBytes);

// The `n`th name to try for a safe `stem` with `extension` (".msg", or ""
// for a folder): "stem.msg" first (n = 1), then "stem (2).msg", ...; the
// stem is shortened so the whole name stays within kMaxNameChars and
// kMaxNameBytes.
std::string candidateName(const std::string& stem, std::string_view extension, unsigned n);

// A key under which two names clash on a case-insensitive file system
// (ASCII letters folded; other scripts compared exactly).
std::string clashKey(std::string_view name);

}  // namespace qm::convert
