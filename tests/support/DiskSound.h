// What SDL's disk audio driver wrote: the raw file's size as it grows, and its 16-bit samples.
// Shared by the player's tests and the player's sync benchmark.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qm::test {

// The file's size in bytes; -1 while it does not exist.
inline int64_t FileSize(const std::string& AName) {
    struct stat st {};
    return ::stat(AName.c_str(), &st) == 0 ? st.st_size : -1;
}

// Every 16-bit sample of the file, channels interleaved as written.
inline std::vector<int16_t> ReadSamples(const std::string& AName) {
    std::ifstream in(AName, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

} // namespace qm::test
