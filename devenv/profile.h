// A minimal reader of INI-style profile files: "[section]" headers and
// "key = value" lines. It only reads, keeps no cache and logs nothing; every
// lookup loads the whole file again into an image on the caller's stack.
#pragma once

#include <stddef.h>

// Size of a profile image: the file's bytes followed by a terminating NUL.
// At most PROFILE_IMAGE_SIZE - 1 content bytes of a file are ever loaded.
#define PROFILE_IMAGE_SIZE 0x28000

// Looks `key` up in `section` of `file`. 1 when found: `out` (size bytes,
// size >= 1) holds the value cut to size - 1 characters, then trimmed of
// blanks. 0 when not found: `out` receives a bounded copy of `default_value`
// when that is not NULL, and is left untouched otherwise. NULL section, key,
// out or file, or a size below 1, answer 0 without touching out.
int read_profile_string(const char* section, const char* key, char* out, int size,
                        const char* default_value, const char* file);

// Same lookup over an image already in memory (NUL-terminated text), with the
// same value extraction; the default is not applied here.
int profile_value_from_image(const char* section, const char* key, const char* image, char* out,
                             int size);

// Loads `file` into `image`, which must hold PROFILE_IMAGE_SIZE bytes. A byte
// 0xFF ends the content like end of file. 1 on success (length = bytes kept),
// 0 when an argument is NULL or the file cannot be opened.
int load_ini_file(const char* file, char* image, int* length);

// Scans a loaded image for `key` in `section`. 1 and the six positions when
// found; 0 and every position -1 otherwise. value_end is exclusive.
int locate_profile_key(const char* section, const char* key, const char* image,
                       int* section_name_start, int* section_body_start, int* key_start,
                       int* key_end, int* value_start, int* value_end);

// Removes leading and trailing spaces and tabs in place; returns s (NULL for NULL).
char* str_trim(char* s);
// Copies the first n characters of src (all of it when shorter) and
// terminates dst; returns dst.
char* str_left(char* dst, const char* src, int n);

int is_line_end(char c);
int is_text_end(char c);
int is_section_open(char c);
int is_section_close(char c);
