#include "tests/golden/png_gray.h"

#include <string.h>

namespace {

uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint32_t crc32_of(const uint8_t* data, size_t len) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    ready = true;
  }
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

uint32_t adler32_of(const std::vector<uint8_t>& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t v : data) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

// A canonical Huffman code: the number of codes of each length and the
// symbols ordered by code.
struct Huffman {
  short count[16];
  short symbol[288];
};

class Inflater {
 public:
  Inflater(const uint8_t* in, size_t len, size_t limit) : in_(in), len_(len), limit_(limit) {}

  bool run() {
    int last;
    do {
      last = bits(1);
      int type = bits(2);
      bool ok = type == 0 ? stored() : type == 1 ? fixed() : type == 2 ? dynamic() : false;
      if (!ok || err_) return false;
    } while (!last);
    return true;
  }
  const std::vector<uint8_t>& out() const { return out_; }
  size_t consumed() const { return pos_; }

 private:
  int bits(int need) {
    uint32_t val = bitbuf_;
    while (bitcnt_ < need) {
      if (pos_ >= len_) {
        err_ = true;
        return 0;
      }
      val |= static_cast<uint32_t>(in_[pos_++]) << bitcnt_;
      bitcnt_ += 8;
    }
    bitbuf_ = val >> need;
    bitcnt_ -= need;
    return static_cast<int>(val & ((1u << need) - 1));
  }

  bool put(uint8_t v) {
    if (out_.size() >= limit_) return false;
    out_.push_back(v);
    return true;
  }

  bool stored() {
    bitbuf_ = 0;
    bitcnt_ = 0;
    if (pos_ + 4 > len_) return false;
    unsigned n = in_[pos_] | (in_[pos_ + 1] << 8);
    unsigned nn = in_[pos_ + 2] | (in_[pos_ + 3] << 8);
    pos_ += 4;
    if (n != (~nn & 0xFFFF) || pos_ + n > len_) return false;
    for (unsigned i = 0; i < n; ++i)
      if (!put(in_[pos_ + i])) return false;
    pos_ += n;
    return true;
  }

  int decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
      code |= bits(1);
      if (err_) return -1;
      int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    return -1;
  }

  // 0 for a complete code, > 0 incomplete, < 0 over-subscribed.
  static int construct(Huffman* h, const short* length, int n) {
    memset(h->count, 0, sizeof h->count);
    for (int s = 0; s < n; ++s) h->count[length[s]]++;
    if (h->count[0] == n) return 0;
    int left = 1;
    for (int len = 1; len < 16; ++len) {
      left <<= 1;
      left -= h->count[len];
      if (left < 0) return left;
    }
    short offs[16];
    offs[1] = 0;
    for (int len = 1; len < 15; ++len) offs[len + 1] = static_cast<short>(offs[len] + h->count[len]);
    for (int s = 0; s < n; ++s)
      if (length[s] != 0) h->symbol[offs[length[s]]++] = static_cast<short>(s);
    return left;
  }

  bool codes(const Huffman& lencode, const Huffman& distcode) {
    static const short lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const short lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const int dbase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                  193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const short dext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                   6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      int sym = decode(lencode);
      if (sym < 0) return false;
      if (sym < 256) {
        if (!put(static_cast<uint8_t>(sym))) return false;
        continue;
      }
      if (sym == 256) return true;
      sym -= 257;
      if (sym >= 29) return false;
      size_t len = static_cast<size_t>(lbase[sym] + bits(lext[sym]));
      int dsym = decode(distcode);
      if (dsym < 0 || dsym >= 30) return false;
      size_t dist = static_cast<size_t>(dbase[dsym] + bits(dext[dsym]));
      if (err_ || dist > out_.size()) return false;
      for (size_t i = 0; i < len; ++i)
        if (!put(out_[out_.size() - dist])) return false;
    }
  }

  bool fixed() {
    Huffman lencode, distcode;
    short lengths[288];
    int s = 0;
    for (; s < 144; ++s) lengths[s] = 8;
    for (; s < 256; ++s) lengths[s] = 9;
    for (; s < 280; ++s) lengths[s] = 7;
    for (; s < 288; ++s) lengths[s] = 8;
    construct(&lencode, lengths, 288);
    for (s = 0; s < 30; ++s) lengths[s] = 5;
    construct(&distcode, lengths, 30);
    return codes(lencode, distcode);
  }

  bool dynamic() {
    static const short order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    short lengths[320] = {};
    int nlen = bits(5) + 257;
    int ndist = bits(5) + 1;
    int ncode = bits(4) + 4;
    if (err_ || nlen > 286 || ndist > 30) return false;
    for (int i = 0; i < ncode; ++i) lengths[order[i]] = static_cast<short>(bits(3));
    Huffman lencode, distcode;
    if (construct(&lencode, lengths, 19) != 0) return false;
    int index = 0;
    while (index < nlen + ndist) {
      int sym = decode(lencode);
      if (sym < 0) return false;
      if (sym < 16) {
        lengths[index++] = static_cast<short>(sym);
        continue;
      }
      short len = 0;
      int repeat;
      if (sym == 16) {
        if (index == 0) return false;
        len = lengths[index - 1];
        repeat = 3 + bits(2);
      } else if (sym == 17) {
        repeat = 3 + bits(3);
      } else {
        repeat = 11 + bits(7);
      }
      if (err_ || index + repeat > nlen + ndist) return false;
      while (repeat--) lengths[index++] = len;
    }
    if (lengths[256] == 0) return false;
    int left = construct(&lencode, lengths, nlen);
    if (left < 0 || (left > 0 && nlen - lencode.count[0] != 1)) return false;
    left = construct(&distcode, lengths + nlen, ndist);
    if (left < 0 || (left > 0 && ndist - distcode.count[0] != 1)) return false;
    return codes(lencode, distcode);
  }

  const uint8_t* in_;
  size_t len_;
  size_t limit_;
  size_t pos_ = 0;
  uint32_t bitbuf_ = 0;
  int bitcnt_ = 0;
  bool err_ = false;
  std::vector<uint8_t> out_;
};

int paeth(int a, int b, int c) {
  int p = a + b - c;
  int pa = p > a ? p - a : a - p;
  int pb = p > b ? p - b : b - p;
  int pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

bool unfilter(const std::vector<uint8_t>& raw, int w, int h, std::vector<uint8_t>* pixels, std::string* error) {
  size_t stride = static_cast<size_t>(w);
  pixels->assign(stride * static_cast<size_t>(h), 0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = raw.data() + static_cast<size_t>(y) * (stride + 1);
    uint8_t filter = row[0];
    uint8_t* cur = pixels->data() + static_cast<size_t>(y) * stride;
    const uint8_t* prev = y > 0 ? cur - stride : nullptr;
    for (size_t x = 0; x < stride; ++x) {
      int a = x > 0 ? cur[x - 1] : 0;
      int b = prev ? prev[x] : 0;
      int c = (prev && x > 0) ? prev[x - 1] : 0;
      int v = row[1 + x];
      switch (filter) {
        case 0: break;
        case 1: v += a; break;
        case 2: v += b; break;
        case 3: v += (a + b) / 2; break;
        case 4: v += paeth(a, b, c); break;
        default:
          *error = "unknown filter type " + std::to_string(filter);
          return false;
      }
      cur[x] = static_cast<uint8_t>(v);
    }
  }
  return true;
}

}  // namespace

bool png_decode_gray(const std::vector<uint8_t>& file, std::vector<uint8_t>* pixels, int* width, int* height,
                     std::string* error) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (file.size() < 8 || memcmp(file.data(), kSignature, 8) != 0) {
    *error = "not a PNG file";
    return false;
  }
  int w = 0, h = 0;
  bool header = false, end = false;
  std::vector<uint8_t> idat;
  size_t pos = 8;
  while (!end) {
    if (file.size() - pos < 12) {
      *error = "truncated chunk";
      return false;
    }
    uint32_t len = be32(&file[pos]);
    if (len > file.size() - pos - 12) {
      *error = "chunk beyond the end of the file";
      return false;
    }
    const uint8_t* type = &file[pos + 4];
    const uint8_t* data = type + 4;
    if (crc32_of(type, len + 4) != be32(data + len)) {
      *error = "chunk CRC mismatch";
      return false;
    }
    if (memcmp(type, "IHDR", 4) == 0) {
      if (len != 13) {
        *error = "bad IHDR";
        return false;
      }
      w = static_cast<int>(be32(data));
      h = static_cast<int>(be32(data + 4));
      if (w <= 0 || h <= 0 || w > 4096 || h > 4096 || data[8] != 8 || data[9] != 0 || data[10] != 0 ||
          data[11] != 0 || data[12] != 0) {
        *error = "only 8-bit greyscale, non-interlaced pictures up to 4096 pixels are read";
        return false;
      }
      header = true;
    } else if (memcmp(type, "IDAT", 4) == 0) {
      idat.insert(idat.end(), data, data + len);
    } else if (memcmp(type, "IEND", 4) == 0) {
      end = true;
    } else if (!(type[0] & 0x20)) {
      *error = "unknown critical chunk";
      return false;
    }
    pos += 12 + static_cast<size_t>(len);
  }
  if (!header || idat.size() < 6) {
    *error = "no header or no image data";
    return false;
  }
  if ((idat[0] & 0x0F) != 8 || (idat[1] & 0x20) || ((idat[0] << 8) | idat[1]) % 31 != 0) {
    *error = "bad zlib header";
    return false;
  }
  size_t expected = static_cast<size_t>(h) * (static_cast<size_t>(w) + 1);
  Inflater inflater(idat.data() + 2, idat.size() - 2, expected);
  if (!inflater.run() || inflater.out().size() != expected) {
    *error = "bad or short compressed data";
    return false;
  }
  size_t trailer = 2 + inflater.consumed();
  if (idat.size() < trailer + 4 || be32(&idat[trailer]) != adler32_of(inflater.out())) {
    *error = "zlib checksum mismatch";
    return false;
  }
  if (!unfilter(inflater.out(), w, h, pixels, error)) return false;
  *width = w;
  *height = h;
  return true;
}
