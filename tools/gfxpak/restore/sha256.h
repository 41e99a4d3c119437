// SHA-256, for the restore point's checks that it belongs to its archive.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace gfxpak {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const std::uint8_t> data);
  std::array<std::uint8_t, 32> Finish();

 private:
  void Block(const std::uint8_t* p);
  std::array<std::uint32_t, 8> h_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;
};

std::array<std::uint8_t, 32> Sha256Of(std::span<const std::uint8_t> data);
std::string ToHex(std::span<const std::uint8_t> bytes);

}  // namespace gfxpak
