// Errors shared by every layer. A format error names the file, the structure
// and the byte offset where the reader stopped believing the file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qm {

class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A failure that carries a number as well as its description: the window
// shows "number:description" for the failures of its own commands, and users
// and old logs know those numbers (5 invalid call, 6 overflow, 7 out of
// memory, 9 subscript out of range, 75 path access, 91 no object, 380
// invalid value, 457 duplicate key). what() is the description alone.
class NumberedError : public Error {
  public:
    NumberedError(int number, const std::string& description)
        : Error(description), number_(number) {}
    int number() const { return number_; }
    std::string description() const { return what(); }

  private:
    int number_;
};

inline constexpr int kErrInvalidCall = 5;
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrOutOfMemory = 7;
inline constexpr int kErrSubscript = 9;
inline constexpr int kErrPathAccess = 75;
inline constexpr int kErrNoObject = 91;
inline constexpr int kErrInvalidValue = 380;
inline constexpr int kErrDuplicateKey = 457;

// A file that does not follow its format. `offset` is -1 when no single
// offset is to blame (a count that disagrees with another, say).
class FormatError : public Error {
  public:
    FormatError(std::string file, std::string structure, int64_t offset, std::string what);

    const std::string& file() const { return file_; }
    const std::string& structure() const { return structure_; }
    int64_t offset() const { return offset_; }
    const std::string& reason() const { return reason_; }

    // The same error, told about a different file name (readers that work on
    // memory learn the path from their caller).
    FormatError withFile(std::string file) const;

  private:
    std::string file_;
    std::string structure_;
    int64_t offset_;
    std::string reason_;
};

// An operating-system failure on a path (open, read, write, flush).
class IoError : public Error {
  public:
    IoError(std::string path, std::string operation, int errnum);
    const std::string& path() const { return path_; }
    int errnum() const { return errnum_; }

  private:
    std::string path_;
    int errnum_;
};

}  // namespace qm
