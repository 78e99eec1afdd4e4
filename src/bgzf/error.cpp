#include "bgzf/error.hpp"

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

BgzfError BgzfError::header_parse_error(uint64_t position) {
    BgzfError error(Kind::HeaderParseError);
    error.position_ = position;
    return error;
}

BgzfError BgzfError::io(kestrel::IoError io) {
    BgzfError error(Kind::IoError);
    error.io_ = std::make_shared<const kestrel::IoError>(std::move(io));
    return error;
}

BgzfError BgzfError::utf8(kestrel::Utf8Error utf8) {
    BgzfError error(Kind::Utf8Error);
    error.utf8_ = std::make_shared<const kestrel::Utf8Error>(utf8);
    return error;
}

BgzfError BgzfError::compression(BlockCompressError inner) {
    BgzfError error(Kind::CompressionError);
    error.compress_ = std::make_shared<const BlockCompressError>(std::move(inner));
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
    case Kind::HeaderParseError:
        return "Failed to parse header at position: " + std::to_string(position_);
    case Kind::NotTabix: return "not tabix format";
    case Kind::NotBGZF: return "not BGZF format";
    case Kind::NotGzip: return "not gzip format";
    case Kind::TooLargeCompressUnit: return "Too large compress unit";
    case Kind::IoError: return "I/O Error: " + io_->display();
    case Kind::Utf8Error: return "Utf8 Error: " + utf8_->display();
    case Kind::PathConvertionError: return "Failed to convert native path to UTF-8";
    case Kind::CompressionError: return "Compression Error: " + compress_->display();
    case Kind::DecompressionError: return "Decompression Error: " + decompress_->display();
    case Kind::InvalidCompressionLevel: return "Invalid Compression Level";
    case Kind::Other: return "Error: " + text_;
    }
    return {};
}

std::string BgzfError::debug() const {
    switch (kind_) {
    case Kind::HeaderParseError:
        return "HeaderParseError { position: " + std::to_string(position_) + " }";
    case Kind::NotTabix: return "NotTabix";
    case Kind::NotBGZF: return "NotBGZF";
    case Kind::NotGzip: return "NotGzip";
    case Kind::TooLargeCompressUnit: return "TooLargeCompressUnit";
    case Kind::IoError: return "IoError(" + io_->debug() + ")";
    case Kind::Utf8Error: return "Utf8Error(" + utf8_->debug() + ")";
    case Kind::PathConvertionError: return "PathConvertionError";
    case Kind::CompressionError: return "CompressionError(" + compress_->debug() + ")";
    case Kind::DecompressionError: return "DecompressionError(" + decompress_->debug() + ")";
    case Kind::InvalidCompressionLevel: return "InvalidCompressionLevel";
    case Kind::Other: return "Other(" + debug_quoted(text_) + ")";
    }
    return {};
}

}  // namespace kestrel::bgzf
