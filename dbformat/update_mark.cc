#include "dbformat/update_mark.h"

#include "dbformat/database_format.h"

namespace tx {
namespace {

constexpr std::string_view kMarkMagic = "TxTools update in progress\n";
constexpr std::string_view kMarkType = "TxUpdate";
constexpr std::size_t kTokenOffset = kTypeOffset + 8;
constexpr std::size_t kPathLengthOffset = kTokenOffset + kTokenSize;
constexpr std::size_t kPathOffset = kPathLengthOffset + 2;
static_assert(kPathOffset + kLongestCopyPath == kMarkSize);
static_assert(kMarkSize == kFirstRecordListOffset + kRecordListHeaderSize + kAppInfoSize);

constexpr std::string_view kCopyMagic = "TxTools rollback copy 2\n";
constexpr std::size_t kCopyHeadSize = kCopyMagic.size() + kTokenSize + 4 * 8;

std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a
  for (char byte : bytes) hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001B3u;
  return hash;
}

void put64(std::string& out, std::uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

std::uint64_t get64(std::string_view bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

std::string markBytes(const UpdateMark& mark) {
  std::string bytes(kMarkSize, '\0');
  bytes.replace(0, kMarkMagic.size(), kMarkMagic);
  bytes.replace(kTypeOffset, kMarkType.size(), kMarkType);
  bytes.replace(kTokenOffset, kTokenSize, mark.token.substr(0, kTokenSize));
  const std::size_t length = std::min(mark.copyPath.size(), kLongestCopyPath);
  bytes[kPathLengthOffset] = static_cast<char>(length >> 8);
  bytes[kPathLengthOffset + 1] = static_cast<char>(length & 0xFF);
  bytes.replace(kPathOffset, length, mark.copyPath.substr(0, length));
  return bytes;
}

std::optional<UpdateMark> readMark(std::string_view head) {
  if (head.size() < kMarkSize || head.substr(0, kMarkMagic.size()) != kMarkMagic ||
      head.substr(kTypeOffset, kMarkType.size()) != kMarkType) {
    return std::nullopt;
  }
  const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(head[kPathLengthOffset])) << 8 |
                             static_cast<unsigned char>(head[kPathLengthOffset + 1]);
  UpdateMark mark;
  mark.token = std::string(head.substr(kTokenOffset, kTokenSize));
  mark.copyPath = std::string(head.substr(kPathOffset, std::min(length, kLongestCopyPath)));
  return mark;
}

std::string rollbackCopyBytes(std::string_view token, std::uint64_t volume, std::uint64_t index,
                              std::string_view old) {
  std::string bytes(kCopyMagic);
  bytes.append(token.substr(0, kTokenSize));
  bytes.resize(kCopyMagic.size() + kTokenSize, '\0');
  put64(bytes, volume);
  put64(bytes, index);
  put64(bytes, old.size());
  put64(bytes, checksum(old));
  bytes.append(old);
  return bytes;
}

std::optional<RollbackCopyBytes> readRollbackCopy(std::string_view bytes) {
  if (bytes.size() < kCopyHeadSize || bytes.substr(0, kCopyMagic.size()) != kCopyMagic) return std::nullopt;
  std::size_t at = kCopyMagic.size();
  RollbackCopyBytes copy;
  copy.token = std::string(bytes.substr(at, kTokenSize));
  at += kTokenSize;
  copy.volume = get64(bytes, at);
  copy.index = get64(bytes, at + 8);
  const std::uint64_t size = get64(bytes, at + 16);
  const std::uint64_t sum = get64(bytes, at + 24);
  copy.old = bytes.substr(kCopyHeadSize);
  if (copy.old.size() != size || checksum(copy.old) != sum) return std::nullopt;
  return copy;
}

}  // namespace tx
