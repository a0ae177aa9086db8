#pragma once
// SHA-512 and MD5 from OpenSSL, each as start, feed, finish, and the two
// text encodings of their results.
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace seqtally::core {

class Digest {
  public:
    enum class Algorithm { Sha512, Md5 };

    explicit Digest(Algorithm algorithm);
    // Starts a new digest on the same context, with no allocation.
    void restart();
    void update(std::span<const std::uint8_t> bytes);
    // At most 64 bytes; the digest cannot be fed afterwards.
    std::span<const std::uint8_t> finish();

  private:
    struct CtxFree {
        void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx_;
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> out_{};
};

// RFC 4648 section 5 alphabet, never padded: a final group of one or two
// bytes gives two or three characters.
constexpr std::size_t base64url_unpadded_size(std::size_t bytes) { return (bytes * 4 + 2) / 3; }
// Writes base64url_unpadded_size(bytes.size()) characters from `out` on.
void base64url_unpadded_into(std::span<const std::uint8_t> bytes, char* out) noexcept;
std::string base64url_unpadded(std::span<const std::uint8_t> bytes);
// Writes 2 * bytes.size() characters from `out` on.
void lower_hex_into(std::span<const std::uint8_t> bytes, char* out) noexcept;
std::string lower_hex(std::span<const std::uint8_t> bytes);

}  // namespace seqtally::core
