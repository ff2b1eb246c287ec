// json11: the immutable JSON value that carries every record, setting and message of the program.
//
// A Json holds one shared pointer to a constant payload; copies share it (an atomic count), so values may
// be copied and destroyed on any thread. Besides the six standard kinds there is a seventh, a UTF-16 wide
// string, used only to sort lists by a locale-aware comparison; it is written as "" and never parsed.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace json11 {

class JsonValue;

class Json final {
public:
    // The order matters: values of different kinds order by these numbers.
    enum Type { NUL = 0, NUMBER = 1, BOOL = 2, STRING = 3, WSTRING = 4, ARRAY = 5, OBJECT = 6 };

    typedef std::vector<Json> array;
    typedef std::map<std::string, Json> object;

    Json() noexcept;                      // NUL (the shared null payload)
    Json(std::nullptr_t) noexcept;        // NUL
    Json(double value);                   // NUMBER held as double
    Json(int value);                      // NUMBER held as 32-bit integer
    Json(bool value);                     // BOOL (shared payloads)
    Json(const std::string& value);       // STRING
    Json(std::string&& value);            // STRING
    Json(const char* value);              // STRING
    Json(const std::u16string& value);    // WSTRING
    Json(std::u16string&& value);         // WSTRING
    Json(const char16_t* value);          // WSTRING
    Json(const array& values);            // ARRAY
    Json(array&& values);                 // ARRAY
    Json(const object& values);           // OBJECT
    Json(object&& values);                // OBJECT
    Json(const std::vector<object>& rows); // ARRAY of OBJECT values, one per map

    // A pointer must not silently become a bool: Json(ptr) does not compile.
    Json(void*) = delete;
    Json(const void*) = delete;

    // Copying shares the payload. A value moved from is null, never empty.
    Json(const Json&) = default;
    Json& operator=(const Json&) = default;
    Json(Json&& other) noexcept : m_ptr(std::move(other.m_ptr)) { other.m_ptr = null_payload(); }
    Json& operator=(Json&& other) noexcept {
        if (this != &other) {
            m_ptr = std::move(other.m_ptr);
            other.m_ptr = null_payload();
        }
        return *this;
    }
    ~Json() = default;

    Type type() const;

    bool is_null() const { return type() == NUL; }
    bool is_number() const { return type() == NUMBER; }
    bool is_bool() const { return type() == BOOL; }
    bool is_string() const { return type() == STRING; }
    bool is_wstring() const { return type() == WSTRING; }
    bool is_array() const { return type() == ARRAY; }
    bool is_object() const { return type() == OBJECT; }

    // 0.0 for every kind but NUMBER.
    double number_value() const;
    // 0 for every kind but NUMBER; a double is truncated toward zero, saturated to the int range, NaN gives 0.
    int int_value() const;
    // false for every kind but BOOL.
    bool bool_value() const;
    // The defaults are shared empty values: these never allocate.
    const std::string& string_value() const;
    const std::u16string& wstring_value() const;
    const array& array_items() const;
    const object& object_items() const;

    // Never inserts and never fails: a missing element or member, or a value of another kind, gives a
    // shared null value.
    const Json& operator[](std::size_t i) const;
    const Json& operator[](const std::string& key) const;

    // Compact JSON text: ", " and ": " as separators, object members in key order.
    std::string dump() const;
    void dump(std::string& out) const;

    // Strict JSON; any failure gives the null value. The second form also hands back the first error
    // message (empty on success).
    static Json parse(const std::string& in);
    static Json parse(const std::string& in, std::string& err);

    bool operator==(const Json& other) const;
    bool operator!=(const Json& other) const { return !(*this == other); }
    bool operator<(const Json& other) const;
    bool operator<=(const Json& other) const { return !(other < *this); }
    bool operator>(const Json& other) const { return other < *this; }
    bool operator>=(const Json& other) const { return !(*this < other); }

private:
    // The shared null payload; it holds no count, so taking it costs no atomic operation.
    static const std::shared_ptr<const JsonValue>& null_payload() noexcept;

    std::shared_ptr<const JsonValue> m_ptr;
};

// The abstract payload. Concrete payloads live in json11.cpp.
class JsonValue {
protected:
    friend class Json;
    friend class JsonInt;
    friend class JsonDouble;

    virtual Json::Type type() const = 0;
    virtual bool equals(const JsonValue* other) const = 0;
    virtual bool less(const JsonValue* other) const = 0;
    virtual void dump(std::string& out) const = 0;
    virtual double number_value() const;
    virtual int int_value() const;
    virtual bool bool_value() const;
    virtual const std::string& string_value() const;
    virtual const std::u16string& wstring_value() const;
    virtual const Json::array& array_items() const;
    virtual const Json& operator[](const std::string& key) const;
    virtual const Json& operator[](std::size_t i) const;
    virtual const Json::object& object_items() const;

public:
    virtual ~JsonValue() = default;
};

} // namespace json11
