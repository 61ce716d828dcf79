#include "Hash.h"

#include <cstdio>
#include <new>

namespace tool {

namespace {

XXH3_state_t* NewState() {
    XXH3_state_t* state = XXH3_createState();
    if (state == nullptr)
        throw std::bad_alloc();
    return state;
}

}  // namespace

CContentHash::CContentHash() : m_pState(NewState()) {
    Reset();
}

CContentHash::~CContentHash() {
    XXH3_freeState(m_pState);
}

void CContentHash::Reset() {
    XXH3_128bits_reset(m_pState);
}

void CContentHash::Update(const void* data, size_t length) {
    XXH3_128bits_update(m_pState, data, length);
}

std::string CContentHash::HexDigest() const {
    const XXH128_hash_t hash = XXH3_128bits_digest(m_pState);
    char text[33];
    snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
             static_cast<unsigned long long>(hash.low64));
    return text;
}

CTextChecksum::CTextChecksum() : m_pState(NewState()) {
    XXH3_64bits_reset(m_pState);
}

CTextChecksum::~CTextChecksum() {
    XXH3_freeState(m_pState);
}

void CTextChecksum::Update(const std::string& text) {
    XXH3_64bits_update(m_pState, text.data(), text.size());
}

std::string CTextChecksum::HexDigest() const {
    char text[17];
    snprintf(text, sizeof text, "%016llx",
             static_cast<unsigned long long>(XXH3_64bits_digest(m_pState)));
    return text;
}

}  // namespace tool
