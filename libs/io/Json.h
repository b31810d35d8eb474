#pragma once
// A small JSON document model with a reader and a writer, enough for the
// catalogue files (.vpc) this library reads and writes. Objects keep their
// members in the order they were written or read; numbers are doubles and
// are written in their shortest exact form (integers without a fraction).

#include <string>
#include <utility>
#include <vector>

namespace VerdantaIO {
namespace json {

class Value {
public:
    enum Type { Null, Bool, Number, String, Array, Object };

    Value() = default;
    Value(bool b) : type_(Bool), bool_(b) {}
    Value(double d) : type_(Number), number_(d) {}
    Value(int i) : type_(Number), number_(i) {}
    Value(unsigned long long i) : type_(Number), number_(static_cast<double>(i)) {}
    Value(long long i) : type_(Number), number_(static_cast<double>(i)) {}
    Value(unsigned long i) : type_(Number), number_(static_cast<double>(i)) {}
    Value(long i) : type_(Number), number_(static_cast<double>(i)) {}
    Value(const char *s) : type_(String), string_(s) {}
    Value(std::string s) : type_(String), string_(std::move(s)) {}

    static Value array() { Value v; v.type_ = Array; return v; }
    static Value object() { Value v; v.type_ = Object; return v; }
    // An array of numbers.
    static Value numbers(const std::vector<double> &values);

    Type type() const { return type_; }
    bool isNull() const { return type_ == Null; }
    bool isNumber() const { return type_ == Number; }
    bool isString() const { return type_ == String; }
    bool isArray() const { return type_ == Array; }
    bool isObject() const { return type_ == Object; }

    bool toBool() const { return bool_; }
    double toNumber() const { return number_; }
    const std::string &toString() const { return string_; }

    // Arrays.
    size_t size() const { return items_.size(); }
    const Value &at(size_t i) const { return items_[i]; }
    Value &append(Value v);
    const std::vector<Value> &items() const { return items_; }

    // Objects: the member of that name, or a null value when absent.
    const Value &operator[](const std::string &key) const;
    const Value &operator[](const char *key) const { return (*this)[std::string(key)]; }
    bool has(const std::string &key) const;
    // Sets a member, replacing one of the same name.
    Value &set(const std::string &key, Value v);
    const std::vector<std::pair<std::string, Value>> &members() const { return members_; }

private:
    Type type_ = Null;
    bool bool_ = false;
    double number_ = 0.0;
    std::string string_;
    std::vector<Value> items_;
    std::vector<std::pair<std::string, Value>> members_;
};

// Parses a whole document; `error` names the line and what was expected.
bool parse(const std::string &text, Value &out, std::string &error);

// Writes a document, indented by `indent` spaces a level (0: one line).
std::string write(const Value &value, int indent = 2);

}  // namespace json
}  // namespace VerdantaIO
