// Small file and process helpers for tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

bool write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// Runs fn in a forked child; returns its exit code (128 + signal if killed).
int run_in_child(const std::function<int()>& fn);
// Runs a shell command and returns its exit code.
int shell(const std::string& cmd);
// Runs a program (argv[0] is its path) and returns its exit code (128 + signal if killed).
int run_argv(const std::vector<std::string>& argv);
