// SHA-512, SHA3-512, Base64 decoding and AES-128 decryption for the tax authority's requests.
// Written here so that the program carries no cryptographic library; every routine is a pure function.
#include "core/Core.h"

#include <bit>
#include <cstring>

namespace {

const char hex_digits[] = "0123456789ABCDEF";

std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

// The text up to its first NUL byte.
std::size_t c_length(const std::string& text) {
    const void* nul = std::memchr(text.data(), 0, text.size());
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()) : text.size();
}

std::string hex_upper(const std::uint8_t* bytes, std::size_t count) {
    std::string out(2 * count, '0');
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = hex_digits[bytes[i] >> 4];
        out[2 * i + 1] = hex_digits[bytes[i] & 15];
    }
    return out;
}

// ---- Keccak ----

constexpr std::uint64_t keccak_round_constants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL, 0x8000000080008000ULL,
    0x000000000000808BULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008AULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
    0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800AULL, 0x800000008000000AULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

constexpr std::size_t sha3_512_rate = 72;

// ---- SHA-512 ----

constexpr std::uint64_t sha512_k[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

constexpr std::uint64_t sha512_initial[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

void sha512_compress(std::uint64_t h[8], const std::uint64_t block[16]) {
    std::uint64_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = block[t];
    for (int t = 16; t < 80; ++t) {
        const std::uint64_t s0 = std::rotr(w[t - 15], 1) ^ std::rotr(w[t - 15], 8) ^ (w[t - 15] >> 7);
        const std::uint64_t s1 = std::rotr(w[t - 2], 19) ^ std::rotr(w[t - 2], 61) ^ (w[t - 2] >> 6);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint64_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    // Eight rounds per pass with the variables renamed instead of shifted.
    auto round = [&w](std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d, std::uint64_t e,
                      std::uint64_t f, std::uint64_t g, std::uint64_t& h, int t) {
        // Ch and Maj in their shorter equivalent forms.
        const std::uint64_t t1 =
            h + (std::rotr(e, 14) ^ std::rotr(e, 18) ^ std::rotr(e, 41)) + (g ^ (e & (f ^ g))) + sha512_k[t] + w[t];
        const std::uint64_t t2 = (std::rotr(a, 28) ^ std::rotr(a, 34) ^ std::rotr(a, 39)) + ((a & b) | (c & (a | b)));
        d += t1;
        h = t1 + t2;
    };
    for (int t = 0; t < 80; t += 8) {
        round(a, b, c, d, e, f, g, hh, t);
        round(hh, a, b, c, d, e, f, g, t + 1);
        round(g, hh, a, b, c, d, e, f, t + 2);
        round(f, g, hh, a, b, c, d, e, t + 3);
        round(e, f, g, hh, a, b, c, d, t + 4);
        round(d, e, f, g, hh, a, b, c, t + 5);
        round(c, d, e, f, g, hh, a, b, t + 6);
        round(b, c, d, e, f, g, hh, a, t + 7);
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
}

// ---- AES ----

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b) {
        if (b & 1) product ^= a;
        a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return product;
}

struct AesTables {
    std::uint8_t sbox[256] = {};
    std::uint8_t inv_sbox[256] = {};
    std::uint8_t mul9[256] = {}, mul11[256] = {}, mul13[256] = {}, mul14[256] = {};
};

// The S-box is the affine map of the multiplicative inverse in GF(2^8); the tables are built at compile time.
// Inverses come from the powers of the generator 3: the inverse of 3^k is 3^(255-k). This keeps the
// evaluation far inside the compilers' constant-evaluation limits.
constexpr AesTables make_aes_tables() {
    AesTables t;
    std::uint8_t power[255] = {};
    int logarithm[256] = {};
    std::uint8_t p = 1;
    for (int k = 0; k < 255; ++k) {
        power[k] = p;
        logarithm[p] = k;
        p = gf_mul(p, 3);
    }
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t inverse = x ? power[(255 - logarithm[x]) % 255] : 0;
        std::uint8_t s = inverse;
        for (int shift = 1; shift <= 4; ++shift)
            s ^= static_cast<std::uint8_t>((inverse << shift) | (inverse >> (8 - shift)));
        s ^= 0x63;
        t.sbox[x] = s;
        t.inv_sbox[s] = static_cast<std::uint8_t>(x);
        t.mul9[x] = gf_mul(static_cast<std::uint8_t>(x), 9);
        t.mul11[x] = gf_mul(static_cast<std::uint8_t>(x), 11);
        t.mul13[x] = gf_mul(static_cast<std::uint8_t>(x), 13);
        t.mul14[x] = gf_mul(static_cast<std::uint8_t>(x), 14);
    }
    return t;
}

constexpr AesTables aes = make_aes_tables();
static_assert(aes.sbox[0x00] == 0x63 && aes.sbox[0x53] == 0xed && aes.inv_sbox[0x63] == 0x00);

void add_round_key(std::uint8_t state[16], const std::uint8_t* round_key) {
    for (int i = 0; i < 16; ++i) state[i] ^= round_key[i];
}

// FIPS 197 key expansion: 11 round keys of 16 bytes.
void aes128_expand_key(const std::uint8_t key[16], std::uint8_t schedule[176]) {
    std::memcpy(schedule, key, 16);
    std::uint8_t rcon = 1;
    for (int i = 16; i < 176; i += 4) {
        std::uint8_t word[4] = {schedule[i - 4], schedule[i - 3], schedule[i - 2], schedule[i - 1]};
        if (i % 16 == 0) {
            const std::uint8_t first = word[0];
            word[0] = static_cast<std::uint8_t>(aes.sbox[word[1]] ^ rcon);
            word[1] = aes.sbox[word[2]];
            word[2] = aes.sbox[word[3]];
            word[3] = aes.sbox[first];
            rcon = gf_mul(rcon, 2);
        }
        for (int j = 0; j < 4; ++j) schedule[i + j] = schedule[i - 16 + j] ^ word[j];
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SHA3-512
// ---------------------------------------------------------------------------------------------

void keccak_f1600(std::uint64_t state[25]) {
    std::uint64_t a00 = state[0];
    std::uint64_t a01 = state[1];
    std::uint64_t a02 = state[2];
    std::uint64_t a03 = state[3];
    std::uint64_t a04 = state[4];
    std::uint64_t a05 = state[5];
    std::uint64_t a06 = state[6];
    std::uint64_t a07 = state[7];
    std::uint64_t a08 = state[8];
    std::uint64_t a09 = state[9];
    std::uint64_t a10 = state[10];
    std::uint64_t a11 = state[11];
    std::uint64_t a12 = state[12];
    std::uint64_t a13 = state[13];
    std::uint64_t a14 = state[14];
    std::uint64_t a15 = state[15];
    std::uint64_t a16 = state[16];
    std::uint64_t a17 = state[17];
    std::uint64_t a18 = state[18];
    std::uint64_t a19 = state[19];
    std::uint64_t a20 = state[20];
    std::uint64_t a21 = state[21];
    std::uint64_t a22 = state[22];
    std::uint64_t a23 = state[23];
    std::uint64_t a24 = state[24];
    for (int round = 0; round < 24; ++round) {
        const std::uint64_t c0 = a00 ^ a05 ^ a10 ^ a15 ^ a20;
        const std::uint64_t c1 = a01 ^ a06 ^ a11 ^ a16 ^ a21;
        const std::uint64_t c2 = a02 ^ a07 ^ a12 ^ a17 ^ a22;
        const std::uint64_t c3 = a03 ^ a08 ^ a13 ^ a18 ^ a23;
        const std::uint64_t c4 = a04 ^ a09 ^ a14 ^ a19 ^ a24;
        const std::uint64_t d0 = c4 ^ std::rotl(c1, 1);
        const std::uint64_t d1 = c0 ^ std::rotl(c2, 1);
        const std::uint64_t d2 = c1 ^ std::rotl(c3, 1);
        const std::uint64_t d3 = c2 ^ std::rotl(c4, 1);
        const std::uint64_t d4 = c3 ^ std::rotl(c0, 1);
        const std::uint64_t b00 = a00 ^ d0;
        const std::uint64_t b01 = std::rotl(a06 ^ d1, 44);
        const std::uint64_t b02 = std::rotl(a12 ^ d2, 43);
        const std::uint64_t b03 = std::rotl(a18 ^ d3, 21);
        const std::uint64_t b04 = std::rotl(a24 ^ d4, 14);
        const std::uint64_t b05 = std::rotl(a03 ^ d3, 28);
        const std::uint64_t b06 = std::rotl(a09 ^ d4, 20);
        const std::uint64_t b07 = std::rotl(a10 ^ d0, 3);
        const std::uint64_t b08 = std::rotl(a16 ^ d1, 45);
        const std::uint64_t b09 = std::rotl(a22 ^ d2, 61);
        const std::uint64_t b10 = std::rotl(a01 ^ d1, 1);
        const std::uint64_t b11 = std::rotl(a07 ^ d2, 6);
        const std::uint64_t b12 = std::rotl(a13 ^ d3, 25);
        const std::uint64_t b13 = std::rotl(a19 ^ d4, 8);
        const std::uint64_t b14 = std::rotl(a20 ^ d0, 18);
        const std::uint64_t b15 = std::rotl(a04 ^ d4, 27);
        const std::uint64_t b16 = std::rotl(a05 ^ d0, 36);
        const std::uint64_t b17 = std::rotl(a11 ^ d1, 10);
        const std::uint64_t b18 = std::rotl(a17 ^ d2, 15);
        const std::uint64_t b19 = std::rotl(a23 ^ d3, 56);
        const std::uint64_t b20 = std::rotl(a02 ^ d2, 62);
        const std::uint64_t b21 = std::rotl(a08 ^ d3, 55);
        const std::uint64_t b22 = std::rotl(a14 ^ d4, 39);
        const std::uint64_t b23 = std::rotl(a15 ^ d0, 41);
        const std::uint64_t b24 = std::rotl(a21 ^ d1, 2);
        a00 = b00 ^ (~b01 & b02);
        a01 = b01 ^ (~b02 & b03);
        a02 = b02 ^ (~b03 & b04);
        a03 = b03 ^ (~b04 & b00);
        a04 = b04 ^ (~b00 & b01);
        a05 = b05 ^ (~b06 & b07);
        a06 = b06 ^ (~b07 & b08);
        a07 = b07 ^ (~b08 & b09);
        a08 = b08 ^ (~b09 & b05);
        a09 = b09 ^ (~b05 & b06);
        a10 = b10 ^ (~b11 & b12);
        a11 = b11 ^ (~b12 & b13);
        a12 = b12 ^ (~b13 & b14);
        a13 = b13 ^ (~b14 & b10);
        a14 = b14 ^ (~b10 & b11);
        a15 = b15 ^ (~b16 & b17);
        a16 = b16 ^ (~b17 & b18);
        a17 = b17 ^ (~b18 & b19);
        a18 = b18 ^ (~b19 & b15);
        a19 = b19 ^ (~b15 & b16);
        a20 = b20 ^ (~b21 & b22);
        a21 = b21 ^ (~b22 & b23);
        a22 = b22 ^ (~b23 & b24);
        a23 = b23 ^ (~b24 & b20);
        a24 = b24 ^ (~b20 & b21);
        a00 ^= keccak_round_constants[round];
    }
    state[0] = a00;
    state[1] = a01;
    state[2] = a02;
    state[3] = a03;
    state[4] = a04;
    state[5] = a05;
    state[6] = a06;
    state[7] = a07;
    state[8] = a08;
    state[9] = a09;
    state[10] = a10;
    state[11] = a11;
    state[12] = a12;
    state[13] = a13;
    state[14] = a14;
    state[15] = a15;
    state[16] = a16;
    state[17] = a17;
    state[18] = a18;
    state[19] = a19;
    state[20] = a20;
    state[21] = a21;
    state[22] = a22;
    state[23] = a23;
    state[24] = a24;
}

std::uint8_t* sha3_512(const std::uint8_t* input, std::size_t length, std::uint8_t out[64]) {
    std::uint64_t state[25] = {};
    while (length >= sha3_512_rate) {
        for (int i = 0; i < 9; ++i) state[i] ^= load_le64(input + 8 * i);
        keccak_f1600(state);
        input += sha3_512_rate;
        length -= sha3_512_rate;
    }
    // The last, possibly empty, block carries the domain bits 0x06 and the final bit of the padding.
    std::uint8_t last[sha3_512_rate] = {};
    if (length) std::memcpy(last, input, length);
    last[length] ^= 0x06;
    last[sha3_512_rate - 1] ^= 0x80;
    for (int i = 0; i < 9; ++i) state[i] ^= load_le64(last + 8 * i);
    keccak_f1600(state);
    for (int i = 0; i < 64; ++i) out[i] = static_cast<std::uint8_t>(state[i / 8] >> (8 * (i % 8)));
    return out;
}

std::string sha3_512_hex(std::string text) {
    std::uint8_t digest[64];
    sha3_512(reinterpret_cast<const std::uint8_t*>(text.data()), c_length(text), digest);
    return hex_upper(digest, sizeof digest);
}

// ---------------------------------------------------------------------------------------------
// SHA-512
// ---------------------------------------------------------------------------------------------

std::vector<Sha512Block> sha512_pad(const char* input, std::size_t& block_count) {
    const std::size_t length = std::strlen(input);
    block_count = (length + 17 + 127) / 128;  // message, the 0x80 byte and the 16-byte length
    std::vector<Sha512Block> blocks(block_count, Sha512Block{});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(input);
    const std::size_t whole_words = length / 8;
    for (std::size_t i = 0; i < whole_words; ++i) blocks[i / 16].w[i % 16] = load_be64(bytes + 8 * i);
    std::uint8_t tail[8] = {};
    const std::size_t rest = length % 8;
    if (rest) std::memcpy(tail, bytes + 8 * whole_words, rest);
    tail[rest] = 0x80;
    blocks[whole_words / 16].w[whole_words % 16] = load_be64(tail);
    // The 128-bit length in bits.
    blocks[block_count - 1].w[14] = static_cast<std::uint64_t>(length) >> 61;
    blocks[block_count - 1].w[15] = static_cast<std::uint64_t>(length) << 3;
    return blocks;
}

void sha512_transform(const std::vector<Sha512Block>& blocks, std::size_t block_count, std::uint64_t out[8]) {
    for (int i = 0; i < 8; ++i) out[i] = sha512_initial[i];
    if (block_count > blocks.size()) block_count = blocks.size();
    for (std::size_t i = 0; i < block_count; ++i) sha512_compress(out, blocks[i].w);
}

std::string sha512_hex(std::string text) {
    // Same result as sha512_pad + sha512_transform, without copying the message: whole blocks are
    // compressed straight from the text and only the tail is padded.
    const std::size_t length = c_length(text);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::uint64_t h[8];
    for (int i = 0; i < 8; ++i) h[i] = sha512_initial[i];
    std::uint64_t words[16];
    const std::size_t whole_blocks = length / 128;
    for (std::size_t b = 0; b < whole_blocks; ++b) {
        for (int i = 0; i < 16; ++i) words[i] = load_be64(bytes + 128 * b + 8 * i);
        sha512_compress(h, words);
    }
    const std::string tail(text.data() + 128 * whole_blocks, length % 128);
    std::size_t block_count = 0;
    std::vector<Sha512Block> padded = sha512_pad(tail.c_str(), block_count);
    // The padding saw only the tail: give the last block the length of the whole text.
    padded[block_count - 1].w[14] = static_cast<std::uint64_t>(length) >> 61;
    padded[block_count - 1].w[15] = static_cast<std::uint64_t>(length) << 3;
    for (std::size_t b = 0; b < block_count; ++b) sha512_compress(h, padded[b].w);
    std::uint8_t digest[64];
    for (int i = 0; i < 64; ++i) digest[i] = static_cast<std::uint8_t>(h[i / 8] >> (56 - 8 * (i % 8)));
    return hex_upper(digest, sizeof digest);
}

// ---------------------------------------------------------------------------------------------
// AES-128 inverse cipher
// ---------------------------------------------------------------------------------------------

// The state is column-major: byte i is row i % 4 of column i / 4.

void inv_sub_bytes(std::uint8_t state[16]) {
    for (int i = 0; i < 16; ++i) state[i] = aes.inv_sbox[state[i]];
}

void inv_shift_rows(std::uint8_t state[16]) {
    std::uint8_t old[16];
    std::memcpy(old, state, 16);
    for (int row = 1; row < 4; ++row)
        for (int column = 0; column < 4; ++column) state[row + 4 * column] = old[row + 4 * ((column - row + 4) % 4)];
}

void inv_mix_columns(std::uint8_t state[16]) {
    for (int column = 0; column < 4; ++column) {
        std::uint8_t* s = state + 4 * column;
        const std::uint8_t a = s[0], b = s[1], c = s[2], d = s[3];
        s[0] = aes.mul14[a] ^ aes.mul11[b] ^ aes.mul13[c] ^ aes.mul9[d];
        s[1] = aes.mul9[a] ^ aes.mul14[b] ^ aes.mul11[c] ^ aes.mul13[d];
        s[2] = aes.mul13[a] ^ aes.mul9[b] ^ aes.mul14[c] ^ aes.mul11[d];
        s[3] = aes.mul11[a] ^ aes.mul13[b] ^ aes.mul9[c] ^ aes.mul14[d];
    }
}

void aes128_decrypt_block(std::uint8_t block[16], const std::uint8_t key[16]) {
    std::uint8_t schedule[176];
    aes128_expand_key(key, schedule);
    add_round_key(block, schedule + 160);
    inv_shift_rows(block);
    inv_sub_bytes(block);
    for (int round = 9; round >= 1; --round) {
        add_round_key(block, schedule + 16 * round);
        inv_mix_columns(block);
        inv_shift_rows(block);
        inv_sub_bytes(block);
    }
    add_round_key(block, schedule);
}

// ---------------------------------------------------------------------------------------------
// Base64 decoding and the exchange token
// ---------------------------------------------------------------------------------------------

std::size_t base64_decode(std::size_t length, char* bytes) {
    // Output never overtakes input: a group of four symbols read gives at most three bytes written.
    std::uint8_t group[4];
    int in_group = 0;
    std::size_t out = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto ch = static_cast<unsigned char>(bytes[i]);
        std::uint8_t symbol;
        if (ch >= 'A' && ch <= 'Z') symbol = static_cast<std::uint8_t>(ch - 'A');
        else if (ch >= 'a' && ch <= 'z') symbol = static_cast<std::uint8_t>(ch - 'a' + 26);
        else if (ch >= '0' && ch <= '9') symbol = static_cast<std::uint8_t>(ch - '0' + 52);
        else if (ch == '+') symbol = 62;
        else if (ch == '/') symbol = 63;
        else continue;  // "=", blanks, line breaks and every other byte
        group[in_group++] = symbol;
        if (in_group == 4) {
            bytes[out++] = static_cast<char>((group[0] << 2) | (group[1] >> 4));
            bytes[out++] = static_cast<char>(((group[1] & 15) << 4) | (group[2] >> 2));
            bytes[out++] = static_cast<char>(((group[2] & 3) << 6) | group[3]);
            in_group = 0;
        }
    }
    if (in_group > 1) {
        for (int i = in_group; i < 4; ++i) group[i] = 0;
        const std::uint8_t decoded[3] = {static_cast<std::uint8_t>((group[0] << 2) | (group[1] >> 4)),
                                         static_cast<std::uint8_t>(((group[1] & 15) << 4) | (group[2] >> 2)),
                                         static_cast<std::uint8_t>(((group[2] & 3) << 6) | group[3])};
        for (int i = 0; i < in_group - 1; ++i) bytes[out++] = static_cast<char>(decoded[i]);
    }
    bytes[out] = 0;
    return out;
}

std::string decrypt_exchange_token(std::string token, std::string key, std::string* error) {
    if (error) error->clear();
    if (key.size() < 16) {
        if (error) *error = "exchange key shorter than 16 characters";
        return "";
    }
    std::uint8_t aes_key[16];
    std::memcpy(aes_key, key.data(), 16);

    token.resize(c_length(token));
    const std::size_t n = base64_decode(token.size(), token.data());
    if (n == 0) {
        if (error) *error = "empty exchange token";
        return "";
    }
    auto* data = reinterpret_cast<std::uint8_t*>(token.data());
    // ECB: every whole block on its own; a trailing partial block stays as decoded.
    for (std::size_t offset = 0; offset + 16 <= n; offset += 16) aes128_decrypt_block(data + offset, aes_key);
    // PKCS#7 padding, unchecked: the last byte says how many bytes to drop, never more than there are.
    const std::size_t pad = data[n - 1];
    if (pad >= 1 && pad <= 16 && pad <= n) data[n - pad] = 0;
    return std::string(token.c_str());
}
