// The format of a run's batch files: one descriptor that every part of the output
// side asks instead of testing for compression. It gives the files' extension (which
// names them, and recognises them again: batch_file.hpp), the indexes they can take,
// whether their bytes are BGZF (how a batch is read back), and picks the writer of
// their bytes (batch_streams.hpp open_writer). A new format is one more Kind: a row of
// file_format.cpp's table and a writer.
//
// Contract: a plain value, made once per run from its compression settings
// (FileFormat::of) and copied freely; nothing here fails. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "index/binning_index.hpp"

namespace kestrel {

// None, or the DEFLATE level of compressed batch files (1, 6 or 9).
using Compression = std::optional<uint32_t>;

class FileFormat {
public:
    enum class Kind : uint8_t {
        PlainVcf,  // text: ".vcf", never indexed
        BgzfVcf,   // text in BGZF blocks: ".vcf.gz", indexed by a .tbi or a .csi
    };
    // Every kind, for recognising the files of any of them.
    static constexpr Kind kKinds[] = {Kind::PlainVcf, Kind::BgzfVcf};

    // The format of a run's compression settings: plain VCF without, BGZF VCF at that level.
    static FileFormat of(Compression compression);

    // `level`: the DEFLATE level of a compressed kind (none for recognising names).
    constexpr explicit FileFormat(Kind kind, uint32_t level = 0) : kind_(kind), level_(level) {}

    Kind kind() const { return kind_; }
    uint32_t level() const { return level_; }
    // What ends a batch file's name: ".vcf", ".vcf.gz".
    std::string_view extension() const;
    // The bytes are BGZF blocks: the file reads back as BGZF input.
    bool compressed() const;
    // Whether a batch file of this format can take an index of `index`; of any.
    bool indexable_by(index::IndexFormat index) const;
    bool indexable() const;

private:
    Kind kind_;
    uint32_t level_;
};

// Every index format, and what its file adds to its batch file's name: ".tbi", ".csi".
inline constexpr index::IndexFormat kIndexFormats[] = {index::IndexFormat::Tbi, index::IndexFormat::Csi};
std::string_view index_extension(index::IndexFormat index);

}  // namespace kestrel
