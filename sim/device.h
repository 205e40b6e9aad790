// A simulated phone made from a device profile, and the preparation of
// each boot: docs/simulator.md describes the profile sections.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/boot.h"
#include "sim/profile.h"

namespace sim {

// The profile a boot uses when none is given and the root has none stored.
extern const char kTypicalProfile[];

// Makes the phone described by the profile in `root` (which
// simroot_populate has laid out): versions, the boot-loader environment,
// flash partitions, framebuffer, keypad, board control, extra files. The
// profile is kept as /sim/profile.ini. Existing flash and environment are
// kept unless `fresh`. 0, or -1 with a message in *error.
int device_create(const std::string& root, const Profile& profile, bool fresh, std::string* error);

// The profile a boot of `root` follows: the given file, else the copy the
// root keeps, else the typical phone. 0 or -1 with *error.
int device_profile(const std::string& root, const std::string& given, Profile* out, std::string* error);

// A root is made anew from the copy of the profile it keeps, which is the
// phone's to change: that copy may name no host file (file=, @FILE) for
// simdev to read into the root. 0, or -1 with *error naming the key.
int device_kept_profile_safe(const std::string& root, const Profile& p, std::string* error);

// Readies the root for one boot: the things a restart resets (framebuffer,
// keypad device, board-control record, /sim/boot), the applications'
// stop script and the fault files the profile names; fills the device part
// of the boot options. 0, or -1 with *error.
int device_prepare_boot(const std::string& root, const Profile& profile, DeviceBoot* boot, int* timeout_seconds,
                        std::string* error);

// The release keys a profile puts on the phone ([keys] NAME = FILE, the
// file relative to the profile): (path in the root, text) pairs, each key at
// /basic/keys/NAME.pem. 0, or -1 with *error.
int device_release_keys(const Profile& profile, std::vector<std::pair<std::string, std::string>>* keys,
                        std::string* error);

// The text of a version file (section Version) from a profile section.
std::string device_version_text(const Profile& profile, const char* section);

}  // namespace sim
