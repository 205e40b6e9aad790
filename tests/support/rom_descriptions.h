// ROM descriptions (romtool's format) that several tests build from.
#pragma once

// Two flash partitions (ids 0 and 1) for board 59, version 1.144.6.100,
// which passes the minimum-version rules of every board.
inline constexpr char kTwoPartitionRom[] =
    "[rom]\ndevice_id = 59\nrom_version = 1.144.6.100\nmatch_id = 0\nscramble_key = 0x2A\n"
    "[partition]\npartition_id = 0\npartition_version = 1.144.6.100\npattern = 1 1000\n"
    "[partition]\npartition_id = 1\npartition_version = 1.144.6.100\npattern = 2 999\n";
