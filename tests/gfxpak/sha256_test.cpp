// The hashes that restore points identify and check the original archive by.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "crc64.h"
#include "sha256.h"
#include "test_support.h"

namespace gfxpak {
namespace {

TEST(Sha256Test, KnownDigests) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& [text, hex] : cases) {
    EXPECT_EQ(ToHex(Sha256Of(Bytes(text.begin(), text.end()))), hex) << text.size() << " bytes";
  }
  // Fed in uneven pieces, the digest is the same.
  const Bytes long_text(1000, 'a');
  Sha256 sha;
  for (std::size_t at = 0, step = 1; at < long_text.size(); at += step, step = step * 3 % 97 + 1) {
    sha.Update(std::span(long_text).subspan(at, std::min(step, long_text.size() - at)));
  }
  EXPECT_EQ(ToHex(sha.Finish()), cases[3].second);
}

// The standard check value of CRC-64/XZ, and the same CRC whether the bytes
// go in whole words (the eight tables) or one at a time (the first alone).
TEST(Crc64Test, CheckValueAndPieces) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc64(0, Bytes(check.begin(), check.end())), 0x995DC9BBDF1939FAu);
  EXPECT_EQ(Crc64(0, {}), 0u);
  Bytes data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7919 >> 3);
  std::uint64_t by_byte = 0;
  for (const std::uint8_t b : data) by_byte = Crc64(by_byte, std::span(&b, 1));
  EXPECT_EQ(Crc64(0, data), by_byte);
}

}  // namespace
}  // namespace gfxpak
