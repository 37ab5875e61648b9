// pairgen.exe: prints a fresh X25519 key pair as one compact JSON object.
//
//   pairgen.exe keypair
//   -> {"private_key":"<base64>","public_key":"<base64>"}   exit 0
//
// Keys are the raw 32-byte X25519 values in standard base64 with padding, the text
// form WireGuard-style tunnels use. Usage errors exit 2, key generation failures 1.

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kKeySize = 32;
// Base64 of 32 bytes: 44 characters plus the terminating NUL EVP_EncodeBlock writes.
constexpr std::size_t kEncodedSize = 4 * ((kKeySize + 2) / 3) + 1;

struct PkeyCtxDeleter
{
    void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct PkeyDeleter
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};

int usage()
{
    std::fputs("usage: pairgen.exe keypair\n"
               "  prints {\"private_key\":\"...\",\"public_key\":\"...\"}: a fresh X25519 key pair,\n"
               "  32 bytes each in standard base64\n",
               stderr);
    return 2;
}

int fail(const char *what)
{
    std::fprintf(stderr, "pairgen: %s failed", what);
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        std::fprintf(stderr, ": %s", text);
    }
    std::fputc('\n', stderr);
    return 1;
}

bool encode(const unsigned char *raw, char (&out)[kEncodedSize])
{
    return EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out), raw, static_cast<int>(kKeySize)) ==
           static_cast<int>(kEncodedSize - 1);
}

int generateKeyPair()
{
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
    if (!ctx)
        return fail("EVP_PKEY_CTX_new_id");
    if (EVP_PKEY_keygen_init(ctx.get()) != 1)
        return fail("EVP_PKEY_keygen_init");
    EVP_PKEY *generated = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &generated) != 1 || generated == nullptr)
        return fail("EVP_PKEY_keygen");
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(generated);

    unsigned char privateRaw[kKeySize];
    unsigned char publicRaw[kKeySize];
    std::size_t privateSize = sizeof privateRaw;
    std::size_t publicSize = sizeof publicRaw;
    if (EVP_PKEY_get_raw_private_key(key.get(), privateRaw, &privateSize) != 1 || privateSize != kKeySize) {
        OPENSSL_cleanse(privateRaw, sizeof privateRaw);
        return fail("EVP_PKEY_get_raw_private_key");
    }
    if (EVP_PKEY_get_raw_public_key(key.get(), publicRaw, &publicSize) != 1 || publicSize != kKeySize) {
        OPENSSL_cleanse(privateRaw, sizeof privateRaw);
        return fail("EVP_PKEY_get_raw_public_key");
    }

    char privateText[kEncodedSize];
    char publicText[kEncodedSize];
    const bool encoded = encode(privateRaw, privateText) && encode(publicRaw, publicText);
    OPENSSL_cleanse(privateRaw, sizeof privateRaw);
    if (!encoded) {
        OPENSSL_cleanse(privateText, sizeof privateText);
        return fail("EVP_EncodeBlock");
    }

    // Base64 needs no JSON escaping, so the object is written as it stands.
    const int written =
        std::printf("{\"private_key\":\"%s\",\"public_key\":\"%s\"}\n", privateText, publicText);
    OPENSSL_cleanse(privateText, sizeof privateText);
    if (written < 0 || std::fflush(stdout) != 0) {
        std::fputs("pairgen: writing to standard output failed\n", stderr);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || std::strcmp(argv[1], "keypair") != 0)
        return usage();
    return generateKeyPair();
}
