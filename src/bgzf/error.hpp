// The error kinds of the BGZF codec, with their display texts and debug forms.
//
// Contract: plain values, copyable, safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/io_error.hpp"

namespace kestrel::bgzf {

class BlockCompressError {
public:
    enum class Kind : uint8_t { InsufficientSpace, Other };

    static BlockCompressError insufficient_space() { return {Kind::InsufficientSpace, {}}; }
    static BlockCompressError other(std::string text) { return {Kind::Other, std::move(text)}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    std::string display() const;
    std::string debug() const;

private:
    BlockCompressError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

class BlockDecompressError {
public:
    enum class Kind : uint8_t { InsufficientSpace, BadData, Other };

    static BlockDecompressError insufficient_space() { return {Kind::InsufficientSpace, {}}; }
    static BlockDecompressError bad_data() { return {Kind::BadData, {}}; }
    static BlockDecompressError other(std::string text) { return {Kind::Other, std::move(text)}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    std::string display() const;
    std::string debug() const;

private:
    BlockDecompressError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

class BgzfError final : public WrappedError {
public:
    // The kinds the reader reports.
    enum class Kind : uint8_t { NotBGZF, NotGzip, IoError, DecompressionError, Other };

    static BgzfError not_bgzf() { return BgzfError(Kind::NotBGZF); }
    static BgzfError not_gzip() { return BgzfError(Kind::NotGzip); }
    static BgzfError io(kestrel::IoError error);
    static BgzfError decompression(BlockDecompressError error);
    static BgzfError other(std::string text);

    Kind kind() const { return kind_; }
    // The I/O error of an IoError kind; null for every other kind.
    const kestrel::IoError* io_error() const { return io_ ? &*io_ : nullptr; }
    const std::string& text() const { return text_; }

    std::string display() const override;
    std::string debug() const override;

private:
    explicit BgzfError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::string text_;
    std::shared_ptr<const kestrel::IoError> io_;
    std::shared_ptr<const BlockDecompressError> decompress_;
};

}  // namespace kestrel::bgzf
