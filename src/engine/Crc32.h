#pragma once
// The standard CRC-32 (zip, PNG) of a buffer, continued from `crc` exactly as zlib's crc32()
// continues it: Crc32Update(0, nullptr, 0) is the start value, and a buffer may be fed in any
// number of pieces. On processors with carry-less multiplication the bulk of a buffer is
// folded sixteen bytes at a time; elsewhere, and for the last few bytes, zlib does the work.

#include <cstddef>
#include <cstdint>

uint32_t Crc32Update(uint32_t crc, const unsigned char* data, size_t size);
