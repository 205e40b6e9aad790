#include "devenv/profile.h"

#include <stdio.h>
#include <string.h>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool at_line_start(const char* image, int pos) { return pos == 0 || is_line_end(image[pos - 1]); }

// Index of the character that ends the line holding pos (CR, LF or NUL).
int line_end_of(const char* image, int pos) {
  while (!is_line_end(image[pos]) && !is_text_end(image[pos])) pos++;
  return pos;
}

// Candidates are compared where they stand: image[begin, end) without its
// outer blanks must equal `want` exactly. An empty candidate never names
// anything a caller looks for.
bool trimmed_equals(const char* image, int begin, int end, const char* want, bool allow_empty) {
  while (begin < end && is_blank(image[begin])) begin++;
  while (end > begin && is_blank(image[end - 1])) end--;
  size_t n = static_cast<size_t>(end - begin);
  if (n == 0 && !allow_empty) return false;
  return strlen(want) == n && memcmp(image + begin, want, n) == 0;
}

struct key_match {
  int key_start, key_end, value_start, value_end;
};

// Reads the body of a matching section from `pos` up to the next header
// (a '[' at a line start) or the end of the image. Returns 1 and the match,
// or 0 with *stop at the position where the body ended.
int scan_section_body(const char* image, int pos, const char* key, key_match* found, int* stop) {
  while (!is_text_end(image[pos])) {
    if (is_section_open(image[pos]) && at_line_start(image, pos)) break;
    int start = pos;
    int end = line_end_of(image, pos);
    if (image[start] != ';') {
      int eq = start;
      while (eq < end && image[eq] != '=') eq++;
      if (eq < end && eq > start && trimmed_equals(image, start, eq, key, false)) {
        *found = {start, eq - 1, eq + 1, end};
        return 1;
      }
    }
    pos = end;
    if (!is_text_end(image[pos])) pos++;
  }
  *stop = pos;
  return 0;
}

}  // namespace

int is_line_end(char c) { return c == '\r' || c == '\n'; }
int is_text_end(char c) { return c == '\0'; }
int is_section_open(char c) { return c == '['; }
int is_section_close(char c) { return c == ']'; }

char* str_trim(char* s) {
  if (!s) return nullptr;
  const char* begin = s;
  while (is_blank(*begin)) begin++;
  size_t n = strlen(begin);
  while (n > 0 && is_blank(begin[n - 1])) n--;
  memmove(s, begin, n);
  s[n] = '\0';
  return s;
}

char* str_left(char* dst, const char* src, int n) {
  if (!dst || !src) return dst;
  size_t len = strnlen(src, n > 0 ? static_cast<size_t>(n) : 0);
  memcpy(dst, src, len);
  dst[len] = '\0';
  return dst;
}

int load_ini_file(const char* file, char* image, int* length) {
  if (length) *length = 0;
  if (!file || !image || !length) return 0;
  FILE* f = fopen(file, "r");
  if (!f) return 0;
  // The last byte of the image is reserved for the terminating NUL.
  int kept = 0;
  int c;
  while (kept < PROFILE_IMAGE_SIZE - 1 && (c = getc(f)) != EOF && c != 0xFF) {
    image[kept++] = static_cast<char>(c);
  }
  image[kept] = '\0';
  *length = kept;
  fclose(f);
  return 1;
}

int locate_profile_key(const char* section, const char* key, const char* image,
                       int* section_name_start, int* section_body_start, int* key_start,
                       int* key_end, int* value_start, int* value_end) {
  int* positions[] = {section_name_start, section_body_start, key_start, key_end, value_start, value_end};
  for (int* p : positions) {
    if (!p) return 0;
    *p = -1;
  }
  if (!section || !key || !image) return 0;

  int pos = 0;
  while (!is_text_end(image[pos])) {
    if (!is_section_open(image[pos]) || !at_line_start(image, pos)) {
      pos++;
      continue;
    }
    // A header runs to the next ']' even across lines, or to the end of the image.
    int name_start = pos + 1;
    int close = name_start;
    while (!is_section_close(image[close]) && !is_text_end(image[close])) close++;
    if (!trimmed_equals(image, name_start, close, section, true)) {
      pos = close;
      continue;
    }
    int body = close;
    if (is_section_close(image[body])) {
      body++;
      while (is_white_space(image[body])) body++;
    }
    key_match found;
    if (scan_section_body(image, body, key, &found, &pos)) {
      *section_name_start = name_start;
      *section_body_start = body;
      *key_start = found.key_start;
      *key_end = found.key_end;
      *value_start = found.value_start;
      *value_end = found.value_end;
      return 1;
    }
  }
  return 0;
}

int profile_value_from_image(const char* section, const char* key, const char* image, char* out,
                             int size) {
  if (!section || !key || !image || !out || size < 1) return 0;
  int name_start, body_start, key_start, key_end, value_start, value_end;
  if (!locate_profile_key(section, key, image, &name_start, &body_start, &key_start, &key_end,
                          &value_start, &value_end)) {
    return 0;
  }
  // Cut before trimming: a long value padded with blanks loses characters
  // that a trim-first order would have kept.
  int length = value_end - value_start;
  if (length > size - 1) length = size - 1;
  memset(out, 0, static_cast<size_t>(size));
  memcpy(out, image + value_start, static_cast<size_t>(length));
  out[length] = '\0';
  str_trim(out);
  return 1;
}

int read_profile_string(const char* section, const char* key, char* out, int size,
                        const char* default_value, const char* file) {
  char image[PROFILE_IMAGE_SIZE];
  memset(image, 0, sizeof image);
  if (!section || !key || !out || !file || size < 1) return 0;
  int length = 0;
  if (load_ini_file(file, image, &length) &&
      profile_value_from_image(section, key, image, out, size)) {
    return 1;
  }
  if (default_value) {
    memset(out, 0, static_cast<size_t>(size));
    memcpy(out, default_value, strnlen(default_value, static_cast<size_t>(size - 1)));
  }
  return 0;
}
