#pragma once
// An internal failure ends the whole Python call. It travels as a C++
// exception so that every owner on the way out releases its resources; only
// the call frame of the binding catches it and raises PanicException.
#include <cstddef>
#include <exception>
#include <string>

#include "common/io_error.h"

namespace seqtally {

// Where a failure arose. std::source_location would do, but libstdc++'s
// version needs a builtin that clang 14 (the fuzzing compiler) lacks; these two
// builtins exist in both compilers.
struct SourceLocation {
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return SourceLocation{file, line};
    }
    const char* file_name;
    unsigned line;
};

class InternalFailure : public std::exception {
  public:
    explicit InternalFailure(std::string message,
                             SourceLocation where = SourceLocation::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }

    // A failure resumed from a PanicException that Python handed back has
    // already been reported; the frame writes no second report for it.
    bool already_reported() const noexcept { return already_reported_; }
    InternalFailure& mark_reported() noexcept {
        already_reported_ = true;
        return *this;
    }

  private:
    std::string message_;
    SourceLocation where_;
    bool already_reported_ = false;
};

// Throws "fixed_text: description": the one way an error value becomes the
// failure of a call.
[[noreturn]] inline void fail(const char* fixed_text, const std::string& description,
                              SourceLocation where = SourceLocation::current()) {
    std::string message = fixed_text;
    message += ": ";
    message += description;
    throw InternalFailure(std::move(message), where);
}

// A failed write to an output stream, with the error itself: the module
// reports the message like any failure; the library's engine names the
// output and gives the error in its own words.
class WriteFailure : public InternalFailure {
  public:
    WriteFailure(IoError error, SourceLocation where)
        : InternalFailure("Write failed: " + error.text(), where), error_(std::move(error)) {}
    const IoError& error() const noexcept { return error_; }

  private:
    IoError error_;
};

// Memory that could not be had: the module reports it like any failure,
// in the same words; the library's engine raises MemoryError for it, told
// by its type rather than by its message.
class AllocationFailure : public InternalFailure {
  public:
    explicit AllocationFailure(std::size_t size, SourceLocation where = SourceLocation::current())
        : InternalFailure("memory allocation of " + std::to_string(size) + " bytes failed", where) {}
};

// The fixed text of a failure that its operation does not word itself.
inline constexpr char kUnwrapFailed[] = "called `Result::unwrap()` on an `Err` value";

}  // namespace seqtally
