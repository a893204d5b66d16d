// The relative folder of a source path: the store folder (backslash-joined
// names below the store's top) that receives the message.
//
// Which path is which: a path that starts with "/" is POSIX; anything else
// gets the Windows-form string algorithm, under which drive-letter paths
// work and network paths, empty rows and bare names fail.
//   Windows form: C:\Mail\2009\a.msg -> Mail\2009 (spaces around the path and
//     around the part after the drive colon are ignored).
//   POSIX: /home/ann/Mail/2009/a.msg -> home\ann\Mail\2009. A name holding a
//     backslash keeps it as U+FF3C so it cannot split into two folders; bytes
//     that are not UTF-8 become U+FFFD (the file itself is opened by its exact
//     bytes). Empty and "." components are skipped and ".." steps back, as in
//     a lexically normalised path.
#pragma once

#include <string>

namespace qm::convert {

bool IsPosixPath(const std::string& path);

// Throws NumberedError: 9 when a Windows-form path has no drive colon (or no
// text after it), 5 when the file lies directly in a drive root or in "/".
std::string GetRelativeFolder(const std::string& path);
std::string GetRelativeFolderWindows(const std::string& path);
std::string GetRelativeFolderPosix(const std::string& path);

// The path the engine opens: POSIX paths exactly as listed (names may begin or
// end with spaces), Windows-form paths without surrounding spaces.
std::string SourcePathForImport(const std::string& path);

// Surrounding space characters (only U+0020) removed.
std::string TrimSpaces(const std::string& text);

// `name` as valid UTF-8 (each byte that is not part of a valid sequence
// becomes U+FFFD) with every backslash replaced by U+FF3C.
std::string StoreFolderName(const std::string& name);

}  // namespace qm::convert
