// Shared pieces of the fuzz targets: a scratch folder per process for targets
// that need real files.
#pragma once

#include <cstdint>
#include <string>


namespace bk::fuzz {

// A fresh folder for this process below $BK_FUZZ_SCRATCH, else below the
// tmpfs when there is one; the target removes what it writes there after
// every input, and whoever set BK_FUZZ_SCRATCH removes the folder.
std::string ScratchFolder(const char* target);

// Writes the bytes as a whole file, replacing it.
void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace bk::fuzz
