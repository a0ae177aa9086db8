// A store's folder: each record's bases under its MD5 as htslib's REF_CACHE
// names them, an existing file kept, nothing temporary left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/src/lib/sequence_folder.h"

namespace seqtally::core {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void write(SequenceFolder& folder, std::string_view bases, std::string_view md5) {
    ASSERT_TRUE(folder.begin().ok());
    folder.append(std::span(reinterpret_cast<const std::uint8_t*>(bases.data()), bases.size()));
    ASSERT_TRUE(folder.finish(md5).ok());
}

TEST(SequenceFolder, RecordsUnderTheirMd5AndExistingFilesKept) {
    const fs::path root = fs::temp_directory_path() / ("sequence-folder-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directory(root);
    {
        SequenceFolder folder(root.string());
        // MD5 of ACGT and of the empty sequence.
        write(folder, "ACGT", "f1f8f4bf413b16ad135722aa4591043e");
        write(folder, "", "d41d8cd98f00b204e9800998ecf8427e");
        // The same name again: the file there stays as it was.
        write(folder, "other bytes", "f1f8f4bf413b16ad135722aa4591043e");
        // A record abandoned midway (a failed read) leaves nothing.
        ASSERT_TRUE(folder.begin().ok());
        folder.append(std::span(reinterpret_cast<const std::uint8_t*>("AC"), 2));
    }
    EXPECT_EQ(contents(root / "f1" / "f8" / "f1f8f4bf413b16ad135722aa4591043e"), "ACGT");
    EXPECT_EQ(fs::file_size(root / "d4" / "1d" / "d41d8cd98f00b204e9800998ecf8427e"), 0u);
    EXPECT_EQ(fs::status(root / "f1" / "f8" / "f1f8f4bf413b16ad135722aa4591043e").permissions() & fs::perms::others_read,
              fs::perms::others_read);
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(root)) entries += entry.is_regular_file();
    EXPECT_EQ(entries, 0u);  // no temporary file
    SequenceFolder missing((root / "no-such-folder").string());
    EXPECT_EQ(missing.begin().error().raw_os_error(), ENOENT);
    fs::remove_all(root);
}

}  // namespace
}  // namespace seqtally::core
