// Content hashes: XXH3 with 128 bits (libxxhash), computed in the same pass that copies the data.
#pragma once

#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tool {

class CContentHash {
  public:
    // The name recorded in manifests.
    static constexpr const char* kName = "xxh3-128";

    CContentHash();
    ~CContentHash();
    CContentHash(const CContentHash&) = delete;
    CContentHash& operator=(const CContentHash&) = delete;

    void Reset();
    void Update(const void* data, size_t length);
    // 32 lower-case hex digits of the bytes seen since the last Reset.
    std::string HexDigest() const;

  private:
    XXH3_state_t* m_pState;
};

// A running 64-bit XXH3 over text, for the manifest's own checksum.
class CTextChecksum {
  public:
    CTextChecksum();
    ~CTextChecksum();
    CTextChecksum(const CTextChecksum&) = delete;
    CTextChecksum& operator=(const CTextChecksum&) = delete;

    void Update(const std::string& text);
    // 16 lower-case hex digits.
    std::string HexDigest() const;

  private:
    XXH3_state_t* m_pState;
};

}  // namespace tool
