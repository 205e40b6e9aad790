// Building a ROM image from a description: lay out the headers and the
// payloads, compute every checksum over what the headers declare, scramble
// the ROM header with the inverse of the program's table.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "common/byteorder.h"
#include "rom/rom_format.h"
#include "tools/romtool/romtool.h"

namespace romtool {
namespace {

struct Field {
  const char* key;
  size_t offset;
  int width;  // bytes: 4 or 1
};

const Field kRomFields[] = {
    {"magic_num", 0x00, 4},    {"rom_header_size", 0x04, 4}, {"rom_header_checksum", 0x08, 4},
    {"rom_type", 0x0C, 4},     {"process_type", 0x10, 4},    {"partition_num", 0x14, 4},
    {"device_id", 0x18, 4},    {"oem_id", 0x1C, 4},          {"rom_version", 0x20, 4},
    {"rom_size", 0x24, 4},     {"rom_checksum", 0x28, 4},    {"mid_version", 0x3C, 4},
    {"sw_protect", 0x40, 4},   {"magic_num2", 0x68, 4},      {"scramble_key", 0x7C, 1},
};

const Field kPartitionFields[] = {
    {"magic_num", 0x00, 4},         {"partition_header_size", 0x04, 4}, {"partition_header_checksum", 0x08, 4},
    {"partition_type", 0x0C, 4},    {"process_type", 0x10, 4},          {"partition_data_type", 0x14, 4},
    {"partition_id", 0x18, 4},      {"partition_version", 0x1C, 4},     {"partition_size", 0x20, 4},
    {"partition_checksum", 0x24, 4}, {"partition_offset", 0x28, 4},
};

constexpr uint64_t kMaxHeaderSize = 65536;
// Payloads are placed at multiples of align; beyond an erase unit or two it
// only makes images large, and a huge one would wrap the placement sums.
constexpr uint64_t kMaxAlign = 1024 * 1024;

using Values = std::map<std::string, std::string>;

struct Section {
  Values values;
  int line = 0;
};

const Field* find_field(const Field* fields, size_t count, const std::string& key) {
  for (size_t i = 0; i < count; ++i) {
    if (key == fields[i].key) return &fields[i];
  }
  return nullptr;
}

template <size_t N>
bool known_key(const Field (&fields)[N], const std::string& key, const char* const* extra) {
  std::string base = key;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, "_xor") == 0) base.resize(base.size() - 4);
  if (find_field(fields, N, base)) return true;
  for (; *extra; ++extra) {
    if (key == *extra) return true;
  }
  return false;
}

const char* const kRomExtraKeys[] = {"match_id", "align", nullptr};
const char* const kPartitionExtraKeys[] = {"file", "pattern", "fill", "text", "special", nullptr};

class Builder {
 public:
  Builder(const std::string& base_dir, std::string* error) : base_dir_(base_dir), error_(error) {}

  bool number(const Values& v, const std::string& key, uint64_t fallback, uint64_t* out) {
    auto it = v.find(key);
    if (it == v.end()) {
      *out = fallback;
      return true;
    }
    if (!parse_number(it->second, out)) return fail("not a number: " + key + " = " + it->second);
    return true;
  }

  bool fail(const std::string& message) {
    *error_ = message;
    return false;
  }

  // The field's value: the description's, or the computed one, then XORed
  // with the description's KEY_xor.
  bool field(const Values& v, const Field& f, uint64_t computed, uint32_t* out) {
    uint64_t value, mask;
    if (!number(v, f.key, computed, &value) || !number(v, std::string(f.key) + "_xor", 0, &mask)) return false;
    uint64_t limit = f.width == 1 ? 0xFF : 0xFFFFFFFFull;
    if (value > limit || mask > limit) return fail(std::string("out of range: ") + f.key);
    *out = static_cast<uint32_t>(value ^ mask);
    return true;
  }

  bool payload(const Values& v, std::string* out) {
    int sources = 0;
    for (const char* k : {"file", "pattern", "fill", "text"}) sources += v.count(k) ? 1 : 0;
    if (sources > 1) return fail("a partition takes one of file, pattern, fill, text");
    out->clear();
    if (v.count("file")) {
      std::string path = v.at("file");
      if (!path.empty() && path[0] != '/' && !base_dir_.empty()) path = base_dir_ + "/" + path;
      return read_whole_file(path, kMaxImageSize, out, error_) == 0;
    }
    if (v.count("text")) {
      *out = hostlib::ini_unescape(v.at("text"));
      return true;
    }
    if (v.count("pattern") || v.count("fill")) {
      bool pattern = v.count("pattern") != 0;
      std::string spec = v.at(pattern ? "pattern" : "fill");
      size_t space = spec.find_first_of(" \t");
      uint64_t seed, size;
      if (space == std::string::npos || !parse_number(spec.substr(0, space), &seed) ||
          !parse_number(spec.substr(space + 1), &size) || size > kMaxImageSize) {
        return fail(std::string(pattern ? "pattern" : "fill") + " = " + spec + ": expected " +
                    (pattern ? "SEED" : "BYTE") + " SIZE, SIZE at most " + std::to_string(kMaxImageSize));
      }
      out->resize(size);
      uint32_t state = static_cast<uint32_t>(seed) ? static_cast<uint32_t>(seed) : 0x9E3779B9u;
      for (uint64_t i = 0; i < size; ++i) {
        if (!pattern) {
          (*out)[i] = static_cast<char>(seed & 0xFF);
          continue;
        }
        // xorshift32: the same bytes for the same seed on every host.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        (*out)[i] = static_cast<char>(state >> 24);
      }
    }
    return true;
  }

 private:
  std::string base_dir_;
  std::string* error_;
};

void put(std::string* image, size_t offset, const Field& f, uint32_t value) {
  if (f.width == 1) {
    (*image)[offset + f.offset] = static_cast<char>(value);
  } else {
    store_le32(&(*image)[offset + f.offset], value);
  }
}

unsigned char* bytes(std::string* s) { return reinterpret_cast<unsigned char*>(&(*s)[0]); }

// XOR of the words of [offset, offset + 4 * (len / 4)), as far as they lie in the image.
uint32_t xor_declared(const std::string& image, uint64_t offset, uint64_t len) {
  if (offset >= image.size()) return 0;
  uint64_t words = len / 4;
  uint64_t room = (image.size() - offset) / 4;
  if (words > room) words = room;
  return xor_words(reinterpret_cast<const unsigned char*>(image.data()) + offset, words);
}

std::string hex(uint64_t v) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

uint64_t align_up(uint64_t v, uint64_t a) { return a <= 1 ? v : (v + a - 1) / a * a; }

// The builder's side of the scrambling: the descrambler computes
// rotl(decrypt[T], key % len) with decrypt[b] = (167 * b + 59) mod 256, so
// the stored stream is T = inverse[rotr(S, key % len)] with
// inverse[x] = 23 * (x - 59) mod 256 (23 * 167 = 1 mod 256). The table is
// romtool's own, so that a wrong table in the program cannot cancel out.
void scramble_header(unsigned char* h, uint32_t header_size) {
  unsigned char inverse[256];
  for (unsigned x = 0; x < 256; ++x) inverse[x] = static_cast<unsigned char>((23u * (x + 256u - 59u)) & 0xFFu);
  int len = static_cast<int>(header_size) - 36;  // from 0x0C to 36 bytes before the header's end
  unsigned char* region = h + 0x0C;
  int k = h[0x7C] % len;
  unsigned char rotated[256];
  for (int i = 0; i < len; ++i) rotated[(i + k) % len] = region[i];
  uint32_t plain_partition_num = load_le32(h + 0x14);
  uint32_t plain_rom_size = load_le32(h + 0x24);
  uint32_t plain_rom_checksum = load_le32(h + 0x28);
  for (int i = 0; i < len; ++i) region[i] = inverse[rotated[i]];
  store_le32(h + 0x6C, load_le32(h + 0x14));
  store_le32(h + 0x74, load_le32(h + 0x24));
  store_le32(h + 0x70, load_le32(h + 0x28));
  store_le32(h + 0x14, plain_partition_num);
  store_le32(h + 0x24, plain_rom_size);
  store_le32(h + 0x28, plain_rom_checksum);
}

bool apply_sets(const std::vector<std::string>& sets, Section* rom, std::vector<Section>* parts, std::string* error) {
  for (const std::string& s : sets) {
    size_t dot = s.find('.');
    size_t eq = s.find('=');
    if (dot == std::string::npos || eq == std::string::npos || eq < dot) {
      *error = "--set expects SECTION.KEY=VALUE: " + s;
      return false;
    }
    std::string section = s.substr(0, dot), key = s.substr(dot + 1, eq - dot - 1), value = s.substr(eq + 1);
    if (section == "rom") {
      rom->values[key] = value;
    } else if (section.compare(0, 4, "part") == 0) {
      uint64_t n;
      if (!parse_number(section.substr(4), &n) || n >= parts->size()) {
        *error = "--set names no partition of the description: " + s;
        return false;
      }
      (*parts)[n].values[key] = value;
    } else {
      *error = "--set section must be rom or partN: " + s;
      return false;
    }
  }
  return true;
}

bool special_entry(Values* v, std::string* error) {
  auto it = v->find("special");
  if (it == v->end()) return true;
  const char* type = nullptr;
  if (it->second == "tool") type = "1";
  if (it->second == "mtd_config") type = "2";
  if (it->second == "config_modify") type = "3";
  if (!type) {
    *error = "special must be tool, mtd_config or config_modify: " + it->second;
    return false;
  }
  v->emplace("partition_id", "255");
  v->emplace("partition_type", type);
  return true;
}

bool match_ids(const Values& v, unsigned char out[16], std::string* error) {
  for (int i = 0; i < 16; ++i) out[i] = static_cast<unsigned char>(i);
  auto it = v.find("match_id");
  if (it == v.end()) return true;
  memset(out, 0xFF, 16);
  std::string list = it->second;
  for (char& c : list) {
    if (c == ',') c = ' ';
  }
  int n = 0;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t b = list.find_first_not_of(' ', pos);
    if (b == std::string::npos) break;
    size_t e = list.find(' ', b);
    if (e == std::string::npos) e = list.size();
    uint64_t id;
    if (n == 16 || !parse_number(list.substr(b, e - b), &id) || id > 255) {
      *error = "match_id takes up to 16 byte values: " + it->second;
      return false;
    }
    out[n++] = static_cast<unsigned char>(id);
    pos = e;
  }
  return true;
}

}  // namespace

int build_image(const std::string& description, const std::string& base_dir, const BuildOptions& options,
                std::string* image, std::string* error) {
  std::vector<IniSection> sections;
  if (ini_parse(description, &sections, error) != 0) return -1;
  Section rom;
  std::vector<Section> parts;
  for (const IniSection& s : sections) {
    Section out;
    out.line = s.line;
    for (const auto& kv : s.entries)
      if (!out.values.emplace(kv.first, kv.second).second) {
        *error = "line " + std::to_string(s.line) + ": [" + s.name + "] gives " + kv.first + " twice";
        return -1;
      }
    if (s.name == "rom") {
      if (rom.line != 0) {
        *error = "line " + std::to_string(s.line) + ": a second [rom] section (the first is at line " +
                 std::to_string(rom.line) + ")";
        return -1;
      }
      rom = out;
    } else if (s.name == "partition") {
      if (parts.size() == kMaxPartitions) {
        *error = "line " + std::to_string(s.line) + ": more than " + std::to_string(kMaxPartitions) +
                 " [partition] sections (the format holds at most " + std::to_string(kMaxPartitions) + ")";
        return -1;
      }
      parts.push_back(out);
    } else {
      *error = "line " + std::to_string(s.line) + ": unknown section [" + s.name + "]";
      return -1;
    }
  }
  if (rom.line == 0) {
    *error = "no [rom] section";
    return -1;
  }
  if (!apply_sets(options.sets, &rom, &parts, error)) return -1;
  for (const auto& kv : rom.values) {
    if (!known_key(kRomFields, kv.first, kRomExtraKeys)) {
      *error = "unknown key in [rom]: " + kv.first;
      return -1;
    }
  }
  for (Section& p : parts) {
    if (!special_entry(&p.values, error)) return -1;
    for (const auto& kv : p.values) {
      if (!known_key(kPartitionFields, kv.first, kPartitionExtraKeys)) {
        *error = "unknown key in [partition] at line " + std::to_string(p.line) + ": " + kv.first;
        return -1;
      }
    }
  }

  Builder b(base_dir, error);
  uint64_t rom_header_size, align;
  if (!b.number(rom.values, "rom_header_size", ROM_STANDARD_HEADER_SIZE, &rom_header_size) ||
      !b.number(rom.values, "align", 4, &align)) {
    return -1;
  }
  if (align > kMaxAlign) {
    *error = "align = " + rom.values["align"] + ": at most " + std::to_string(kMaxAlign);
    return -1;
  }
  if (rom_header_size > kMaxHeaderSize) {
    *error = "rom_header_size is laid out as given; at most 65536 (use --poke for larger lies)";
    return -1;
  }
  uint64_t header_len = rom_header_size + 12;

  // Layout: partition headers back to back, then the aligned payloads.
  std::vector<uint64_t> header_at(parts.size()), header_size(parts.size()), payload_at(parts.size());
  std::vector<std::string> payloads(parts.size());
  uint64_t pos = header_len, headers_end = header_len;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!b.number(parts[i].values, "partition_header_size", PARTITION_STANDARD_HEADER_SIZE, &header_size[i])) return -1;
    if (header_size[i] > kMaxHeaderSize) {
      *error = "partition_header_size is laid out as given; at most 65536 (use --poke for larger lies)";
      return -1;
    }
    header_at[i] = pos;
    pos += header_size[i] + 12;
    headers_end = std::max({headers_end, pos, header_at[i] + PARTITION_HEADER_COPY_SIZE});
  }
  uint64_t content_end = std::max<uint64_t>(headers_end, ROM_HEADER_COPY_SIZE);
  pos = align_up(headers_end, align);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!b.payload(parts[i].values, &payloads[i])) return -1;
    payload_at[i] = pos;
    content_end = std::max(content_end, pos + payloads[i].size());
    pos = align_up(pos + payloads[i].size(), align);
    if (pos > kMaxImageSize) {
      *error = "image larger than 256 MiB";
      return -1;
    }
  }
  image->assign(content_end, '\0');
  for (size_t i = 0; i < parts.size(); ++i) image->replace(payload_at[i], payloads[i].size(), payloads[i]);

  // Partition headers, in image order; checksums over what each declares.
  for (size_t i = 0; i < parts.size(); ++i) {
    const Values& v = parts[i].values;
    uint32_t value[11];
    uint64_t computed[11] = {PARTITION_MAGIC, header_size[i], 0, 0, 0, 0, 0, 0, payloads[i].size(), 0, payload_at[i]};
    for (int f = 0; f < 11; ++f) {
      if (f == 2 || f == 9) continue;  // checksums below
      if (!b.field(v, kPartitionFields[f], computed[f], &value[f])) return -1;
    }
    if (!b.field(v, kPartitionFields[9], xor_declared(*image, value[10], value[8]), &value[9])) return -1;
    value[2] = 0;
    for (int f = 0; f < 11; ++f) put(image, header_at[i], kPartitionFields[f], value[f]);
    uint32_t header_sum = xor_declared(*image, header_at[i] + 12, 4 * (header_size[i] / 4));
    if (!b.field(v, kPartitionFields[2], header_sum, &value[2])) return -1;
    put(image, header_at[i], kPartitionFields[2], value[2]);
  }

  // The ROM header: fields in plain, the data checksum, then scrambling and
  // the header checksum over the stored bytes.
  std::string header(std::max<uint64_t>(ROM_HEADER_COPY_SIZE, header_len), '\0');
  unsigned char ids[16];
  if (!match_ids(rom.values, ids, error)) return -1;
  memcpy(&header[0x2C], ids, sizeof ids);
  uint32_t value[15];
  uint64_t computed[15] = {ROM_MAGIC, rom_header_size, 0, 0, 0, parts.size(), 0, 0, 0,
                           content_end - header_len, 0, 0, 0, ROM_MAGIC, 0};
  for (int f = 0; f < 15; ++f) {
    if (f == 2 || f == 10) continue;
    if (!b.field(rom.values, kRomFields[f], computed[f], &value[f])) return -1;
  }
  if (!b.field(rom.values, kRomFields[10], xor_declared(*image, header_len, value[9]), &value[10])) return -1;
  value[2] = 0;
  for (int f = 0; f < 15; ++f) put(&header, 0, kRomFields[f], value[f]);
  if (rom_header_size >= ROM_SCRAMBLED_HEADER_MIN && rom_header_size <= ROM_SCRAMBLED_HEADER_MAX) {
    if (rom_header_size > 132) {
      fprintf(stderr, "romtool: warning: a header of %u bytes scrambles over its own counterpart words\n",
              static_cast<unsigned>(rom_header_size));
    }
    scramble_header(bytes(&header), static_cast<uint32_t>(rom_header_size));
  }
  image->replace(0, header_len, header, 0, header_len);
  uint32_t header_sum = xor_declared(*image, 12, 4 * (rom_header_size / 4));
  if (!b.field(rom.values, kRomFields[2], header_sum, &value[2])) return -1;
  put(image, 0, kRomFields[2], value[2]);

  if (options.size) {
    if (options.size < image->size()) {
      *error = "the image (" + std::to_string(image->size()) + " bytes) is larger than --size";
      return -1;
    }
    image->resize(options.size, '\xFF');
  }
  for (const auto& poke : options.pokes) {
    // Compared without a sum, so that an offset near 2^64 cannot wrap past the check.
    if (poke.first > image->size() || image->size() - poke.first < 4) {
      *error = "--poke " + hex(poke.first) + ": beyond the image of " + std::to_string(image->size()) +
               " bytes";
      return -1;
    }
    store_le32(&(*image)[poke.first], poke.second);
  }
  if (options.truncate >= 0 && static_cast<uint64_t>(options.truncate) < image->size()) image->resize(options.truncate);
  for (const auto& flip : options.flips) {
    if (flip.first >= image->size()) {
      *error = "--flip " + hex(flip.first) + ": beyond the image of " + std::to_string(image->size()) +
               " bytes";
      return -1;
    }
    (*image)[flip.first] = static_cast<char>((*image)[flip.first] ^ flip.second);
  }
  return 0;
}

}  // namespace romtool
