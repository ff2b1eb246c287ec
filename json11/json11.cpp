#include "json11/json11.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <system_error>
#include <utility>

namespace json11 {

namespace {

const int max_depth = 200;

struct NullStruct {
    bool operator==(NullStruct) const { return true; }
    bool operator<(NullStruct) const { return false; }
};

// Bytes that end a plain run of string text: the quote, the backslash, control bytes, and (for the
// writer) 0xE2, the first byte of U+2028 and U+2029.
struct ByteTables {
    bool parse_stop[256];
    bool dump_stop[256];
    ByteTables() {
        for (int c = 0; c < 256; ++c) {
            parse_stop[c] = c < 0x20 || c == '"' || c == '\\';
            dump_stop[c] = parse_stop[c] || c == 0xE2;
        }
    }
};
const ByteTables byte_tables;

const char hex_digits[] = "0123456789abcdef";

void dump_string(const std::string& text, std::string& out) {
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;
    while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!byte_tables.dump_stop[c]) {
            ++p;
            continue;
        }
        if (c == 0xE2) {
            // U+2028 and U+2029 are line breaks to JavaScript; any other E2 sequence passes unchanged.
            if (end - p >= 3 && static_cast<unsigned char>(p[1]) == 0x80 &&
                (static_cast<unsigned char>(p[2]) == 0xA8 || static_cast<unsigned char>(p[2]) == 0xA9)) {
                out.append(run, static_cast<std::size_t>(p - run));
                out += static_cast<unsigned char>(p[2]) == 0xA8 ? "\\u2028" : "\\u2029";
                p += 3;
                run = p;
            } else {
                ++p;
            }
            continue;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case 0x08: out += "\\b"; break;
        case 0x0C: out += "\\f"; break;
        case 0x0A: out += "\\n"; break;
        case 0x0D: out += "\\r"; break;
        case 0x09: out += "\\t"; break;
        default: {
            const char esc[6] = {'\\', 'u', '0', '0', hex_digits[c >> 4], hex_digits[c & 0x0F]};
            out.append(esc, sizeof esc);
        }
        }
        ++p;
        run = p;
    }
    out.append(run, static_cast<std::size_t>(p - run));
    out += '"';
}

// "%.17g" for a double with 1e-4 <= |v| < 1e16, the range of amounts and quantities, done with exact
// integer arithmetic: several times faster than the general conversion. Writes to buf and returns the end,
// or nullptr outside that range.
char* format_fixed_17g(double v, char* buf) {
    const double a = std::fabs(v);
    if (!(a >= 1e-4 && a < 1e16))
        return nullptr;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t mantissa = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
    const int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1075; // a = mantissa * 2^exponent

    static const double powers[] = {1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,  1e3,  1e4,  1e5,
                                    1e6,  1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};
    // Decimal exponent of the first digit: log10(2) times the binary one, then one step up if needed.
    int x = static_cast<int>(std::floor((exponent + 52) * 0.30102999566398120));
    if (x < -4)
        x = -4;
    if (x < 15 && a >= powers[x + 5])
        ++x;

    typedef unsigned __int128 u128;
    static const u128 scale[] = {1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL,
                                 100000000ULL, 1000000000ULL, 10000000000ULL, 100000000000ULL,
                                 1000000000000ULL, 10000000000000ULL, 100000000000000ULL,
                                 1000000000000000ULL, 10000000000000000ULL, 100000000000000000ULL,
                                 1000000000000000000ULL, 10000000000000000000ULL,
                                 u128(10000000000000000000ULL) * 10, u128(10000000000000000000ULL) * 100};
    const std::uint64_t low = 10000000000000000ULL; // 17 digits lie in [1e16, 1e17)
    const std::uint64_t high = 100000000000000000ULL;
    std::uint64_t digits = 0;
    for (int attempt = 0;; ++attempt) {
        const int k = 16 - x; // a * 10^k has 17 digits before the point
        if (attempt == 3 || k < 0 || k > 21)
            return nullptr;
        const u128 scaled = mantissa * scale[k];
        u128 whole;
        bool round_up = false;
        if (exponent >= 0) {
            whole = scaled << exponent;
        } else {
            const int shift = -exponent; // at most 66 in this range
            whole = scaled >> shift;
            const u128 rest = scaled & ((u128(1) << shift) - 1);
            const u128 half = u128(1) << (shift - 1);
            round_up = rest > half || (rest == half && (whole & 1)); // ties to even, as printf does
        }
        // The estimate of x may be one off (log estimate, rounded table): try the neighbour.
        if (whole >= high) {
            ++x;
            continue;
        }
        if (whole < low) {
            --x;
            continue;
        }
        digits = static_cast<std::uint64_t>(whole) + (round_up ? 1 : 0);
        break;
    }
    if (digits == high) { // rounding carried into an 18th digit
        digits = low;
        ++x;
    }
    if (x < -4 || x > 16) // "%.17g" would use the exponent form
        return nullptr;

    static const char pairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                "8081828384858687888990919293949596979899";
    char d[18];
    for (int j = 16; j >= 1; j -= 2) {
        std::memcpy(d + j - 1, pairs + 2 * (digits % 100), 2);
        digits /= 100;
    }
    d[0] = static_cast<char>('0' + digits);
    int n = 17;
    while (d[n - 1] == '0') // the first digit is never 0
        --n;

    char* p = buf;
    if (v < 0)
        *p++ = '-';
    if (x >= 0) {
        std::memcpy(p, d, static_cast<std::size_t>(x + 1));
        p += x + 1;
        if (n > x + 1) {
            *p++ = '.';
            std::memcpy(p, d + x + 1, static_cast<std::size_t>(n - x - 1));
            p += n - x - 1;
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        for (int j = -1; j > x; --j)
            *p++ = '0';
        std::memcpy(p, d, static_cast<std::size_t>(n));
        p += n;
    }
    return p;
}

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Payloads

template <Json::Type tag, typename T>
class Value : public JsonValue {
protected:
    explicit Value(const T& value) : m_value(value) {}
    explicit Value(T&& value) : m_value(std::move(value)) {}

    Json::Type type() const override { return tag; }
    bool equals(const JsonValue* other) const override {
        return m_value == static_cast<const Value<tag, T>*>(other)->m_value;
    }
    bool less(const JsonValue* other) const override {
        return m_value < static_cast<const Value<tag, T>*>(other)->m_value;
    }

    const T m_value;
};

class JsonNull final : public Value<Json::NUL, NullStruct> {
public:
    JsonNull() : Value({}) {}

protected:
    bool equals(const JsonValue*) const override { return true; }
    bool less(const JsonValue*) const override { return false; }
    void dump(std::string& out) const override { out += "null"; }
};

class JsonBoolean final : public Value<Json::BOOL, bool> {
public:
    explicit JsonBoolean(bool value) : Value(value) {}

protected:
    bool bool_value() const override { return m_value; }
    void dump(std::string& out) const override { out += m_value ? "true" : "false"; }
};

class JsonInt final : public Value<Json::NUMBER, int> {
public:
    explicit JsonInt(int value) : Value(value) {}

protected:
    double number_value() const override { return m_value; }
    int int_value() const override { return m_value; }
    // Integers and doubles compare by value with each other.
    bool equals(const JsonValue* other) const override { return m_value == other->number_value(); }
    bool less(const JsonValue* other) const override { return m_value < other->number_value(); }
    void dump(std::string& out) const override {
        char buf[32];
        const auto result = std::to_chars(buf, buf + sizeof buf, m_value);
        out.append(buf, static_cast<std::size_t>(result.ptr - buf));
    }
};

class JsonDouble final : public Value<Json::NUMBER, double> {
public:
    explicit JsonDouble(double value) : Value(value) {}

protected:
    double number_value() const override { return m_value; }
    int int_value() const override {
        // A plain cast is undefined outside the int range; saturate instead.
        if (std::isnan(m_value))
            return 0;
        if (m_value >= 2147483648.0)
            return INT_MAX;
        if (m_value <= -2147483649.0)
            return INT_MIN;
        return static_cast<int>(m_value);
    }
    bool equals(const JsonValue* other) const override { return m_value == other->number_value(); }
    bool less(const JsonValue* other) const override { return m_value < other->number_value(); }
    void dump(std::string& out) const override {
        if (!std::isfinite(m_value)) {
            out += "null";
            return;
        }
        // The same text as "%.17g" in the C locale, whatever the process locale is.
        char buf[32];
        char* end = format_fixed_17g(m_value, buf);
        if (!end)
            end = std::to_chars(buf, buf + sizeof buf, m_value, std::chars_format::general, 17).ptr;
        out.append(buf, static_cast<std::size_t>(end - buf));
    }
};

class JsonString final : public Value<Json::STRING, std::string> {
public:
    explicit JsonString(const std::string& value) : Value(value) {}
    explicit JsonString(std::string&& value) : Value(std::move(value)) {}

protected:
    const std::string& string_value() const override { return m_value; }
    void dump(std::string& out) const override { dump_string(m_value, out); }
};

class JsonWString final : public Value<Json::WSTRING, std::u16string> {
public:
    explicit JsonWString(const std::u16string& value) : Value(value) {}
    explicit JsonWString(std::u16string&& value) : Value(std::move(value)) {}

protected:
    const std::u16string& wstring_value() const override { return m_value; }
    // The wide text is only a sort key; it is never written out.
    void dump(std::string& out) const override { out += "\"\""; }
};

class JsonArray final : public Value<Json::ARRAY, Json::array> {
public:
    explicit JsonArray(const Json::array& value) : Value(value) {}
    explicit JsonArray(Json::array&& value) : Value(std::move(value)) {}

protected:
    const Json::array& array_items() const override { return m_value; }
    const Json& operator[](std::size_t i) const override;
    bool less(const JsonValue* other) const override {
        const Json::array& a = m_value;
        const Json::array& b = static_cast<const JsonArray*>(other)->m_value;
        const std::size_t n = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (a[i] < b[i])
                return true;
            if (b[i] < a[i])
                return false;
        }
        return a.size() < b.size();
    }
    void dump(std::string& out) const override {
        out += '[';
        bool first = true;
        for (const Json& value : m_value) {
            if (!first)
                out += ", ";
            value.dump(out);
            first = false;
        }
        out += ']';
    }
};

class JsonObject final : public Value<Json::OBJECT, Json::object> {
public:
    explicit JsonObject(const Json::object& value) : Value(value) {}
    explicit JsonObject(Json::object&& value) : Value(std::move(value)) {}

protected:
    const Json::object& object_items() const override { return m_value; }
    const Json& operator[](const std::string& key) const override;
    bool less(const JsonValue* other) const override {
        const Json::object& b = static_cast<const JsonObject*>(other)->m_value;
        auto ia = m_value.begin();
        auto ib = b.begin();
        for (; ia != m_value.end() && ib != b.end(); ++ia, ++ib) {
            if (ia->first < ib->first)
                return true;
            if (ib->first < ia->first)
                return false;
            if (ia->second < ib->second)
                return true;
            if (ib->second < ia->second)
                return false;
        }
        return ia == m_value.end() && ib != b.end();
    }
    void dump(std::string& out) const override {
        out += '{';
        bool first = true;
        for (const auto& member : m_value) {
            if (!first)
                out += ", ";
            dump_string(member.first, out);
            out += ": ";
            member.second.dump(out);
            first = false;
        }
        out += '}';
    }
};

// ---------------------------------------------------------------------------------------------------------
// Shared values, made once on first use (thread-safe) and kept until exit.

namespace {

// Payloads of null, true, false and of the integers most records hold (counts, rates, flags). The values
// hand them out through pointers that own no count: copying or dropping them touches no shared counter, and
// they live until the program ends.
const int small_int_min = -128;
const int small_int_max = 1023;

std::shared_ptr<const JsonValue> unowned(const JsonValue* payload) {
    return std::shared_ptr<const JsonValue>(std::shared_ptr<const JsonValue>(), payload);
}

struct Statics {
    const JsonNull null_value;
    const JsonBoolean true_value{true};
    const JsonBoolean false_value{false};
    std::vector<JsonInt> small_ints;
    const std::shared_ptr<const JsonValue> null = unowned(&null_value);
    const std::shared_ptr<const JsonValue> t = unowned(&true_value);
    const std::shared_ptr<const JsonValue> f = unowned(&false_value);
    const std::string empty_string;
    const std::u16string empty_wstring;
    const Json::array empty_vector;
    const Json::object empty_map;

    Statics() {
        small_ints.reserve(small_int_max - small_int_min + 1);
        for (int value = small_int_min; value <= small_int_max; ++value)
            small_ints.emplace_back(value);
    }
};

const Statics& statics() {
    static const Statics s;
    return s;
}

const Json& static_null() {
    static const Json null_value;
    return null_value;
}

std::shared_ptr<const JsonValue> make_int(int value) {
    if (value >= small_int_min && value <= small_int_max)
        return unowned(&statics().small_ints[static_cast<std::size_t>(value - small_int_min)]);
    return std::make_shared<JsonInt>(value);
}

} // namespace

double JsonValue::number_value() const { return 0.0; }
int JsonValue::int_value() const { return 0; }
bool JsonValue::bool_value() const { return false; }
const std::string& JsonValue::string_value() const { return statics().empty_string; }
const std::u16string& JsonValue::wstring_value() const { return statics().empty_wstring; }
const Json::array& JsonValue::array_items() const { return statics().empty_vector; }
const Json::object& JsonValue::object_items() const { return statics().empty_map; }
const Json& JsonValue::operator[](const std::string&) const { return static_null(); }
const Json& JsonValue::operator[](std::size_t) const { return static_null(); }

const Json& JsonArray::operator[](std::size_t i) const {
    return i < m_value.size() ? m_value[i] : static_null();
}

const Json& JsonObject::operator[](const std::string& key) const {
    const auto it = m_value.find(key);
    return it == m_value.end() ? static_null() : it->second;
}

// ---------------------------------------------------------------------------------------------------------
// Json

const std::shared_ptr<const JsonValue>& Json::null_payload() noexcept { return statics().null; }

Json::Json() noexcept : m_ptr(statics().null) {}
Json::Json(std::nullptr_t) noexcept : m_ptr(statics().null) {}
Json::Json(double value) : m_ptr(std::make_shared<JsonDouble>(value)) {}
Json::Json(int value) : m_ptr(make_int(value)) {}
Json::Json(bool value) : m_ptr(value ? statics().t : statics().f) {}
Json::Json(const std::string& value) : m_ptr(std::make_shared<JsonString>(value)) {}
Json::Json(std::string&& value) : m_ptr(std::make_shared<JsonString>(std::move(value))) {}
Json::Json(const char* value) : m_ptr(std::make_shared<JsonString>(value ? std::string(value) : std::string())) {}
Json::Json(const std::u16string& value) : m_ptr(std::make_shared<JsonWString>(value)) {}
Json::Json(std::u16string&& value) : m_ptr(std::make_shared<JsonWString>(std::move(value))) {}
Json::Json(const char16_t* value)
    : m_ptr(std::make_shared<JsonWString>(value ? std::u16string(value) : std::u16string())) {}
Json::Json(const array& values) : m_ptr(std::make_shared<JsonArray>(values)) {}
Json::Json(array&& values) : m_ptr(std::make_shared<JsonArray>(std::move(values))) {}
Json::Json(const object& values) : m_ptr(std::make_shared<JsonObject>(values)) {}
Json::Json(object&& values) : m_ptr(std::make_shared<JsonObject>(std::move(values))) {}

Json::Json(const std::vector<object>& rows) {
    array values;
    values.reserve(rows.size());
    for (const object& row : rows)
        values.emplace_back(row);
    m_ptr = std::make_shared<JsonArray>(std::move(values));
}

Json::Type Json::type() const { return m_ptr->type(); }
double Json::number_value() const { return m_ptr->number_value(); }
int Json::int_value() const { return m_ptr->int_value(); }
bool Json::bool_value() const { return m_ptr->bool_value(); }
const std::string& Json::string_value() const { return m_ptr->string_value(); }
const std::u16string& Json::wstring_value() const { return m_ptr->wstring_value(); }
const Json::array& Json::array_items() const { return m_ptr->array_items(); }
const Json::object& Json::object_items() const { return m_ptr->object_items(); }
const Json& Json::operator[](std::size_t i) const { return (*m_ptr)[i]; }
const Json& Json::operator[](const std::string& key) const { return (*m_ptr)[key]; }

std::string Json::dump() const {
    std::string out;
    m_ptr->dump(out);
    return out;
}

void Json::dump(std::string& out) const { m_ptr->dump(out); }

bool Json::operator==(const Json& other) const {
    if (m_ptr == other.m_ptr)
        return true;
    if (m_ptr->type() != other.m_ptr->type())
        return false;
    return m_ptr->equals(other.m_ptr.get());
}

bool Json::operator<(const Json& other) const {
    if (m_ptr == other.m_ptr)
        return false;
    const Type a = m_ptr->type();
    const Type b = other.m_ptr->type();
    if (a != b)
        return a < b;
    return m_ptr->less(other.m_ptr.get());
}

// ---------------------------------------------------------------------------------------------------------
// Parser

namespace {

// Describes a byte for error messages: "'}' (125)" for printable ASCII, "(-61)" otherwise.
std::string esc(char c) {
    char buf[16];
    const int value = static_cast<signed char>(c);
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u <= 0x7F)
        std::snprintf(buf, sizeof buf, "'%c' (%d)", c, value);
    else
        std::snprintf(buf, sizeof buf, "(%d)", value);
    return buf;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void encode_utf8(long pt, std::string& out) {
    if (pt < 0)
        return;
    if (pt < 0x80) {
        out += static_cast<char>(pt);
    } else if (pt < 0x800) {
        const char bytes[2] = {static_cast<char>((pt >> 6) | 0xC0), static_cast<char>((pt & 0x3F) | 0x80)};
        out.append(bytes, 2);
    } else if (pt < 0x10000) {
        const char bytes[3] = {static_cast<char>((pt >> 12) | 0xE0), static_cast<char>(((pt >> 6) & 0x3F) | 0x80),
                               static_cast<char>((pt & 0x3F) | 0x80)};
        out.append(bytes, 3);
    } else {
        const char bytes[4] = {static_cast<char>((pt >> 18) | 0xF0), static_cast<char>(((pt >> 12) & 0x3F) | 0x80),
                               static_cast<char>(((pt >> 6) & 0x3F) | 0x80), static_cast<char>((pt & 0x3F) | 0x80)};
        out.append(bytes, 4);
    }
}

// Overflow and underflow, which the fast conversion reports without a value, get strtod's result: an
// infinity, zero or a denormal. The C locale keeps the point the decimal separator.
double convert_out_of_range(const char* first, const char* last) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string text(first, last);
    if (c_locale != static_cast<locale_t>(nullptr))
        return strtod_l(text.c_str(), nullptr, c_locale);
    // No C locale object: decide by the exponent alone, which is always given for such numbers.
    const bool negative = text[0] == '-';
    const std::size_t e = text.find_first_of("eE");
    const bool grows = e != std::string::npos && text[e + 1] != '-';
    const double magnitude = grows ? HUGE_VAL : 0.0;
    return negative ? -magnitude : magnitude;
}

} // namespace

class JsonParser final {
public:
    JsonParser(const std::string& input, std::string& error)
        : str(input), s(input.data()), n(input.size()), err(error) {}

    const std::string& str;
    const char* const s;
    const std::size_t n;
    std::size_t i = 0;
    std::string& err;
    bool failed = false;

    Json fail(std::string&& msg) {
        if (!failed)
            err = std::move(msg);
        failed = true;
        return Json();
    }

    void consume_whitespace() {
        while (i < n && (s[i] == ' ' || s[i] == '\r' || s[i] == '\n' || s[i] == '\t'))
            ++i;
    }

    char get_next_token() {
        consume_whitespace();
        if (i == n) {
            fail("unexpected end of input");
            return 0;
        }
        return s[i++];
    }

    Json expect(const char* literal, Json value) {
        --i;
        const std::size_t len = std::strlen(literal);
        if (str.compare(i, len, literal) == 0) {
            i += len;
            return value;
        }
        return fail("parse error: expected " + std::string(literal) + ", got " + str.substr(i, len));
    }

    std::string parse_string() {
        std::string out;
        long pending = -1; // a \u code point not yet written: it may be the first half of a surrogate pair
        while (true) {
            // Copy a run of plain bytes at once.
            const std::size_t run = i;
            while (i < n && !byte_tables.parse_stop[static_cast<unsigned char>(s[i])])
                ++i;
            if (i != run) {
                encode_utf8(pending, out);
                pending = -1;
                out.append(s + run, i - run);
            }
            if (i == n) {
                fail("unexpected end of input in string");
                return out;
            }
            char ch = s[i++];
            if (ch == '"') {
                encode_utf8(pending, out);
                return out;
            }
            if (ch != '\\') {
                fail("unescaped " + esc(ch) + " in string");
                return out;
            }
            if (i == n) {
                fail("unexpected end of input in string");
                return out;
            }
            ch = s[i++];
            if (ch == 'u') {
                const std::string digits = str.substr(i, 4);
                if (digits.size() < 4) {
                    fail("bad \\u escape: " + digits);
                    return out;
                }
                long pt = 0;
                for (char d : digits) {
                    int v;
                    if (d >= '0' && d <= '9')
                        v = d - '0';
                    else if (d >= 'a' && d <= 'f')
                        v = d - 'a' + 10;
                    else if (d >= 'A' && d <= 'F')
                        v = d - 'A' + 10;
                    else {
                        fail("bad \\u escape: " + digits);
                        return out;
                    }
                    pt = pt * 16 + v;
                }
                if (pending >= 0xD800 && pending <= 0xDBFF && pt >= 0xDC00 && pt <= 0xDFFF) {
                    encode_utf8((((pending - 0xD800) << 10) | (pt - 0xDC00)) + 0x10000, out);
                    pending = -1;
                } else {
                    encode_utf8(pending, out);
                    pending = pt;
                }
                i += 4;
                continue;
            }
            encode_utf8(pending, out);
            pending = -1;
            switch (ch) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '"':
            case '\\':
            case '/': out += ch; break;
            default:
                fail("invalid escape character " + esc(ch));
                return out;
            }
        }
    }

    Json parse_number() {
        const std::size_t start = i;
        auto at = [this](std::size_t k) { return k < n ? s[k] : '\0'; };
        if (at(i) == '-')
            ++i;
        if (at(i) == '0') {
            ++i;
            if (is_digit(at(i)))
                return fail("leading 0s not permitted in numbers");
        } else if (at(i) >= '1' && at(i) <= '9') {
            ++i;
            while (is_digit(at(i)))
                ++i;
        } else {
            return fail("invalid " + esc(at(i)) + " in number");
        }

        if (at(i) != '.' && at(i) != 'e' && at(i) != 'E' && i - start <= 9) {
            // At most nine bytes: always within the int range.
            std::size_t k = start;
            const bool negative = s[k] == '-';
            if (negative)
                ++k;
            int value = 0;
            for (; k < i; ++k)
                value = value * 10 + (s[k] - '0');
            return Json(negative ? -value : value);
        }

        if (at(i) == '.') {
            ++i;
            if (!is_digit(at(i)))
                return fail("at least one digit required in fractional part");
            while (is_digit(at(i)))
                ++i;
        }
        if (at(i) == 'e' || at(i) == 'E') {
            ++i;
            if (at(i) == '+' || at(i) == '-')
                ++i;
            if (!is_digit(at(i)))
                return fail("at least one digit required in exponent");
            while (is_digit(at(i)))
                ++i;
        }

        double value = 0.0;
        const auto result = std::from_chars(s + start, s + i, value);
        if (result.ec == std::errc::result_out_of_range)
            value = convert_out_of_range(s + start, s + i);
        return Json(value);
    }

    Json parse_json(int depth) {
        if (depth > max_depth)
            return fail("exceeded maximum nesting depth");

        const char ch = get_next_token();
        if (failed)
            return Json();

        if (ch == '-' || is_digit(ch)) {
            --i;
            return parse_number();
        }
        switch (ch) {
        case 't': return expect("true", Json(true));
        case 'f': return expect("false", Json(false));
        case 'n': return expect("null", Json());
        case '"': {
            std::string text = parse_string();
            if (failed)
                return Json();
            return Json(std::move(text));
        }
        case '{': return parse_object(depth);
        case '[': return parse_array(depth);
        default: return fail("expected value, got " + esc(ch));
        }
    }

    Json parse_object(int depth) {
        Json::object data;
        char ch = get_next_token();
        if (failed)
            return Json();
        if (ch == '}')
            return Json(std::move(data));
        while (true) {
            if (ch != '"')
                return fail("expected '\"' in object, got " + esc(ch));
            std::string key = parse_string();
            if (failed)
                return Json();
            ch = get_next_token();
            if (ch != ':')
                return fail("expected ':' in object, got " + esc(ch));
            Json value = parse_json(depth + 1);
            if (failed)
                return Json();
            // The last of duplicate keys wins; members usually arrive in key order, so try the end first.
            data.insert_or_assign(data.end(), std::move(key), std::move(value));
            ch = get_next_token();
            if (ch == '}')
                break;
            if (ch != ',')
                return fail("expected ',' in object, got " + esc(ch));
            ch = get_next_token();
            if (failed)
                return Json();
        }
        return Json(std::move(data));
    }

    // Elements of the arrays being read, innermost last: each array is made once at its final size.
    std::vector<Json> pending_elements;

    Json parse_array(int depth) {
        char ch = get_next_token();
        if (failed)
            return Json();
        if (ch == ']')
            return Json(Json::array());
        const std::size_t base = pending_elements.size();
        while (true) {
            --i; // the element parser reads the token again
            Json value = parse_json(depth + 1);
            if (failed)
                return Json();
            pending_elements.push_back(std::move(value));
            ch = get_next_token();
            if (ch == ']')
                break;
            if (ch != ',')
                return fail("expected ',' in list, got " + esc(ch));
            get_next_token();
            if (failed)
                return Json();
        }
        const auto first = pending_elements.begin() + static_cast<std::ptrdiff_t>(base);
        Json::array data(std::make_move_iterator(first), std::make_move_iterator(pending_elements.end()));
        pending_elements.erase(first, pending_elements.end());
        return Json(std::move(data));
    }
};

Json Json::parse(const std::string& in, std::string& err) {
    err.clear();
    JsonParser parser(in, err);
    Json result = parser.parse_json(0);
    parser.consume_whitespace();
    if (parser.failed)
        return Json();
    if (parser.i != in.size())
        return parser.fail("unexpected trailing " + esc(in[parser.i]));
    return result;
}

Json Json::parse(const std::string& in) {
    std::string err;
    return parse(in, err);
}

} // namespace json11
