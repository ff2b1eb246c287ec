// Hashes, Base64 decoding and the exchange-token decryption of the tax-authority client, checked
// against OpenSSL and against the tax authority's published examples.
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Deterministic bytes; with `no_nul` every byte is 1-255, so that the text functions read all of it.
std::string pseudo_random_bytes(std::size_t count, std::uint64_t seed, bool no_nul = true) {
    std::string out(count, '\0');
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (auto& ch : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        auto byte = static_cast<unsigned char>(x >> 24);
        if (no_nul && byte == 0) byte = 0x5A;
        ch = static_cast<char>(byte);
    }
    return out;
}

std::string upper_hex(const unsigned char* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string openssl_digest(const EVP_MD* md, const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, md, nullptr) != 1) return "openssl failed";
    return upper_hex(digest, size);
}

// AES-128-ECB under OpenSSL, with or without PKCS#7 padding.
std::string openssl_aes128_ecb_encrypt(const std::string& plain, const std::string& key16, bool pad) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key16.data()),
                       nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0);
    std::string out(plain.size() + 32, '\0');
    int written = 0, final_written = 0;
    EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                      reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    if (EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + written, &final_written) != 1)
        return "openssl failed";
    out.resize(static_cast<std::size_t>(written + final_written));
    return out;
}

std::string decode(std::string text) {
    const std::size_t n = base64_decode(text.size(), text.data());
    EXPECT_EQ(text.c_str()[n], '\0') << "no NUL after the decoded bytes";
    return text.substr(0, n);
}

bool has_lower_case(const std::string& text) {
    for (unsigned char ch : text)
        if (std::islower(ch)) return true;
    return false;
}

const std::string key16 = "0123456789abcdef";

}  // namespace

TEST(NavCrypto, Sha512MatchesOpenSsl) {
    EXPECT_EQ(sha512_hex(""),
              "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F"
              "63B931BD47417A81A538327AF927DA3E");
    EXPECT_EQ(sha512_hex("abc"),
              "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD"
              "454D4423643CE80E2A9AC94FA54CA49F");

    std::vector<std::string> inputs = {
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
        "nopqrstu",
        "Árvíztűrő tükörfúrógép", "\xff\xfe\x80\x81 \xc3\x28",
        pseudo_random_bytes(1000003, 7)};
    for (std::size_t length = 0; length <= 300; ++length) inputs.push_back(pseudo_random_bytes(length, length));
    for (const auto& input : inputs) {
        const std::string ours = sha512_hex(input);
        ASSERT_EQ(ours, openssl_digest(EVP_sha512(), input)) << "length " << input.size();
        EXPECT_EQ(ours.size(), 128u);
        EXPECT_FALSE(has_lower_case(ours));
    }
}

TEST(NavCrypto, Sha3_512MatchesOpenSsl) {
    EXPECT_EQ(sha3_512_hex(""),
              "A69F73CCA23A9AC5C8B567DC185A756E97C982164FE25859E0D1DCC1475C80A615B2123AF1F5F94C11E3E9402C3AC558"
              "F500199D95B6D3E301758586281DCD26");
    EXPECT_EQ(sha3_512_hex("abc"),
              "B751850B1A57168A5693CD924B6B096E08F621827444F70D884F5D0240D2712E10E116E9192AF3C91A7EC57647E39340"
              "57340B4CF408D5A56592F8274EEC53F0");

    std::vector<std::string> inputs = {"Árvíztűrő tükörfúrógép", "\xff\xfe\x80\x81 \xc3\x28",
                                       pseudo_random_bytes(1000003, 11)};
    for (std::size_t length = 0; length <= 300; ++length) inputs.push_back(pseudo_random_bytes(length, length + 500));
    for (const auto& input : inputs) {
        const std::string ours = sha3_512_hex(input);
        ASSERT_EQ(ours, openssl_digest(EVP_sha3_512(), input)) << "length " << input.size();
        EXPECT_EQ(ours.size(), 128u);
        EXPECT_FALSE(has_lower_case(ours));
    }

    // The byte interface takes its length as given, NUL bytes included.
    for (std::size_t length : {0u, 1u, 71u, 72u, 73u, 143u, 144u, 145u, 4096u}) {
        const std::string input = pseudo_random_bytes(length, length, false);
        std::uint8_t out[64];
        EXPECT_EQ(sha3_512(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), out), out);
        EXPECT_EQ(upper_hex(out, 64), openssl_digest(EVP_sha3_512(), input)) << "length " << length;
    }

    // Keccak-f[1600] of the zero state: its first two lanes are well known.
    std::uint64_t state[25] = {};
    keccak_f1600(state);
    EXPECT_EQ(state[0], 0xF1258F7940E1DDE7ULL);
    EXPECT_EQ(state[1], 0x84D5CCF933C0478AULL);
}

TEST(NavCrypto, DigestsReadTextUpToFirstNul) {
    const std::string with_nul("password\0ignored", 16);
    EXPECT_EQ(sha512_hex(with_nul), sha512_hex("password"));
    EXPECT_EQ(sha3_512_hex(with_nul), sha3_512_hex("password"));
    EXPECT_EQ(sha512_hex(std::string("\0abc", 4)), sha512_hex(""));
    EXPECT_EQ(sha3_512_hex(std::string("\0abc", 4)), sha3_512_hex(""));
}

TEST(NavCrypto, Sha512Padding) {
    // 111 bytes leave room for the 0x80 byte and the length in one block; 112 do not.
    for (auto [length, blocks] : std::vector<std::pair<std::size_t, std::size_t>>{
             {0, 1}, {111, 1}, {112, 2}, {127, 2}, {128, 2}, {239, 2}, {240, 3}}) {
        const std::string input(length, 'x');
        std::size_t count = 0;
        const auto padded = sha512_pad(input.c_str(), count);
        ASSERT_EQ(count, blocks) << "length " << length;
        ASSERT_EQ(padded.size(), blocks);
        EXPECT_EQ(padded.back().w[15], 8 * length);
        EXPECT_EQ(padded.back().w[14], 0u);
        EXPECT_EQ((padded[length / 128].w[(length % 128) / 8] >> (56 - 8 * (length % 8))) & 0xFF, 0x80u);

        std::uint64_t h[8];
        sha512_transform(padded, count, h);
        char text[129];
        for (int i = 0; i < 8; ++i) std::snprintf(text + 16 * i, 17, "%016llX", static_cast<unsigned long long>(h[i]));
        EXPECT_EQ(std::string(text), sha512_hex(input));
    }
    // The words are big-endian.
    std::size_t count = 0;
    EXPECT_EQ(sha512_pad("abcdefghi", count)[0].w[0], 0x6162636465666768ULL);
    EXPECT_EQ(sha512_pad("abcdefghi", count)[0].w[1], 0x6980000000000000ULL);
}

TEST(NavCrypto, PublishedSignatureVectors) {
    // The tax authority's worked example of the request signature.
    const std::string partial = "TSTKFT122256420171230182545ce-8f5e-215119fa7dd621DLMRHRLH2S";
    const std::string index1 = sha3_512_hex("CREATE" + std::string("QWJjZDEyMzQ="));
    const std::string index2 = sha3_512_hex("MODIFY" + std::string("RGNiYTQzMjE="));
    EXPECT_EQ(index1,
              "4317798460962869BC67F07C48EA7E4A3AFA301513CEB87B8EB94ECF92BC220A89C480F87F0860E85E29A3B6C0463D4F"
              "29712C5AD48104A6486CE839DC2F24CB");
    EXPECT_EQ(index2,
              "A881218238933F6FFB9E167445CB4DAA9749BCF484FDE48AB7649FD25E8B634A4736A65A7C4A8E2831119F739837E006"
              "566F97370415AAD55E268605206F2A6C");
    EXPECT_EQ(sha3_512_hex(partial + index1 + index2),
              "60BC80609EE3B8F42FE904200A49A1921A1DADA08D55319ACD40C59F626514B74EEA49011D372600A10DBCF8199D590D"
              "A9C2841D987308F2D83DAE17C2470C42");
    EXPECT_EQ(sha3_512_hex(partial),
              "0493F2F0247A2DF076775631FFDFA8B6D39D051F4928D26426CD29895EEDB24960A23E4C6443A54806EA8B0E126A7B97"
              "940169FEADE6EE42FC99E3BE6F74AB04");

    // The official sample requests (token exchange, status query), signed with the key in their comment.
    const std::string sign_key = "ac-ac3a-7f661bff7d342N43CYX4U9FG";
    EXPECT_EQ(sha3_512_hex("RID896801578348" + std::string("20190911105531") + sign_key),
              "B4B5E0F197BFFD3DF69BCC98D3BE775F65FD5445EEF95C9D6B6C59425F2B81C4F6DA1FD563B0C7E7D98AF1E1725E5C63"
              "C2803B5D3A93D1C02ED354AC92F2CC94");
    EXPECT_EQ(sha3_512_hex("RID603063244730" + std::string("20190911105534") + sign_key),
              "3461426EDF923610281B5B24562F2EBA44A3118FEB7CCDD299B7ACAA6E7A5EA889B1965F1E3372F7F34064AC16C86795"
              "8704089C9354F150248754D45C9A36F5");
}

TEST(NavCrypto, AesInverseCipher) {
    // FIPS 197 example: key 00..0F, plaintext 00112233..FF.
    std::uint8_t key[16], block[16];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(i);
    const std::uint8_t cipher[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                     0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    std::memcpy(block, cipher, 16);
    aes128_decrypt_block(block, key);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], 0x11 * i) << "byte " << i;

    // Random blocks and keys encrypted by OpenSSL come back.
    for (int round = 0; round < 200; ++round) {
        const std::string plain = pseudo_random_bytes(16, 3 * round + 1, false);
        const std::string k = pseudo_random_bytes(16, 3 * round + 2, false);
        const std::string encrypted = openssl_aes128_ecb_encrypt(plain, k, false);
        ASSERT_EQ(encrypted.size(), 16u);
        std::memcpy(block, encrypted.data(), 16);
        aes128_decrypt_block(block, reinterpret_cast<const std::uint8_t*>(k.data()));
        ASSERT_EQ(std::string(reinterpret_cast<char*>(block), 16), plain) << "round " << round;
    }

    // The single steps: row r turns r places to the right; the inverse S-box undoes 0x63 and 0x7C.
    std::uint8_t state[16];
    for (int i = 0; i < 16; ++i) state[i] = static_cast<std::uint8_t>(i);
    inv_shift_rows(state);
    const std::uint8_t shifted[16] = {0, 13, 10, 7, 4, 1, 14, 11, 8, 5, 2, 15, 12, 9, 6, 3};
    EXPECT_EQ(std::memcmp(state, shifted, 16), 0);
    std::uint8_t sub[16] = {0x63, 0x7c};
    inv_sub_bytes(sub);
    EXPECT_EQ(sub[0], 0x00);
    EXPECT_EQ(sub[1], 0x01);
    EXPECT_EQ(sub[2], 0x52);  // inverse S-box of 0x00
    // The FIPS 197 MixColumns example db 13 53 45 -> 8e 4d a1 bc, taken backwards.
    std::uint8_t column[16] = {0x8e, 0x4d, 0xa1, 0xbc, 1, 1, 1, 1};
    inv_mix_columns(column);
    EXPECT_EQ(column[0], 0xdb);
    EXPECT_EQ(column[1], 0x13);
    EXPECT_EQ(column[2], 0x53);
    EXPECT_EQ(column[3], 0x45);
    EXPECT_EQ(column[4], 1);  // a column of equal bytes stays
}

TEST(NavCrypto, Base64Decoding) {
    EXPECT_EQ(decode("YWJj"), "abc");
    EXPECT_EQ(decode("YW Jj\r\n"), "abc");
    EXPECT_EQ(decode("Y=W=J=j="), "abc");  // "=" is skipped wherever it stands
    EXPECT_EQ(decode("YWJjZGVm"), "abcdef");
    EXPECT_EQ(decode("YWJjZA=="), "abcd");
    EXPECT_EQ(decode("YWJjZA"), "abcd");
    EXPECT_EQ(decode("YWJjZGU="), "abcde");
    EXPECT_EQ(decode("YWJjZGU"), "abcde");
    EXPECT_EQ(decode("YWJjZ"), "abc");  // a lone trailing symbol adds nothing
    EXPECT_EQ(decode("YWJjZ==="), "abc");
    EXPECT_EQ(decode("YW=Jj\nZA=\n="), "abcd");
    EXPECT_EQ(decode("+/+/"), "\xfb\xff\xbf");
    // Bytes outside the alphabet are skipped silently, never an error.
    EXPECT_EQ(decode("Y!W@J#j\xc3\xa1\x80\xff-_.:"), "abc");
    EXPECT_EQ(decode("!!!==="), "");
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("Q"), "");

    // Whatever the encoder writes decodes back, for every length and every byte value.
    for (std::size_t length = 0; length <= 100; ++length) {
        const std::string bytes = pseudo_random_bytes(length, length + 9000, false);
        ASSERT_EQ(decode(base64_encode(bytes)), bytes) << "length " << length;
    }
}

TEST(NavCrypto, ExchangeTokenMatchesOpenSslEncryption) {
    // A token as the tax authority issues it, and plaintexts of every length around the block size.
    std::vector<std::string> plains = {"b1aca173-d9e8-4561-9237-0511eed99eaa2P0ZHLXBRI2U", "Árvíztűrő tükörfúrógép"};
    for (std::size_t length = 0; length <= 50; ++length) plains.push_back(pseudo_random_bytes(length, length + 77));
    for (const auto& plain : plains) {
        const std::string token = base64_encode(openssl_aes128_ecb_encrypt(plain, key16, true));
        std::string error = "unchanged";
        EXPECT_EQ(decrypt_exchange_token(token, key16, &error), plain) << "length " << plain.size();
        EXPECT_EQ(error, "");
    }

    // Only the first 16 characters of the key count; Base64 line breaks do not matter.
    const std::string plain = "2f6b7e1c-0000-4000-8000-abcdefABCDEF";
    std::string token = base64_encode(openssl_aes128_ecb_encrypt(plain, key16, true));
    EXPECT_EQ(decrypt_exchange_token(token, key16 + "IGNORED-REST"), plain);
    EXPECT_NE(decrypt_exchange_token(token, "1123456789abcdef"), plain);
    token.insert(20, "\r\n");
    token.insert(8, " ");
    EXPECT_EQ(decrypt_exchange_token(token, key16), plain);
    EXPECT_EQ(decrypt_exchange_token(token + std::string("\0AAAA", 5), key16), plain);  // read up to the NUL
}

TEST(NavCrypto, ExchangeTokenEndOfPlaintext) {
    auto token_of = [](const std::string& raw_plain) {
        return base64_encode(openssl_aes128_ecb_encrypt(raw_plain, key16, false));
    };
    // A last byte of 16 drops the whole last block, a last byte of 1 drops one byte.
    EXPECT_EQ(decrypt_exchange_token(token_of("0123456789ABCDEF" + std::string(16, '\x10')), key16),
              "0123456789ABCDEF");
    EXPECT_EQ(decrypt_exchange_token(token_of("0123456789ABCDE\x01"), key16), "0123456789ABCDE");
    // A last byte above 16 drops nothing; the text still ends at its first NUL.
    EXPECT_EQ(decrypt_exchange_token(token_of("0123456789ABCDEz"), key16), "0123456789ABCDEz");
    EXPECT_EQ(decrypt_exchange_token(token_of(std::string("abc\0efghijklmno\x11", 16)), key16), "abc");
    // A last byte of 0 cuts nothing either: the first NUL ends the text.
    EXPECT_EQ(decrypt_exchange_token(token_of(std::string("abcdefgh\0\0\0\0\0\0\0\0", 16)), key16), "abcdefgh");

    // A trailing partial block stays as decoded: here "tail!" after one decrypted block.
    const std::string encrypted = openssl_aes128_ecb_encrypt("0123456789ABCDE\x7e", key16, false);
    EXPECT_EQ(decrypt_exchange_token(base64_encode(encrypted + "tail!"), key16), "0123456789ABCDE~tail!");
    // A partial block ending in a small byte is cut as padding, within what was decoded.
    EXPECT_EQ(decrypt_exchange_token(base64_encode(encrypted + "xy\x02"), key16), "0123456789ABCDE~x");
}

TEST(NavCrypto, ExchangeTokenRefusesFaultyInput) {
    const std::string token = base64_encode(openssl_aes128_ecb_encrypt("token-text", key16, true));
    std::string error;

    // A key shorter than 16 characters is refused, not read beyond its end.
    for (const std::string short_key : {"", "k", "0123456789abcde"}) {
        EXPECT_EQ(decrypt_exchange_token(token, short_key, &error), "");
        EXPECT_EQ(error, "exchange key shorter than 16 characters");
    }
    EXPECT_EQ(decrypt_exchange_token(token, key16), "token-text");  // the optional error is optional

    // Nothing to decode: empty result, said so.
    for (const std::string& empty : std::vector<std::string>{"", "====", "\r\n  ", "Q", std::string("\0YWJj", 5)}) {
        error.clear();
        EXPECT_EQ(decrypt_exchange_token(empty, key16, &error), "");
        EXPECT_EQ(error, "empty exchange token");
    }

    // Short tokens whose last byte claims more padding than there are bytes: nothing is cut, nothing
    // is read or written outside the decoded bytes.
    EXPECT_EQ(decrypt_exchange_token(base64_encode("ab\x05"), key16, &error), "ab\x05");
    EXPECT_EQ(error, "");
    EXPECT_EQ(decrypt_exchange_token(base64_encode("\x10"), key16), "\x10");
    EXPECT_EQ(decrypt_exchange_token(base64_encode("\x01"), key16), "");
    EXPECT_EQ(decrypt_exchange_token(base64_encode(std::string(15, '\x0f')), key16), "");
    // A corrupted token, a wrong key or a length off the block size gives some text, never a crash.
    for (std::size_t length = 1; length <= 40; ++length) {
        const std::string raw = pseudo_random_bytes(length, length + 300, false);
        const std::string result = decrypt_exchange_token(base64_encode(raw), key16);
        EXPECT_LE(result.size(), length);
    }
}
