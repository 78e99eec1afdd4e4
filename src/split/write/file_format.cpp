#include "split/write/file_format.hpp"

#include <iterator>

namespace kestrel {
namespace {

struct KindRow {
    FileFormat::Kind kind;
    std::string_view extension;
    bool bgzf;
    bool tbi;
    bool csi;
};

// One row per FileFormat::Kind, in its order: extension, BGZF, takes a .tbi, takes a .csi.
constexpr KindRow kKindRows[] = {
    {FileFormat::Kind::PlainVcf, ".vcf", false, false, false},
    {FileFormat::Kind::BgzfVcf, ".vcf.gz", true, true, true},
};

constexpr bool rows_in_order() {
    if (std::size(kKindRows) != std::size(FileFormat::kKinds)) return false;
    for (size_t at = 0; at < std::size(kKindRows); ++at) {
        if (kKindRows[at].kind != FileFormat::kKinds[at] || static_cast<size_t>(kKindRows[at].kind) != at) return false;
    }
    return true;
}
static_assert(rows_in_order(), "a row per kind, in the order of their values");

const KindRow& row_of(FileFormat::Kind kind) { return kKindRows[static_cast<size_t>(kind)]; }

}  // namespace

FileFormat FileFormat::of(Compression compression) {
    return compression ? FileFormat(Kind::BgzfVcf, *compression) : FileFormat(Kind::PlainVcf);
}

std::string_view FileFormat::extension() const { return row_of(kind_).extension; }

bool FileFormat::compressed() const { return row_of(kind_).bgzf; }

bool FileFormat::indexable_by(index::IndexFormat index) const {
    return index == index::IndexFormat::Tbi ? row_of(kind_).tbi : row_of(kind_).csi;
}

bool FileFormat::indexable() const { return row_of(kind_).tbi || row_of(kind_).csi; }

std::string_view index_extension(index::IndexFormat index) {
    return index == index::IndexFormat::Tbi ? ".tbi" : ".csi";
}

}  // namespace kestrel
