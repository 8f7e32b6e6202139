// A cursor over a byte range that cannot move past its end.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }
  bool atEnd() const { return pos_ == size_; }

  /// Each read fills *out and advances only when all its bytes are present.
  bool readU8(uint8_t* out) {
    if (remaining() < 1) return false;
    *out = data_[pos_++];
    return true;
  }
  bool readLe16(uint16_t* out) {
    if (remaining() < 2) return false;
    *out = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  bool readLe32(uint32_t* out) {
    if (remaining() < 4) return false;
    *out = static_cast<uint32_t>(data_[pos_]) | static_cast<uint32_t>(data_[pos_ + 1]) << 8 |
           static_cast<uint32_t>(data_[pos_ + 2]) << 16 |
           static_cast<uint32_t>(data_[pos_ + 3]) << 24;
    pos_ += 4;
    return true;
  }
  /// A little-endian value of 0 to 4 bytes.
  bool readLe(size_t width, uint32_t* out) {
    if (width > 4 || remaining() < width) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(data_[pos_ + i]) << (8 * i);
    pos_ += width;
    *out = value;
    return true;
  }
  /// Points *out at the next `count` bytes and steps over them.
  bool readBytes(size_t count, const uint8_t** out) {
    if (remaining() < count) return false;
    *out = data_ + pos_;
    pos_ += count;
    return true;
  }
  bool skip(size_t count) {
    if (remaining() < count) return false;
    pos_ += count;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};
