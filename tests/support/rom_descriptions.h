// ROM descriptions (romtool's format) that several tests build from.
#pragma once

// Two flash partitions (ids 0 and 1) for board 59, version 1.144.6.100,
// which passes the minimum-version rules of every board.
inline constexpr char kTwoPartitionRom[] = R"(
[rom]
device_id = 59
rom_version = 1.144.6.100
match_id = 0
scramble_key = 0x2A
[partition]
partition_id = 0
partition_version = 1.144.6.100
pattern = 1 1000
[partition]
partition_id = 1
partition_version = 1.144.6.100
pattern = 2 999
)";
