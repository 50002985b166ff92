// A borrowed run of f32 values read in place: an owned vector's values or the
// values of a memory-mapped vector, whose start need not be 4-byte aligned.
// Elements are read with unaligned loads; the distance kernels load unaligned
// too. A view is a plain value; it stays valid while its owner lives.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace zv {

class F32View {
 public:
  F32View() = default;
  F32View(const float* data, size_t size)
      : bytes_(reinterpret_cast<const unsigned char*>(data)), size_(size) {}
  F32View(std::span<const float> s) : F32View(s.data(), s.size()) {}  // NOLINT
  F32View(const std::vector<float>& v) : F32View(v.data(), v.size()) {}  // NOLINT
  // Values stored at an arbitrary byte address.
  static F32View from_bytes(const unsigned char* bytes, size_t count) {
    F32View v;
    v.bytes_ = bytes;
    v.size_ = count;
    return v;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Start address for the distance kernels (which load unaligned).
  const float* data() const { return reinterpret_cast<const float*>(bytes_); }
  const unsigned char* bytes() const { return bytes_; }

  float operator[](size_t i) const {
    float v;
    std::memcpy(&v, bytes_ + i * sizeof(float), sizeof(float));
    return v;
  }

  std::vector<float> to_vector() const {
    std::vector<float> out(size_);
    if (size_) std::memcpy(out.data(), bytes_, size_ * sizeof(float));
    return out;
  }

 private:
  const unsigned char* bytes_ = nullptr;
  size_t size_ = 0;
};

}  // namespace zv
