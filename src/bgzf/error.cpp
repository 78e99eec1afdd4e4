#include "bgzf/error.hpp"

#include "base/debug_text.hpp"

namespace kestrel::bgzf {

// Contract text (docs/errors.md): every text and form below, to the letter. ("spcae" included)
std::string BlockCompressError::display() const {
    // The spelling is part of the texts that callers see and match on.
    return kind_ == Kind::InsufficientSpace ? "Insufficient spcae" : "Other: " + text_;
}

std::string BlockCompressError::debug() const {
    return kind_ == Kind::InsufficientSpace ? "InsufficientSpace" : "Other(" + debug_quoted(text_) + ")";
}

std::string BlockDecompressError::display() const {
    switch (kind_) {
    case Kind::InsufficientSpace: return "Decompress Error: Insufficient spcae";
    case Kind::BadData: return "Decompress Error: Bad data";
    case Kind::Other: return "Decompress Error: " + text_;
    }
    return {};
}

std::string BlockDecompressError::debug() const {
    switch (kind_) {
    case Kind::InsufficientSpace: return "InsufficientSpace";
    case Kind::BadData: return "BadData";
    case Kind::Other: return "Other(" + debug_quoted(text_) + ")";
    }
    return {};
}

BgzfError BgzfError::io(kestrel::IoError io) {
    BgzfError error(Kind::IoError);
    error.io_ = std::make_shared<const kestrel::IoError>(std::move(io));
    return error;
}

BgzfError BgzfError::decompression(BlockDecompressError inner) {
    BgzfError error(Kind::DecompressionError);
    error.decompress_ = std::make_shared<const BlockDecompressError>(std::move(inner));
    return error;
}

BgzfError BgzfError::other(std::string text) {
    BgzfError error(Kind::Other);
    error.text_ = std::move(text);
    return error;
}

std::string BgzfError::display() const {
    switch (kind_) {
    case Kind::NotBGZF: return "not BGZF format";
    case Kind::NotGzip: return "not gzip format";
    case Kind::IoError: return "I/O Error: " + io_->display();
    case Kind::DecompressionError: return "Decompression Error: " + decompress_->display();
    case Kind::Other: return "Error: " + text_;
    }
    return {};
}

std::string BgzfError::debug() const {
    switch (kind_) {
    case Kind::NotBGZF: return "NotBGZF";
    case Kind::NotGzip: return "NotGzip";
    case Kind::IoError: return "IoError(" + io_->debug() + ")";
    case Kind::DecompressionError: return "DecompressionError(" + decompress_->debug() + ")";
    case Kind::Other: return "Other(" + debug_quoted(text_) + ")";
    }
    return {};
}

}  // namespace kestrel::bgzf
