#include "seqtally.h"

#include "common/failure.h"

namespace seqtally::core {

void write_gc_to_file(std::string, std::string, std::uint32_t, std::int32_t, bool, std::string, bool, bool) {
    throw InternalFailure("write_seqtally_to_file is not available yet");
}

}  // namespace seqtally::core
