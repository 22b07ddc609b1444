#pragma once
#include <cstdint>

// The one way decoders read untrusted bytes: a cursor over a byte span.
// Every read checks that its bytes are inside the span; a read, skip or seek
// that would leave it fails instead, returns 0, and leaves the reader failed
// for good, so a decoder can read a whole header and test ok() once.
// Positions are 64-bit, so that sizes taken from a file cannot wrap them.
struct ByteReader {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
  bool failed;

  ByteReader(const uint8_t* bytes, int64_t count)
      : data(bytes), size(bytes == nullptr || count < 0 ? 0 : count), pos(0), failed(false) {}

  bool ok() const { return !failed; }
  int64_t remaining() const { return failed ? 0 : size - pos; }
  // True when n more bytes can be read; never fails the reader.
  bool has(int64_t n) const { return !failed && n >= 0 && n <= size - pos; }

  uint32_t u8() { return take(1) ? data[pos - 1] : 0; }
  // The next byte without moving past it; 0 when none is left. Never fails
  // the reader.
  uint32_t peek() const { return has(1) ? data[pos] : 0; }
  uint32_t le16() {
    if (!take(2)) return 0;
    const uint8_t* p = data + pos - 2;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
  }
  uint32_t le32() {
    if (!take(4)) return 0;
    const uint8_t* p = data + pos - 4;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  uint32_t be16() {
    if (!take(2)) return 0;
    const uint8_t* p = data + pos - 2;
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
  }
  uint32_t be32() {
    if (!take(4)) return 0;
    const uint8_t* p = data + pos - 4;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
  }
  // The next n bytes, which stay valid as long as the span does; null (and
  // the reader failed) when fewer are left.
  const uint8_t* bytes(int64_t n) { return take(n) ? data + pos - n : nullptr; }
  void skip(int64_t n) { take(n); }
  // Moves to an absolute position inside the span (size itself included).
  void seek(int64_t at) {
    if (failed || at < 0 || at > size) {
      fail();
      return;
    }
    pos = at;
  }

 private:
  bool take(int64_t n) {
    if (!has(n)) {
      fail();
      return false;
    }
    pos += n;
    return true;
  }
  void fail() {
    failed = true;
    pos = size;
  }
};
