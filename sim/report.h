// What a person and the phone's other processes saw during a boot, written
// after it as report.txt and report.json (with the LCD frames as PNG
// pictures) into a report directory. A report can also be made later, of a
// root as it is, from the records its last boot left in /sim/boot.
#pragma once

#include <string>
#include <vector>

#include "sim/envstore.h"

namespace sim {

struct FlashState {
  std::string name;    // "mtd3", "mtdblock/3"
  long long size = -1; // -1: no such file
  std::string sha256;
};

struct Snapshot {
  std::vector<FlashState> flash;
  EnvList env;
};

Snapshot snapshot_take(const std::string& root);

struct ReportInput {
  std::string root;
  std::vector<std::string> command;
  bool status_known = true;  // false for a report made after the fact without one
  int status = 0;            // what boot_run answered
  Snapshot before, after;
};

// Writes report.txt, report.json, frames/frame-NNNN.png and frames.png
// (the distinct frames side by side) into dir. 0, or -1 with *error.
int report_write(const ReportInput& in, const std::string& dir, std::string* error);

// Before a boot: keeps the command and the snapshot the report compares
// with in /sim/boot/before.json. After it: adds "status N" to
// /sim/boot/result. 0, or -1 with *error.
int report_boot_begin(const std::string& root, const std::vector<std::string>& command, std::string* error);
int report_boot_end(const std::string& root, int status, std::string* error);

// The report of the root's last boot, with the root's flash and
// environment as they are now (after a power cut: as the cut left them).
// 0, or -1 with *error (no boot records in the root).
int report_of_root(const std::string& root, const std::string& dir, std::string* error);

// Grey picture of a framebuffer copy (hostlib/fbpng.h): 480 x 272, 0 black to
// 255 white. The format follows from the size: 16 bits a pixel from 261120
// bytes on, 4 bits a pixel (even x in the low nibble) from 65280 bytes on.
// false when shorter.
bool frame_to_grey(const std::string& fb, std::vector<unsigned char>* grey);
// Writes an 8-bit greyscale PNG. 0 or -1.
int write_grey_png(const std::string& path, const unsigned char* pixels, int width, int height);

}  // namespace sim
