// The packer compresses whatever the payload holds; libmspack's SZDD
// expander (behind winsim's LZ32) must give back the very same bytes, and
// the packed file must never grow past what literals alone would take.
#include <algorithm>

#include "fuzz_machine.h"
#include "szdd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> z = SzddCompress(data, size);
  Require(z.size() >= kSzddHeaderSize, "a whole header is written");
  static const unsigned char head[10] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33, 'A', 0};
  Require(std::equal(head, head + 10, z.begin()), "the header names SZDD mode A");
  DWORD stated = z[10] | (z[11] << 8) | (z[12] << 16) | (static_cast<DWORD>(z[13]) << 24);
  Require(stated == size, "the header states the expanded length");
  Require(z.size() <= kSzddHeaderSize + size + (size + 7) / 8, "no larger than all literals");

  winsim::Reset();
  winsim::PutFile("C:\\TEMP\\packed", std::string(z.begin(), z.end()));
  HANDLE in = CreateFileA("C:\\TEMP\\packed", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileA("C:\\TEMP\\plain", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
  Require(in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE, "the files open");
  INT lzIn = LZInit(static_cast<INT>(reinterpret_cast<INT_PTR>(in)));
  INT lzOut = LZInit(static_cast<INT>(reinterpret_cast<INT_PTR>(out)));
  Require(lzIn >= 0 && lzOut >= 0, "the expander takes both files");
  LONG copied = LZCopy(lzIn, lzOut);
  LZClose(lzIn);
  LZClose(lzOut);
  Require(copied == static_cast<LONG>(size), "the expansion has the stated length");
  Require(winsim::FileData("C:\\TEMP\\plain") == std::string(reinterpret_cast<const char*>(data), size),
          "the expansion is the packed data, byte for byte");
  RequireSoundEnd();
  return 0;
}
