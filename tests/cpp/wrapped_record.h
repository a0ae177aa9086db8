#pragma once
// A one-record FASTA input of a sequence wrapped at a given line length, as
// the reader gives it: the window passes must give the same windows wherever
// line ends cut their 64-byte runs.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "fasta/reader.h"
#include "fuzz/chunk_source.h"

namespace seqtally::testing {

class WrappedRecord {
  public:
    WrappedRecord(const std::string& sequence, std::size_t line_length)
        : reader_(std::make_unique<fuzz::ChunkSource>(fuzz::ChunkSource::fixed(fasta_of(sequence, line_length),
                                                                                1 << 20))) {
        auto next = reader_.next_record();
        EXPECT_TRUE(next.ok() && next.value());
        if (next.ok() && next.value()) record_ = *next.value();
    }
    // Valid while this object lives.
    const fasta::RecordView& record() const { return record_.value(); }

  private:
    static std::string fasta_of(const std::string& sequence, std::size_t line_length) {
        std::string fasta = ">r\n";
        for (std::size_t at = 0; at < sequence.size(); at += line_length) {
            fasta += sequence.substr(at, line_length) + "\n";
        }
        return fasta;
    }

    fasta::Reader reader_;
    std::optional<fasta::RecordView> record_;
};

}  // namespace seqtally::testing
