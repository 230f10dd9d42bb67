// LZ32: the expander of SZDD files, over libmspack's decompressor.
#include <mspack.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "winsim/machine.h"

using namespace winsim;

// Expander handles are 0x400..0x40F, sixteen at most, as in the system's
// library; a file that is not compressed is given back as its own handle.

namespace {

const int kLzFirst = 0x400;
const int kLzSlots = 16;
int lzFiles[kLzSlots];  // the file under each expander handle, 0 when free

bool IsLz(INT h) { return h >= kLzFirst && h < kLzFirst + kLzSlots && lzFiles[h - kLzFirst]; }

struct MemStream {
  const std::string* in;
  std::string* out;
  size_t pos;
};

mspack_file* MemOpen(mspack_system*, const char* name, int) {
  return reinterpret_cast<mspack_file*>(const_cast<char*>(name));
}
void MemClose(mspack_file*) {}
int MemRead(mspack_file* f, void* buf, int bytes) {
  MemStream* s = reinterpret_cast<MemStream*>(f);
  if (!s->in || bytes < 0) return -1;
  size_t n = s->pos < s->in->size() ? std::min<size_t>(bytes, s->in->size() - s->pos) : 0;
  if (n) std::memcpy(buf, s->in->data() + s->pos, n);
  s->pos += n;
  return static_cast<int>(n);
}
int MemWrite(mspack_file* f, void* buf, int bytes) {
  MemStream* s = reinterpret_cast<MemStream*>(f);
  if (!s->out || bytes < 0) return -1;
  s->out->append(static_cast<const char*>(buf), bytes);
  return bytes;
}
int MemSeek(mspack_file* f, off_t offset, int mode) {
  MemStream* s = reinterpret_cast<MemStream*>(f);
  long long base = mode == MSPACK_SYS_SEEK_START ? 0
                   : mode == MSPACK_SYS_SEEK_CUR ? static_cast<long long>(s->pos)
                                                 : static_cast<long long>(s->in ? s->in->size() : 0);
  long long to = base + offset;
  if (to < 0) return -1;
  s->pos = static_cast<size_t>(to);
  return 0;
}
off_t MemTell(mspack_file* f) { return static_cast<off_t>(reinterpret_cast<MemStream*>(f)->pos); }
void MemMessage(mspack_file*, const char*, ...) {}
void* MemAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void MemFree(void* p) { std::free(p); }
void MemCopy(void* src, void* dst, size_t bytes) { std::memmove(dst, src, bytes); }

mspack_system memSystem = {MemOpen, MemClose, MemRead, MemWrite, MemSeek, MemTell,
                           MemMessage, MemAlloc, MemFree, MemCopy, nullptr};

HANDLE AsHandle(INT h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<unsigned>(h))); }

}  // namespace

INT LZInit(INT file) {
  if (ShouldFail("LZInit")) return LZERROR_BADINHANDLE;
  OpenFile* o = FindHandle(AsHandle(file));
  if (!o) return LZERROR_BADINHANDLE;
  const std::string& data = M().nodes[o->key].data;
  static const unsigned char magic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
  if (data.size() < o->position + 14 || std::memcmp(data.data() + o->position, magic, 8) != 0) {
    o->position = 0;
    return file;
  }
  if (data[o->position + 8] != 'A') return LZERROR_UNKNOWNALG;
  for (int i = 0; i < kLzSlots; ++i) {
    if (!lzFiles[i]) {
      lzFiles[i] = file;
      return kLzFirst + i;
    }
  }
  return LZERROR_GLOBALLOC;
}

LONG LZCopy(INT source, INT dest) {
  Checkpoint("LZCopy");
  if (IsLz(dest)) dest = lzFiles[dest - kLzFirst];
  HANDLE out = AsHandle(dest);
  if (!FindHandle(out)) return LZERROR_BADOUTHANDLE;
  std::string expanded;
  if (IsLz(source)) {
    OpenFile* in = FindHandle(AsHandle(lzFiles[source - kLzFirst]));
    if (!in) return LZERROR_BADINHANDLE;
    std::string packed = M().nodes[in->key].data.substr(in->position);
    MemStream src{&packed, nullptr, 0}, dst{nullptr, &expanded, 0};
    msszdd_decompressor* d = mspack_create_szdd_decompressor(&memSystem);
    int err = d->decompress(d, reinterpret_cast<const char*>(&src), reinterpret_cast<const char*>(&dst));
    mspack_destroy_szdd_decompressor(d);
    in->position += packed.size();
    if (err != MSPACK_ERR_OK) return LZERROR_READ;
  } else {
    OpenFile* in = FindHandle(AsHandle(source));
    if (!in) return LZERROR_BADINHANDLE;
    const std::string& data = M().nodes[in->key].data;
    if (in->position < data.size()) expanded = data.substr(in->position);
    in->position = data.size();
  }
  DWORD written = 0;
  if (!WriteFile(out, expanded.data(), static_cast<DWORD>(expanded.size()), &written, nullptr) ||
      written != expanded.size())
    return LZERROR_WRITE;
  return static_cast<LONG>(written);
}

void LZClose(INT file) {
  Checkpoint("LZClose");
  if (IsLz(file)) {
    INT underneath = lzFiles[file - kLzFirst];
    lzFiles[file - kLzFirst] = 0;
    file = underneath;
  }
  CloseHandle(AsHandle(file));
}

namespace winsim {
void ResetLz() {
  for (int& f : lzFiles) f = 0;
}
}  // namespace winsim
