#include "digest.h"

#include <new>

#include "common/failure.h"

namespace seqtally::core {
namespace {

// Fetched once per process: an implicit fetch on every EVP_DigestInit_ex
// costs more than digesting a short record.
const EVP_MD* fetched(Digest::Algorithm algorithm) {
    struct MdFree {
        void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
    };
    static const std::unique_ptr<EVP_MD, MdFree> sha512(EVP_MD_fetch(nullptr, "SHA512", nullptr));
    static const std::unique_ptr<EVP_MD, MdFree> md5(EVP_MD_fetch(nullptr, "MD5", nullptr));
    const EVP_MD* md = algorithm == Digest::Algorithm::Sha512 ? sha512.get() : md5.get();
    if (md == nullptr) throw InternalFailure("the digest library offers no SHA-512 or MD5");
    return md;
}

}  // namespace

Digest::Digest(Algorithm algorithm) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw std::bad_alloc();
    if (EVP_DigestInit_ex2(ctx_.get(), fetched(algorithm), nullptr) != 1) {
        throw InternalFailure("could not start a digest computation");
    }
}

void Digest::restart() {
    // No digest named: the context keeps the one it has and only resets its
    // state, without looking the algorithm up again.
    if (EVP_DigestInit_ex2(ctx_.get(), nullptr, nullptr) != 1) {
        throw InternalFailure("could not start a digest computation");
    }
}

void Digest::update(std::span<const std::uint8_t> bytes) {
    if (EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1) {
        throw InternalFailure("could not feed a digest computation");
    }
}

std::span<const std::uint8_t> Digest::finish() {
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out_.data(), &size) != 1) {
        throw InternalFailure("could not finish a digest computation");
    }
    return {out_.data(), size};
}

// Both encodings write into storage sized beforehand: appending a character
// at a time costs more than hashing a short record.
void base64url_unpadded_into(std::span<const std::uint8_t> bytes, char* at) noexcept {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *at++ = kAlphabet[(group >> 18) & 63];
        *at++ = kAlphabet[(group >> 12) & 63];
        *at++ = kAlphabet[(group >> 6) & 63];
        *at++ = kAlphabet[group & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
        *at++ = kAlphabet[(group >> 18) & 63];
        *at++ = kAlphabet[(group >> 12) & 63];
        if (rest == 2) *at++ = kAlphabet[(group >> 6) & 63];
    }
}

std::string base64url_unpadded(std::span<const std::uint8_t> bytes) {
    std::string out(base64url_unpadded_size(bytes.size()), '\0');
    base64url_unpadded_into(bytes, out.data());
    return out;
}

void lower_hex_into(std::span<const std::uint8_t> bytes, char* at) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const std::uint8_t byte : bytes) {
        *at++ = kDigits[byte >> 4];
        *at++ = kDigits[byte & 15];
    }
}

std::string lower_hex(std::span<const std::uint8_t> bytes) {
    std::string out(bytes.size() * 2, '\0');
    lower_hex_into(bytes, out.data());
    return out;
}

}  // namespace seqtally::core
