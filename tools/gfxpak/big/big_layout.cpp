#include "big_layout.h"

#include <cstring>

#include "byte_order.h"

namespace gfxpak {

Status IoFail(const char* what, std::error_code error) { return Fail(error, what); }

std::vector<std::uint8_t> EncodeRecord(std::uint32_t offset, std::uint32_t size, std::string_view name) {
  std::vector<std::uint8_t> out(kRecordFixed + name.size() + 1);
  PutBe32(out.data() + kRecordOffset, offset);
  PutBe32(out.data() + kRecordSize, size);
  std::memcpy(out.data() + kRecordFixed, name.data(), name.size());
  out.back() = 0;
  return out;
}

void EncodeHeader(std::uint8_t* out, const std::array<std::uint8_t, 4>& magic, std::uint32_t archive_size,
                  std::uint32_t count, std::uint32_t field) {
  std::memcpy(out, magic.data(), magic.size());
  PutLe32(out + kSizeField, archive_size);
  PutBe32(out + kCountField, count);
  PutBe32(out + kThirdField, field);
}

Status CheckNewEntry(std::string_view name, std::uint64_t size) {
  if (name.empty()) return Fail(Errc::kBadName, {}, "empty");
  if (name.find('\0') != std::string_view::npos) return Fail(Errc::kBadName, {}, "it holds a NUL byte");
  if (size > kMaxArchive) return Fail(Errc::kFileTooLarge);
  return {};
}

}  // namespace gfxpak
