#include "szdd.h"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

constexpr std::size_t kWindowSize = 4096;
constexpr std::size_t kWindowMask = kWindowSize - 1;
// Decoders start writing 16 bytes before the end of the blank-filled window.
constexpr std::size_t kStartPos = kWindowSize - 16;
constexpr unsigned char kFill = 0x20;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 18;
// A distance of exactly 4096 would read the slot being written; decoders differ
// on whether they read before writing, so it is never emitted.
constexpr std::size_t kMaxDistance = kWindowSize - 1;
// Bounds the work per position on pathological input; the window is only 4 KiB,
// so this still finds almost every longest match on ordinary data.
constexpr unsigned kMaxChain = 1024;
constexpr unsigned kHashBits = 16;
constexpr std::size_t kNoPos = 0;  // buffer position 0 is never inserted

// Bit costs of each item including its control bit; with fixed costs a
// backward pass over the longest match at each position gives the smallest
// output for those matches.
constexpr std::uint64_t kLiteralCost = 9;
constexpr std::uint64_t kMatchCost = 17;

inline std::uint32_t Hash3(const unsigned char* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) |
                          (static_cast<std::uint32_t>(p[1]) << 8) |
                          (static_cast<std::uint32_t>(p[2]) << 16);
  return (v * 2654435761u) >> (32 - kHashBits);
}

void PutLe32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

}  // namespace

std::vector<unsigned char> SzddCompress(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> out;
  if (size > std::numeric_limits<std::uint32_t>::max()) return out;

  static const unsigned char kMagic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
  out.assign(kMagic, kMagic + sizeof(kMagic));
  out.push_back('A');
  out.push_back(0);
  PutLe32(out, static_cast<std::uint32_t>(size));
  if (size == 0) return out;

  // The blank prefix stands for the decoder's initial window, so matches into
  // it fall out of the ordinary search.
  std::vector<unsigned char> buf(kWindowSize, kFill);
  buf.insert(buf.end(), data, data + size);
  const std::size_t total = buf.size();

  std::vector<std::size_t> head(std::size_t{1} << kHashBits, kNoPos);
  std::vector<std::size_t> prev(kWindowSize, kNoPos);
  std::vector<unsigned char> match_len(size, 0);
  std::vector<std::uint16_t> match_pos(size, 0);

  auto insert = [&](std::size_t j) {
    const std::uint32_t h = Hash3(&buf[j]);
    prev[j & kWindowMask] = head[h];
    head[h] = j;
  };

  for (std::size_t j = 1; j < kWindowSize && j + kMinMatch <= total; ++j) insert(j);

  for (std::size_t j = kWindowSize; j + kMinMatch <= total; ++j) {
    const std::size_t remaining = total - j;
    const unsigned max_len =
        remaining < kMaxMatch ? static_cast<unsigned>(remaining) : kMaxMatch;
    unsigned best_len = 0;
    std::size_t best_src = 0;
    const std::size_t lowest = j - kMaxDistance;
    std::size_t cand = head[Hash3(&buf[j])];
    for (unsigned steps = 0; cand != kNoPos && cand >= lowest && steps < kMaxChain;
         ++steps) {
      // Cheap reject: a longer match must agree at the current best length.
      if (best_len == 0 || buf[cand + best_len] == buf[j + best_len]) {
        unsigned len = 0;
        while (len < max_len && buf[cand + len] == buf[j + len]) ++len;
        if (len > best_len) {
          best_len = len;
          best_src = cand;
          if (len == max_len) break;
        }
      }
      cand = prev[cand & kWindowMask];
    }
    if (best_len >= kMinMatch) {
      const std::size_t i = j - kWindowSize;
      match_len[i] = static_cast<unsigned char>(best_len);
      // Buffer position kWindowSize maps to the decoder's first write slot.
      match_pos[i] = static_cast<std::uint16_t>(
          (best_src + kStartPos - kWindowSize) & kWindowMask);
    }
    insert(j);
  }

  // cost[i]: fewest bits to encode data[i..size). match_len is rewritten to
  // the chosen step (0 = literal).
  std::vector<std::uint64_t> cost(size + 1, 0);
  for (std::size_t i = size; i-- > 0;) {
    std::uint64_t best = cost[i + 1] + kLiteralCost;
    unsigned choice = 0;
    for (unsigned len = kMinMatch; len <= match_len[i]; ++len) {
      const std::uint64_t c = cost[i + len] + kMatchCost;
      if (c < best) {
        best = c;
        choice = len;
      }
    }
    cost[i] = best;
    match_len[i] = static_cast<unsigned char>(choice);
  }

  out.reserve(out.size() + size + size / 8 + 1);
  std::size_t control_at = 0;
  unsigned items = 8;
  for (std::size_t i = 0; i < size;) {
    if (items == 8) {
      control_at = out.size();
      out.push_back(0);
      items = 0;
    }
    const unsigned len = match_len[i];
    if (len == 0) {
      out[control_at] = static_cast<unsigned char>(out[control_at] | (1u << items));
      out.push_back(data[i]);
      ++i;
    } else {
      const unsigned pos = match_pos[i];
      out.push_back(static_cast<unsigned char>(pos & 0xFF));
      out.push_back(static_cast<unsigned char>(((pos >> 4) & 0xF0) | (len - kMinMatch)));
      i += len;
    }
    ++items;
  }
  return out;
}

namespace {

bool ReadWholeFile(const char* path, std::vector<unsigned char>* data) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  unsigned char chunk[65536];
  bool ok = true;
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof(chunk), f);
    data->insert(data->end(), chunk, chunk + got);
    if (got < sizeof(chunk)) {
      ok = std::ferror(f) == 0;
      break;
    }
  }
  std::fclose(f);
  return ok;
}

}  // namespace

bool SzddCompressFile(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) return false;
  std::vector<unsigned char> data;
  if (!ReadWholeFile(in, &data)) return false;
  const std::vector<unsigned char> packed = SzddCompress(data.data(), data.size());
  if (packed.empty()) return false;

  std::FILE* f = std::fopen(out, "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(packed.data(), 1, packed.size(), f) == packed.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::remove(out);
  return ok;
}
