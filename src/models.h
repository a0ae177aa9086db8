#pragma once
// ChecksumResult: the Python class of the objects that checksum() returns,
// and PyChecksumResult, the record each object owns.
#include <cstdint>
#include <string>

#include "capi/py_ref.h"

namespace seqtally::py {

struct PyChecksumResult {
    std::string id;
    std::uint64_t length = 0;
    std::string sha512;
    std::string md5;
};

// A new ChecksumResult owning `record`; the type is created on first need.
// Failures end the call as internal failures.
PyRef make_checksum_result(PyChecksumResult&& record);

}  // namespace seqtally::py
