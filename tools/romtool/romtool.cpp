// romtool: builds, inspects and checks ROM images (docs/rom-format.md).
//
//   romtool build DESCRIPTION OUTPUT [--set SECTION.KEY=VALUE]... [--size N]
//                 [--poke OFFSET=WORD]... [--truncate N] [--flip OFFSET[:MASK]]...
//   romtool info IMAGE
//   romtool check [-v] [--keep] IMAGE PROFILE
//   romtool sign IMAGE KEY.pem OUTPUT
//   romtool verify IMAGE PUBLIC.pem
#include <stdio.h>
#include <string.h>

#include <string>

#include "tools/romtool/romtool.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: romtool build DESCRIPTION OUTPUT [--set SECTION.KEY=VALUE]... [--size N]\n"
          "                     [--poke OFFSET=WORD]... [--truncate N] [--flip OFFSET[:MASK]]...\n"
          "       romtool info IMAGE\n"
          "       romtool check [-v] [--keep] IMAGE PROFILE\n"
          "       romtool sign IMAGE KEY.pem OUTPUT\n"
          "       romtool verify IMAGE PUBLIC.pem\n");
  return romtool::kExitUsage;
}

// A number of the command line, at most `max`; a refusal names the option.
bool number_arg(const std::string& option, const std::string& text, uint64_t max, uint64_t* out) {
  if (romtool::parse_number(text, out) && *out <= max) return true;
  fprintf(stderr, "romtool: %s %s: expected a number from 0 to %llu\n", option.c_str(), text.c_str(),
          static_cast<unsigned long long>(max));
  return false;
}

int cmd_build(int argc, char** argv) {
  std::string paths[2];
  int n = 0;
  romtool::BuildOptions options;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    uint64_t v;
    if (a == "--set" && more) {
      options.sets.push_back(argv[++i]);
    } else if (a == "--size" && more) {
      if (!number_arg(a, argv[++i], romtool::kMaxImageSize, &options.size)) return usage();
    } else if (a == "--truncate" && more) {
      if (!number_arg(a, argv[++i], romtool::kMaxImageSize, &v)) return usage();
      options.truncate = static_cast<int64_t>(v);
    } else if ((a == "--poke" || a == "--flip") && more) {
      std::string spec = argv[++i];
      size_t sep = spec.find(a == "--poke" ? '=' : ':');
      uint64_t offset, value = 0x01;
      bool poke = a == "--poke";
      if (poke && sep == std::string::npos) return usage();
      if (!number_arg(a, spec.substr(0, sep), UINT64_MAX, &offset)) return usage();
      if (sep != std::string::npos && !number_arg(a, spec.substr(sep + 1), poke ? 0xFFFFFFFFu : 0xFFu, &value))
        return usage();
      if (poke) {
        options.pokes.emplace_back(offset, static_cast<uint32_t>(value));
      } else {
        options.flips.emplace_back(offset, static_cast<uint8_t>(value));
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return usage();
    } else if (n < 2) {
      paths[n++] = a;
    } else {
      return usage();
    }
  }
  if (n != 2) return usage();
  std::string description, image, error;
  if (romtool::read_whole_file(paths[0], hostlib::kMaxIniBytes, &description, &error) != 0) {
    fprintf(stderr, "romtool: %s\n", error.c_str());
    return romtool::kExitUsage;
  }
  size_t slash = paths[0].rfind('/');
  std::string base_dir = slash == std::string::npos ? "." : paths[0].substr(0, slash);
  if (romtool::build_image(description, base_dir, options, &image, &error) != 0 ||
      romtool::write_whole_file(paths[1], image, &error) != 0) {
    fprintf(stderr, "romtool: %s: %s\n", paths[0].c_str(), error.c_str());
    return romtool::kExitUsage;
  }
  return 0;
}

int cmd_info(int argc, char** argv) {
  if (argc != 1) return usage();
  std::string image, error;
  if (romtool::read_whole_file(argv[0], romtool::kMaxImageSize, &image, &error) != 0) {
    fprintf(stderr, "romtool: %s\n", error.c_str());
    return romtool::kExitUsage;
  }
  return romtool::print_info(image);
}

// The image named first on the command line, or the exit code after a message.
int read_image_arg(const char* path, std::string* image) {
  std::string error;
  if (romtool::read_whole_file(path, romtool::kMaxImageSize, image, &error) == 0) return 0;
  fprintf(stderr, "romtool: %s\n", error.c_str());
  return romtool::kExitUsage;
}

int cmd_sign(int argc, char** argv) {
  if (argc != 3) return usage();
  std::string image, signed_image, error;
  if (int rc = read_image_arg(argv[0], &image)) return rc;
  if (romtool::sign_image(image, argv[1], &signed_image, &error) != 0 ||
      romtool::write_whole_file(argv[2], signed_image, &error) != 0) {
    fprintf(stderr, "romtool: %s: %s\n", argv[0], error.c_str());
    return romtool::kExitUsage;
  }
  return 0;
}

int cmd_verify(int argc, char** argv) {
  if (argc != 2) return usage();
  std::string image, verdict;
  if (int rc = read_image_arg(argv[0], &image)) return rc;
  int rc = romtool::verify_image(image, argv[1], &verdict);
  fprintf(rc == romtool::kExitAccepted ? stdout : stderr, "%s: %s\n", argv[0], verdict.c_str());
  return rc;
}

int cmd_check(int argc, char** argv) {
  bool verbose = false, keep = false;
  std::string paths[2];
  int n = 0;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-v") {
      verbose = true;
    } else if (a == "--keep") {
      keep = true;
    } else if (n < 2 && !(a.size() > 1 && a[0] == '-')) {
      paths[n++] = a;
    } else {
      return usage();
    }
  }
  if (n != 2) return usage();
  return romtool::run_check(paths[0], paths[1], verbose, keep);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "build") return cmd_build(argc - 2, argv + 2);
  if (cmd == "info") return cmd_info(argc - 2, argv + 2);
  if (cmd == "check") return cmd_check(argc - 2, argv + 2);
  if (cmd == "sign") return cmd_sign(argc - 2, argv + 2);
  if (cmd == "verify") return cmd_verify(argc - 2, argv + 2);
  if (cmd == "__check-in-root" && argc >= 3) {
    return romtool::run_check_in_root(argv[2], argc > 3 && strcmp(argv[3], "-v") == 0);
  }
  return usage();
}
