// Golden pictures of the screens as binary PBM files ("P4"): one bit a pixel,
// 1 dark, rows padded to whole bytes. Pictures of the panel are two-level,
// so nothing is lost, and any image viewer opens them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Grey pixels (0 dark, 255 light), row by row; empty when the file is
// missing or not a P4 picture of exactly its stated size.
std::vector<uint8_t> pbm_read(const std::string& path, int* width, int* height);
// Writes grey pixels (0 dark, anything else light). True on success.
bool pbm_write(const std::string& path, const std::vector<uint8_t>& grey, int width, int height);
