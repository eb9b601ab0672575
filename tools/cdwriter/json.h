/*
 * json.h - a small writer of JSON text for the tool's --json output.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/* Builds one JSON value; keys and values are added in order, commas are placed for you. */
class JsonWriter {
public:
    JsonWriter &BeginObject();
    JsonWriter &EndObject();
    JsonWriter &BeginArray();
    JsonWriter &EndArray();
    /* The key of the next value inside an object. */
    JsonWriter &Key(const std::string &key);
    JsonWriter &String(const std::string &value);
    JsonWriter &Int(int64_t value);
    JsonWriter &Uint(uint64_t value);
    JsonWriter &Double(double value, int decimals = 2);
    JsonWriter &Bool(bool value);
    JsonWriter &Null();

    /* Key and value in one call. */
    template <typename T> JsonWriter &Field(const std::string &key, T value);

    const std::string &Text() const { return out_; }

private:
    void BeforeValue();
    std::string out_;
    std::vector<bool> first_; /* per open container: no element written yet */
    bool afterKey_ = false;
};

/* The string with JSON escapes, without the surrounding quotes. */
std::string JsonEscape(const std::string &text);

template <> inline JsonWriter &JsonWriter::Field(const std::string &key, const char *value) {
    return Key(key).String(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, std::string value) {
    return Key(key).String(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, bool value) {
    return Key(key).Bool(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, int value) {
    return Key(key).Int(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, unsigned value) {
    return Key(key).Uint(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, long value) {
    return Key(key).Int(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, unsigned long value) {
    return Key(key).Uint(value);
}
template <> inline JsonWriter &JsonWriter::Field(const std::string &key, double value) {
    return Key(key).Double(value);
}
